// Writes E57 files: used by the tests, the fuzz seeds and the synthetic
// building generator. Not used by the map generator itself. Every layout the
// reader has to cope with can be produced: cartesian or spherical
// coordinates, scaled integers of any width, single or double floats, fields
// a map ignores, small packets that split values and cross pages, index and
// empty packets between the data packets.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "formats/e57_reader.h"

namespace korvane_navigation {

enum class E57CoordinateEncoding { kScaledInteger, kSingleFloat, kDoubleFloat };

// Maps a scan's local frame into the file's common frame. A rotation or
// translation not given is left out of the XML, which readers take as
// identity rotation or zero translation.
struct E57Pose {
  std::optional<std::array<double, 4>> rotation;  // quaternion w, x, y, z; need not be normalised
  std::optional<std::array<double, 3>> translation;
};

struct E57WriteOptions {
  bool spherical = false;  // store range, azimuth, elevation (converted from the x, y, z given)
  E57CoordinateEncoding encoding = E57CoordinateEncoding::kDoubleFloat;
  double scale = 0.001;    // step of the scaled integers, > 0
  double offset = 0.0;
  bool invalid_state_field = false;  // cartesianInvalidState or sphericalInvalidState
  // Intensity, colour, a constant (0-bit) return index, time stamps and a
  // namespaced normal, mixed in among the coordinates.
  bool extra_fields = false;
  uint64_t page_size = 1024;
  size_t max_packet_bytes = e57::kLargestPacket;  // multiple of 4
  bool index_and_empty_packets = false;           // after the first data packet of every scan
  std::function<void(std::string& xml)> edit_xml;  // lets tests damage the XML section
};

// Bounds of the stored coordinates (x, y, z, or range, azimuth, elevation in
// radians): they fix the scaled integer bit widths before the first point is packed.
struct E57Bounds {
  std::array<double, 3> min = {0, 0, 0};
  std::array<double, 3> max = {0, 0, 0};
};

// Where things went, for tests that damage or inspect particular bytes.
// Offsets are physical.
struct E57Layout {
  struct Packet {
    uint64_t offset = 0;
    uint64_t length = 0;  // logical
    uint8_t type = 0;
  };
  struct Scan {
    uint64_t section_offset = 0;
    uint64_t data_offset = 0;
    std::vector<Packet> packets;
  };
  std::vector<Scan> scans;
  uint64_t xml_offset = 0;
  uint64_t xml_length = 0;  // logical
};

// Streams scans to disk; memory stays at one packet per field. Misuse
// (points outside the declared bounds, an invalid point without an invalid
// state field, add outside a scan) throws std::invalid_argument or std::out_of_range.
class E57FileWriter {
 public:
  E57FileWriter(const std::string& path, const E57WriteOptions& options);
  ~E57FileWriter();
  E57FileWriter(const E57FileWriter&) = delete;
  E57FileWriter& operator=(const E57FileWriter&) = delete;

  void beginScan(const std::optional<E57Pose>& pose, const E57Bounds& bounds = {});
  void add(double x, double y, double z, bool invalid = false);  // the scan's local frame
  void endScan();
  // Writes the XML section and the file header; false when the file could not be written.
  bool close();
  std::string error() const;  // "cannot write <path>: <reason>" after a failure
  const E57Layout& layout() const;

 private:
  struct Impl;
  Impl* impl_;
};

struct E57Scan {
  std::vector<std::array<double, 3>> points;  // local frame
  std::vector<bool> invalid;                  // empty, or one flag per point
  std::optional<E57Pose> pose;
};

// Writes all scans, with scaled integer bounds taken from the points. False
// (and `error` set) when the file could not be written.
bool writeE57File(const std::string& path, const std::vector<E57Scan>& scans, const E57WriteOptions& options,
                  std::string& error, E57Layout* layout = nullptr);

}  // namespace korvane_navigation
