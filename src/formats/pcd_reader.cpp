#include "formats/pcd_reader.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "formats/byte_order.h"
#include "formats/cloud_file_open.h"
#include "formats/lzf_decompress.h"
#include "formats/record_blocks.h"
#include "formats/scalar_values.h"
#include "formats/text_lines.h"
#include "formats/text_numbers.h"

namespace korvane_navigation {
namespace {

// Points handed to the sink at once from text or unpacked data.
constexpr size_t kPointsPerBlock = size_t{1} << 16;
// A text line may be this long beyond 64 bytes a value: a longer one is no
// line of numbers, and holding it whole would take its length in memory.
constexpr size_t kLongestLineBase = 4096;
// LZF's longest back reference expands 3 bytes into 264.
constexpr uint64_t kLzfMostExpansion = 88;
constexpr uint64_t kLzfLongestRun = 264;

std::string readErrorText(int error_number) { return std::string("read error (") + std::strerror(error_number) + ")"; }

// The parts every way of reading shares: the file, its header, the result.
struct PcdRead {
  const std::string& path;
  int fd;
  uint64_t file_size;
  const PointBlockSink& sink;
  const ReadProgress& progress;
  PcdReadResult& result;

  bool fail(const std::string& fault) {
    refuse(result, path, fault);
    return false;
  }
  void report(uint64_t done) const {
    if (progress) progress(std::min(done, file_size), file_size);
  }
};

// A value written as text reads as the type its field declares, so that
// text and binary copies of a cloud give the same points.
double narrowed(double value, ScalarType type) {
  return type == ScalarType::kFloat32 ? static_cast<double>(static_cast<float>(value)) : value;
}

bool readText(PcdRead& read) {
  const PcdHeader& header = read.result.header;
  const uint64_t values = header.values_per_point;
  const size_t longest = kLongestLineBase + static_cast<size_t>(std::min<uint64_t>(values, 1u << 24)) * 64;
  TextLines lines(read.fd, header.data_start, read.file_size, longest, header.lines);
  uint64_t axis_value[3];
  for (int a = 0; a < 3; ++a) axis_value[a] = header.fields[header.axis_field[a]].first_value;
  std::vector<double> xyz(3 * kPointsPerBlock);
  size_t in_block = 0;
  uint64_t points = 0;
  const char* begin;
  const char* end;
  const auto where = [&] { return "line " + std::to_string(lines.lineNumber()); };
  while (points < header.points) {
    const TextLines::Next next = lines.next(begin, end);
    if (next == TextLines::Next::kEnd) {
      return read.fail("the header declares " + std::to_string(header.points) + " points but the file holds only " +
                       std::to_string(points) + " data lines");
    }
    if (next == TextLines::Next::kReadError) return read.fail(readErrorText(lines.readError()));
    if (next == TextLines::Next::kTooLong) {
      return read.fail(where() + " is longer than " + std::to_string(longest) + " bytes: no line of numbers");
    }
    uint64_t index = 0;
    double* point = &xyz[3 * in_block];
    for (const char* p = begin;; ++index) {
      const char* token_end = nextToken(p, end);
      if (token_end == p) break;
      double value;
      if (!parseDecimal(p, token_end, value)) return read.fail(where() + ": " + quotedText(p, token_end) + " is not a number");
      for (int a = 0; a < 3; ++a) {
        if (index == axis_value[a]) point[a] = narrowed(value, header.axis_type[a]);
      }
      p = token_end;
    }
    if (index == 0) continue;  // a blank line
    if (index != values) {
      return read.fail(where() + " holds " + std::to_string(index) + " values, not the " + std::to_string(values) +
                       " of a point");
    }
    ++points;
    if (++in_block == kPointsPerBlock) {
      read.sink(0, xyz.data(), in_block);
      in_block = 0;
      read.report(header.data_start + lines.bytesRead());
    }
  }
  if (in_block > 0) read.sink(0, xyz.data(), in_block);
  read.result.points_read = points;
  // Whatever follows the declared points is left out, with a word.
  if (!lines.restIsBlank()) {
    read.result.warning =
        read.path + ": text after the " + std::to_string(points) + " points the header declares is left out";
  }
  return true;
}

RecordAxis recordAxis(const PcdHeader& header, int axis) {
  return {static_cast<size_t>(header.fields[header.axis_field[axis]].offset), header.axis_type[axis]};
}

bool readBinary(PcdRead& read, unsigned threads) {
  const PcdHeader& header = read.result.header;
  const RecordAxis axes[3] = {recordAxis(header, 0), recordAxis(header, 1), recordAxis(header, 2)};
  const auto record_bytes = static_cast<size_t>(header.point_bytes);
  const size_t per_block = recordsPerBlock(record_bytes);
  std::vector<std::vector<double>> xyz(std::max(1u, threads));
  const RecordBlocksRead outcome = readRecordBlocks(
      read.fd, header.data_start, record_bytes, header.points, threads,
      [&](unsigned thread, const uint8_t* records, size_t count) {
        std::vector<double>& out = xyz[thread];
        if (out.size() < 3 * count) out.resize(3 * std::min<uint64_t>(per_block, header.points));
        decodeRecordAxes(records, count, record_bytes, axes, false, out.data());
        read.sink(thread, out.data(), count);
      },
      [&](uint64_t records) { read.report(header.data_start + records * record_bytes); }, per_block);
  if (outcome.read_error != 0) return read.fail(readErrorText(outcome.read_error));
  if (outcome.shrank) return read.fail(kShrankWhileRead);
  read.result.points_read = outcome.records;
  if (outcome.records < header.points) {
    return read.fail("the header declares " + std::to_string(header.points) + " points but the file holds only " +
                     std::to_string(outcome.records));
  }
  return true;
}

bool readCompressed(PcdRead& read) {
  const PcdHeader& header = read.result.header;
  const uint64_t available = read.file_size > header.data_start ? read.file_size - header.data_start : 0;
  uint8_t sizes[8];
  if (available < 8) return read.fail("compressed data without its sizes");
  if (readAt(read.fd, sizes, 8, header.data_start) != 8) return read.fail(readErrorText(errno));
  const uint64_t compressed = loadU32(sizes);
  const uint64_t uncompressed = loadU32(sizes + 4);
  uint64_t expected;
  if (__builtin_mul_overflow(header.points, header.point_bytes, &expected)) expected = UINT64_MAX;
  const std::string unit = std::to_string(header.points) + " points of " + std::to_string(header.point_bytes) + " bytes";
  if (compressed > available - 8) {
    return read.fail("compressed data of " + std::to_string(compressed) + " bytes, but the file holds only " +
                     std::to_string(available - 8) + " bytes after its header");
  }
  if (uncompressed != expected) {
    return read.fail("compressed data unpacks to " + std::to_string(uncompressed) + " bytes, but " + unit + " take " +
                     (expected == UINT64_MAX ? std::string("2^64") : std::to_string(expected)));
  }
  if (expected > compressed * kLzfMostExpansion + kLzfLongestRun) {
    return read.fail("the header declares " + unit + ", at least " + std::to_string(expected) +
                     " bytes of data, but the file holds only " + std::to_string(available) +
                     " bytes after its header once unpacked");
  }
  std::unique_ptr<uint8_t[]> packed(new uint8_t[std::max<uint64_t>(1, compressed)]);
  const ssize_t got = readAt(read.fd, packed.get(), compressed, header.data_start + 8);
  if (got < 0) return read.fail(readErrorText(errno));
  if (static_cast<uint64_t>(got) < compressed) return read.fail("compressed data cut short");
  read.report(header.data_start + 8 + compressed);
  std::unique_ptr<uint8_t[]> unpacked(new uint8_t[std::max<uint64_t>(1, expected)]);
  if (lzfDecompress(packed.get(), compressed, unpacked.get(), expected) != expected) {
    return read.fail("compressed data are damaged: they do not unpack to the " + std::to_string(expected) +
                     " bytes of " + unit);
  }
  packed.reset();
  // Unpacked, every field's values follow one another for all points.
  const uint8_t* column[3];
  size_t step[3];
  for (int a = 0; a < 3; ++a) {
    const PcdField& field = header.fields[header.axis_field[a]];
    column[a] = unpacked.get() + header.points * field.offset;
    step[a] = static_cast<size_t>(field.size);
  }
  std::vector<double> xyz(3 * static_cast<size_t>(std::min<uint64_t>(header.points, kPointsPerBlock)));
  for (uint64_t first = 0; first < header.points; first += kPointsPerBlock) {
    const auto count = static_cast<size_t>(std::min<uint64_t>(header.points - first, kPointsPerBlock));
    for (size_t i = 0; i < count; ++i) {
      for (int a = 0; a < 3; ++a) {
        xyz[3 * i + a] = loadScalar(column[a] + (first + i) * step[a], header.axis_type[a], false);
      }
    }
    read.sink(0, xyz.data(), count);
    read.result.points_read += count;
  }
  return true;
}

}  // namespace

PcdReadResult readPcdPoints(const std::string& path, const PointBlockSink& sink, const ReadProgress& progress,
                            unsigned threads) {
  PcdReadResult result;
  FileDescriptor file;
  uint64_t file_size = 0;
  if (!openCloudFile(path, file, file_size, result)) return result;
  PcdRead read{path, file.get(), file_size, sink, progress, result};

  std::vector<char> start(static_cast<size_t>(std::min<uint64_t>(file_size, kPcdHeaderLimit)));
  const ssize_t got = readAt(file.get(), reinterpret_cast<uint8_t*>(start.data()), start.size(), 0);
  if (got < 0) {
    read.fail(readErrorText(errno));
    return result;
  }
  std::string fault;
  // A file that shrank since it was measured is read for what it holds now.
  if (!parsePcdHeader(start.data(), static_cast<size_t>(got), result.header, fault) ||
      !checkPcdDataSize(result.header, file_size, fault)) {
    read.fail(fault);
    return result;
  }
  start = std::vector<char>();
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  bool ok = true;
  if (result.header.points > 0) {
    switch (result.header.encoding) {
      case PcdEncoding::kAscii: ok = readText(read); break;
      case PcdEncoding::kBinary: ok = readBinary(read, threads); break;
      case PcdEncoding::kBinaryCompressed: ok = readCompressed(read); break;
    }
  }
  if (!ok) return result;
  read.report(file_size);
  result.status = CloudReadStatus::kOk;
  return result;
}

}  // namespace korvane_navigation
