// Reading a run of fixed-size records in large blocks on several threads,
// as the binary PCD and PLY readers do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace korvane_navigation {

// Bytes of records read at once by one thread.
constexpr size_t kRecordBlockBytes = size_t{4} << 20;

struct RecordBlocksRead {
  uint64_t records = 0;  // whole records handed over; fewer than asked when the file shrank
  int read_error = 0;    // the system's reason when a read failed, else 0
};

// Reads `records` records of `record_bytes` from byte `first_byte` of `fd`
// and hands each block of whole records to `block(thread, data, count)`.
// Blocks of `records_per_block` records (0: about kRecordBlockBytes) go to
// `threads` threads, block b to thread b % threads (0 is the caller's), and
// block 0 is handed over before the other threads start, so which records
// meet on a thread never depends on timing. `progress(records done)` is
// called on the calling thread after each of thread 0's blocks. What
// `block` throws ends the reading on every thread and is thrown again here.
RecordBlocksRead readRecordBlocks(int fd, uint64_t first_byte, size_t record_bytes, uint64_t records,
                                  unsigned threads,
                                  const std::function<void(unsigned, const uint8_t*, size_t)>& block,
                                  const std::function<void(uint64_t)>& progress, size_t records_per_block = 0);

// The number of records a block holds for records of `record_bytes`.
size_t recordsPerBlock(size_t record_bytes);

}  // namespace korvane_navigation
