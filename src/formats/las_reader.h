// Reader for ASPRS LAS point clouds, versions 1.0 to 1.4, point data
// formats 0 to 10. Only the scaled x, y, z of each record are decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace korvane_navigation {

struct LasHeader {
  uint8_t version_major = 0;
  uint8_t version_minor = 0;
  uint16_t header_size = 0;
  uint32_t offset_to_point_data = 0;
  uint8_t point_format = 0;  // compression bits stripped
  bool compressed = false;   // LAZ: the point data is LASzip-coded
  uint16_t point_record_length = 0;
  uint64_t point_count = 0;  // 64-bit count for LAS 1.4 when non-zero, else the legacy count
  double scale[3] = {1.0, 1.0, 1.0};
  double offset[3] = {0.0, 0.0, 0.0};
  double min[3] = {0.0, 0.0, 0.0};
  double max[3] = {0.0, 0.0, 0.0};
};

// Smallest legal record length of a point data format (0..10), 0 for an unknown format.
uint16_t lasMinimumRecordLength(uint8_t point_format);

// Parses the public header block at the start of a LAS file. `size` is the
// number of bytes available at `data`, `file_size` the length of the whole file
// (used to reject offsets that point outside it). On failure returns false and
// describes the fault in `error` (without the file name).
bool parseLasHeader(const uint8_t* data, size_t size, uint64_t file_size, LasHeader& header,
                    std::string& error);

// Decodes `count` consecutive point records starting at `records`. Point i's
// x, y, z (scale and offset applied, narrowed to float) go to
// out[i * stride + 0..2].
void decodeLasPoints(const LasHeader& header, const uint8_t* records, size_t count, float* out,
                     size_t stride);

enum class LasReadStatus { kOk, kCannotOpen, kInvalid };

struct LasReadResult {
  LasReadStatus status = LasReadStatus::kInvalid;
  LasHeader header;
  uint64_t points_read = 0;  // less than header.point_count when the file is truncated
  std::string error;         // set unless status is kOk; names the file
  std::string warning;       // a LAZ file read without its chunk table; names the file
};

// Reads the whole file in large blocks. `allocate(n)` is called once, with
// the number of records the file really holds (at most the declared count),
// and returns storage for n points with `stride` floats per point.
// `progress(done, total)`, when given, is called after every block.
LasReadResult readLasFile(const std::string& path, const std::function<float*(uint64_t)>& allocate,
                          size_t stride,
                          const std::function<void(uint64_t, uint64_t)>& progress = nullptr);

// Receives decoded points a block at a time, on the lane that read them: x, y,
// z of point i at xyz[3 * i + 0..2], valid during the call only. The E57
// reader's sink has the same form without the lane, so one consumer serves
// both formats.
using LasPointSink = std::function<void(unsigned lane, const float* xyz, size_t count)>;

// Reads the file in large blocks and hands each block's points to `sink`,
// without ever holding more than a block a lane: for clouds larger than
// memory. With `lanes` above one, that many threads read and decode: block b
// goes to lane b % lanes, on that lane's own thread (lane 0 is the caller's),
// and block 0 is handed over before any other lane starts, so which points
// meet on a lane never depends on timing. The sink is called concurrently on
// different lanes, never twice at once on one. A truncated file yields the
// whole records it holds, as readLasFile. `progress(bytes, total)`, when
// given, is called on the calling thread after each of lane 0's blocks and
// once at the end, with the bytes of the file read so far, header included,
// out of all to be read. What the sink throws ends the reading on every lane
// and is thrown again here.
LasReadResult readLasPoints(const std::string& path, const LasPointSink& sink,
                            const std::function<void(uint64_t, uint64_t)>& progress = nullptr,
                            unsigned lanes = 1);

}  // namespace korvane_navigation
