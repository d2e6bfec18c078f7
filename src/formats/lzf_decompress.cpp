#include "formats/lzf_decompress.h"

#include <cstring>

namespace korvane_navigation {

// A control byte below 32 starts a run of that many plus one literal bytes;
// any other is a back reference: its top three bits the length less two (7
// means a length byte follows), its low five bits and the next byte the
// distance back less one.
size_t lzfDecompress(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size) {
  size_t i = 0, o = 0;
  while (i < in_size) {
    const unsigned control = in[i++];
    if (control < 32) {
      const size_t run = control + 1;
      if (run > in_size - i || run > out_size - o) return 0;
      std::memcpy(out + o, in + i, run);
      i += run;
      o += run;
      continue;
    }
    size_t length = control >> 5;
    if (length == 7) {
      if (i == in_size) return 0;
      length += in[i++];
    }
    length += 2;
    if (i == in_size) return 0;
    const size_t distance = ((control & 0x1f) << 8) + in[i++] + 1;
    if (distance > o || length > out_size - o) return 0;
    // Byte by byte: the copy may overlap what it writes.
    const uint8_t* from = out + o - distance;
    for (size_t k = 0; k < length; ++k) out[o + k] = from[k];
    o += length;
  }
  return o;
}

}  // namespace korvane_navigation
