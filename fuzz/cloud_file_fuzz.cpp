// Feeds arbitrary bytes to the pure parts of the PCD, PLY and OBJ readers:
// the header parsers, the OBJ vertex line, LZF unpacking and the text
// numbers. A header that passes must declare no more points than a file of
// its size can hold once its data size is checked.
#include <cstdint>
#include <string>
#include <vector>

#include "formats/lzf_decompress.h"
#include "formats/obj_reader.h"
#include "formats/pcd_header.h"
#include "formats/ply_header.h"
#include "formats/text_numbers.h"
#include "fuzz_support.h"

using namespace korvane_navigation;

namespace {

void check(bool condition, const char* what) { fuzz_support::require(condition, "cloud_file_fuzz", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  std::string error;
  PcdHeader pcd;
  if (parsePcdHeader(text, size, pcd, error)) {
    check(pcd.data_start <= size, "PCD data beyond the input");
    check(pcd.point_bytes > 0 && pcd.values_per_point > 0, "PCD points of nothing");
    if (checkPcdDataSize(pcd, size, error) && pcd.encoding != PcdEncoding::kBinaryCompressed) {
      check(pcd.points <= size, "PCD points beyond the file");
    }
  } else {
    check(!error.empty(), "PCD refusal without a reason");
  }
  error.clear();
  PlyHeader ply;
  if (parsePlyHeader(text, size, ply, error)) {
    check(ply.data_start <= size, "PLY data beyond the input");
    if (checkPlyDataSize(ply, size, error) && ply.has_vertices) {
      check(ply.elements[ply.vertex_element].rows <= size, "PLY vertices beyond the file");
    }
  } else {
    check(!error.empty(), "PLY refusal without a reason");
  }

  double xyz[3];
  bool is_vertex = false;
  if (parseObjVertex(text, text + size, xyz, is_vertex)) check(is_vertex, "a vertex of a line that is none");
  double value;
  parseDecimal(text, text + size, value);

  // Never more than the room given, however damaged.
  std::vector<uint8_t> out(4 * size + 16);
  check(lzfDecompress(data, size, out.data(), out.size()) <= out.size(), "LZF wrote past its output");
  return 0;
}
