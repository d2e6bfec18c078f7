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
// PCL adds up field offsets in an int.
constexpr uint64_t kMostPointBytes = INT32_MAX;
// An ASCII value takes a character and a separator at the least.
constexpr uint64_t kLeastAsciiBytesPerValue = 2;
// LZF's longest back reference expands 3 bytes into 264.
constexpr uint64_t kLzfMostExpansion = 88;
constexpr uint64_t kLzfLongestRun = 264;
// A text data line may be this long beyond 64 bytes a value: a longer one
// is no row of numbers, and reading it whole would take its length in memory.
constexpr size_t kLongestTextLine = 4096;

using Tokens = std::vector<std::string>;

// Blanks as the C locale's isspace knows them, which PCL's streams use.
bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The blanks PCL's PCD reader splits a line at (pcl::split with "\t\r ").
bool isPcdSeparator(char c) { return c == ' ' || c == '\t' || c == '\r'; }

template <typename Separator>
Tokens splitLine(const char* begin, const char* end, Separator separator) {
  Tokens tokens;
  const char* p = begin;
  while (p < end) {
    while (p < end && separator(*p)) ++p;
    const char* start = p;
    while (p < end && !separator(*p)) ++p;
    if (p > start) tokens.emplace_back(start, p);
  }
  return tokens;
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) &&
         std::equal(a.begin(), a.end(), b, [](char x, char y) { return (x | 0x20) == (y | 0x20); });
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

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool matchesWord(const char*& p, const char* end, const char* word) {
  const char* q = p;
  for (; *word; ++word, ++q) {
    if (q == end || (*q | 0x20) != *word) return false;
  }
  p = q;
  return true;
}

// A decimal number, or nan, inf or infinity in any case, with an optional
// sign: what both PCL readers turn into the value it says. They read "1.5x"
// as 1.5, "0x10" as 0 or NaN and "abc" as 0 or NaN, so nothing else is a number.
bool isNumber(const char* p, const char* end) {
  if (p < end && (*p == '+' || *p == '-')) ++p;
  if (p == end) return false;
  if (!isDigit(*p) && *p != '.') {
    if (matchesWord(p, end, "nan")) return p == end;
    if (!matchesWord(p, end, "inf")) return false;
    return p == end || (matchesWord(p, end, "inity") && p == end);
  }
  const char* digits = p;
  while (p < end && isDigit(*p)) ++p;
  bool any = p > digits;
  if (p < end && *p == '.') {
    const char* fraction = ++p;
    while (p < end && isDigit(*p)) ++p;
    any = any || p > fraction;
  }
  if (!any) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* exponent = p;
    while (p < end && isDigit(*p)) ++p;
    if (p == exponent) return false;
  }
  return p == end;
}

