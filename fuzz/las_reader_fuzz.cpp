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

#include "las_reader.h"

using namespace korvane_navigation;

namespace {

// One file for the whole run, removed when the fuzzer exits normally.
char temp_path[] = "/tmp/las_reader_fuzz_XXXXXX";

std::string tempPath() {
  static const char* const path = [] {
    const int fd = ::mkstemp(temp_path);
    if (fd < 0) std::abort();
    ::close(fd);
    std::atexit([] { ::unlink(temp_path); });
    return temp_path;
  }();
  return path;
}

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "las_reader_fuzz: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LasHeader header;
  std::string error;
  std::vector<float> in_memory;
  const bool parsed = parseLasHeader(data, size, size, header, error);
  if (parsed) {
    require(header.offset_to_point_data <= size, "point data offset beyond the input");
    require(header.point_record_length >= lasMinimumRecordLength(header.point_format),
            "record shorter than its format");
    const uint64_t records = (size - header.offset_to_point_data) / header.point_record_length;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(header.point_count, records));
    in_memory.resize(count * 3);
    decodeLasPoints(header, data + header.offset_to_point_data, count, in_memory.data(), 3);
  } else {
    require(!error.empty(), "refusal without a reason");
  }

  const std::string path = tempPath();
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
        require(count <= size / 20, "storage asked for more points than the file holds");
        from_file.resize(count * 3);
        return from_file.data();
      },
      3);
  require((result.status == LasReadStatus::kOk) == parsed, "file and memory disagree on validity");
  if (parsed) {
    require(result.points_read == asked, "points read differ from the storage asked for");
    require(from_file.size() == in_memory.size(), "file and memory decode different counts");
    require(in_memory.empty() || std::memcmp(from_file.data(), in_memory.data(),
                                             in_memory.size() * sizeof(float)) == 0,
            "file and memory decode different points");
  }
  return 0;
}
