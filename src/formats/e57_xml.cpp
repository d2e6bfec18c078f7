#include "formats/e57_xml.h"

#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "formats/e57_pages.h"

namespace korvane_navigation {
namespace e57 {
namespace {

// Text from the file as it may appear in an error: bytes that could upset a
// terminal or a log are replaced, and long values cut short.
std::string shown(const std::string& value) {
  constexpr size_t kLongest = 40;
  std::string out;
  for (size_t i = 0; i < value.size() && i < kLongest; ++i)
    out += value[i] >= 0x20 && value[i] < 0x7F ? value[i] : '?';
  if (value.size() > kLongest) out += "...";
  return out;
}

std::string trimmed(const char* value) {
  std::string s = value;
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && space(s.back())) s.pop_back();
  size_t start = 0;
  while (start < s.size() && space(s[start])) ++start;
  return s.substr(start);
}

bool parseInteger(const std::string& s, int64_t& value) {
  const char* first = s.data();
  if (!s.empty() && s[0] == '+') ++first;
  const auto [end, ec] = std::from_chars(first, s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() && first != end;
}

bool parseUnsigned(const std::string& s, uint64_t& value) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

bool parseDouble(const std::string& s, double& value) {
  const char* first = s.data();
  if (!s.empty() && s[0] == '+') ++first;
  const auto [end, ec] = std::from_chars(first, s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() && first != end;
}

// Fills a field from its prototype element. E57's defaults when an attribute
// is absent: the full 64-bit range, scale 1, offset 0, double precision.
bool parseField(const pugi::xml_node& node, const std::string& name, Field& field, std::string& error) {
  const std::string type = node.attribute("type").value();
  field.name = name;
  if (type == "Float") {
    field.kind = FieldKind::kFloat;
    field.bits = std::string(node.attribute("precision").value()) == "single" ? 32 : 64;
    return true;
  }
  if (type != "Integer" && type != "ScaledInteger") {
    error = "field " + shown(name) +
            (type.empty() ? " has no type" : " has type " + shown(type) + ", which is not supported");
    return false;
  }
  field.kind = type == "Integer" ? FieldKind::kInteger : FieldKind::kScaledInteger;
  int64_t bounds[2] = {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
  static constexpr const char* kBoundNames[] = {"minimum", "maximum"};
  for (int i = 0; i < 2; ++i) {
    const pugi::xml_attribute attribute = node.attribute(kBoundNames[i]);
    if (!attribute) continue;
    const std::string value = trimmed(attribute.value());
    if (!parseInteger(value, bounds[i])) {
      // Values outside 64-bit integers would need more than 64 bits per value.
      error = "field " + shown(name) + ": " + kBoundNames[i] + " '" + shown(value) +
              "' is not an integer of at most 64 bits";
      return false;
    }
  }
  if (bounds[0] > bounds[1]) {
    error = "field " + shown(name) + ": minimum " + std::to_string(bounds[0]) + " greater than maximum " +
            std::to_string(bounds[1]);
    return false;
  }
  field.minimum = bounds[0];
  // ceil(log2(max - min + 1)) is the bit length of max - min.
  const uint64_t range = static_cast<uint64_t>(bounds[1]) - static_cast<uint64_t>(bounds[0]);
  field.bits = 0;
  while (field.bits < 64 && (range >> field.bits) != 0) ++field.bits;
  if (field.kind == FieldKind::kScaledInteger) {
    static constexpr const char* kAttributes[] = {"scale", "offset"};
    double* targets[] = {&field.scale, &field.offset};
    for (int i = 0; i < 2; ++i) {
      const pugi::xml_attribute attribute = node.attribute(kAttributes[i]);
      if (!attribute) continue;
      const std::string value = trimmed(attribute.value());
      if (!parseDouble(value, *targets[i]) || !std::isfinite(*targets[i])) {
        error = "field " + shown(name) + ": " + kAttributes[i] + " '" + shown(value) + "' is not a finite number";
        return false;
      }
    }
  }
  return true;
}

// Prototypes nest a few structures at most (a colour, an intensity); beyond
// these bounds a file is damaged or made to exhaust the reader. Paths are
// bounded too, since each field carries its whole path.
constexpr size_t kDeepestNesting = 64;
constexpr size_t kLongestFieldPath = 1024;

// Depth first through nested structures, with a stack of its own rather than
// recursion: every terminal node is one bytestream, named by its path.
bool collectFields(const pugi::xml_node& prototype, std::vector<Field>& fields, std::string& error) {
  struct Level {
    pugi::xml_node next;  // the next child to visit
    size_t prefix_length;
  };
  std::string path;
  std::vector<Level> levels = {{prototype.first_child(), 0}};
  while (!levels.empty()) {
    Level& level = levels.back();
    const pugi::xml_node child = level.next;
    if (!child) {
      levels.pop_back();
      continue;
    }
    level.next = child.next_sibling();
    if (child.type() != pugi::node_element) continue;
    path.resize(level.prefix_length);
    path += child.name();
    if (path.size() > kLongestFieldPath) {
      error = "prototype field " + shown(path) + " has a path longer than " + text(kLongestFieldPath) + " bytes";
      return false;
    }
    if (std::string(child.attribute("type").value()) == "Structure") {
      if (levels.size() >= kDeepestNesting) {
        error = "prototype nests structures deeper than " + text(kDeepestNesting) + " levels (at " + shown(path) +
                ")";
        return false;
      }
      path += '/';
      levels.push_back({child.first_child(), path.size()});
      continue;
    }
    fields.emplace_back();
    if (!parseField(child, path, fields.back(), error)) return false;
    if (fields.size() > std::numeric_limits<uint16_t>::max()) {
      error = "prototype has more than " + text(std::numeric_limits<uint16_t>::max()) +
              " fields, more than a packet can carry";
      return false;
    }
  }
  return true;
}

bool parseNumberChild(const pugi::xml_node& parent, const char* name, const std::string& what, double& value,
                      std::string& error) {
  const pugi::xml_node node = parent.child(name);
  if (!node) {
    error = what + " lacks " + name;
    return false;
  }
  const std::string value_text = trimmed(node.text().get());
  // An element with no content holds 0: writers leave zeros out.
  if (value_text.empty()) {
    value = 0.0;
    return true;
  }
  if (!parseDouble(value_text, value) || !std::isfinite(value)) {
    error = what + " " + name + " '" + shown(value_text) + "' is not a finite number";
    return false;
  }
  return true;
}

bool parsePose(const pugi::xml_node& pose, ScanDescription& scan, std::string& error) {
  scan.has_pose = true;
  if (const pugi::xml_node rotation = pose.child("rotation")) {
    double q[4];
    static constexpr const char* kNames[] = {"w", "x", "y", "z"};
    for (int i = 0; i < 4; ++i)
      if (!parseNumberChild(rotation, kNames[i], "pose rotation", q[i], error)) return false;
    const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!(norm > 0) || !std::isfinite(norm)) {
      error = "pose rotation is not a usable quaternion (length " + std::to_string(norm) + ")";
      return false;
    }
    const double w = q[0] / norm, x = q[1] / norm, y = q[2] / norm, z = q[3] / norm;
    const double m[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                            {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                            {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
    std::memcpy(scan.rotation, m, sizeof m);
  }
  if (const pugi::xml_node translation = pose.child("translation")) {
    static constexpr const char* kNames[] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i)
      if (!parseNumberChild(translation, kNames[i], "pose translation", scan.translation[i], error)) return false;
  }
  return true;
}

bool parseCodecs(const pugi::xml_node& codecs, std::string& error) {
  for (const pugi::xml_node& codec : codecs.children()) {
    if (codec.type() != pugi::node_element) continue;
    for (const pugi::xml_node& entry : codec.children()) {
      if (entry.type() != pugi::node_element) continue;
      const std::string name = entry.name();
      if (name == "inputs" || name == "bitPackCodec") continue;
      error = "codec '" + shown(name) + "' is not supported (only bit packing is)";
      return false;
    }
  }
  return true;
}

bool parseScan(const pugi::xml_node& node, ScanDescription& scan, std::string& error) {
  if (const pugi::xml_node pose = node.child("pose")) {
    if (!parsePose(pose, scan, error)) return false;
  }
  const pugi::xml_node points = node.child("points");
  if (!points) {
    error = "no points";
    return false;
  }
  if (std::string(points.attribute("type").value()) != "CompressedVector") {
    error = "points are not a CompressedVector";
    return false;
  }
  static constexpr const char* kCountAttributes[] = {"fileOffset", "recordCount"};
  uint64_t* counts[] = {&scan.file_offset, &scan.record_count};
  for (int i = 0; i < 2; ++i) {
    const std::string value = trimmed(points.attribute(kCountAttributes[i]).value());
    if (!parseUnsigned(value, *counts[i])) {
      error = std::string("points ") + kCountAttributes[i] + " '" + shown(value) + "' is not an unsigned integer";
      return false;
    }
  }
  if (const pugi::xml_node codecs = points.child("codecs")) {
    if (!parseCodecs(codecs, error)) return false;
  }
  const pugi::xml_node prototype = points.child("prototype");
  if (!prototype) {
    error = "points have no prototype";
    return false;
  }
  if (!collectFields(prototype, scan.fields, error)) return false;

  auto find = [&](const char* name) {
    for (size_t i = 0; i < scan.fields.size(); ++i)
      if (scan.fields[i].name == name) return static_cast<int>(i);
    return -1;
  };
  const int cartesian[3] = {find("cartesianX"), find("cartesianY"), find("cartesianZ")};
  const int spherical[3] = {find("sphericalRange"), find("sphericalAzimuth"), find("sphericalElevation")};
  const auto complete = [](const int(&indices)[3]) { return indices[0] >= 0 && indices[1] >= 0 && indices[2] >= 0; };
  if (complete(cartesian)) {
    std::copy(cartesian, cartesian + 3, scan.coordinate_fields);
    scan.invalid_state_field = find("cartesianInvalidState");
  } else if (complete(spherical)) {
    scan.spherical = true;
    std::copy(spherical, spherical + 3, scan.coordinate_fields);
    scan.invalid_state_field = find("sphericalInvalidState");
  } else {
    error = "prototype has neither cartesianX/Y/Z nor sphericalRange/Azimuth/Elevation";
    return false;
  }
  return true;
}

}  // namespace

bool parseXml(std::string& xml, std::vector<ScanDescription>& scans, std::string& error) {
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer_inplace(&xml[0], xml.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) {
    error = std::string("XML section does not parse: ") + parsed.description() + " at byte " +
            text(static_cast<uint64_t>(parsed.offset));
    return false;
  }
  const pugi::xml_node root = document.document_element();
  if (std::string(root.name()) != "e57Root") {
    error = "XML root element is <" + shown(root.name()) + ">, not <e57Root>";
    return false;
  }
  const pugi::xml_node data3d = root.child("data3D");
  if (!data3d) {
    error = "XML section has no data3D";
    return false;
  }
  for (const pugi::xml_node& child : data3d.children()) {
    if (child.type() != pugi::node_element) continue;
    scans.emplace_back();
    if (!parseScan(child, scans.back(), error)) {
      error = "scan " + text(scans.size() - 1) + ": " + error;
      return false;
    }
  }
  return true;
}

}  // namespace e57
}  // namespace korvane_navigation
