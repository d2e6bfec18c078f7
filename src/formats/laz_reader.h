// Reading the compressed points of a LAZ file (a LAS file whose point
// format carries the compression bit): chunk by chunk, each decoded into
// the uncompressed records the LAS reader decodes further.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "formats/las_reader.h"

namespace korvane_navigation {

struct LazRecordsResult {
  bool ok = false;
  std::string error;    // unless ok: what is wrong, without the file name
  std::string warning;  // when ok but the chunk table was missing or damaged
  uint64_t records = 0; // whole chunks' records delivered
};

// Receives the records of a chunk: `count` records of the header's length
// laid end to end, the first of them record number `first` of the file,
// valid during the call only.
using LazChunkSink = std::function<void(unsigned lane, const uint8_t* records, size_t count, uint64_t first)>;

// Reads the LAZ point data of the LAS file open as `fd` (`file_size`
// bytes), whose public header is `header` and whose first `header_bytes`
// bytes are at `header_data`. `start(count)` is called once with the records
// the chunks hold at most (false refuses them), then `sink` for each chunk.
// With a chunk table, chunk k is decoded on lane k % lanes, on that lane's
// own thread (lane 0 is the caller's), chunk 0 before any other lane starts;
// without one (a cut file), the chunks are decoded one after another on
// lane 0 and the points of the whole ones are kept, with a warning.
// `progress(records done, records)` is called after each of lane 0's
// chunks. What the sink throws ends the reading and is thrown again here.
LazRecordsResult readLazRecords(int fd, uint64_t file_size, const LasHeader& header, const uint8_t* header_data,
                                size_t header_bytes, const std::function<bool(uint64_t)>& start,
                                const LazChunkSink& sink, const std::function<void(uint64_t, uint64_t)>& progress,
                                unsigned lanes);

}  // namespace korvane_navigation