// A line's text as a message quotes it: at most 40 characters, anything
// unprintable as '?'.
std::string quoted(const char* begin, const char* end) {
  std::string text = "\"";
  for (const char* p = begin; p < end && p < begin + 40; ++p) {
    text += (*p >= 0x20 && *p < 0x7f) ? *p : '?';
  }
  return text + (end - begin > 40 ? "...\"" : "\"");
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

// How the text data of a checked file are laid out, for the data scan.
struct TextLayout {
  struct Property {
    bool list = false;
    uint64_t most_items = 0;  // of a list
  };
  struct Element {
    std::string name;
    uint64_t rows = 0;
    std::vector<Property> properties;
  };
  bool text = false;
  bool pcd = false;
  uint64_t data_start = 0;
  int header_lines = 0;
  // PLY files whose magic line ends in CR: PCL splits lines at CR and drops
  // the character after each.
  bool cr_lines = false;
  uint64_t pcd_values = 0;  // per point
  std::vector<Element> elements;
};

// The PCD keywords, which PCL tells apart by their first letters, in the
// order it tries them.
enum PcdKey { kVersion, kFields, kSize, kType, kCount, kWidth, kHeight, kViewpoint, kPoints, kData, kKeys };
const char* const kPcdKeyNames[kKeys] = {"VERSION", "FIELDS", "SIZE",      "TYPE",   "COUNT",
                                         "WIDTH",   "HEIGHT", "VIEWPOINT", "POINTS", "DATA"};

int pcdKey(const std::string& word) {
  for (int key = 0; key < kKeys; ++key) {
    if (startsWith(word, kPcdKeyNames[key])) return key;
    if (key == kFields && startsWith(word, "COLUMNS")) return key;
  }
  return kKeys;
}

// The first word of a line as PCL's stream reads it.
std::string firstWord(const char* begin, const char* end) {
  while (begin < end && isSpace(*begin)) ++begin;
  const char* p = begin;
  while (p < end && !isSpace(*p)) ++p;
  return std::string(begin, p);
}

// PCL's PCD reader goes on reading header lines after DATA until one is
// neither empty, a comment nor a keyword; a keyword there would change what
// it read. `data` holds `size` bytes of a file of `file_size`.
bool checkAfterData(const char* data, size_t size, uint64_t file_size, size_t position, int number,
                    std::string& error) {
  while (true) {
    if (position >= size) {
      if (size >= file_size) return true;
      error = "cannot tell where the data begin: blank or comment lines run past the first " +
              std::to_string(size) + " bytes";
      return false;
    }
    const char* begin = data + position;
    const char* newline = static_cast<const char*>(std::memchr(begin, '\n', size - position));
    const char* end = newline ? newline : data + size;
    ++number;
    position = static_cast<size_t>(end - data) + 1;
    if (end == begin) continue;
    const std::string word = firstWord(begin, end);
    const bool cut = !newline && size < file_size;
    // A word cut by the end of what was read still decides once it is
    // longer than any keyword.
    if (cut && (word.empty() || (word[0] != '#' && word.size() < 9))) {
      error = "cannot tell where the data begin: their first line runs past the first " +
              std::to_string(size) + " bytes";
      return false;
    }
    if (!word.empty() && word[0] == '#') {
      if (cut) {
        error = "cannot tell where the data begin: a comment line runs past the first " +
                std::to_string(size) + " bytes";
        return false;
      }
      continue;
    }
    if (!word.empty() && pcdKey(word) != kKeys) {
      error = "line " + std::to_string(number) + " after DATA " + quoted(begin, end) +
              " reads as a header line to PCL";
      return false;
    }
    return true;
  }
}

bool checkPcd(const char* data, size_t size, uint64_t file_size, TextLayout& layout,
              DeclaredCloud& declared, std::string& error) {
  Tokens entries[kKeys];
  int line_of[kKeys] = {};
  const size_t limit = std::min(size, kCloudHeaderLimit);
  size_t position = 0, data_start = 0;
  int number = 0;
  while (!line_of[kData]) {
    const void* newline = position < limit ? std::memchr(data + position, '\n', limit - position) : nullptr;
    if (!newline) {
      error = headerNotEnded("DATA", size);
      return false;
    }
    const char* begin = data + position;
    const char* end = static_cast<const char*>(newline);
    position = static_cast<size_t>(end - data) + 1;
    ++number;
    const std::string where = "header line " + std::to_string(number);
    if (end == begin) continue;  // PCL skips empty lines
    const std::string word = firstWord(begin, end);
    if (!word.empty() && word[0] == '#') continue;
    if (word.empty()) {
      error = where + " is blank: PCL's reader ends the header there";
      return false;
    }
    // Its stream splits at them, its tokenizer does not.
    if (std::find_if(begin, end, [](char c) { return c == '\v' || c == '\f'; }) != end) {
      error = where + " holds a vertical tab or form feed";
      return false;
    }
    const int key = pcdKey(word);
    if (key == kKeys) {
      error = where + " " + quoted(begin, end) +
              " is no PCD header line: PCL's reader would end the header there";
      return false;
    }
    if (line_of[key]) {
      error = "header repeats " + std::string(kPcdKeyNames[key]) + " (lines " +
              std::to_string(line_of[key]) + " and " + std::to_string(number) + ")";
      return false;
    }
    line_of[key] = number;
    const Tokens tokens = splitLine(begin, end, isPcdSeparator);
    entries[key].assign(tokens.begin() + 1, tokens.end());
  }
  data_start = position;
  if (entries[kData].empty()) {
    error = "DATA names no encoding";
    return false;
  }
  const std::string data_kind = entries[kData][0];
  if (!checkAfterData(data, size, file_size, data_start, number, error)) return false;

  const Tokens& fields = entries[kFields];
  if (fields.empty()) {
    error = "the header names no FIELDS";
    return false;
  }
  // PCL reads SIZE, TYPE and COUNT against the fields before them, and
  // sizes its buffer for the points at POINTS with the sizes known then.
  const std::pair<int, int> order[] = {{kFields, kSize},  {kFields, kType},  {kFields, kCount},
                                       {kSize, kType},    {kSize, kCount},   {kType, kCount},
                                       {kFields, kPoints}, {kSize, kPoints}, {kType, kPoints},
                                       {kCount, kPoints}};
  for (const auto& [before, after] : order) {
    const bool needed = before == kFields || after != kPoints;
    if (line_of[after] && (line_of[before] > line_of[after] || (needed && !line_of[before]))) {
      error = std::string(kPcdKeyNames[after]) + " (line " + std::to_string(line_of[after]) +
              ") must follow " + kPcdKeyNames[before];
      return false;
    }
  }
  if (line_of[kHeight] && !line_of[kWidth]) {
    error = "HEIGHT without WIDTH";
    return false;
  }
  if (line_of[kViewpoint] && entries[kViewpoint].size() < 7) {
    error = "VIEWPOINT gives " + std::to_string(entries[kViewpoint].size()) + " values, not 7";
    return false;
  }
  // Without SIZE and TYPE, PCL takes every field for a 4-byte float.
  Tokens sizes = line_of[kSize] ? entries[kSize] : Tokens(fields.size(), "4");
  Tokens types = line_of[kType] ? entries[kType] : Tokens(fields.size(), "F");
  Tokens counts = line_of[kCount] ? entries[kCount] : Tokens(fields.size(), "1");
  for (const int key : {kSize, kType, kCount}) {
    const Tokens& values = key == kSize ? sizes : key == kType ? types : counts;
    if (values.size() != fields.size()) {
      error = std::string(kPcdKeyNames[key]) + " lists " + std::to_string(values.size()) +
              " values for " + std::to_string(fields.size()) + " FIELDS";
      return false;
    }
  }
  uint64_t point_bytes = 0, values_per_point = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    uint64_t field_size = 0, count = 0;
    const char type = static_cast<char>(types[i][0] & ~0x20);  // PCL reads the first letter, in any case
    if (!parseCount(sizes[i], field_size) || !parseCount(counts[i], count) || count == 0) {
      error = "field " + fields[i] + " has SIZE " + sizes[i] + " and COUNT " + counts[i] +
              ", not whole numbers above 0";
      return false;
    }
    const bool known = (type == 'B' && field_size == 1) ||
                       ((type == 'I' || type == 'U') &&
                        (field_size == 1 || field_size == 2 || field_size == 4 || field_size == 8)) ||
                       (type == 'F' && (field_size == 4 || field_size == 8));
    // Without TYPE, PCL reads every field as a 4-byte float, whatever its SIZE.
    if (!known || (!line_of[kType] && field_size != 4)) {
      error = "field " + fields[i] + " has SIZE " + sizes[i] + " TYPE " + types[i] +
              (line_of[kType] ? "" : " (no TYPE line)") + ", which PCL cannot read";
      return false;
    }
    point_bytes = plus(point_bytes, times(field_size, count));
    values_per_point = plus(values_per_point, count);
  }
  if (point_bytes > kMostPointBytes) {
    error = "points of " + std::to_string(point_bytes) + " bytes are too large";
    return false;
  }
  for (const char* axis : {"x", "y", "z"}) {
    size_t found = fields.size();
    for (size_t i = 0; i < fields.size(); ++i) {
      if (!equalsIgnoringCase(fields[i], axis)) continue;
      if (found != fields.size()) {
        error = "fields " + fields[found] + " and " + fields[i] + " both name the " + axis +
                " coordinate";
        return false;
      }
      found = i;
    }
    if (found == fields.size()) {
      error = std::string("the cloud has no ") + axis + " field";
      return false;
    }
    const size_t i = found;
    if ((sizes[i] != "4" && sizes[i] != "8") || (types[i][0] & ~0x20) != 'F' || counts[i] != "1") {
      error = "field " + fields[i] + " is TYPE " + types[i] + " SIZE " + sizes[i] + " COUNT " +
              counts[i] + "; coordinates must be floats of 4 or 8 bytes (TYPE F SIZE 4 or 8 COUNT 1)";
      return false;
    }
  }

  uint64_t points = 0;
  if (!line_of[kPoints] || entries[kPoints].size() != 1 || !parseCount(entries[kPoints][0], points)) {
    error = "the header declares no number of POINTS";
    return false;
  }
  if (!checkPointCount(points, error)) return false;
  if (line_of[kWidth]) {
    uint64_t width = 0, height = 1;
    const Tokens& w = entries[kWidth];
    const Tokens& h = entries[kHeight];
    if (w.size() != 1 || !parseCount(w[0], width) ||
        (line_of[kHeight] && (h.size() != 1 || !parseCount(h[0], height)))) {
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
    layout.text = true;
    layout.pcd = true;
    layout.pcd_values = values_per_point;
    layout.elements = {{"point", points, {}}};
  }
  layout.data_start = data_start;
  layout.header_lines = number;
  declared.points = points;
  return true;
}

// PCL's PLY reader turns 1-byte red, green and blue into one 4-byte rgb
// field made at red and filled at blue, and writes every other value at a
// running offset. A red without its blue leaves that offset behind the
// fields' own, and the values after it land before their fields: harmless
// after the coordinates, shifting them before. A second blue runs the offset
// ahead, and the values after it past their fields; a blue before any red fails
// PCL's assertion.
bool checkVertexLayout(const std::vector<std::pair<std::string, std::string>>& properties,
                       const std::map<std::string, uint64_t>& sizes, std::string& error) {
  uint64_t field_offset = 0, write_offset = 0;
  bool red = false;
  for (const auto& [type, name] : properties) {
    const bool byte = type == "uchar" || type == "uint8";
    const std::string colour = name.compare(0, 8, "diffuse_") == 0 ? name.substr(8) : name;
    const bool axis = equalsIgnoringCase(name, "x") || equalsIgnoringCase(name, "y") ||
                      equalsIgnoringCase(name, "z");
    if (byte && colour == "red") {
      field_offset += 4;
      red = true;
    } else if (byte && colour == "blue") {
      if (!red) {
        error = "vertex property " + name + " comes before red, which PCL's reader cannot take";
        return false;
      }
      write_offset += 4;
    } else if (byte && (colour == "green" || name == "alpha")) {
      // Adds no field and moves no offset.
    } else {
      if (axis && write_offset != field_offset) {
        error = "vertex property " + name +
                " follows a red without its blue, or a blue away from its red: PCL's reader "
                "would shift the coordinates";
        return false;
      }
      if (write_offset > field_offset) {
        error = "vertex property " + name + " follows a second blue: PCL's reader would write it "
                "past the vertex";
        return false;
      }
      const uint64_t bytes = byte && name == "intensity" ? 4 : sizes.at(type);
      field_offset += bytes;
      write_offset += bytes;
    }
  }
  return true;
}

bool checkPly(const char* data, size_t size, uint64_t file_size, TextLayout& layout,
              DeclaredCloud& declared, std::string& error) {
  struct Element {
    std::string name;
    uint64_t count = 0;
    uint64_t least_binary_bytes = 0;  // lists count as empty
    std::vector<std::pair<std::string, std::string>> scalars;  // type, name
    std::vector<std::string> names;
    std::vector<TextLayout::Property> properties;
  };
  static const std::map<std::string, uint64_t> kTypeSizes = {
      {"char", 1},  {"int8", 1},    {"uchar", 1},   {"uint8", 1},   {"short", 2},
      {"int16", 2}, {"ushort", 2},  {"uint16", 2},  {"int", 4},     {"int32", 4},
      {"uint", 4},  {"uint32", 4},  {"float", 4},   {"float32", 4}, {"double", 8},
      {"float64", 8}};
  // The list lengths PCL reads, and their largest values.
  static const std::map<std::string, uint64_t> kListSizes = {
      {"uchar", UINT8_MAX},  {"uint8", UINT8_MAX},  {"ushort", UINT16_MAX}, {"uint16", UINT16_MAX},
      {"uint", UINT32_MAX},  {"uint32", UINT32_MAX}, {"int", UINT32_MAX},   {"int32", UINT32_MAX}};
  // PCL takes the fourth byte for the end of the magic, whatever it is, and
  // a CR there for lines ending in CR LF. Checked before any line: garbage
  // may have no line end for a long way.
  if (size < 4 || std::memcmp(data, "ply", 3) != 0 ||
      (data[3] != '\n' && data[3] != '\r' && data[3] != ' ' && data[3] != '\t')) {
    error = "no \"ply\" magic line";
    return false;
  }
  const bool cr_lines = data[3] == '\r';
  const char delimiter = cr_lines ? '\r' : '\n';
  size_t position = cr_lines ? 5 : 4;
  // A blank after the magic leaves the rest of the first line to be read as a line.
  int number = data[3] == ' ' || data[3] == '\t' ? 0 : 1;
  const size_t limit = std::min(size, kCloudHeaderLimit);

  std::vector<Element> elements;
  std::string format;
  while (true) {
    const void* found = position < limit ? std::memchr(data + position, delimiter, limit - position) : nullptr;
    if (!found) {
      error = headerNotEnded("end_header", size);
      return false;
    }
    const char* begin = data + position;
    const char* end = static_cast<const char*>(found);
    position = static_cast<size_t>(end - data) + (cr_lines ? 2 : 1);
    ++number;
    const Tokens tokens = splitLine(begin, end, isSpace);
    const std::string where = "header line " + std::to_string(number);
    if (tokens.empty()) continue;
    const std::string& keyword = tokens[0];
    if (keyword == "end_header") break;
    if (keyword == "comment" || keyword == "obj_info") continue;
    if (keyword == "format") {
      if (!format.empty()) {
        error = where + ": a second format";
        return false;
      }
      if (tokens.size() != 3 || (tokens[1] != "ascii" && tokens[1] != "binary_little_endian" &&
                                 tokens[1] != "binary_big_endian")) {
        error = where + ": unknown format";
        return false;
      }
      if (tokens[2] != "1.0") {
        error = where + ": format version " + tokens[2] + " (PCL reads 1.0 only)";
        return false;
      }
      format = tokens[1];
      continue;
    }
    if (keyword == "element") {
      Element element;
      if (tokens.size() != 3 || !parseCount(tokens[2], element.count)) {
        error = where + ": an element needs a name and a whole number of rows";
        return false;
      }
      element.name = tokens[1];
      for (const Element& other : elements) {
        if (other.name == element.name) {
          error = where + ": a second element " + element.name;
          return false;
        }
      }
      elements.push_back(element);
      continue;
    }
    if (keyword == "property") {
      if (elements.empty()) {
        error = where + ": a property before any element";
        return false;
      }
      Element& element = elements.back();
      // PCL reads no further than the name.
      const bool list = tokens.size() > 1 && tokens[1] == "list";
      if (tokens.size() < (list ? 5u : 3u)) {
        error = where + ": a property needs a type and a name";
        return false;
      }
      const auto type = kTypeSizes.find(tokens[list ? 3 : 1]);
      if (type == kTypeSizes.end() || (list && kListSizes.count(tokens[2]) == 0)) {
        error = where + ": unknown property type";
        return false;
      }
      // PCL sizes a vertex list's field by the first vertex's list and
      // writes every other vertex's list at that size's place, over the
      // next vertex's values or past its buffer.
      if (list && element.name == "vertex") {
        error = where + ": a list property of the vertices, which PCL cannot read safely";
        return false;
      }
      const std::string& name = tokens[list ? 4 : 2];
      if (std::find(element.names.begin(), element.names.end(), name) != element.names.end()) {
        error = where + ": a second property " + name + " of element " + element.name;
        return false;
      }
      element.names.push_back(name);
      element.least_binary_bytes = plus(element.least_binary_bytes, list ? kTypeSizes.at(tokens[2]) : type->second);
      element.properties.push_back({list, list ? kListSizes.at(tokens[2]) : 0});
      if (!list) element.scalars.emplace_back(tokens[1], name);
      continue;
    }
    error = where + ": unknown keyword " + keyword;
    return false;
  }
  if (format.empty()) {
    error = "the header names no format";
    return false;
  }
  if (elements.empty()) {
    error = "the header declares no element";
    return false;
  }

  declared.points = 0;
  uint64_t needed = 0;
  const bool ascii = format == "ascii";
  const Element* vertex = nullptr;
  for (const Element& element : elements) {
    if (element.count > 0 && element.properties.empty()) {
      error = "element " + element.name + " declares " + std::to_string(element.count) +
              " rows of no properties";
      return false;
    }
    const uint64_t row_bytes = ascii ? times(element.properties.size(), kLeastAsciiBytesPerValue)
                                     : element.least_binary_bytes;
    needed = plus(needed, times(element.count, row_bytes));
    if (element.name == "vertex") vertex = &element;
  }
  if (vertex) {
    if (!checkPointCount(vertex->count, error)) return false;
    declared.points = vertex->count;
    for (const char* axis : {"x", "y", "z"}) {
      const std::pair<std::string, std::string>* found = nullptr;
      for (const auto& scalar : vertex->scalars) {
        if (!equalsIgnoringCase(scalar.second, axis)) continue;
        if (found) {
          error = "vertex properties " + found->second + " and " + scalar.second + " both name the " +
                  axis + " coordinate";
          return false;
        }
        found = &scalar;
      }
      if (!found) {
        error = std::string("the vertices have no ") + axis + " property";
        return false;
      }
      const std::string& type = found->first;
      if (type != "float" && type != "float32" && type != "double" && type != "float64") {
        error = "vertex property " + found->second + " is " + type +
                "; coordinates must be float, float32, double or float64";
        return false;
      }
    }
    if (!checkVertexLayout(vertex->scalars, kTypeSizes, error)) return false;
  }
  for (const Element& element : elements) {
    // PCL rebuilds the cloud from a range grid of another size than the
    // vertices, indexing them by the grid's numbers.
    const uint64_t vertices = vertex ? vertex->count : 0;
    if (element.name == "range_grid" && element.count != vertices) {
      error = "a range_grid of " + std::to_string(element.count) + " rows for " +
              std::to_string(vertices) + " vertices";
      return false;
    }
  }
  // The last text value needs no separator after it.
  if (ascii && needed > 0) --needed;
  const uint64_t available = file_size > position ? file_size - position : 0;
  if (needed > available) {
    error = "the header declares " + std::to_string(declared.points) +
            " vertices, and with its other elements at least " +
            (needed == UINT64_MAX ? std::string("2^64") : std::to_string(needed)) +
            " bytes of " + format + " data, but the file holds only " + std::to_string(available) +
            " bytes after its header";
    return false;
  }
  layout.data_start = position;
  layout.header_lines = number;
  layout.cr_lines = cr_lines;
  if (ascii) {
    layout.text = true;
    for (const Element& element : elements) {
      layout.elements.push_back({element.name, element.count, element.properties});
    }
  }
  return true;
}

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
  TextLayout layout;
  if (!checkHeader(start.data(), got, file_size, format, layout, declared, error)) return false;
  if (!layout.text) return true;
  TextDataScan scan(layout, declared, error);
  start.resize(size_t{1} << 20);
  for (uint64_t offset = layout.data_start; offset < file_size;) {
    const ssize_t n = ::pread(fd, start.data(), start.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
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
