// Feeds arbitrary bytes to the E57 reader twice: as they are, and with every
// page checksum mended, so that mutations reach the XML and the packets
// instead of stopping at the first checksum. Checks that a refusal names the
// file and says why, and that what the sink receives matches the result.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/e57_reader.h"
#include "fuzz_support.h"

using namespace korvane_navigation;

namespace {

void check(bool condition, const char* what) { fuzz_support::require(condition, "e57_reader_fuzz", what); }

void readAndCheck(const uint8_t* data, size_t size) {
  const std::string& path = fuzz_support::scratchFile("e57_reader_fuzz");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  uint64_t received = 0;
  const E57ReadResult result = readE57File(
      path,
      [&](unsigned, const double* xyz, size_t count) {
        check(count > 0, "empty chunk");
        for (size_t i = 0; i < 3 * count; ++i) check(std::isfinite(xyz[i]), "non-finite coordinate handed out");
        received += count;
      },
      [&](uint64_t done, uint64_t total) {
        check(total == size, "progress total is not the file size");
        check(done <= total, "progress beyond the total");
      });
  check(result.status != E57ReadStatus::kCannotOpen, "scratch file could not be opened");
  check(result.bytes_total == size, "bytes_total is not the file size");
  if (result.status == E57ReadStatus::kOk) {
    check(result.error.empty(), "error text on success");
    check(received == result.points_read, "sink received a different number of points");
  } else {
    check(result.error.size() > path.size() + 2 && result.error.compare(0, path.size() + 2, path + ": ") == 0,
          "refusal without the file name and a reason");
    check(received <= result.points_read, "sink received points not counted");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  readAndCheck(data, size);

  if (size < e57::kFileHeaderSize || std::memcmp(data, "ASTM-E57", 8) != 0) return 0;
  uint64_t page_size;
  std::memcpy(&page_size, data + 40, sizeof page_size);  // the fuzzer runs on little-endian hosts
  if (page_size < 64 || page_size > 65536 || page_size % 4 != 0 || size < page_size) return 0;
  std::vector<uint8_t> mended(data, data + size);
  for (size_t page = 0; page + page_size <= size; page += page_size) {
    const uint32_t crc = crc32c(&mended[page], page_size - e57::kChecksumSize);
    for (int i = 0; i < 4; ++i)
      mended[page + page_size - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  }
  if (std::memcmp(mended.data(), data, size) != 0) readAndCheck(mended.data(), size);
  return 0;
}
