#include "formats/cloud_text.h"

#include <algorithm>
#include <map>

namespace korvane_navigation {
namespace cloud_text {
namespace {

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

}  // namespace

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


}  // namespace cloud_text
}  // namespace korvane_navigation
