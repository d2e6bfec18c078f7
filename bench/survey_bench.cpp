#include "survey_bench.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "formats/e57_reader.h"

namespace bench {

using namespace korvane_navigation;

bool e57Loading(const BuildingParameters& params, const BuildingLayout& layout, const std::string& dir,
                int repeat, std::vector<Row>& rows, std::string& details) {
  const std::string path = dir + "/building.e57";
  std::printf("[7] writing the building as E57 and reading it, %d runs each ...\n", repeat);
  std::fflush(stdout);
  const WallClock writing;
  const BuildingLasResult written = writeBuildingE57(path, params, layout);
  if (!written.ok) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), written.error.c_str());
    return false;
  }
  const double write_seconds = writing.seconds();
  if (!rawRead(path, nullptr)) return false;  // warms the page cache
  Row row;
  row.item = "7 load E57 (warm page cache)";
  row.a.name = "readE57";
  row.b.name = "read()";
  uint64_t points = 0;
  double checksum = 0.0;
  for (int i = 0; i < repeat; ++i) {
    {
      // The program's consumer, the thinning, keeps no points: each chunk is
      // read once here too (summed, so that no decoding is optimised away).
      const Measurement measurement;
      const E57ReadResult result = readE57File(path, [&checksum](unsigned, const double* chunk, size_t count) {
        double sum = 0.0;
        for (size_t k = 0; k < 3 * count; ++k) sum += chunk[k];
        checksum += sum;
      });
      if (result.status != E57ReadStatus::kOk) {
        std::fprintf(stderr, "%s\n", result.error.c_str());
        return false;
      }
      points = result.points_read;
      measurement.record(row.a);
    }
    if (!rawRead(path, &row.b)) return false;
  }
  const double file_mb = std::filesystem::file_size(path) / (1024.0 * 1024.0);
  judgeAgainstRead(row);
  rows.push_back(row);
  details += format("[7] E57: %.1f MiB file, %llu points in scans of four stations, written in %.1f s; readE57File "
                    "%.0f MiB/s (%.1f M points/s, chunks summed as read: %.3g), plain read() %.0f MiB/s\n",
                    file_mb, static_cast<unsigned long long>(points), write_seconds, file_mb / row.a.wall,
                    points / row.a.wall / 1e6, checksum, file_mb / row.b.wall);
  std::filesystem::remove(path);
  return points == written.points;
}

}  // namespace bench
