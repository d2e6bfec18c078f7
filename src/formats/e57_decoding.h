// From bytestreams to points: the bit-packed values of a batch of records
// decoded field by field, then placed in the file's common frame.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "formats/e57_xml.h"

namespace korvane_navigation {
namespace e57 {

// Bytes readable past the end of a bytestream's data, so that values can be
// fetched with whole 8-byte loads, and four at a time with two 16-byte loads.
constexpr size_t kStreamPadding = 16;

// The unread bytes of one bytestream, filled straight from the file. Consumed
// bytes are dropped only when the end of the buffer is reached, and the
// buffer is then kept at least twice what is unread, so a stream that runs
// far ahead of the others is not copied once per packet.
class BitStream {
 public:
  // Room for `size` more bytes at the end of the data; the caller fills it.
  uint8_t* extend(size_t size) {
    const size_t consumed = static_cast<size_t>(bit_position_ / 8);
    const size_t live = end_ - consumed;
    if (end_ + size + kStreamPadding > capacity_) {
      const size_t needed = live + size + kStreamPadding;
      if (needed * 2 > capacity_) {
        const size_t capacity = std::max<size_t>(needed * 2, 4096);
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[capacity]);
        if (live > 0) std::memcpy(bytes.get(), bytes_.get() + consumed, live);
        bytes_ = std::move(bytes);
        capacity_ = capacity;
      } else if (live > 0) {
        std::memmove(bytes_.get(), bytes_.get() + consumed, live);
      }
      end_ = live;
      bit_position_ -= uint64_t{consumed} * 8;
    }
    uint8_t* space = bytes_.get() + end_;
    end_ += size;
    std::memset(bytes_.get() + end_, 0, kStreamPadding);
    return space;
  }
  uint64_t available(unsigned bits) const {
    if (bits == 0) return std::numeric_limits<uint64_t>::max();
    return (uint64_t{end_} * 8 - bit_position_) / bits;
  }
  // The data, padded, and where the next value starts in it.
  const uint8_t* data() const { return bytes_.get(); }
  uint64_t bitPosition() const { return bit_position_; }
  void skip(uint64_t bits) { bit_position_ += bits; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t capacity_ = 0;
  size_t end_ = 0;
  uint64_t bit_position_ = 0;
};

// `count` values of one field, from `bit` on in padded data, as the numbers
// they stand for.
void decodeField(const Field& field, const uint8_t* data, uint64_t bit, size_t count, double* out);

// Puts the valid points of a batch into `out`, in the common frame, and
// returns how many there are. `values` holds the coordinate columns, then
// the invalid state column or null.
using PlacePoints = size_t (*)(const ScanDescription&, const double* const*, size_t, double*);

// The placement for the scan's coordinates and pose.
PlacePoints choosePlacement(const ScanDescription& scan);

}  // namespace e57
}  // namespace korvane_navigation
