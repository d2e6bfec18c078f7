#include "formats/cloud_text.h"

#include <algorithm>
#include <map>

namespace korvane_navigation {
namespace cloud_text {
namespace {

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

}  // namespace

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


}  // namespace cloud_text
}  // namespace korvane_navigation
