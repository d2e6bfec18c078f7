#include "formats/cloud_file_checks.h"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "formats/cloud_text.h"
#include "formats/file_reading.h"

namespace korvane_navigation {
namespace {

using namespace cloud_text;

// Reads text data line by line as PCL's reader will, fed in pieces of any
// size, and refuses the first line it would misread.
class TextDataScan {
 public:
  TextDataScan(const TextLayout& layout, DeclaredCloud& declared, std::string& error)
      : layout_(layout), declared_(declared), error_(error), number_(layout.header_lines) {
    longest_line_ = kLongestTextLine;
    for (const auto& element : layout.elements) {
      longest_line_ = std::max<uint64_t>(
          longest_line_, plus(kLongestTextLine, times(64, layout.pcd ? layout.pcd_values : element.properties.size())));
    }
    skipEmptyElements();
  }

  bool feed(const char* data, size_t size) {
    const char delimiter = layout_.cr_lines ? '\r' : '\n';
    const char* p = data;
    const char* end = data + size;
    while (p < end) {
      if (skip_next_) {
        skip_next_ = false;
        ++p;
        continue;
      }
      if (done()) {
        rest_has_text_ = rest_has_text_ || std::any_of(p, end, [](char c) { return !isSpace(c); });
        return true;
      }
      const char* found = static_cast<const char*>(std::memchr(p, delimiter, static_cast<size_t>(end - p)));
      if (!found) {
        if (carry_.size() + static_cast<size_t>(end - p) > longest_line_) return tooLong();
        carry_.append(p, end);
        return true;
      }
      skip_next_ = layout_.cr_lines;
      bool ok;
      if (carry_.empty()) {
        ok = line(p, found);
      } else {
        if (carry_.size() + static_cast<size_t>(found - p) > longest_line_) return tooLong();
        carry_.append(p, found);
        ok = line(carry_.data(), carry_.data() + carry_.size());
        carry_.clear();
      }
      if (!ok) return false;
      p = found + 1;
    }
    return true;
  }

  bool finish() {
    if (!carry_.empty() && !done()) {
      if (!line(carry_.data(), carry_.data() + carry_.size())) return false;
    } else if (!carry_.empty()) {
      rest_has_text_ = rest_has_text_ || std::any_of(carry_.begin(), carry_.end(), [](char c) { return !isSpace(c); });
    }
    if (!done()) {
      const auto& element = layout_.elements[element_];
      if (layout_.pcd) {
        error_ = "the header declares " + std::to_string(element.rows) +
                 " points but the file holds only " + std::to_string(row_) + " data lines";
      } else {
        error_ = "the header declares " + std::to_string(element.rows) + " " + element.name +
                 " rows but the file holds only " + std::to_string(row_) + " lines of them";
      }
      return false;
    }
    if (rest_has_text_) {
      declared_.warning = "text after the " + std::to_string(declared_.points) +
                          " points the header declares is left out";
    }
    return true;
  }

 private:
  bool done() const { return element_ == layout_.elements.size(); }

  void skipEmptyElements() {
    while (!done() && row_ == layout_.elements[element_].rows) {
      ++element_;
      row_ = 0;
    }
  }

  bool tooLong() {
    error_ = "line " + std::to_string(number_ + 1) + " is longer than " + std::to_string(longest_line_) +
             " bytes: no line of numbers";
    return false;
  }

  bool line(const char* begin, const char* end) {
    ++number_;
    const std::string where = "line " + std::to_string(number_);
    if (layout_.pcd) {
      if (begin == end) return true;  // PCL skips empty lines
      const Tokens tokens = splitLine(begin, end, isPcdSeparator);
      if (tokens.size() != layout_.pcd_values) {
        error_ = where + " holds " + std::to_string(tokens.size()) + " values, not the " +
                 std::to_string(layout_.pcd_values) + " of a point";
        return false;
      }
      for (const std::string& token : tokens) {
        if (!number(token, where)) return false;
      }
    } else {
      const auto& element = layout_.elements[element_];
      const Tokens tokens = splitLine(begin, end, isSpace);
      size_t next = 0;
      auto fewer = [&] {
        error_ = where + " holds fewer values than a " + element.name + " row declares";
        return false;
      };
      for (const auto& property : element.properties) {
        if (next == tokens.size()) return fewer();
        if (!property.list) {
          if (!number(tokens[next++], where)) return false;
          continue;
        }
        uint64_t items = 0;
        if (!parseCount(tokens[next], items) || items > property.most_items) {
          error_ = where + ": list length " + quotedToken(tokens[next]) + " is no whole number up to " +
                   std::to_string(property.most_items);
          return false;
        }
        ++next;
        if (tokens.size() - next < items) return fewer();
        for (uint64_t i = 0; i < items; ++i) {
          if (!number(tokens[next++], where)) return false;
        }
      }
      if (next != tokens.size()) {
        error_ = where + " holds more values than a " + element.name + " row declares";
        return false;
      }
    }
    ++row_;
    skipEmptyElements();
    return true;
  }

  static std::string quotedToken(const std::string& token) {
    return quoted(token.data(), token.data() + token.size());
  }

