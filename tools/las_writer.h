// Writes LAS files: used by the tests, the synthetic building generator and
// the benchmarks. Not used by the map generator itself.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane_navigation {

struct LasWriteOptions {
  uint8_t version_minor = 2;         // LAS 1.<minor>, 0..4
  uint8_t point_format = 0;          // 0..10
  uint16_t extra_record_bytes = 0;   // appended to each record beyond the format's size
  uint32_t vlr_count = 0;            // empty variable length records before the points
  std::array<double, 3> scale = {0.001, 0.001, 0.001};
  std::array<double, 3> offset = {0.0, 0.0, 0.0};
  bool legacy_count_zero = false;    // LAS 1.4: leave the 32-bit count 0, use the 64-bit one only
  int64_t declared_count = -1;       // header count; -1: the number of points given
};

// Encodes points as a complete LAS file in memory.
std::vector<uint8_t> encodeLas(const std::vector<std::array<double, 3>>& points,
                               const LasWriteOptions& options = {});

// Streams a LAS file to disk point by point through a callback, for clouds too large
// to hold twice in memory. Returns false when the file cannot be written.
class LasFileWriter {
 public:
  LasFileWriter(const std::string& path, const LasWriteOptions& options);
  ~LasFileWriter();
  LasFileWriter(const LasFileWriter&) = delete;
  LasFileWriter& operator=(const LasFileWriter&) = delete;
  void add(double x, double y, double z);
  bool close();  // patches the header (count, bounds) and closes the file

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace korvane_navigation
