// Feeds arbitrary bytes to the LAS reader, both in memory and from a file,
// and checks that the file reader, on one thread and on two, hands over no
// more points than the file can hold and agrees with the in-memory decoding.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "formats/las_reader.h"

using namespace korvane_navigation;

namespace {

void check(bool condition, const char* what) { fuzz_support::require(condition, "las_reader_fuzz", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LasHeader header;
  std::string error;
  std::vector<double> in_memory;
  const bool parsed = parseLasHeader(data, size, size, header, error);
  // Compressed point data has a fuzz target of its own.
  if (parsed && header.compressed) return 0;
  if (parsed) {
    check(header.offset_to_point_data <= size, "point data offset beyond the input");
    check(header.point_record_length >= lasMinimumRecordLength(header.point_format),
            "record shorter than its format");
    const uint64_t records = (size - header.offset_to_point_data) / header.point_record_length;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(header.point_count, records));
    in_memory.resize(count * 3);
    in_memory.resize(3 * decodeLasPoints(header, data + header.offset_to_point_data, count, in_memory.data()));
  } else {
    check(!error.empty(), "refusal without a reason");
  }

  const std::string& path = fuzz_support::scratchFile("las_reader_fuzz");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  for (const unsigned threads : {1u, 2u}) {
    // Blocks arrive on their threads in any order; each block is whole
    // records, so the points sorted back by block agree with memory's.
    std::vector<std::vector<double>> blocks(threads);
    uint64_t handed = 0;
    const LasReadResult result = readLasPoints(
        path,
        [&](unsigned thread, const double* xyz, size_t count) {
          check(thread < threads, "a block on a thread that was not asked for");
          blocks[thread].insert(blocks[thread].end(), xyz, xyz + 3 * count);
        },
        nullptr, threads);
    for (const auto& block : blocks) handed += block.size() / 3;
    check((result.status == LasReadStatus::kOk) == parsed, "file and memory disagree on validity");
    if (!parsed) continue;
    check(handed + result.withheld_points == result.points_read, "points handed over differ from points read");
    check(result.points_read <= size / 20, "more points than the file can hold");
    check(handed * 3 == in_memory.size(), "file and memory decode different counts");
    if (threads == 1) {
      check(in_memory.empty() || std::memcmp(blocks[0].data(), in_memory.data(),
                                               in_memory.size() * sizeof(double)) == 0,
            "file and memory decode different points");
    }
  }
  return 0;
}
