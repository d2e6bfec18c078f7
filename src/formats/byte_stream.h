// Reading a file's bytes in order, a piece at a time, for records whose
// size is known only as they are read (PLY rows with lists).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane_navigation {

class ByteStream {
 public:
  // Reads the file open at `fd` from byte `start` up to byte `end`.
  ByteStream(int fd, uint64_t start, uint64_t end);

  // The next `n` bytes (at most kLongestTake), valid until the next call;
  // nullptr when the file ends first or a read fails.
  const uint8_t* take(size_t n);
  // Passes over `n` bytes; false when the file ends first or a read fails.
  bool skip(uint64_t n);

  uint64_t position() const { return position_; }  // of the next byte to take
  int readError() const { return read_error_; }

  static constexpr size_t kLongestTake = 64;

 private:
  bool refill(size_t wanted);

  int fd_;
  uint64_t position_, end_;
  uint64_t buffered_from_;  // file position of buffer_[0]
  std::vector<uint8_t> buffer_;
  size_t head_ = 0, tail_ = 0;
  int read_error_ = 0;
};

}  // namespace korvane_navigation
