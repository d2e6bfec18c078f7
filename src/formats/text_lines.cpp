#include "formats/text_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "formats/file_reading.h"
#include "formats/text_numbers.h"

namespace korvane_navigation {
TextLines::TextLines(int fd, uint64_t start, uint64_t end, size_t longest_line, uint64_t lines_before,
                     size_t piece_bytes)
    : fd_(fd),
      start_(start),
      position_(start),
      end_(std::max(start, end)),
      longest_line_(longest_line),
      line_number_(lines_before),
      // Never more than the text itself takes, whatever line length is allowed.
      buffer_(static_cast<size_t>(std::min<uint64_t>(uint64_t{piece_bytes} + longest_line, end_ - start_) + 2)) {}

bool TextLines::refill() {
  std::memmove(buffer_.data(), buffer_.data() + head_, tail_ - head_);
  tail_ -= head_;
  head_ = 0;
  const size_t room = std::min<uint64_t>(buffer_.size() - tail_, end_ - position_);
  if (room == 0) {
    at_end_ = true;
    return true;
  }
  const ssize_t got = readAt(fd_, reinterpret_cast<uint8_t*>(buffer_.data() + tail_), room, position_);
  if (got < 0) {
    read_error_ = errno;
    return false;
  }
  if (got == 0) at_end_ = true;
  tail_ += static_cast<size_t>(got);
  position_ += static_cast<uint64_t>(got);
  return true;
}

TextLines::Next TextLines::next(const char*& begin, const char*& end) {
  size_t searched = head_;
  while (true) {
    const char* data = buffer_.data();
    const char* found = std::find_if(data + searched, data + tail_, [](char c) { return c == '\n' || c == '\r'; });
    const char* stop = data + tail_;
    if (found != stop) {
      // A CR at the end of what is read may be the first half of CR LF.
      if (*found == '\r' && found + 1 == stop && !at_end_) {
        searched = static_cast<size_t>(found - data) - head_;
        if (!refill()) return Next::kReadError;
        searched += head_;
        continue;
      }
      begin = data + head_;
      end = found;
      const bool crlf = *found == '\r' && found + 1 < stop && found[1] == '\n';
      head_ = static_cast<size_t>(found - data) + (crlf ? 2 : 1);
      ++line_number_;
      if (static_cast<size_t>(end - begin) > longest_line_) return Next::kTooLong;
      return Next::kLine;
    }
    if (at_end_) {
      if (head_ == tail_) return Next::kEnd;
      begin = data + head_;
      end = stop;
      head_ = tail_;
      ++line_number_;
      return Next::kLine;
    }
    if (tail_ - head_ > longest_line_) {
      ++line_number_;
      return Next::kTooLong;
    }
    searched = tail_ - head_;
    if (!refill()) return Next::kReadError;
    searched += head_;
  }
}

bool TextLines::restIsBlank() {
  const char* begin;
  const char* end;
  while (true) {
    const Next next = this->next(begin, end);
    if (next == Next::kEnd || next == Next::kReadError) return true;
    if (next == Next::kTooLong || nextToken(begin, end) != begin) return false;
  }
}

}  // namespace korvane_navigation
