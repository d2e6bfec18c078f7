// Feeds arbitrary bytes to the PCD and PLY header checks and to the OBJ
// vertex reader. A header that passes must declare no more points than the
// file can hold.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "cloud_file_checks.h"

using namespace korvane_navigation;

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "cloud_file_fuzz: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  // The input is the start of a file as long as the input itself, so the
  // size checks see what the file really holds.
  DeclaredCloud declared;
  std::string error;
  // Even compressed, a point of 12 bytes comes from at least 12/88 of a byte.
  if (checkPcdHeader(text, size, size, declared, error)) {
    require(declared.points <= 8 * static_cast<uint64_t>(size) + 64, "PCD points beyond the file");
  } else {
    require(!error.empty(), "PCD refusal without a reason");
  }
  error.clear();
  if (checkPlyHeader(text, size, size, declared, error)) {
    require(declared.points <= size, "PLY vertices beyond the file");
  } else {
    require(!error.empty(), "PLY refusal without a reason");
  }

  std::istringstream in(std::string(text, size));
  PointVector points;
  error.clear();
  if (readObjVertices(in, points, error)) {
    require(points.size() <= size / 2, "OBJ vertices beyond the file");
  } else {
    require(!error.empty(), "OBJ refusal without a reason");
  }
  return 0;
}
