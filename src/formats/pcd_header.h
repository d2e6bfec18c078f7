// The header of a PCD file (versions 0.5 to 0.7): which fields a point
// holds, how many points there are and how their data are laid out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/scalar_values.h"

namespace korvane_navigation {

// A header that does not end within this many bytes is refused.
constexpr size_t kPcdHeaderLimit = size_t{1} << 20;

enum class PcdEncoding { kAscii, kBinary, kBinaryCompressed };

struct PcdField {
  std::string name;
  char type = 'F';  // F, I or U
  uint64_t size = 4;
  uint64_t count = 1;
  uint64_t offset = 0;       // bytes into a binary record
  uint64_t first_value = 0;  // values into a text line
};

struct PcdHeader {
  std::vector<PcdField> fields;
  uint64_t width = 0, height = 1, points = 0;
  // Sensor position and orientation: tx ty tz qw qx qy qz.
  double viewpoint[7] = {0, 0, 0, 1, 0, 0, 0};
  PcdEncoding encoding = PcdEncoding::kAscii;
  uint64_t data_start = 0;  // bytes from the file's start
  uint64_t lines = 0;       // header lines, the DATA line included
  uint64_t point_bytes = 0;
  uint64_t values_per_point = 0;
  size_t axis_field[3] = {0, 0, 0};  // fields holding x, y, z
  ScalarType axis_type[3] = {ScalarType::kFloat32, ScalarType::kFloat32, ScalarType::kFloat32};
};

// Parses the header at the start of `data` (`size` bytes, all of the file
// or its first kPcdHeaderLimit bytes at least). Keywords come in any order
// and any case, '#' starts a comment; without SIZE, TYPE or COUNT every
// field is one 4-byte float, without POINTS there are WIDTH x HEIGHT. On
// refusal `error` says why, with the line or numbers involved.
bool parsePcdHeader(const char* data, size_t size, PcdHeader& header, std::string& error);

// Checks that data of the header's points can fit in the `file_size` bytes
// of the file: for binary to the byte, for text at a character and a
// separator a value. Compressed data are checked by their own sizes.
bool checkPcdDataSize(const PcdHeader& header, uint64_t file_size, std::string& error);

}  // namespace korvane_navigation
