#include "formats/cloud_file_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace korvane_navigation {
namespace {

// PCL keeps point counts in 32-bit integers; more would wrap.
constexpr uint64_t kMostPoints = INT32_MAX;
// An ASCII value takes a character and a separator at the least.
constexpr uint64_t kLeastAsciiBytesPerValue = 2;
// LZF's longest back reference expands 3 bytes into 264.
constexpr uint64_t kLzfMostExpansion = 88;
constexpr uint64_t kLzfLongestRun = 264;

using Tokens = std::vector<std::string>;

// A header line split at blanks, tabs and carriage returns.
Tokens splitLine(const char* begin, const char* end) {
  Tokens tokens;
  const char* p = begin;
  while (p < end) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r')) ++p;
    const char* start = p;
    while (p < end && *p != ' ' && *p != '\t' && *p != '\r') ++p;
    if (p > start) tokens.emplace_back(start, p);
  }
  return tokens;
}

bool startsWithBlank(const char* begin, const char* end) {
  return begin < end && (*begin == ' ' || *begin == '\t');
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Plain decimal digits only: a sign or trailing text would be read by PCL
// as something else than what it says.
bool parseCount(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// a * b, saturating at the largest uint64_t.
uint64_t times(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

uint64_t plus(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

uint32_t loadU32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// Calls `line(begin, end, number)` for every line of the header until it
// returns false (the header's last line); `data_start` is then the offset
// after that line. False when no line ended the header within the limit.
template <typename LineFn>
bool forEachHeaderLine(const char* data, size_t size, size_t& data_start, LineFn line) {
  const size_t limit = std::min(size, kCloudHeaderLimit);
  size_t position = 0;
  int number = 0;
  while (position < limit) {
    const void* newline = std::memchr(data + position, '\n', limit - position);
    if (!newline) return false;
    const size_t end = static_cast<size_t>(static_cast<const char*>(newline) - data);
    ++number;
    if (!line(data + position, data + end, number)) {
      data_start = end + 1;
      return true;
    }
    position = end + 1;
  }
  return false;
}

std::string headerNotEnded(const char* what, size_t size) {
  return size >= kCloudHeaderLimit
             ? std::string("no ") + what + " line within the first " +
                   std::to_string(kCloudHeaderLimit) + " bytes"
             : std::string("no ") + what + " line: not a complete header";
}

bool checkDataSize(uint64_t needed, uint64_t available, uint64_t points, const std::string& unit,
                   std::string& error) {
  if (needed <= available) return true;
  error = "the header declares " + std::to_string(points) + " points" + unit + ", at least " +
          (needed == UINT64_MAX ? std::string("2^64") : std::to_string(needed)) +
          " bytes of data, but the file holds only " + std::to_string(available) +
          " bytes after its header";
  return false;
}

bool checkPointCount(uint64_t points, std::string& error) {
  if (points <= kMostPoints) return true;
  error = "the header declares " + std::to_string(points) + " points, more than the " +
          std::to_string(kMostPoints) + " a point cloud file can hold";
  return false;
}

}  // namespace

bool checkPcdHeader(const char* data, size_t size, uint64_t file_size, DeclaredCloud& declared,
                    std::string& error) {
  std::map<std::string, Tokens> entries;
  std::string fault;
  std::string data_kind;
  size_t data_start = 0;
  const bool ended = forEachHeaderLine(data, size, data_start, [&](const char* b, const char* e,
                                                                   int number) {
    const Tokens tokens = splitLine(b, e);
    if (tokens.empty() || tokens[0][0] == '#') return true;
    if (startsWithBlank(b, e)) {
      fault = "header line " + std::to_string(number) + " starts with a blank";
      return false;
    }
    // PCL tells the keywords apart by their first letters, in this order.
    static const char* const kKeywords[] = {"VERSION", "FIELDS", "COLUMNS", "SIZE", "TYPE",
                                            "COUNT",   "WIDTH",  "HEIGHT",  "VIEWPOINT",
                                            "POINTS",  "DATA"};
    for (const char* keyword : kKeywords) {
      if (!startsWith(tokens[0], keyword)) continue;
      const std::string key = std::strcmp(keyword, "COLUMNS") == 0 ? "FIELDS" : keyword;
      if (key == "DATA") {
        if (tokens.size() < 2) fault = "DATA names no encoding";
        data_kind = tokens.size() < 2 ? "" : tokens[1];
        return false;
      }
      if (entries.count(key)) {
        fault = "header repeats " + key;
        return false;
      }
      entries[key] = Tokens(tokens.begin() + 1, tokens.end());
      return true;
    }
    return true;
  });
  if (!fault.empty()) {
    error = fault;
    return false;
  }
  if (!ended) {
    error = headerNotEnded("DATA", size);
    return false;
  }

  const Tokens& fields = entries["FIELDS"];
  if (fields.empty()) {
    error = "the header names no FIELDS";
    return false;
  }
  const Tokens& sizes = entries["SIZE"];
  const Tokens& types = entries["TYPE"];
  Tokens counts = entries["COUNT"];
  if (counts.empty()) counts.assign(fields.size(), "1");
  for (const char* key : {"SIZE", "TYPE", "COUNT"}) {
    const Tokens& values = std::strcmp(key, "COUNT") == 0 ? counts : entries[key];
    if (values.size() != fields.size()) {
      error = std::string(key) + " lists " + std::to_string(values.size()) + " values for " +
              std::to_string(fields.size()) + " FIELDS";
      return false;
    }
  }
  uint64_t point_bytes = 0, values_per_point = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    uint64_t field_size = 0, count = 0;
    if (!parseCount(sizes[i], field_size) || !parseCount(counts[i], count)) {
      error = "field " + fields[i] + " has SIZE " + sizes[i] + " and COUNT " + counts[i] +
              ", not whole numbers";
      return false;
    }
    point_bytes = plus(point_bytes, times(field_size, count));
    values_per_point = plus(values_per_point, count);
  }
  if (point_bytes > UINT32_MAX) {
    error = "points of " + std::to_string(point_bytes) + " bytes are too large";
    return false;
  }
  for (const char* axis : {"x", "y", "z"}) {
    size_t i = 0;
    while (i < fields.size() && fields[i] != axis) ++i;
    if (i == fields.size()) {
      error = std::string("the cloud has no ") + axis + " field";
      return false;
    }
    if (sizes[i] != "4" || (types[i] != "F" && types[i] != "f") || counts[i] != "1") {
      error = std::string("field ") + axis + " is TYPE " + types[i] + " SIZE " + sizes[i] +
              " COUNT " + counts[i] + "; only 4-byte floats (TYPE F SIZE 4 COUNT 1) can be read";
      return false;
    }
  }

  uint64_t points = 0;
  if (!entries.count("POINTS") || entries["POINTS"].size() != 1 ||
      !parseCount(entries["POINTS"][0], points)) {
    error = "the header declares no number of POINTS";
    return false;
  }
  if (!checkPointCount(points, error)) return false;
  if (entries.count("WIDTH")) {
    uint64_t width = 0, height = 1;
    const Tokens& w = entries["WIDTH"];
    const bool has_height = entries.count("HEIGHT") != 0;
    if (w.size() != 1 || !parseCount(w[0], width) ||
        (has_height && (entries["HEIGHT"].size() != 1 || !parseCount(entries["HEIGHT"][0], height)))) {
      error = "WIDTH and HEIGHT must be whole numbers";
      return false;
    }
    if (times(width, height) != points) {
      error = "WIDTH " + std::to_string(width) + " x HEIGHT " + std::to_string(height) +
              " differs from POINTS " + std::to_string(points);
      return false;
    }
  }

  const uint64_t available = file_size > data_start ? file_size - data_start : 0;
  const std::string unit = " of " + std::to_string(point_bytes) + " bytes";
  if (startsWith(data_kind, "binary_compressed")) {
    if (points == 0) {
      declared.points = 0;
      return true;
    }
    if (available < 8 || size < data_start + 8) {
      error = "compressed data without its sizes";
      return false;
    }
    const uint64_t compressed = loadU32(data + data_start);
    const uint64_t uncompressed = loadU32(data + data_start + 4);
    const uint64_t expected = times(points, point_bytes);
    if (compressed > available - 8) {
      error = "compressed data of " + std::to_string(compressed) + " bytes, but the file holds only " +
              std::to_string(available - 8) + " bytes after its header";
      return false;
    }
    if (uncompressed != expected) {
      error = "compressed data unpacks to " + std::to_string(uncompressed) + " bytes, but " +
              std::to_string(points) + " points" + unit + " take " + std::to_string(expected);
      return false;
    }
    if (!checkDataSize(expected, plus(times(compressed, kLzfMostExpansion), kLzfLongestRun),
                       points, unit, error)) {
      error += " once unpacked";
      return false;
    }
  } else if (startsWith(data_kind, "binary")) {
    if (!checkDataSize(times(points, point_bytes), available, points, unit, error)) return false;
  } else if (data_kind != "ascii") {
    // PCL would read the data as text, whatever they are.
    error = "unknown DATA encoding " + data_kind + " (ascii, binary or binary_compressed)";
    return false;
  } else {
    const uint64_t values = times(points, values_per_point);
    const uint64_t needed = values == 0 ? 0 : times(values, kLeastAsciiBytesPerValue) - 1;
    if (!checkDataSize(needed, available, points,
                       " of " + std::to_string(values_per_point) + " values as text", error)) {
      return false;
    }
  }
  declared.points = points;
  return true;
}

bool checkPlyHeader(const char* data, size_t size, uint64_t file_size, DeclaredCloud& declared,
                    std::string& error) {
  struct Element {
    std::string name;
    uint64_t count = 0;
    uint64_t least_binary_bytes = 0;  // lists count as empty
    uint64_t properties = 0;
    std::map<std::string, std::string> scalar_types;
  };
  static const std::map<std::string, uint64_t> kTypeSizes = {
      {"char", 1},  {"int8", 1},    {"uchar", 1},   {"uint8", 1},   {"short", 2},
      {"int16", 2}, {"ushort", 2},  {"uint16", 2},  {"int", 4},     {"int32", 4},
      {"uint", 4},  {"uint32", 4},  {"float", 4},   {"float32", 4}, {"double", 8},
      {"float64", 8}};
  // Checked before any line: garbage may have no line end for a long way.
  const bool crlf = size >= 5 && std::memcmp(data, "ply\r\n", 5) == 0;
  if (!crlf && (size < 4 || std::memcmp(data, "ply\n", 4) != 0)) {
    error = "no \"ply\" magic line";
    return false;
  }
  std::vector<Element> elements;
  std::string format, fault;
  size_t data_start = 0;
  const bool ended = forEachHeaderLine(data, size, data_start, [&](const char* b, const char* e,
                                                                   int number) {
    const Tokens tokens = splitLine(b, e);
    const std::string where = "header line " + std::to_string(number);
    if (number == 1) return true;  // the magic
    if (tokens.empty()) return true;
    const std::string& keyword = tokens[0];
    if (keyword == "end_header") return false;
    if (keyword == "comment" || keyword == "obj_info") return true;
    if (keyword == "format") {
      if (tokens.size() != 3 || (tokens[1] != "ascii" && tokens[1] != "binary_little_endian" &&
                                 tokens[1] != "binary_big_endian")) {
        fault = where + ": unknown format";
      }
      format = tokens.size() > 1 ? tokens[1] : "";
      return fault.empty();
    }
    if (keyword == "element") {
      Element element;
      if (tokens.size() != 3 || !parseCount(tokens[2], element.count)) {
        fault = where + ": an element needs a name and a whole number of rows";
        return false;
      }
      element.name = tokens[1];
      elements.push_back(element);
      return true;
    }
    if (keyword == "property") {
      if (elements.empty()) {
        fault = where + ": a property before any element";
        return false;
      }
      Element& element = elements.back();
      const bool list = tokens.size() == 5 && tokens[1] == "list";
      if (!list && tokens.size() != 3) {
        fault = where + ": a property needs a type and a name";
        return false;
      }
      const auto type = kTypeSizes.find(tokens[list ? 2 : 1]);
      if (type == kTypeSizes.end() || (list && kTypeSizes.count(tokens[3]) == 0)) {
        fault = where + ": unknown property type";
        return false;
      }
      element.least_binary_bytes = plus(element.least_binary_bytes, type->second);
      ++element.properties;
      if (!list) element.scalar_types[tokens[2]] = tokens[1];
      return true;
    }
    fault = where + ": unknown keyword " + keyword;
    return false;
  });
  if (!fault.empty()) {
    error = fault;
    return false;
  }
  if (!ended) {
    error = headerNotEnded("end_header", size);
    return false;
  }
  if (format.empty()) {
    error = "the header names no format";
    return false;
  }

  declared.points = 0;
  uint64_t needed = 0;
  const bool ascii = format == "ascii";
  for (const Element& element : elements) {
    if (element.count > 0 && element.properties == 0) {
      error = "element " + element.name + " declares " + std::to_string(element.count) +
              " rows of no properties";
      return false;
    }
    const uint64_t row_bytes = ascii ? times(element.properties, kLeastAsciiBytesPerValue)
                                     : element.least_binary_bytes;
    needed = plus(needed, times(element.count, row_bytes));
    if (element.name != "vertex") continue;
    if (!checkPointCount(element.count, error)) return false;
    declared.points = element.count;
    for (const char* axis : {"x", "y", "z"}) {
      const auto type = element.scalar_types.find(axis);
      if (type == element.scalar_types.end()) {
        error = std::string("the vertices have no ") + axis + " property";
        return false;
      }
      if (type->second != "float" && type->second != "float32") {
        error = std::string("vertex property ") + axis + " is " + type->second +
                "; only float (float32) coordinates can be read";
        return false;
      }
    }
  }
  // The last text value needs no separator after it.
  if (ascii && needed > 0) --needed;
  const uint64_t available = file_size > data_start ? file_size - data_start : 0;
  if (needed > available) {
    error = "the header declares " + std::to_string(declared.points) +
            " vertices, and with its other elements at least " +
            (needed == UINT64_MAX ? std::string("2^64") : std::to_string(needed)) +
            " bytes of " + format + " data, but the file holds only " + std::to_string(available) +
            " bytes after its header";
    return false;
  }
  return true;
}

bool checkCloudFile(const std::string& path, CloudFileFormat format, DeclaredCloud& declared,
                    std::string& error) {
  // Not blocking on a pipe that has no writer; no effect on regular files.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = std::string("cannot be opened (") + std::strerror(errno) + ")";
    return false;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    error = std::string("cannot be examined (") + std::strerror(errno) + ")";
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    error = "is a directory";
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = "is not a regular file";
    return false;
  }
  const uint64_t file_size = static_cast<uint64_t>(info.st_size);
  // The compressed PCD sizes follow the header.
  std::vector<char> start(static_cast<size_t>(std::min<uint64_t>(file_size, kCloudHeaderLimit + 8)));
  size_t got = 0;
  while (got < start.size()) {
    const ssize_t n = ::pread(fd, start.data() + got, start.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::string("read error (") + std::strerror(errno) + ")";
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return format == CloudFileFormat::kPcd
             ? checkPcdHeader(start.data(), got, file_size, declared, error)
             : checkPlyHeader(start.data(), got, file_size, declared, error);
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
