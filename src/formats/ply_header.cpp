#include "formats/ply_header.h"

#include <algorithm>
#include <cstring>

#include "formats/scalar_values.h"
#include "formats/text_numbers.h"

namespace korvane_navigation {
namespace {

bool scalarTypeNamed(const std::string& name, ScalarType& type) {
  static const struct {
    const char* name;
    ScalarType type;
  } kTypes[] = {{"char", ScalarType::kInt8},      {"int8", ScalarType::kInt8},      {"uchar", ScalarType::kUint8},
                {"uint8", ScalarType::kUint8},    {"short", ScalarType::kInt16},    {"int16", ScalarType::kInt16},
                {"ushort", ScalarType::kUint16},  {"uint16", ScalarType::kUint16},  {"int", ScalarType::kInt32},
                {"int32", ScalarType::kInt32},    {"uint", ScalarType::kUint32},    {"uint32", ScalarType::kUint32},
                {"float", ScalarType::kFloat32},  {"float32", ScalarType::kFloat32}, {"double", ScalarType::kFloat64},
                {"float64", ScalarType::kFloat64}};
  for (const auto& known : kTypes) {
    if (name == known.name) {
      type = known.type;
      return true;
    }
  }
  return false;
}

bool sameIgnoringCase(const std::string& a, char b) { return a.size() == 1 && (a[0] | 0x20) == b; }


}  // namespace

bool parsePlyHeader(const char* data, size_t size, PlyHeader& header, std::string& error) {
  header = PlyHeader();
  // Checked before any line: garbage may have no line end for a long way.
  if (size < 4 || std::memcmp(data, "ply", 3) != 0 || !isBlank(data[3])) {
    error = "no \"ply\" magic line";
    return false;
  }
  const size_t limit = std::min(size, kPlyHeaderLimit);
  size_t position = 3;
  std::string format;
  uint64_t number = 0;
  bool magic = true;
  while (true) {
    const char* begin = data + position;
    const char* stop = data + limit;
    const char* end = std::find_if(begin, stop, [](char c) { return c == '\n' || c == '\r'; });
    if (end == stop) {
      error = size >= kPlyHeaderLimit
                  ? "no end_header line within the first " + std::to_string(kPlyHeaderLimit) + " bytes"
                  : std::string("no end_header line: not a complete header");
      return false;
    }
    position = static_cast<size_t>(end - data) + 1;
    if (*end == '\r' && end + 1 < stop && end[1] == '\n') ++position;
    ++number;
    std::vector<std::string> tokens;
    for (const char* p = begin;;) {
      const char* token_end = nextToken(p, end);
      if (token_end == p) break;
      tokens.emplace_back(p, token_end);
      p = token_end;
    }
    const std::string where = "header line " + std::to_string(number);
    if (magic) {
      magic = false;
      if (!tokens.empty()) {
        error = "no \"ply\" magic line";
        return false;
      }
      continue;
    }
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
      if (tokens[2] != "1.0" && tokens[2] != "1") {
        error = where + ": format version " + tokens[2] + " (1.0 is read)";
        return false;
      }
      format = tokens[1];
      header.encoding = format == "ascii"                  ? PlyEncoding::kAscii
                        : format == "binary_little_endian" ? PlyEncoding::kBinaryLittleEndian
                                                           : PlyEncoding::kBinaryBigEndian;
      continue;
    }
    if (keyword == "element") {
      PlyElement element;
      if (tokens.size() != 3 || !parseCount(tokens[2], element.rows)) {
        error = where + ": an element needs a name and a whole number of rows";
        return false;
      }
      element.name = tokens[1];
      for (const PlyElement& other : header.elements) {
        if (other.name == element.name) {
          error = where + ": a second element " + element.name;
          return false;
        }
      }
      header.elements.push_back(element);
      continue;
    }
    if (keyword == "property") {
      if (header.elements.empty()) {
        error = where + ": a property before any element";
        return false;
      }
      PlyElement& element = header.elements.back();
      PlyProperty property;
      property.list = tokens.size() > 1 && tokens[1] == "list";
      if (tokens.size() < (property.list ? 5u : 3u)) {
        error = where + ": a property needs a type and a name";
        return false;
      }
      if (!scalarTypeNamed(tokens[property.list ? 3 : 1], property.type) ||
          (property.list &&
           (!scalarTypeNamed(tokens[2], property.count_type) || !isIntegerType(property.count_type)))) {
        error = where + ": unknown property type";
        return false;
      }
      property.name = tokens[property.list ? 4 : 2];
      for (const PlyProperty& other : element.properties) {
        if (other.name == property.name) {
          error = where + ": a second property " + property.name + " of element " + element.name;
          return false;
        }
      }
      element.has_lists = element.has_lists || property.list;
      element.least_row_bytes = saturatingSum(element.least_row_bytes, scalarBytes(property.list ? property.count_type : property.type));
      element.properties.push_back(property);
      continue;
    }
    error = where + ": unknown keyword " + keyword;
    return false;
  }
  header.data_start = position;
  header.lines = number;
  if (format.empty()) {
    error = "the header names no format";
    return false;
  }
  if (header.elements.empty()) {
    error = "the header declares no element";
    return false;
  }
  for (size_t e = 0; e < header.elements.size(); ++e) {
    const PlyElement& element = header.elements[e];
    if (element.rows > 0 && element.properties.empty()) {
      error = "element " + element.name + " declares " + std::to_string(element.rows) + " rows of no properties";
      return false;
    }
    if (element.name != "vertex") continue;
    header.has_vertices = true;
    header.vertex_element = e;
    for (int axis = 0; axis < 3; ++axis) {
      const char name = "xyz"[axis];
      const size_t none = element.properties.size();
      size_t found = none;
      for (size_t i = 0; i < element.properties.size(); ++i) {
        const PlyProperty& property = element.properties[i];
        if (!sameIgnoringCase(property.name, name)) continue;
        if (found != none) {
          error = "vertex properties " + element.properties[found].name + " and " + property.name +
                  " both name the " + std::string(1, name) + " coordinate";
          return false;
        }
        found = i;
      }
      if (found == none) {
        error = std::string("the vertices have no ") + name + " property";
        return false;
      }
      if (element.properties[found].list) {
        error = "vertex property " + element.properties[found].name + " is a list; a coordinate must be one number";
        return false;
      }
      header.axis_property[axis] = found;
    }
  }
  return true;
}

bool checkPlyDataSize(const PlyHeader& header, uint64_t file_size, std::string& error) {
  const bool ascii = header.encoding == PlyEncoding::kAscii;
  uint64_t needed = 0;
  for (const PlyElement& element : header.elements) {
    const uint64_t row_bytes = ascii ? saturatingProduct(element.properties.size(), 2) : element.least_row_bytes;
    needed = saturatingSum(needed, saturatingProduct(element.rows, row_bytes));
  }
  // The last text value needs no separator after it.
  if (ascii && needed > 0) --needed;
  const uint64_t available = file_size > header.data_start ? file_size - header.data_start : 0;
  if (needed <= available) return true;
  const uint64_t vertices = header.has_vertices ? header.elements[header.vertex_element].rows : 0;
  const char* format = ascii ? "ascii" : header.encoding == PlyEncoding::kBinaryLittleEndian ? "binary_little_endian"
                                                                                            : "binary_big_endian";
  error = "the header declares " + std::to_string(vertices) + " vertices, and with its other elements at least " +
          (needed == UINT64_MAX ? std::string("2^64") : std::to_string(needed)) + " bytes of " + format +
          " data, but the file holds only " + std::to_string(available) + " bytes after its header";
  return false;
}

}  // namespace korvane_navigation
