#include "formats/record_blocks.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "formats/file_reading.h"
#include "support/joined_threads.h"

namespace korvane_navigation {

size_t recordsPerBlock(size_t record_bytes) { return std::max<size_t>(1, kRecordBlockBytes / std::max<size_t>(1, record_bytes)); }

RecordBlocksRead readRecordBlocks(int fd, uint64_t first_byte, size_t record_bytes, uint64_t records,
                                  unsigned threads_wanted,
                                  const std::function<void(unsigned, const uint8_t*, size_t)>& block,
                                  const std::function<void(uint64_t)>& progress, size_t records_per_block) {
  RecordBlocksRead outcome;
  if (records == 0 || record_bytes == 0) return outcome;
  if (records_per_block == 0) records_per_block = recordsPerBlock(record_bytes);
  const uint64_t blocks = (records + records_per_block - 1) / records_per_block;
  const auto threads = static_cast<unsigned>(std::max<uint64_t>(1, std::min<uint64_t>(threads_wanted, blocks)));
  const auto block_records = static_cast<size_t>(std::min<uint64_t>(records, records_per_block));

  std::atomic<uint64_t> records_read{0};
  std::atomic<bool> stop{false};
  // Blocks from the first short one on hold nothing: the file ends there.
  std::atomic<uint64_t> end_block{blocks};
  std::mutex error_mutex;
  std::vector<std::unique_ptr<uint8_t[]>> buffers(threads);
  // Reads blocks first, first + threads, ... until the last, a short one or
  // a stop; `only_first` reads just the first.
  const auto readThread = [&](unsigned thread, uint64_t first, bool only_first) {
    std::unique_ptr<uint8_t[]>& buffer = buffers[thread];
    if (!buffer) buffer.reset(new uint8_t[block_records * record_bytes]);
    for (uint64_t b = first; b < end_block.load() && !stop.load(std::memory_order_relaxed); b += threads) {
      const uint64_t first_record = b * records_per_block;
      const auto wanted = static_cast<size_t>(std::min<uint64_t>(records - first_record, records_per_block));
      const ssize_t got = readAt(fd, buffer.get(), wanted * record_bytes, first_byte + first_record * record_bytes);
      if (got < 0) {
        const std::lock_guard<std::mutex> lock(error_mutex);
        if (outcome.read_error == 0) outcome.read_error = errno;
        stop = true;
        break;
      }
      const size_t whole = static_cast<size_t>(got) / record_bytes;
      try {
        if (whole > 0) block(thread, buffer.get(), whole);
      } catch (...) {
        stop = true;
        throw;
      }
      records_read += whole;
      if (thread == 0 && progress) progress(records_read.load());
      if (whole < wanted) {  // the file shrank after it was measured
        uint64_t end = end_block.load();
        while (b + 1 < end && !end_block.compare_exchange_weak(end, b + 1)) {
        }
        break;
      }
      if (only_first) break;
    }
  };
  {
    JoinedThreads helpers;
    try {
      readThread(0, 0, threads > 1);
      for (unsigned thread = 1; thread < threads; ++thread) {
        helpers.start([&readThread, thread]() { readThread(thread, thread, false); });
      }
      if (threads > 1) readThread(0, threads, false);
    } catch (...) {
      stop = true;
      throw;  // the helpers are joined on the way out
    }
    helpers.joinAndRethrow();
  }
  outcome.records = records_read.load();
  if (threads > 1 && progress) progress(outcome.records);
  return outcome;
}

}  // namespace korvane_navigation
