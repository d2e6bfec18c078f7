// Feeds arbitrary bytes to the LAZ reader as a file, through both LAS entry
// points and on two lanes, and straight to the chunk decoders: none may
// crash, hang, ask for storage beyond what the bytes could hold, or
// disagree with another about the points.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/las_reader.h"
#include "formats/laz_layered.h"
#include "formats/laz_pointwise.h"
#include "fuzz_support.h"

using namespace korvane_navigation;

namespace {

void check(bool condition, const char* what) { fuzz_support::require(condition, "laz_reader_fuzz", what); }

// The most points the reader may ask storage for per byte of the file: 20 KiB
// of records a coded byte, at the shortest records (20 bytes).
constexpr uint64_t kMostPointsPerByte = 1024;

void decodeChunks(const uint8_t* data, size_t size) {
  const std::vector<laz::Item> pointwise = {{laz::ItemType::kPoint10, 20, 2},
                                            {laz::ItemType::kGpsTime11, 8, 2},
                                            {laz::ItemType::kRgb12, 6, 2},
                                            {laz::ItemType::kByte, 3, 2}};
  const std::vector<laz::Item> first_versions = {{laz::ItemType::kPoint10, 20, 1},
                                                 {laz::ItemType::kGpsTime11, 8, 1},
                                                 {laz::ItemType::kRgb12, 6, 1},
                                                 {laz::ItemType::kWavePacket13, 29, 1},
                                                 {laz::ItemType::kByte, 3, 1}};
  const std::vector<laz::Item> layered = {{laz::ItemType::kPoint14, 30, 3},
                                          {laz::ItemType::kRgbNir14, 8, 3},
                                          {laz::ItemType::kByte14, 2, 3}};
  const size_t count = std::min<size_t>(size * 2, 2000);
  std::vector<uint8_t> records(count * 66);
  const laz::ChunkDecoding points = laz::decodePointwiseChunk(pointwise, data, size, count, records.data());
  check(!points.error.empty() || points.bytes_used <= size, "point-wise decoding used bytes it was not given");
  const laz::ChunkDecoding old = laz::decodePointwiseChunk(first_versions, data, size, count, records.data());
  check(!old.error.empty() || old.bytes_used <= size, "version 1 decoding used bytes it was not given");
  const laz::ChunkDecoding layers = laz::decodeLayeredChunk(layered, data, size, count, records.data());
  check(!layers.error.empty() || layers.bytes_used <= size, "layered decoding used bytes it was not given");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decodeChunks(data, size);

  const std::string& path = fuzz_support::scratchFile("laz_reader_fuzz");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  uint64_t one = 0;
  const LasReadResult result = readLasPoints(path, [&](unsigned, const double*, size_t count) { one += count; });
  if (result.status == LasReadStatus::kOk) {
    check(result.points_read <= size * kMostPointsPerByte, "more points read than the file could hold");
    check(one + result.withheld_points == result.points_read, "points handed over differ from points read");
  }
  check(result.status == LasReadStatus::kOk || !result.error.empty(), "refusal without a reason");

  uint64_t streamed = 0;
  const LasReadResult two = readLasPoints(
      path, [&](unsigned, const double*, size_t count) { __atomic_add_fetch(&streamed, count, __ATOMIC_RELAXED); },
      nullptr, 2);
  check(two.status == result.status, "one thread and two disagree on validity");
  if (two.status == LasReadStatus::kOk) {
    check(two.points_read == result.points_read && streamed == one, "one thread and two read different counts");
  }
  return 0;
}
