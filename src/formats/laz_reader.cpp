#include "formats/laz_reader.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "formats/file_reading.h"
#include "support/joined_threads.h"
#include "formats/las_format.h"
#include "formats/laz_layered.h"
#include "formats/laz_layout.h"
#include "formats/laz_pointwise.h"

namespace korvane_navigation {
namespace {

constexpr size_t kFirstEvlrAt = 235;  // LAS 1.4: where the extended VLRs start
constexpr uint64_t kTableHeaderBytes = 8;  // version and chunk count
// Noise coded arithmetically grows a little; no chunk of real points needs
// more than twice its raw size.
constexpr uint64_t kChunkGrowth = 2;
constexpr uint64_t kChunkSlack = 4096;

inline uint32_t loadU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t loadU64(const uint8_t* p) { return uint64_t{loadU32(p)} | uint64_t{loadU32(p + 4)} << 32; }

bool readExactly(int fd, uint8_t* buffer, size_t size, uint64_t position) {
  return readAt(fd, buffer, size, position) == static_cast<ssize_t>(size);
}

laz::ChunkDecoding decodeChunk(const laz::Layout& layout, const uint8_t* chunk, size_t size, size_t count,
                               uint8_t* records) {
  if (layout.compressor == laz::Compressor::kLayeredChunked)
    return laz::decodeLayeredChunk(layout.items, chunk, size, count, records);
  return laz::decodePointwiseChunk(layout.items, chunk, size, count, records);
}

// Where the chunks are: from the table when it is sound, else nothing and
// the reason it is not.
struct TablePlan {
  std::vector<laz::Chunk> chunks;
  std::string fault;
};

TablePlan readChunkTable(int fd, uint64_t file_size, uint64_t data_start, uint64_t data_end, uint64_t table_at,
                         const LasHeader& header, const laz::Layout& layout) {
  TablePlan plan;
  if (table_at < data_start || table_at > data_end || file_size - table_at < kTableHeaderBytes) {
    plan.fault = table_at == data_start - 8 ? "the chunk table was never written"
                                           : "the chunk table offset " + std::to_string(table_at) +
                                                 " lies outside the point data (file cut short?)";
    return plan;
  }
  uint8_t table_header[kTableHeaderBytes];
  if (!readExactly(fd, table_header, sizeof table_header, table_at)) {
    plan.fault = "the chunk table cannot be read";
    return plan;
  }
  const uint32_t version = loadU32(table_header), count = loadU32(table_header + 4);
  if (version != 0) {
    plan.fault = "chunk table version " + std::to_string(version) + " is unknown";
    return plan;
  }
  // Every chunk holds at least a raw record.
  const uint64_t most_chunks = (table_at - data_start) / header.point_record_length + 1;
  if (count > most_chunks) {
    plan.fault = "the chunk table lists " + std::to_string(count) + " chunks, more than the point data can hold";
    return plan;
  }
  const uint64_t entry_bytes = std::min<uint64_t>(file_size - table_at - kTableHeaderBytes, uint64_t{count} * 16 + 64);
  std::vector<uint8_t> entries(static_cast<size_t>(entry_bytes));
  if (!readExactly(fd, entries.data(), entries.size(), table_at + kTableHeaderBytes)) {
    plan.fault = "the chunk table cannot be read";
    return plan;
  }
  const bool variable = layout.chunk_size == laz::kVariableChunkSize;
  std::vector<uint32_t> point_counts, byte_counts;
  if (!laz::decodeChunkTable(entries.data(), entries.size(), count, variable, point_counts, byte_counts)) {
    plan.fault = "the chunk table is damaged";
    return plan;
  }
  plan.chunks = laz::layOutChunks(data_start, table_at, header.point_count, layout.chunk_size,
                                  header.point_record_length, point_counts,
                                  byte_counts, plan.fault);
  return plan;
}

// Runs `work(lane, index)` for index 0 .. count-1, index i on lane i %
// lanes, index 0 before the other lanes start; `work` returns false to stop
// every lane.
template <typename Work>
void spreadOverLanes(uint64_t count, unsigned lanes, Work&& work) {
  const auto threads = static_cast<unsigned>(std::max<uint64_t>(1, std::min<uint64_t>(lanes, count)));
  std::atomic<bool> stop{false};
  const auto runLane = [&](unsigned lane, uint64_t first, bool only_first) {
    for (uint64_t i = first; i < count && !stop.load(std::memory_order_relaxed); i += threads) {
      bool go_on = false;
      try {
        go_on = work(lane, i);
      } catch (...) {
        stop = true;
        throw;
      }
      if (!go_on) stop = true;
      if (only_first) break;
    }
  };
  JoinedThreads helpers;
  try {
    runLane(0, 0, threads > 1);
    for (unsigned lane = 1; lane < threads; ++lane) helpers.start([&runLane, lane]() { runLane(lane, lane, false); });
    if (threads > 1) runLane(0, threads, false);
  } catch (...) {
    stop = true;
    throw;  // the helpers are joined on the way out
  }
  helpers.joinAndRethrow();
}

}  // namespace

LazRecordsResult readLazRecords(int fd, uint64_t file_size, const LasHeader& header, const uint8_t* header_data,
                                size_t header_bytes, const std::function<bool(uint64_t)>& start,
                                const LazChunkSink& sink, const std::function<void(uint64_t, uint64_t)>& progress,
                                unsigned lanes) {
  LazRecordsResult result;
  const size_t record_length = header.point_record_length;

  std::vector<uint8_t> vlrs(header.offset_to_point_data - header.header_size);
  if (!readExactly(fd, vlrs.data(), vlrs.size(), header.header_size)) {
    result.error = "cannot read the VLRs";
    return result;
  }
  laz::Layout layout;
  const uint32_t vlr_count = header_bytes > las::kVlrCountAt + 3 ? loadU32(header_data + las::kVlrCountAt) : 0;
  if (!laz::findLayout(vlrs.data(), vlrs.size(), vlr_count, layout, result.error)) return result;
  result.error = laz::layoutRefusal(layout, header.point_format, header.point_record_length);
  if (!result.error.empty()) return result;

  const uint64_t pointer_at = header.offset_to_point_data;
  const uint64_t data_start = pointer_at + 8;
  if (header.point_count == 0 || file_size < data_start) {
    if (header.point_count != 0) result.warning = "the point data ends before its first chunk (file cut short?)";
    if (!start(0)) return result;
    result.ok = true;
    return result;
  }
  uint8_t pointer[8];
  if (!readExactly(fd, pointer, sizeof pointer, pointer_at)) {
    result.error = std::string("read error: ") + std::strerror(errno);
    return result;
  }
  uint64_t table_at = loadU64(pointer);
  if (table_at == ~uint64_t{0} && file_size >= data_start + 8) {
    // Written to a stream that could not seek back: the offset ends the file.
    if (readExactly(fd, pointer, sizeof pointer, file_size - 8)) table_at = loadU64(pointer);
  }
  uint64_t data_end = file_size;
  if (header.version_minor >= 4 && header_bytes >= kFirstEvlrAt + 8) {
    const uint64_t evlrs_at = loadU64(header_data + kFirstEvlrAt);
    if (evlrs_at > data_start && evlrs_at < data_end) data_end = evlrs_at;
  }

  const TablePlan plan = readChunkTable(fd, file_size, data_start, data_end, table_at, header, layout);
  const bool variable = layout.chunk_size == laz::kVariableChunkSize;
  std::atomic<uint64_t> records_done{0};
  std::mutex fault_mutex;
  std::string fault;
  const auto noteFault = [&](const std::string& what) {
    const std::lock_guard<std::mutex> lock(fault_mutex);
    if (fault.empty()) fault = what;
  };

  if (plan.fault.empty()) {
    const std::vector<laz::Chunk>& chunks = plan.chunks;
    uint64_t total = 0, largest_bytes = 0, largest_points = 0;
    for (const laz::Chunk& chunk : chunks) {
      total += chunk.points;
      largest_bytes = std::max(largest_bytes, chunk.bytes);
      largest_points = std::max(largest_points, chunk.points);
    }
    if (!start(total)) {
      result.error = "no storage for " + std::to_string(total) + " points";
      return result;
    }
    const auto threads = static_cast<unsigned>(std::max<uint64_t>(1, std::min<uint64_t>(lanes, chunks.size())));
    std::vector<std::vector<uint8_t>> compressed(threads), records(threads);
    spreadOverLanes(chunks.size(), threads, [&](unsigned lane, uint64_t index) {
      const laz::Chunk& chunk = chunks[index];
      std::vector<uint8_t>& bytes = compressed[lane];
      std::vector<uint8_t>& decoded = records[lane];
      if (bytes.empty()) bytes.resize(static_cast<size_t>(largest_bytes));
      if (decoded.empty()) decoded.resize(static_cast<size_t>(largest_points * record_length));
      if (!readExactly(fd, bytes.data(), static_cast<size_t>(chunk.bytes), chunk.offset)) {
        noteFault("chunk " + std::to_string(index) + " cannot be read");
        return false;
      }
      const laz::ChunkDecoding decoding =
          decodeChunk(layout, bytes.data(), static_cast<size_t>(chunk.bytes), static_cast<size_t>(chunk.points),
                      decoded.data());
      if (!decoding.error.empty()) {
        noteFault("chunk " + std::to_string(index) + " of " + std::to_string(chunks.size()) + ": " + decoding.error);
        return false;
      }
      sink(lane, decoded.data(), static_cast<size_t>(chunk.points), chunk.first_point);
      records_done += chunk.points;
      if (lane == 0 && progress) progress(records_done.load(), total);
      return true;
    });
    if (!fault.empty()) {
      result.error = fault;
      return result;
    }
    if (threads > 1 && progress) progress(records_done.load(), total);
    result.records = records_done.load();
    result.ok = true;
    return result;
  }

  // No usable table: the chunks follow one another, each ending where its
  // decoding does; fixed chunk sizes tell how many points each holds.
  if (variable) {
    result.error = plan.fault + ", and variable-sized chunks cannot be read without it";
    return result;
  }
  const uint64_t end = std::min(data_end, table_at >= data_start && table_at < data_end ? table_at : data_end);
  const uint64_t most = std::min<uint64_t>(header.point_count, laz::mostRecords(end - data_start, header.point_record_length));
  if (!start(most)) {
    result.error = "no storage for " + std::to_string(most) + " points";
    return result;
  }
  const uint64_t chunk_points = std::min<uint64_t>(layout.chunk_size, most);
  std::vector<uint8_t> bytes, decoded(static_cast<size_t>(chunk_points * record_length));
  uint64_t position = data_start, first = 0, chunk_index = 0;
  std::string stopped;
  while (first < most && position < end) {
    const uint64_t points = std::min<uint64_t>(chunk_points, most - first);
    const uint64_t window = std::min<uint64_t>(end - position, points * record_length * kChunkGrowth + kChunkSlack);
    bytes.resize(static_cast<size_t>(window));
    if (!readExactly(fd, bytes.data(), bytes.size(), position)) {
      stopped = "chunk " + std::to_string(chunk_index) + " cannot be read";
      break;
    }
    const laz::ChunkDecoding decoding =
        decodeChunk(layout, bytes.data(), bytes.size(), static_cast<size_t>(points), decoded.data());
    if (!decoding.error.empty() || decoding.bytes_used == 0) {
      stopped = "chunk " + std::to_string(chunk_index) + ": " + decoding.error;
      break;
    }
    sink(0, decoded.data(), static_cast<size_t>(points), first);
    first += points;
    position += decoding.bytes_used;
    ++chunk_index;
    if (progress) progress(first, most);
  }
  if (first == 0 && !stopped.empty()) {
    result.error = plan.fault + "; read in sequence, " + stopped;
    return result;
  }
  result.warning = plan.fault + "; read " + std::to_string(chunk_index) + " whole chunks in sequence";
  if (!stopped.empty()) result.warning += " before " + stopped;
  result.records = first;
  result.ok = true;
  return result;
}

}  // namespace korvane_navigation
