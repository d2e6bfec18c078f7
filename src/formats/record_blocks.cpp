#include "formats/record_blocks.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "formats/block_threads.h"
#include "formats/file_reading.h"

namespace korvane_navigation {

size_t recordsPerBlock(size_t record_bytes) { return std::max<size_t>(1, kRecordBlockBytes / std::max<size_t>(1, record_bytes)); }

RecordBlocksRead readRecordBlocks(int fd, uint64_t first_byte, size_t record_bytes, uint64_t records,
                                  unsigned threads_wanted,
                                  const std::function<void(unsigned, const uint8_t*, size_t)>& block,
                                  const std::function<void(uint64_t)>& progress, size_t records_per_block) {
  RecordBlocksRead outcome;
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    outcome.read_error = errno;
    return outcome;
  }
  const auto file_size = static_cast<uint64_t>(info.st_size);
  if (record_bytes == 0 || file_size <= first_byte) return outcome;
  records = std::min<uint64_t>(records, (file_size - first_byte) / record_bytes);
  if (records == 0) return outcome;
  if (records_per_block == 0) records_per_block = recordsPerBlock(record_bytes);
  const uint64_t blocks = (records + records_per_block - 1) / records_per_block;
  const unsigned threads = blockThreads(blocks, threads_wanted);
  const auto block_records = static_cast<size_t>(std::min<uint64_t>(records, records_per_block));

  std::atomic<uint64_t> records_read{0};
  std::atomic<bool> shrank{false};
  std::mutex error_mutex;
  std::vector<std::unique_ptr<uint8_t[]>> buffers(threads);
  runBlocksOnThreads(blocks, threads, [&](unsigned thread, uint64_t b) {
    std::unique_ptr<uint8_t[]>& buffer = buffers[thread];
    if (!buffer) buffer.reset(new uint8_t[block_records * record_bytes]);
    const uint64_t first_record = b * records_per_block;
    const auto wanted = static_cast<size_t>(std::min<uint64_t>(records - first_record, records_per_block));
    const ssize_t got = readAt(fd, buffer.get(), wanted * record_bytes, first_byte + first_record * record_bytes);
    if (got < 0) {
      const std::lock_guard<std::mutex> lock(error_mutex);
      if (outcome.read_error == 0) outcome.read_error = errno;
      return false;
    }
    if (static_cast<size_t>(got) < wanted * record_bytes) {
      shrank = true;
      return false;
    }
    block(thread, buffer.get(), wanted);
    records_read += wanted;
    if (thread == 0 && progress) progress(records_read.load());
    return true;
  });
  outcome.shrank = shrank.load();
  outcome.records = records_read.load();
  if (threads > 1 && progress) progress(outcome.records);
  return outcome;
}

}  // namespace korvane_navigation
