// Reading a run of fixed-size records in large blocks on several threads,
// as the LAS reader and the binary PCD and PLY readers do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace korvane_navigation {

// Bytes of records read at once by one thread.
constexpr size_t kRecordBlockBytes = size_t{4} << 20;

struct RecordBlocksRead {
  uint64_t records = 0;  // whole records handed over: all the file holds of those asked, unless it shrank
  bool shrank = false;   // a block came short of what the file's size promised: the read is no good
  int read_error = 0;    // the system's reason when a read failed, else 0
};

// Reads `records` records of `record_bytes` from byte `first_byte` of `fd`,
// or the whole ones its size holds when fewer, and hands each block of
// records to `block(thread, data, count)`.
// Blocks of `records_per_block` records (0: about kRecordBlockBytes) are
// shared over `threads` threads as runBlocksOnThreads shares them.
// `progress(records done)` is called on the calling thread after each of
// thread 0's blocks. A read error or a short block (the file shrank while
// read) ends the reading on every thread, and so does what `block` throws,
// which is thrown again here.
RecordBlocksRead readRecordBlocks(int fd, uint64_t first_byte, size_t record_bytes, uint64_t records,
                                  unsigned threads,
                                  const std::function<void(unsigned, const uint8_t*, size_t)>& block,
                                  const std::function<void(uint64_t)>& progress, size_t records_per_block = 0);

// What the readers say of a file that shrank while they read it.
constexpr const char* kShrankWhileRead = "the file shrank while it was read";

// The number of records a block holds for records of `record_bytes`.
size_t recordsPerBlock(size_t record_bytes);

}  // namespace korvane_navigation
