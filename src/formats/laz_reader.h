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
using LazChunkSink = std::function<void(unsigned thread, const uint8_t* records, size_t count, uint64_t first)>;

// Reads the LAZ point data of the LAS file open as `fd` (`file_size`
// bytes), whose public header is `header` and whose first `header_bytes`
// bytes are at `header_data`. `start(count)` is called once with the records
// the chunks hold at most (false refuses them), then `sink` for each chunk.
// With a chunk table, the chunks are shared over `threads` threads as
// runBlocksOnThreads shares blocks (chunk k on thread k % threads, chunk 0
// first on the caller's); without one (a cut file), the chunks are decoded
// one after another on thread 0 and the points of the whole ones are kept,
// with a warning. `progress(records done, records)` is called after each of
// thread 0's chunks. What the sink throws ends the reading and is thrown
// again here.
LazRecordsResult readLazRecords(int fd, uint64_t file_size, const LasHeader& header, const uint8_t* header_data,
                                size_t header_bytes, const std::function<bool(uint64_t)>& start,
                                const LazChunkSink& sink, const std::function<void(uint64_t, uint64_t)>& progress,
                                unsigned threads);

}  // namespace korvane_navigation
