#include "formats/las_reader.h"
#include "formats/file_reading.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "support/joined_threads.h"
#include "formats/las_format.h"
#include "formats/laz_reader.h"

namespace korvane_navigation {
namespace {

using namespace las;

constexpr size_t kLargestHeaderSize = 375;
constexpr uint8_t kCompressionBits = 0xC0;  // set by LAZ writers on the point format byte
constexpr uint8_t kNewestPointFormat = 10;
constexpr size_t kReadBlockBytes = size_t{4} << 20;

// LAS is little-endian; assembling bytes keeps big-endian hosts correct and
// compiles to a single load on little-endian ones.
inline uint16_t loadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t loadU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t loadU64(const uint8_t* p) { return uint64_t{loadU32(p)} | uint64_t{loadU32(p + 4)} << 32; }
inline int32_t loadI32(const uint8_t* p) { return static_cast<int32_t>(loadU32(p)); }
inline double loadF64(const uint8_t* p) {
  const uint64_t bits = loadU64(p);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

uint16_t minimumHeaderSize(uint8_t version_minor) {
  if (version_minor <= 2) return 227;
  if (version_minor == 3) return 235;
  return 375;
}

std::string formatDouble(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string versionText(uint8_t major, uint8_t minor) {
  return std::to_string(major) + "." + std::to_string(minor);
}

}  // namespace

uint16_t lasMinimumRecordLength(uint8_t point_format) {
  static constexpr uint16_t kLengths[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
  return point_format <= kNewestPointFormat ? kLengths[point_format] : 0;
}

bool parseLasHeader(const uint8_t* data, size_t size, uint64_t file_size, LasHeader& header,
                    std::string& error) {
  if (size < 4 || std::memcmp(data, "LASF", 4) != 0) {
    error = "not a LAS file (no LASF signature)";
    return false;
  }
  if (size <= kVersionMinorAt) {
    error = "file shorter than the LAS header (" + std::to_string(size) + " bytes)";
    return false;
  }
  LasHeader parsed;
  parsed.version_major = data[kVersionMajorAt];
  parsed.version_minor = data[kVersionMinorAt];
  const std::string version = versionText(parsed.version_major, parsed.version_minor);
  if (parsed.version_major != 1 || parsed.version_minor > 4) {
    error = "unsupported LAS version " + version;
    return false;
  }
  const uint16_t required_header_size = minimumHeaderSize(parsed.version_minor);
  if (size < required_header_size) {
    error = "file shorter than the LAS header (" + std::to_string(size) + " bytes, LAS " + version +
            " needs " + std::to_string(required_header_size) + ")";
    return false;
  }

  parsed.header_size = loadU16(data + kHeaderSizeAt);
  parsed.offset_to_point_data = loadU32(data + kOffsetToPointDataAt);
  if (parsed.header_size < required_header_size) {
    error = "header size " + std::to_string(parsed.header_size) + " too small for LAS " + version +
            " (needs " + std::to_string(required_header_size) + ")";
    return false;
  }
  if (parsed.header_size > file_size) {
    error = "file shorter than its header (" + std::to_string(file_size) + " bytes, header size " +
            std::to_string(parsed.header_size) + ")";
    return false;
  }
  if (parsed.offset_to_point_data < parsed.header_size || parsed.offset_to_point_data > file_size) {
    error = "offset to point data " + std::to_string(parsed.offset_to_point_data) +
            " outside the file (header size " + std::to_string(parsed.header_size) +
            ", file size " + std::to_string(file_size) + ")";
    return false;
  }

  const uint8_t format_byte = data[kPointFormatAt];
  parsed.compressed = (format_byte & kCompressionBits) != 0;
  parsed.point_format = static_cast<uint8_t>(format_byte & ~kCompressionBits);
  if (parsed.point_format > kNewestPointFormat) {
    error = "unsupported point data format " + std::to_string(parsed.point_format);
    return false;
  }
  parsed.point_record_length = loadU16(data + kPointRecordLengthAt);
  const uint16_t required_record_length = lasMinimumRecordLength(parsed.point_format);
  if (parsed.point_record_length < required_record_length) {
    error = "point record length " + std::to_string(parsed.point_record_length) +
            " too short for point data format " + std::to_string(parsed.point_format) + " (needs " +
            std::to_string(required_record_length) + ")";
    return false;
  }

  static constexpr const char* kAxes[] = {"x", "y", "z"};
  for (int axis = 0; axis < 3; ++axis) {
    parsed.scale[axis] = loadF64(data + kScaleAt + 8 * axis);
    parsed.offset[axis] = loadF64(data + kOffsetAt + 8 * axis);
    parsed.max[axis] = loadF64(data + kBoundsAt + 16 * axis);
    parsed.min[axis] = loadF64(data + kBoundsAt + 16 * axis + 8);
    if (!std::isfinite(parsed.scale[axis]) || parsed.scale[axis] == 0.0) {
      error = std::string("invalid ") + kAxes[axis] + " scale factor " + formatDouble(parsed.scale[axis]);
      return false;
    }
    if (!std::isfinite(parsed.offset[axis])) {
      error = std::string("invalid ") + kAxes[axis] + " offset " + formatDouble(parsed.offset[axis]);
      return false;
    }
  }

  parsed.point_count = loadU32(data + kLegacyPointCountAt);
  if (parsed.version_minor >= 4) {
    // Writers of formats 6-10 must leave the legacy count 0; others fill only it.
    const uint64_t wide_count = loadU64(data + kPointCount64At);
    if (wide_count != 0) parsed.point_count = wide_count;
  }
  header = parsed;
  return true;
}

bool lasPointWithheld(uint8_t point_format, const uint8_t* record) {
  // Formats 0 to 5 keep the flag in the classification byte, 6 to 10 among
  // the classification flags.
  return point_format < 6 ? (record[kClassificationAt] & 0x80) != 0 : (record[kClassificationFlagsAt] & 0x04) != 0;
}

size_t decodeLasPoints(const LasHeader& header, const uint8_t* records, size_t count, double* out) {
  const size_t record_length = header.point_record_length;
  const double sx = header.scale[0], sy = header.scale[1], sz = header.scale[2];
  const double ox = header.offset[0], oy = header.offset[1], oz = header.offset[2];
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* record = records + i * record_length;
    double* point = out + 3 * kept;
    point[0] = loadI32(record) * sx + ox;
    point[1] = loadI32(record + 4) * sy + oy;
    point[2] = loadI32(record + 8) * sz + oz;
    kept += !lasPointWithheld(header.point_format, record);
  }
  return kept;
}

namespace {

// The LAZ path of readRecordBlocks: the same calls, a chunk's records at a time.
LasReadResult readCompressedRecords(
    const std::string& path, int fd, uint64_t file_size, const uint8_t* header_bytes, size_t header_read,
    LasReadResult& result, const std::function<bool(const LasHeader&, uint64_t)>& start,
    const std::function<void(unsigned, const uint8_t*, size_t, uint64_t)>& block,
    const std::function<void(uint64_t, uint64_t)>& progress, unsigned threads) {
  const LasHeader& header = result.header;
  // A chunk may hold more records than the blocks the callers size their buffers for.
  const size_t most_records = std::max<size_t>(1, kReadBlockBytes / header.point_record_length);
  const auto sliced = [&](unsigned thread, const uint8_t* records, size_t count, uint64_t first) {
    for (size_t done = 0; done < count; done += most_records) {
      block(thread, records + done * header.point_record_length, std::min(most_records, count - done), first + done);
    }
  };
  const LazRecordsResult laz = readLazRecords(
      fd, file_size, header, header_bytes, header_read, [&](uint64_t count) { return start(header, count); }, sliced,
      progress, threads);
  if (!laz.ok) {
    result.status = LasReadStatus::kInvalid;
    result.error = path + ": " + laz.error;
    return result;
  }
  if (!laz.warning.empty()) result.warning = path + ": " + laz.warning;
  result.points_read = laz.records;
  result.status = LasReadStatus::kOk;
  return result;
}

// The reading loop behind the reader: opens and checks the file, calls
// `start(header, records)` once with the number of whole records the file
// really holds (at most the declared count; false refuses them), then
// `block(thread, records, count, first)` for each run of raw records read, and
// `progress(records done, records)` after each of thread 0's blocks. Blocks are
// read on `threads` threads, block b on thread b % threads, block 0 before the
// other threads start.
LasReadResult readRecordBlocks(
    const std::string& path, const std::function<bool(const LasHeader&, uint64_t)>& start,
    const std::function<void(unsigned, const uint8_t*, size_t, uint64_t)>& block,
    const std::function<void(uint64_t, uint64_t)>& progress, unsigned wanted_threads = 1) {
  LasReadResult result;
  auto fail = [&](LasReadStatus status, const std::string& fault) {
    result.status = status;
    result.error = path + ": " + fault;
    return result;
  };

  FileDescriptor file;
  uint64_t file_size = 0;
  int error_number = 0;
  const OpenFault open_fault = openRegularFile(path, file, file_size, error_number);
  if (open_fault != OpenFault::kNone) return fail(LasReadStatus::kCannotOpen, openFaultText(open_fault, error_number));

  uint8_t header_bytes[kLargestHeaderSize];
  const ssize_t header_read =
      readAt(file.get(), header_bytes, std::min<uint64_t>(file_size, kLargestHeaderSize), 0);
  if (header_read < 0) return fail(LasReadStatus::kInvalid, std::string("read error: ") + std::strerror(errno));
  std::string fault;
  if (!parseLasHeader(header_bytes, static_cast<size_t>(header_read), file_size, result.header, fault))
    return fail(LasReadStatus::kInvalid, fault);

  if (result.header.compressed) {
    return readCompressedRecords(path, file.get(), file_size, header_bytes, static_cast<size_t>(header_read), result,
                                 start, block, progress, wanted_threads);
  }

  const LasHeader& header = result.header;
  const size_t record_length = header.point_record_length;
  const uint64_t records_in_file = (file_size - header.offset_to_point_data) / record_length;
  const uint64_t count = std::min(header.point_count, records_in_file);
  if (!start(header, count))
    return fail(LasReadStatus::kInvalid, "no storage for " + std::to_string(count) + " points");

  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  const size_t records_per_block = std::max<size_t>(1, kReadBlockBytes / record_length);
  const uint64_t blocks = (count + records_per_block - 1) / records_per_block;
  const auto threads = static_cast<unsigned>(std::max<uint64_t>(1, std::min<uint64_t>(wanted_threads, blocks)));
  const size_t block_records = static_cast<size_t>(std::min<uint64_t>(count, records_per_block));

  std::atomic<uint64_t> records_read{0};
  std::atomic<bool> stop{false};
  std::mutex read_error_mutex;
  int read_error = 0;
  // Reads blocks first, first + threads, ... on `thread` until the last, a
  // short one or a stop; `only_first` reads just the first.
  std::vector<std::unique_ptr<uint8_t[]>> buffers(threads);
  const auto readShare = [&](unsigned thread, uint64_t first, bool only_first) {
    std::unique_ptr<uint8_t[]>& buffer = buffers[thread];
    if (!buffer) buffer.reset(new uint8_t[block_records * record_length]);
    for (uint64_t b = first; b < blocks && !stop.load(std::memory_order_relaxed); b += threads) {
      const uint64_t first_record = b * records_per_block;
      const size_t wanted = static_cast<size_t>(std::min<uint64_t>(count - first_record, records_per_block));
      const ssize_t got = readAt(file.get(), buffer.get(), wanted * record_length,
                                 header.offset_to_point_data + first_record * record_length);
      if (got < 0) {
        const std::lock_guard<std::mutex> lock(read_error_mutex);
        if (read_error == 0) read_error = errno;
        stop = true;
        break;
      }
      const size_t whole_records = static_cast<size_t>(got) / record_length;
      try {
        block(thread, buffer.get(), whole_records, first_record);
      } catch (...) {
        stop = true;
        throw;
      }
      records_read += whole_records;
      if (thread == 0 && progress) progress(records_read.load(), count);
      if (whole_records < wanted) stop = true;  // the file shrank after it was measured
      if (only_first) break;
    }
  };
  {
    JoinedThreads helpers;
    try {
      readShare(0, 0, threads > 1);
      for (unsigned thread = 1; thread < threads; ++thread) helpers.start([&readShare, thread]() { readShare(thread, thread, false); });
      if (threads > 1) readShare(0, threads, false);
    } catch (...) {
      stop = true;
      throw;  // the helpers are joined on the way out
    }
    helpers.joinAndRethrow();
  }
  if (read_error != 0) return fail(LasReadStatus::kInvalid, std::string("read error: ") + std::strerror(read_error));
  if (threads > 1 && progress) progress(records_read.load(), count);
  result.points_read = records_read.load();
  result.status = LasReadStatus::kOk;
  return result;
}

}  // namespace

LasReadResult readLasPoints(const std::string& path, const PointBlockSink& sink, const ReadProgress& progress,
                            unsigned threads) {
  LasHeader header;
  std::vector<std::vector<double>> xyz(std::max(1u, threads));
  std::vector<uint64_t> withheld(xyz.size(), 0);
  uint64_t bytes_total = 0;
  LasReadResult result = readRecordBlocks(
      path,
      [&](const LasHeader& h, uint64_t count) {
        header = h;
        const auto block = static_cast<size_t>(
            std::min<uint64_t>(count, std::max<size_t>(1, kReadBlockBytes / h.point_record_length)));
        for (std::vector<double>& points : xyz) points.resize(3 * block);
        bytes_total = h.offset_to_point_data + count * h.point_record_length;
        return true;
      },
      [&](unsigned thread, const uint8_t* records, size_t count, uint64_t) {
        const size_t kept = decodeLasPoints(header, records, count, xyz[thread].data());
        withheld[thread] += count - kept;
        if (kept > 0) sink(thread, xyz[thread].data(), kept);
      },
      [&](uint64_t done, uint64_t) {
        if (progress) progress(header.offset_to_point_data + done * header.point_record_length, bytes_total);
      },
      threads);
  for (uint64_t n : withheld) result.withheld_points += n;
  return result;
}

}  // namespace korvane_navigation
