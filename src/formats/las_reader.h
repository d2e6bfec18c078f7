// Reader for ASPRS LAS point clouds, versions 1.0 to 1.4, point data
// formats 0 to 10. Only the scaled x, y, z of each record are decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "formats/point_blocks.h"

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

// Whether the record is flagged withheld: the format says such points are
// not to be processed.
bool lasPointWithheld(uint8_t point_format, const uint8_t* record);

// Decodes `count` consecutive point records starting at `records` into x, y,
// z (scale and offset applied, in double) at out[3 * i + 0..2], leaving out
// the points flagged withheld; returns how many points it wrote.
size_t decodeLasPoints(const LasHeader& header, const uint8_t* records, size_t count, double* out);

enum class LasReadStatus { kOk, kCannotOpen, kInvalid };

struct LasReadResult {
  LasReadStatus status = LasReadStatus::kInvalid;
  LasHeader header;
  uint64_t points_read = 0;  // less than header.point_count when the file is truncated
  uint64_t withheld_points = 0;  // read, but flagged withheld and left out
  std::string error;         // set unless status is kOk; names the file
  std::string warning;       // a LAZ file read without its chunk table; names the file
};

// Reads the file in large blocks and hands each block's points to `sink`,
// without ever holding more than a block a thread: for clouds larger than
// memory. With `threads` above one, that many threads read and decode: block
// b goes to thread b % threads (thread 0 is the caller's), and block 0 is
// handed over before any other thread starts, so which points meet on a
// thread never depends on timing. A file shorter than its header says
// yields the whole records it holds; one that shrinks while it is read
// fails, on any thread count. `progress`, when given, is called on the
// calling thread after each of thread 0's blocks and once at the end, with
// the bytes of the file read so far, header included. What the sink throws
// ends the reading on every thread and is thrown again here.
LasReadResult readLasPoints(const std::string& path, const PointBlockSink& sink,
                            const ReadProgress& progress = nullptr, unsigned threads = 1);

}  // namespace korvane_navigation
