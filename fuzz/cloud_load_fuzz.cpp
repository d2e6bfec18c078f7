// Feeds arbitrary bytes, as a PCD and as a PLY file, through the load path
// the program uses: our check, then PCL's reader and the taking of the
// coordinates. A crash inside PCL's readers on a file the check passed is a
// finding, and so is a cloud of more points than the file could hold.

#include <cstdint>
#include <cstdio>
#include <string>

#include "formats/cloud_file_reader.h"
#include "fuzz_support.h"
#include "quiet_pcl.h"

using namespace korvane_navigation;

namespace {

void check(bool condition, const char* what) { fuzz_support::require(condition, "cloud_load_fuzz", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::quietPcl();
  const std::string& path = fuzz_support::scratchFile("cloud_load_fuzz");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
  for (const CloudFileFormat format : {CloudFileFormat::kPcd, CloudFileFormat::kPly}) {
    PointVector points;
    std::string error, warning;
    if (readCheckedCloud(path, format, points, error, warning)) {
      // Even compressed, a point of 12 bytes comes from at least 12/88 of a byte.
      check(points.size() <= 8 * static_cast<uint64_t>(size) + 64, "points beyond the file");
    } else {
      check(!error.empty(), "refusal without a reason");
    }
  }
  return 0;
}
