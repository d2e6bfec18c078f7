#include "formats/ply_reader.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "formats/byte_stream.h"
#include "formats/cloud_file_open.h"
#include "formats/record_blocks.h"
#include "formats/scalar_values.h"
#include "formats/text_lines.h"
#include "formats/text_numbers.h"

namespace korvane_navigation {
namespace {

constexpr size_t kPointsPerBlock = size_t{1} << 16;
// A longer text row than this is no row of numbers (a face of 100,000
// corners fits), and holding it whole would take its length in memory.
constexpr size_t kLongestLineBase = size_t{1} << 20;

std::string readErrorText(int error_number) { return std::string("read error (") + std::strerror(error_number) + ")"; }

struct PlyRead {
  const std::string& path;
  int fd;
  uint64_t file_size;
  const PointBlockSink& sink;
  const ReadProgress& progress;
  PlyReadResult& result;

  bool fail(const std::string& fault) {
    refuse(result, path, fault);
    return false;
  }
  void report(uint64_t done) const {
    if (progress) progress(std::min(done, file_size), file_size);
  }
  const PlyHeader& header() const { return result.header; }
  const PlyElement& vertices() const { return result.header.elements[result.header.vertex_element]; }
  bool bigEndian() const { return result.header.encoding == PlyEncoding::kBinaryBigEndian; }
};

// Points gathered from rows read one by one, handed on a block at a time.
class PointBlock {
 public:
  PointBlock(PlyRead& read) : read_(read), xyz_(3 * kPointsPerBlock) {}
  double* next() { return &xyz_[3 * count_]; }
  void added(uint64_t bytes_done) {
    ++read_.result.points_read;
    if (++count_ == kPointsPerBlock) {
      flush();
      read_.report(bytes_done);
    }
  }
  void flush() {
    if (count_ > 0) read_.sink(0, xyz_.data(), count_);
    count_ = 0;
  }

