// The header of a PLY file: its encoding and its elements, each a number
// of rows of properties, scalars or lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/scalar_values.h"

namespace korvane_navigation {

// A header that does not end within this many bytes is refused.
constexpr size_t kPlyHeaderLimit = size_t{1} << 20;

enum class PlyEncoding { kAscii, kBinaryLittleEndian, kBinaryBigEndian };

struct PlyProperty {
  std::string name;
  ScalarType type = ScalarType::kFloat32;  // of a list, its items' type
  bool list = false;
  ScalarType count_type = ScalarType::kUint8;  // of a list
};

struct PlyElement {
  std::string name;
  uint64_t rows = 0;
  std::vector<PlyProperty> properties;
  bool has_lists = false;
  uint64_t least_row_bytes = 0;  // in binary, lists taken as empty; the row's size when it has none
};

struct PlyHeader {
  PlyEncoding encoding = PlyEncoding::kAscii;
  std::vector<PlyElement> elements;
  bool has_vertices = false;
  size_t vertex_element = 0;
  size_t axis_property[3] = {0, 0, 0};  // properties of the vertex element holding x, y, z
  uint64_t data_start = 0;
  uint64_t lines = 0;  // header lines, end_header included
};

// Parses the header at the start of `data` (`size` bytes, all of the file
// or its first kPlyHeaderLimit bytes at least); lines end in LF, CR LF or
// CR. The vertices' x, y, z may be named in any case and be of any scalar
// type. On refusal `error` says why, naming the line.
bool parsePlyHeader(const char* data, size_t size, PlyHeader& header, std::string& error);

// Checks that the rows of every element can fit in the `file_size` bytes
// of the file: in binary at their scalars' bytes, in text at a character
// and a separator a value.
bool checkPlyDataSize(const PlyHeader& header, uint64_t file_size, std::string& error);

}  // namespace korvane_navigation
