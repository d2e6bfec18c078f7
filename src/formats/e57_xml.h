// The XML section as far as points go: for every scan in data3D, its pose
// and the layout of the records in its compressed vector.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane_navigation {
namespace e57 {

enum class FieldKind { kInteger, kScaledInteger, kFloat };

// One prototype field: one bytestream of bit-packed values.
struct Field {
  std::string name;
  FieldKind kind = FieldKind::kInteger;
  unsigned bits = 0;
  int64_t minimum = 0;
  double scale = 1.0;
  double offset = 0.0;
};

struct ScanDescription {
  bool has_pose = false;
  double rotation[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  double translation[3] = {0, 0, 0};
  uint64_t file_offset = 0;
  uint64_t record_count = 0;
  std::vector<Field> fields;
  bool spherical = false;
  int coordinate_fields[3] = {-1, -1, -1};
  int invalid_state_field = -1;
};

// Parses `xml` in place, which changes it. Scans are appended in file order.
bool parseXml(std::string& xml, std::vector<ScanDescription>& scans, std::string& error);

}  // namespace e57
}  // namespace korvane_navigation
