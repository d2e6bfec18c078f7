// The lines of a text file, read a piece at a time: LF, CR LF and a lone CR
// each end a line, so files from every system read alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane_navigation {

class TextLines {
 public:
  enum class Next { kLine, kEnd, kTooLong, kReadError };

  // Reads the file open at `fd` from byte `start` to `end`. A line longer
  // than `longest_line` bytes is refused rather than held whole: no line of
  // numbers is that long. `lines_before`
  // numbers the lines from the file's start. The file is read `piece_bytes`
  // at a time.
  TextLines(int fd, uint64_t start, uint64_t end, size_t longest_line, uint64_t lines_before = 0,
            size_t piece_bytes = size_t{1} << 20);

  // The next line, without its line end, in [begin, end) until the next call.
  Next next(const char*& begin, const char*& end);

  // Reads the lines left; false at the first that holds more than blanks
  // (or is too long to tell), true when the text ends without one.
  bool restIsBlank();

  // The number of the line last returned, or the one too long.
  uint64_t lineNumber() const { return line_number_; }
  // Bytes read so far from `start`.
  uint64_t bytesRead() const { return position_ - start_; }
  // The system's reason after kReadError.
  int readError() const { return read_error_; }

 private:
  bool refill();

  int fd_;
  uint64_t start_, position_, end_;
  size_t longest_line_;
  uint64_t line_number_;
  std::vector<char> buffer_;
  size_t head_ = 0, tail_ = 0;
  bool at_end_ = false;
  int read_error_ = 0;
};

}  // namespace korvane_navigation
