#include "survey_bench.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "core/voxel_thinning.h"
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

ThinnedLas readAndThinLas(const std::string& path, double leaf, unsigned threads) {
  using namespace korvane_navigation;
  ThinnedLas survey;
  VoxelAccumulator voxels(leaf, threads);
  survey.las = readLasPoints(
      path, [&voxels](unsigned thread, const double* xyz, size_t n) { voxels.add(xyz, n, thread); }, nullptr, threads);
  survey.points_read = voxels.pointsAdded();
  if (survey.las.status == LasReadStatus::kOk) survey.points = voxels.finish();
  return survey;
}

bool lazReading(const BuildingParameters& params, const BuildingLayout& layout, const std::string& las_path,
                const std::string& dir, float leaf, int repeat, std::vector<Row>& rows, std::string& details) {
  const std::string path = dir + "/building.laz";
  std::printf("[10] writing the building as LAZ, reading and thinning it and its LAS twin, %d runs each ...\n",
              repeat);
  std::fflush(stdout);
  const WallClock writing;
  const BuildingLasResult written = writeBuildingLaz(path, params, layout);
  if (!written.ok) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), written.error.c_str());
    return false;
  }
  const double write_seconds = writing.seconds();
  if (!rawRead(path, nullptr) || !rawRead(las_path, nullptr)) return false;  // warms the page cache
  Row row;
  row.item = "10 read+thin LAZ (point format 0)";
  row.a.name = "LAZ, 2 threads";
  row.b.name = "LAS, 2 threads";
  Side laz_one{"LAZ, 1 thread"}, las_one{"LAS, 1 thread"};
  ThinnedLas laz, las;
  for (int i = 0; i < repeat; ++i) {
    for (const unsigned threads : {2u, 1u}) {
      for (const bool compressed : {true, false}) {
        const Measurement measurement;
        ThinnedLas survey = readAndThinLas(compressed ? path : las_path, leaf, threads);
        measurement.record(compressed ? (threads == 2 ? row.a : laz_one) : (threads == 2 ? row.b : las_one));
        if (survey.las.status != LasReadStatus::kOk) {
          std::fprintf(stderr, "%s\n", survey.las.error.c_str());
          return false;
        }
        (compressed ? laz : las) = std::move(survey);
      }
    }
  }
  const bool same = laz.points_read == written.points && laz.points_read == las.points_read &&
                    laz.points.size() == las.points.size() &&
                    std::equal(laz.points.begin(), laz.points.end(), las.points.begin(), [](const auto& a, const auto& b) {
                      return a.x == b.x && a.y == b.y && a.z == b.z;
                    });
  const double rate = laz.points_read / row.a.wall / 1e6;
  row.ratios = {format("%.1f M points/s", rate), format("%.2fx LAS time", row.a.wall / row.b.wall), "voxels"};
  row.targets = {">= 15 M points/s", "(figures only)", "as the LAS twin's"};
  row.verdicts = {verdict(rate >= 15.0), "-", same ? "SAME" : "DIFFERENT"};
  rows.push_back(row);
  const double laz_mb = std::filesystem::file_size(path) / (1024.0 * 1024.0);
  const double las_mb = std::filesystem::file_size(las_path) / (1024.0 * 1024.0);
  details += format("[10] LAZ: %.1f MiB file (%.1f %% of the LAS twin's %.1f MiB), %llu points, written in %.1f s;"
                    " read and thinned %.1f M points/s on 2 threads, %.1f on 1 (LAS: %.1f and %.1f);"
                    " per CPU second on 1 thread (less swayed by other load): LAZ %.1f M points,"
                    " LAS %.1f\n",
                    laz_mb, 100.0 * laz_mb / las_mb, las_mb, static_cast<unsigned long long>(laz.points_read),
                    write_seconds, rate, laz.points_read / laz_one.wall / 1e6, las.points_read / row.b.wall / 1e6,
                    las.points_read / las_one.wall / 1e6, laz.points_read / laz_one.cpu / 1e6,
                    las.points_read / las_one.cpu / 1e6);
  std::filesystem::remove(path);
  return same;
}

}  // namespace bench
