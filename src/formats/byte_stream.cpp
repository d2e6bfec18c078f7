#include "formats/byte_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "formats/file_reading.h"

namespace korvane_navigation {

ByteStream::ByteStream(int fd, uint64_t start, uint64_t end)
    : fd_(fd), position_(start), end_(std::max(start, end)), buffered_from_(start),
      // Never more than the bytes to be read take.
      buffer_(static_cast<size_t>(std::min<uint64_t>(uint64_t{1} << 20, end_ - start) + kLongestTake)) {}

bool ByteStream::refill(size_t wanted) {
  std::memmove(buffer_.data(), buffer_.data() + head_, tail_ - head_);
  buffered_from_ += head_;
  tail_ -= head_;
  head_ = 0;
  const uint64_t next = buffered_from_ + tail_;
  const size_t room = static_cast<size_t>(std::min<uint64_t>(buffer_.size() - tail_, end_ - next));
  if (room > 0) {
    const ssize_t got = readAt(fd_, buffer_.data() + tail_, room, next);
    if (got < 0) {
      read_error_ = errno;
      return false;
    }
    tail_ += static_cast<size_t>(got);
  }
  return tail_ >= wanted;
}

const uint8_t* ByteStream::take(size_t n) {
  if (tail_ - head_ < n && !refill(n)) return nullptr;
  const uint8_t* bytes = buffer_.data() + head_;
  head_ += n;
  position_ += n;
  return bytes;
}

bool ByteStream::skip(uint64_t n) {
  const size_t held = tail_ - head_;
  if (n <= held) {
    head_ += static_cast<size_t>(n);
    position_ += n;
    return true;
  }
  if (n > end_ - position_) return false;
  // Past what is held: start again where the skip lands.
  position_ += n;
  buffered_from_ = position_;
  head_ = tail_ = 0;
  return true;
}

}  // namespace korvane_navigation
