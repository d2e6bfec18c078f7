// Writes LAZ files: LAS point format 0 compressed as LASzip does it
// (compressor 2, point-wise and chunked; item POINT10 version 2), with a
// chunk table, so that any LAZ reader reads them. For the synthetic
// buildings, the tests and the benchmarks; not used by the map generator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "las_writer.h"

namespace korvane_navigation {

constexpr uint32_t kLazDefaultChunkPoints = 50000;

// Codes `count` point format 0 records (20 bytes each, end to end) as one
// chunk: the first record raw, the others arithmetic-coded after it.
std::vector<uint8_t> encodePoint10Chunk(const uint8_t* records, size_t count);

struct LazWriteOptions {
  LasWriteOptions las;  // version 1.1 to 1.4, scale and offset; point format 0, no extra bytes or VLRs
  uint32_t chunk_points = kLazDefaultChunkPoints;
};

// Encodes points as a complete LAZ file in memory.
std::vector<uint8_t> encodeLaz(const std::vector<std::array<double, 3>>& points, const LazWriteOptions& options = {});

// Streams a LAZ file to disk point by point, a chunk in memory at a time.
class LazFileWriter {
 public:
  LazFileWriter(const std::string& path, const LazWriteOptions& options);
  ~LazFileWriter();
  LazFileWriter(const LazFileWriter&) = delete;
  LazFileWriter& operator=(const LazFileWriter&) = delete;
  void add(double x, double y, double z);
  bool close();  // writes the last chunk and the chunk table, patches the header, closes the file

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace korvane_navigation
