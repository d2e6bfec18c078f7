// Feeds arbitrary bytes to the PCD and PLY checks and to the OBJ vertex
// reader. A header that passes must declare no more points than the
// file can hold.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "formats/cloud_file_checks.h"
#include "fuzz_support.h"

using namespace korvane_navigation;

namespace {

void check(bool condition, const char* what) { fuzz_support::require(condition, "cloud_file_fuzz", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  // The input is the start of a file as long as the input itself, so the
  // size checks see what the file really holds.
  DeclaredCloud declared;
  std::string error;
  // Even compressed, a point of 12 bytes comes from at least 12/88 of a byte.
  if (checkPcdHeader(text, size, size, declared, error)) {
    check(declared.points <= 8 * static_cast<uint64_t>(size) + 64, "PCD points beyond the file");
  } else {
    check(!error.empty(), "PCD refusal without a reason");
  }
  error.clear();
  if (checkPlyHeader(text, size, size, declared, error)) {
    check(declared.points <= size, "PLY vertices beyond the file");
  } else {
    check(!error.empty(), "PLY refusal without a reason");
  }

  // The whole file, text data included.
  for (const CloudFileFormat format : {CloudFileFormat::kPcd, CloudFileFormat::kPly}) {
    error.clear();
    if (checkCloudBytes(text, size, format, declared, error)) {
      check(declared.points <= 8 * static_cast<uint64_t>(size) + 64, "points beyond the file");
    } else {
      check(!error.empty(), "refusal without a reason");
    }
  }

  std::istringstream in(std::string(text, size));
  PointVector points;
  error.clear();
  if (readObjVertices(in, points, error)) {
    check(points.size() <= size / 2, "OBJ vertices beyond the file");
  } else {
    check(!error.empty(), "OBJ refusal without a reason");
  }
  return 0;
}