  bool number(const std::string& token, const std::string& where) {
    if (isNumber(token.data(), token.data() + token.size())) return true;
    error_ = where + ": " + quotedToken(token) + " is not a number";
    return false;
  }

  const TextLayout& layout_;
  DeclaredCloud& declared_;
  std::string& error_;
  int64_t number_;
  uint64_t longest_line_;
  size_t element_ = 0;
  uint64_t row_ = 0;
  std::string carry_;
  bool skip_next_ = false;
  bool rest_has_text_ = false;
};

bool checkHeader(const char* data, size_t size, uint64_t file_size, CloudFileFormat format,
                 TextLayout& layout, DeclaredCloud& declared, std::string& error) {
  declared = DeclaredCloud();
  return format == CloudFileFormat::kPcd ? checkPcd(data, size, file_size, layout, declared, error)
                                         : checkPly(data, size, file_size, layout, declared, error);
}

}  // namespace

bool checkPcdHeader(const char* data, size_t size, uint64_t file_size, DeclaredCloud& declared,
                    std::string& error) {
  TextLayout layout;
  return checkHeader(data, size, file_size, CloudFileFormat::kPcd, layout, declared, error);
}

bool checkPlyHeader(const char* data, size_t size, uint64_t file_size, DeclaredCloud& declared,
                    std::string& error) {
  TextLayout layout;
  return checkHeader(data, size, file_size, CloudFileFormat::kPly, layout, declared, error);
}

bool checkCloudBytes(const char* data, size_t size, CloudFileFormat format, DeclaredCloud& declared,
                     std::string& error) {
  TextLayout layout;
  if (!checkHeader(data, size, size, format, layout, declared, error)) return false;
  if (!layout.text) return true;
  TextDataScan scan(layout, declared, error);
  const size_t start = std::min<uint64_t>(layout.data_start, size);
  return scan.feed(data + start, size - start) && scan.finish();
}

bool checkCloudFile(const std::string& path, CloudFileFormat format, DeclaredCloud& declared,
                    std::string& error) {
  FileDescriptor file;
  uint64_t file_size = 0;
  int error_number = 0;
  switch (openRegularFile(path, file, file_size, error_number)) {
    case OpenFault::kNone: break;
    case OpenFault::kCannotOpen:
      error = std::string("cannot be opened (") + std::strerror(error_number) + ")";
      return false;
    case OpenFault::kCannotExamine:
      error = std::string("cannot be examined (") + std::strerror(error_number) + ")";
      return false;
    case OpenFault::kDirectory:
      error = "is a directory";
      return false;
    case OpenFault::kNotRegularFile:
      error = "is not a regular file";
      return false;
  }
  const int fd = file.get();
  // The compressed PCD sizes follow the header.
  std::vector<char> start(static_cast<size_t>(std::min<uint64_t>(file_size, kCloudHeaderLimit + 8)));
  const ssize_t got = readAt(fd, reinterpret_cast<uint8_t*>(start.data()), start.size(), 0);
  if (got < 0) {
    error = std::string("read error (") + std::strerror(errno) + ")";
    return false;
  }
  TextLayout layout;
  if (!checkHeader(start.data(), static_cast<size_t>(got), file_size, format, layout, declared, error)) return false;
  if (!layout.text) return true;
  TextDataScan scan(layout, declared, error);
  start.resize(size_t{1} << 20);
  for (uint64_t offset = layout.data_start; offset < file_size;) {
    const ssize_t n = readAt(fd, reinterpret_cast<uint8_t*>(start.data()), start.size(), offset);
    if (n < 0) {
      error = std::string("read error (") + std::strerror(errno) + ")";
      return false;
    }
    if (n == 0) break;
    if (!scan.feed(start.data(), static_cast<size_t>(n))) return false;
    offset += static_cast<uint64_t>(n);
  }
  return scan.finish();
}

bool readObjVertices(std::istream& in, PointVector& points, std::string& error) {
  std::string line;
  uint64_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    const char* p = line.c_str();
    while (*p == ' ' || *p == '\t') ++p;
    if (p[0] != 'v' || (p[1] != ' ' && p[1] != '\t' && p[1] != '\r' && p[1] != '\0')) continue;
    ++p;
    float xyz[3];
    for (float& value : xyz) {
      char* end = nullptr;
      value = std::strtof(p, &end);
      // The number must end at a separator, not run into other text.
      if (end == p || (*end != '\0' && *end != ' ' && *end != '\t' && *end != '\r')) {
        error = "line " + std::to_string(number) + ": a vertex needs three numbers";
        return false;
      }
      p = end;
    }
    points.emplace_back(xyz[0], xyz[1], xyz[2]);
  }
  if (in.bad()) {
    error = "read error after line " + std::to_string(number);
    return false;
  }
  return true;
}

std::string notAFileToRead(const std::string& path) {
  boost::system::error_code error;
  if (boost::filesystem::is_directory(path, error)) return "is a directory";
  if (!boost::filesystem::is_regular_file(path, error)) return "is not a regular file";
  return "";
}

}  // namespace korvane_navigation
