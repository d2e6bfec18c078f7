#include "formats/pcd_header.h"

#include <algorithm>
#include <cstring>

#include "formats/scalar_values.h"
#include "formats/text_numbers.h"

namespace korvane_navigation {
namespace {

enum Key { kVersion, kFields, kSize, kType, kCount, kWidth, kHeight, kViewpoint, kPoints, kData, kKeys };
const char* const kKeyNames[kKeys] = {"VERSION", "FIELDS", "SIZE",      "TYPE",   "COUNT",
                                      "WIDTH",   "HEIGHT", "VIEWPOINT", "POINTS", "DATA"};

bool sameIgnoringCase(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) &&
         std::equal(a.begin(), a.end(), b, [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

int keyOf(const std::string& word) {
  // COLUMNS is FIELDS in the oldest headers.
  if (sameIgnoringCase(word, "COLUMNS")) return kFields;
  for (int key = 0; key < kKeys; ++key) {
    if (sameIgnoringCase(word, kKeyNames[key])) return key;
  }
  return kKeys;
}

std::vector<std::string> tokensOf(const char* p, const char* end) {
  std::vector<std::string> tokens;
  while (true) {
    const char* token_end = nextToken(p, end);
    if (token_end == p) return tokens;
    tokens.emplace_back(p, token_end);
    p = token_end;
  }
}


bool axisType(const PcdField& field, ScalarType& type) {
  if (field.count != 1) return false;
  if (field.type == 'F' && (field.size == 4 || field.size == 8)) {
    type = field.size == 4 ? ScalarType::kFloat32 : ScalarType::kFloat64;
    return true;
  }
  static const ScalarType kSigned[] = {ScalarType::kInt8, ScalarType::kInt16, ScalarType::kInt32, ScalarType::kInt64};
  static const ScalarType kUnsigned[] = {ScalarType::kUint8, ScalarType::kUint16, ScalarType::kUint32,
                                         ScalarType::kUint64};
  const int index = field.size == 1 ? 0 : field.size == 2 ? 1 : field.size == 4 ? 2 : field.size == 8 ? 3 : -1;
  if (index < 0 || (field.type != 'I' && field.type != 'U')) return false;
  type = field.type == 'I' ? kSigned[index] : kUnsigned[index];
  return true;
}

std::string dataSizeText(uint64_t needed) { return needed == UINT64_MAX ? std::string("2^64") : std::to_string(needed); }

}  // namespace

bool parsePcdHeader(const char* data, size_t size, PcdHeader& header, std::string& error) {
  header = PcdHeader();
  std::vector<std::string> entries[kKeys];
  uint64_t line_of[kKeys] = {};
  const size_t limit = std::min(size, kPcdHeaderLimit);
  size_t position = 0;
  uint64_t number = 0;
  while (!line_of[kData]) {
    if (position >= limit) {
      error = size >= kPcdHeaderLimit
                  ? "no DATA line within the first " + std::to_string(kPcdHeaderLimit) + " bytes"
                  : "no DATA line: not a complete header";
      return false;
    }
    const char* begin = data + position;
    const void* newline = std::memchr(begin, '\n', limit - position);
    // The DATA line may end the file without a line end.
    const char* end = newline ? static_cast<const char*>(newline) : data + limit;
    if (!newline && size > limit) {
      error = "no DATA line within the first " + std::to_string(kPcdHeaderLimit) + " bytes";
      return false;
    }
    position = static_cast<size_t>(end - data) + (newline ? 1 : 0);
    ++number;
    const std::vector<std::string> tokens = tokensOf(begin, end);
    if (tokens.empty() || tokens[0][0] == '#') continue;
    const int key = keyOf(tokens[0]);
    if (key == kKeys) {
      error = "header line " + std::to_string(number) + " " + quotedText(begin, end) + " is no PCD header line";
      return false;
    }
    if (line_of[key]) {
      error = "header repeats " + std::string(kKeyNames[key]) + " (lines " + std::to_string(line_of[key]) + " and " +
              std::to_string(number) + ")";
      return false;
    }
    line_of[key] = number;
    entries[key].assign(tokens.begin() + 1, tokens.end());
  }
  header.data_start = position;
  header.lines = number;

  const std::vector<std::string>& data_kind = entries[kData];
  if (data_kind.empty()) {
    error = "DATA names no encoding";
    return false;
  }
  if (sameIgnoringCase(data_kind[0], "ascii")) {
    header.encoding = PcdEncoding::kAscii;
  } else if (sameIgnoringCase(data_kind[0], "binary")) {
    header.encoding = PcdEncoding::kBinary;
  } else if (sameIgnoringCase(data_kind[0], "binary_compressed")) {
    header.encoding = PcdEncoding::kBinaryCompressed;
  } else {
    error = "unknown DATA encoding " + data_kind[0] + " (ascii, binary or binary_compressed)";
    return false;
  }

  const std::vector<std::string>& names = entries[kFields];
  if (names.empty()) {
    error = "the header names no FIELDS";
    return false;
  }
  const size_t field_count = names.size();
  for (const int key : {kSize, kType, kCount}) {
    if (line_of[key] && entries[key].size() != field_count) {
      error = std::string(kKeyNames[key]) + " lists " + std::to_string(entries[key].size()) + " values for " +
              std::to_string(field_count) + " FIELDS";
      return false;
    }
  }
  for (size_t i = 0; i < field_count; ++i) {
    PcdField field;
    field.name = names[i];
    const std::string size_text = line_of[kSize] ? entries[kSize][i] : "4";
    const std::string count_text = line_of[kCount] ? entries[kCount][i] : "1";
    const std::string type_text = line_of[kType] ? entries[kType][i] : "F";
    field.type = static_cast<char>(type_text[0] & ~0x20);
    if (!parseCount(size_text, field.size) || !parseCount(count_text, field.count) || field.size == 0 ||
        field.count == 0 || field.size > 8) {
      error = "field " + field.name + " has SIZE " + size_text + " and COUNT " + count_text +
              ", not whole numbers above 0 (SIZE at most 8)";
      return false;
    }
    if (field.type != 'F' && field.type != 'I' && field.type != 'U') {
      error = "field " + field.name + " has TYPE " + type_text + " (F, I or U)";
      return false;
    }
    field.offset = header.point_bytes;
    field.first_value = header.values_per_point;
    header.point_bytes = saturatingSum(header.point_bytes, saturatingProduct(field.size, field.count));
    header.values_per_point = saturatingSum(header.values_per_point, field.count);
    header.fields.push_back(field);
  }
  if (header.point_bytes == UINT64_MAX) {
    error = "the fields of a point take more than 2^64 bytes";
    return false;
  }

  for (int axis = 0; axis < 3; ++axis) {
    const char name[2] = {"xyz"[axis], '\0'};
    size_t found = field_count;
    for (size_t i = 0; i < field_count; ++i) {
      if (!sameIgnoringCase(names[i], name)) continue;
      if (found != field_count) {
        error = "fields " + names[found] + " and " + names[i] + " both name the " + name + " coordinate";
        return false;
      }
      found = i;
    }
    if (found == field_count) {
      error = std::string("the cloud has no ") + name + " field";
      return false;
    }
    const PcdField& field = header.fields[found];
    if (!axisType(field, header.axis_type[axis])) {
      error = "field " + field.name + " is TYPE " + std::string(1, field.type) + " SIZE " + std::to_string(field.size) +
              " COUNT " + std::to_string(field.count) +
              "; coordinates must be single numbers (TYPE F SIZE 4 or 8, or TYPE I or U, COUNT 1)";
      return false;
    }
    header.axis_field[axis] = found;
  }

  if (line_of[kHeight] && !line_of[kWidth]) {
    error = "HEIGHT without WIDTH";
    return false;
  }
  if (line_of[kWidth]) {
    const auto& w = entries[kWidth];
    const auto& h = entries[kHeight];
    if (w.size() != 1 || !parseCount(w[0], header.width) ||
        (line_of[kHeight] && (h.size() != 1 || !parseCount(h[0], header.height)))) {
      error = "WIDTH and HEIGHT must be whole numbers";
      return false;
    }
  }
  if (line_of[kPoints]) {
    if (entries[kPoints].size() != 1 || !parseCount(entries[kPoints][0], header.points)) {
      error = "the header declares no number of POINTS";
      return false;
    }
    if (line_of[kWidth] && saturatingProduct(header.width, header.height) != header.points) {
      error = "WIDTH " + std::to_string(header.width) + " x HEIGHT " + std::to_string(header.height) +
              " differs from POINTS " + std::to_string(header.points);
      return false;
    }
  } else if (line_of[kWidth]) {
    header.points = saturatingProduct(header.width, header.height);
    if (header.points == UINT64_MAX) {
      error = "WIDTH " + std::to_string(header.width) + " x HEIGHT " + std::to_string(header.height) +
              " is beyond any file";
      return false;
    }
  } else {
    error = "the header declares no number of POINTS";
    return false;
  }
  if (!line_of[kWidth]) header.width = header.points;

  if (line_of[kViewpoint]) {
    const auto& values = entries[kViewpoint];
    if (values.size() != 7) {
      error = "VIEWPOINT gives " + std::to_string(values.size()) + " values, not 7";
      return false;
    }
    for (int i = 0; i < 7; ++i) {
      if (!parseDecimal(values[i].data(), values[i].data() + values[i].size(), header.viewpoint[i])) {
        error = "VIEWPOINT value " + quotedText(values[i].data(), values[i].data() + values[i].size()) +
                " is not a number";
        return false;
      }
    }
  }
  return true;
}

bool checkPcdDataSize(const PcdHeader& header, uint64_t file_size, std::string& error) {
  const uint64_t available = file_size > header.data_start ? file_size - header.data_start : 0;
  uint64_t needed = 0;
  std::string unit;
  switch (header.encoding) {
    case PcdEncoding::kBinaryCompressed: return true;
    case PcdEncoding::kBinary:
      needed = saturatingProduct(header.points, header.point_bytes);
      unit = " of " + std::to_string(header.point_bytes) + " bytes";
      break;
    case PcdEncoding::kAscii: {
      // A character and a separator a value, bar the last separator.
      const uint64_t values = saturatingProduct(header.points, header.values_per_point);
      needed = values == 0 ? 0 : saturatingProduct(values, 2) - 1;
      unit = " of " + std::to_string(header.values_per_point) + " values as text";
      break;
    }
  }
  if (needed <= available) return true;
  error = "the header declares " + std::to_string(header.points) + " points" + unit + ", at least " +
          dataSizeText(needed) + " bytes of data, but the file holds only " + std::to_string(available) +
          " bytes after its header";
  return false;
}

}  // namespace korvane_navigation
