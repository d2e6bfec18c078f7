#include "formats/obj_reader.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "formats/cloud_file_open.h"
#include "formats/text_lines.h"
#include "formats/text_numbers.h"

namespace korvane_navigation {
namespace {

constexpr size_t kPointsPerBlock = size_t{1} << 16;
// Face lines of large polygons can be long; a longer line than this is
// no OBJ line at all.
constexpr size_t kLongestLine = size_t{1} << 20;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

}  // namespace

bool parseObjVertex(const char* begin, const char* end, double (&xyz)[3], bool& is_vertex) {
  const char* p = begin;
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  is_vertex = end - p >= 1 && p[0] == 'v' && (end - p == 1 || p[1] == ' ' || p[1] == '\t');
  if (!is_vertex) return false;
  ++p;
  for (double& value : xyz) {
    const char* token_end = nextToken(p, end);
    if (!parseDecimal(p, token_end, value)) return false;
    p = token_end;
  }
  return true;  // a fourth value, the weight, means nothing to a point
}

ObjReadResult readObjPoints(const std::string& path, const PointBlockSink& sink, const ReadProgress& progress,
                            unsigned) {
  ObjReadResult result;
  FileDescriptor file;
  uint64_t file_size = 0;
  if (!openCloudFile(path, file, file_size, result)) return result;
  TextLines lines(file.get(), 0, file_size, kLongestLine);
  std::vector<double> xyz(3 * kPointsPerBlock);
  size_t in_block = 0;
  const char* begin;
  const char* end;
  bool first = true;
  while (true) {
    const TextLines::Next next = lines.next(begin, end);
    if (next == TextLines::Next::kEnd) break;
    if (next == TextLines::Next::kReadError) {
      refuse(result, path, std::string("read error after line ") + std::to_string(lines.lineNumber()) + " (" +
                               std::strerror(lines.readError()) + ")");
      return result;
    }
    if (next == TextLines::Next::kTooLong) {
      refuse(result, path, "line " + std::to_string(lines.lineNumber()) + " is longer than " +
                               std::to_string(kLongestLine) + " bytes: no OBJ line");
      return result;
    }
    if (first && end - begin >= 3 && std::memcmp(begin, kByteOrderMark, 3) == 0) begin += 3;
    first = false;
    double point[3];
    bool is_vertex = false;
    if (!parseObjVertex(begin, end, point, is_vertex)) {
      if (!is_vertex) continue;
      refuse(result, path, "line " + std::to_string(lines.lineNumber()) + ": a vertex needs three numbers");
      return result;
    }
    std::memcpy(&xyz[3 * in_block], point, sizeof point);
    ++result.points_read;
    if (++in_block == kPointsPerBlock) {
      sink(0, xyz.data(), in_block);
      in_block = 0;
      if (progress) progress(lines.bytesRead(), file_size);
    }
  }
  if (in_block > 0) sink(0, xyz.data(), in_block);
  if (progress) progress(file_size, file_size);
  result.status = CloudReadStatus::kOk;
  return result;
}

}  // namespace korvane_navigation