 private:
  PlyRead& read_;
  std::vector<double> xyz_;
  size_t count_ = 0;
};

// -- binary --------------------------------------------------------------

// Reads one row of `element` from `in`; the values of the properties
// `axes` name go to xyz (nullptr: none wanted). False when the file ends
// first, with `fault` set.
bool binaryRow(ByteStream& in, const PlyElement& element, bool big_endian, const size_t (*axes)[3], double* xyz,
               std::string& fault) {
  for (size_t i = 0; i < element.properties.size(); ++i) {
    const PlyProperty& property = element.properties[i];
    if (!property.list) {
      const size_t bytes = scalarBytes(property.type);
      if (!axes) {
        if (!in.skip(bytes)) return false;
        continue;
      }
      const uint8_t* value = in.take(bytes);
      if (!value) return false;
      for (int a = 0; a < 3; ++a) {
        if ((*axes)[a] == i) xyz[a] = loadScalar(value, property.type, big_endian);
      }
      continue;
    }
    const uint8_t* count_bytes = in.take(scalarBytes(property.count_type));
    if (!count_bytes) return false;
    const double count = loadScalar(count_bytes, property.count_type, big_endian);
    if (count < 0) {
      fault = "a " + element.name + " row at byte " + std::to_string(in.position()) + " has a list of " +
              std::to_string(static_cast<int64_t>(count)) + " items";
      return false;
    }
    if (!in.skip(static_cast<uint64_t>(count) * scalarBytes(property.type))) return false;
  }
  return true;
}

std::string shortOfRows(const PlyElement& element, uint64_t rows) {
  return "the header declares " + std::to_string(element.rows) + " " + element.name +
         " rows but the file holds only " + std::to_string(rows) + " of them";
}

bool readBinary(PlyRead& read, unsigned threads) {
  const PlyHeader& header = read.header();
  const PlyElement& vertices = read.vertices();
  // Where the vertices begin: after rows of a fixed size, counted; after
  // rows with lists, read.
  uint64_t start = header.data_start;
  for (size_t e = 0; e < header.vertex_element; ++e) {
    const PlyElement& element = header.elements[e];
    if (!element.has_lists) {
      start += element.rows * element.least_row_bytes;  // bounded by the file, as checked
      continue;
    }
    ByteStream in(read.fd, start, read.file_size);
    for (uint64_t row = 0; row < element.rows; ++row) {
      std::string fault;
      if (!binaryRow(in, element, read.bigEndian(), nullptr, nullptr, fault)) {
        if (in.readError() != 0) return read.fail(readErrorText(in.readError()));
        return read.fail(fault.empty() ? shortOfRows(element, row) : fault);
      }
    }
    start = in.position();
    read.report(start);
  }

  if (vertices.has_lists) {
    ByteStream in(read.fd, start, read.file_size);
    PointBlock block(read);
    for (uint64_t row = 0; row < vertices.rows; ++row) {
      std::string fault;
      if (!binaryRow(in, vertices, read.bigEndian(), &header.axis_property, block.next(), fault)) {
        if (in.readError() != 0) return read.fail(readErrorText(in.readError()));
        return read.fail(fault.empty() ? shortOfRows(vertices, row) : fault);
      }
      block.added(in.position());
    }
    block.flush();
    return true;
  }

  RecordAxis axes[3];
  for (int a = 0; a < 3; ++a) {
    size_t offset = 0;
    for (size_t i = 0; i < header.axis_property[a]; ++i) offset += scalarBytes(vertices.properties[i].type);
    axes[a] = {offset, vertices.properties[header.axis_property[a]].type};
  }
  const auto record_bytes = static_cast<size_t>(vertices.least_row_bytes);
  const size_t per_block = recordsPerBlock(record_bytes);
  std::vector<std::vector<double>> xyz(std::max(1u, threads));
  const bool big_endian = read.bigEndian();
  const RecordBlocksRead outcome = readRecordBlocks(
      read.fd, start, record_bytes, vertices.rows, threads,
      [&](unsigned thread, const uint8_t* records, size_t count) {
        std::vector<double>& out = xyz[thread];
        if (out.size() < 3 * count) out.resize(3 * std::min<uint64_t>(per_block, vertices.rows));
        decodeRecordAxes(records, count, record_bytes, axes, big_endian, out.data());
        read.sink(thread, out.data(), count);
      },
      [&](uint64_t records) { read.report(start + records * record_bytes); }, per_block);
  if (outcome.read_error != 0) return read.fail(readErrorText(outcome.read_error));
  if (outcome.shrank) return read.fail(kShrankWhileRead);
  read.result.points_read = outcome.records;
  if (outcome.records < vertices.rows) return read.fail(shortOfRows(vertices, outcome.records));
  return true;
}

// -- text ----------------------------------------------------------------

// Reads one text row of `element` in [begin, end): list lengths must be
// whole numbers, and every value of a vertex row a number, whose x, y, z
// go to xyz. False with `fault` set when the row is not one.
bool textRow(const char* begin, const char* end, const PlyElement& element, const size_t (*axes)[3], double* xyz,
             const std::string& where, std::string& fault) {
  const char* p = begin;
  const auto fewer = [&] {
    fault = where + " holds fewer values than a " + element.name + " row declares";
    return false;
  };
  for (size_t i = 0; i < element.properties.size(); ++i) {
    const PlyProperty& property = element.properties[i];
    const char* token_end = nextToken(p, end);
    if (token_end == p) return fewer();
    if (!property.list) {
      double value = 0.0;
      if (axes) {
        if (!parseDecimal(p, token_end, value)) {
          fault = where + ": " + quotedText(p, token_end) + " is not a number";
          return false;
        }
        // As the type the property declares, so that text and binary
        // copies of a cloud give the same points.
        if (property.type == ScalarType::kFloat32) value = static_cast<float>(value);
        for (int a = 0; a < 3; ++a) {
          if ((*axes)[a] == i) xyz[a] = value;
        }
      }
      p = token_end;
      continue;
    }
    uint64_t items = 0;
    if (!parseCount(p, token_end, items)) {
      fault = where + ": list length " + quotedText(p, token_end) + " is no whole number";
      return false;
    }
    p = token_end;
    for (uint64_t item = 0; item < items; ++item) {
      token_end = nextToken(p, end);
      if (token_end == p) return fewer();
      p = token_end;
    }
  }
  if (nextToken(p, end) != p) {
    fault = where + " holds more values than a " + element.name + " row declares";
    return false;
  }
  return true;
}

bool readText(PlyRead& read) {
  const PlyHeader& header = read.header();
  TextLines lines(read.fd, header.data_start, read.file_size, kLongestLineBase, header.lines);
  PointBlock block(read);
  const char* begin;
  const char* end;
  for (size_t e = 0; e <= header.vertex_element; ++e) {
    const PlyElement& element = header.elements[e];
    const bool vertex = e == header.vertex_element;
    for (uint64_t row = 0; row < element.rows;) {
      const TextLines::Next next = lines.next(begin, end);
      if (next == TextLines::Next::kEnd) {
        return read.fail("the header declares " + std::to_string(element.rows) + " " + element.name +
                         " rows but the file holds only " + std::to_string(row) + " lines of them");
      }
      if (next == TextLines::Next::kReadError) return read.fail(readErrorText(lines.readError()));
      const std::string where = "line " + std::to_string(lines.lineNumber());
      if (next == TextLines::Next::kTooLong) {
        return read.fail(where + " is longer than " + std::to_string(kLongestLineBase) + " bytes: no row of numbers");
      }
      const char* p = begin;
      if (nextToken(p, end) == p) continue;  // a blank line
      std::string fault;
      if (!textRow(begin, end, element, vertex ? &header.axis_property : nullptr, block.next(), where, fault)) {
        return read.fail(fault);
      }
      ++row;
      if (vertex) block.added(header.data_start + lines.bytesRead());
    }
  }
  block.flush();
  // When no element follows the vertices, whatever does is left out, with a word.
  if (header.vertex_element + 1 == header.elements.size() && !lines.restIsBlank()) {
    read.result.warning = read.path + ": text after the " + std::to_string(read.vertices().rows) +
                          " points the header declares is left out";
  }
  return true;
}

}  // namespace

PlyReadResult readPlyPoints(const std::string& path, const PointBlockSink& sink, const ReadProgress& progress,
                            unsigned threads) {
  PlyReadResult result;
  FileDescriptor file;
  uint64_t file_size = 0;
  if (!openCloudFile(path, file, file_size, result)) return result;
  PlyRead read{path, file.get(), file_size, sink, progress, result};
  std::vector<char> start(static_cast<size_t>(std::min<uint64_t>(file_size, kPlyHeaderLimit)));
  const ssize_t got = readAt(file.get(), reinterpret_cast<uint8_t*>(start.data()), start.size(), 0);
  if (got < 0) {
    read.fail(readErrorText(errno));
    return result;
  }
  std::string fault;
  if (!parsePlyHeader(start.data(), static_cast<size_t>(got), result.header, fault) ||
      !checkPlyDataSize(result.header, file_size, fault)) {
    read.fail(fault);
    return result;
  }
  start = std::vector<char>();
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  if (result.header.has_vertices && read.vertices().rows > 0) {
    const bool ok = result.header.encoding == PlyEncoding::kAscii ? readText(read) : readBinary(read, threads);
    if (!ok) return result;
  }
  read.report(file_size);
  result.status = CloudReadStatus::kOk;
  return result;
}

}  // namespace korvane_navigation
