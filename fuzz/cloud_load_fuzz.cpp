// Feeds arbitrary bytes, as a PCD, a PLY and an OBJ file, to the readers,
// on one thread and on two. A crash, a cloud of more points than the file
// could hold, or a refusal without a reason naming the file is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/obj_reader.h"
#include "formats/pcd_reader.h"
#include "formats/ply_reader.h"
#include "fuzz_support.h"

using namespace korvane_navigation;

namespace {

void check(bool condition, const char* what) { fuzz_support::require(condition, "cloud_load_fuzz", what); }

void checkResult(const CloudReadResult& result, uint64_t points, uint64_t most, const std::string& path) {
  check(points == result.points_read || result.status != CloudReadStatus::kOk, "points handed over uncounted");
  check(points <= most, "points beyond the file");
  if (result.status != CloudReadStatus::kOk) {
    check(result.error.compare(0, path.size() + 2, path + ": ") == 0, "a refusal that does not name the file");
    check(result.error.size() > path.size() + 2, "a refusal without a reason");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = fuzz_support::scratchFile("cloud_load_fuzz");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
  uint64_t points = 0;
  const PointBlockSink sink = [&points](unsigned, const double*, size_t count) {
    __atomic_add_fetch(&points, count, __ATOMIC_RELAXED);
  };
  // Even compressed, a point of 12 bytes comes from at least 12/88 of a byte.
  const uint64_t most = 8 * static_cast<uint64_t>(size) + 64;
  for (const unsigned threads : {1u, 2u}) {
    points = 0;
    checkResult(readPcdPoints(path, sink, nullptr, threads), points, most, path);
    points = 0;
    checkResult(readPlyPoints(path, sink, nullptr, threads), points, size, path);
  }
  points = 0;
  checkResult(readObjPoints(path, sink), points, size / 2 + 1, path);
  return 0;
}
