// Feeds arbitrary bytes to the LAS reader, both in memory and from a file,
// and checks that the file reader never asks for storage beyond what the
// file can hold and agrees with the in-memory decoding.
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
  std::vector<float> in_memory;
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
    decodeLasPoints(header, data + header.offset_to_point_data, count, in_memory.data(), 3);
  } else {
    check(!error.empty(), "refusal without a reason");
  }

  const std::string& path = fuzz_support::scratchFile("las_reader_fuzz");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  std::vector<float> from_file;
  uint64_t asked = 0;
  const LasReadResult result = readLasFile(
      path,
      [&](uint64_t count) {
        asked = count;
        // A record takes at least 20 bytes: a larger request trusted the header.
        check(count <= size / 20, "storage asked for more points than the file holds");
        from_file.resize(count * 3);
        return from_file.data();
      },
      3);
  check((result.status == LasReadStatus::kOk) == parsed, "file and memory disagree on validity");
  if (parsed) {
    check(result.points_read == asked, "points read differ from the storage asked for");
    check(from_file.size() == in_memory.size(), "file and memory decode different counts");
    check(in_memory.empty() || std::memcmp(from_file.data(), in_memory.data(),
                                             in_memory.size() * sizeof(float)) == 0,
            "file and memory decode different points");
  }
  return 0;
}
