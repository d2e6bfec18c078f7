// map_generator_bench: the tool's stages against what they stand in for, side
// by side in one process on one synthetic building, so that the ratios hold on
// any machine. Prints a table of wall and processor times, ratios and the peak
// resident memory each side added, next to the targets.
//
// Exit status 1 when a comparison finds different results or a stage fails;
// a missed target is printed but does not change the status.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <glog/logging.h>
#include <limits>
#include <memory>
#include <octomap/OcTree.h>
#include <pcl/common/common.h>
#include <pcl/console/print.h>
#include <pcl/filters/voxel_grid.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bench_table.h"
#include "core/cell_block_map.h"
#include "core/coordinates.h"
#include "core/grid_ray_walk.h"
#include "core/octree_builder.h"
#include "core/voxel_thinning.h"
#include "formats/las_reader.h"
#include "formats/pcd_reader.h"
#include "formats/ply_reader.h"
#include "map_postprocess.h"
#include "octomap_oracle.h"
#include "resource_probe.h"
#include "support/joined_threads.h"
#include "survey_bench.h"
#include "synthetic_building.h"

using namespace korvane_navigation;
using bench::CpuClock;
using bench::PeakMemory;
using bench::WallClock;
using bench::format;
using bench::mb;
using bench::Measurement;
using bench::Row;
using bench::Side;
using bench::verdict;
using bench::printTable;
using bench::rawRead;
using bench::rawReadInBlocks;
using Cloud = pcl::PointCloud<pcl::PointXYZ>;

namespace {

constexpr double kResolution = 0.05;
constexpr float kLeaf = 0.05f;
// What a point costs once loaded: pcl::PointXYZ is four floats.
constexpr double kBytesPerLoadedPoint = 16.0;

const char kUsage[] =
    "usage: map_generator_bench [--scale S] [--skip-reference] [--items LIST] [--repeat N]\n"
    "                           [--workdir DIR] [--keep] [--map-generator PATH]\n"
    "  --scale S          building footprint scale (1.0 = 80 m x 50 m, 3 storeys, > 20 M points)\n"
    "  --skip-reference   leave out octomap's own insertion (minutes and gigabytes at scale 1)\n"
    "  --items LIST       which items to measure, e.g. 1,4 (default 1,2,3,4,5,6,7,8,10; 9, the billion-point\n"
    "                     run, only when listed: it writes a 21 GB file)\n"
    "  --repeat N         runs of items 2 and 3 (item 4: 3 N), best time kept (default 3)\n"
    "  --workdir DIR      where the building and the maps go (default: a new directory in $TMPDIR or /tmp)\n"
    "  --keep             keep the working directory\n"
    "  --map-generator P  the map_generator binary run by item 5\n";

struct Options {
  double scale = 1.0;
  bool skip_reference = false;
  std::set<int> items = {1, 2, 3, 4, 5, 6, 7, 8, 10};
  int repeat = 3;
  std::string workdir;
  bool keep = false;
  std::string map_generator = MAP_GENERATOR_BINARY;
  std::string command_line;
  bool wants(int item) const { return items.count(item) != 0; }
};

std::string firstValue(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const size_t colon = line.find(':');
    std::string value = colon == std::string::npos ? line : line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    return value;
  }
  return "?";
}

void printMachine(const Options& options) {
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %Z", std::localtime(&now));
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) < 0) load[0] = NAN;
  std::printf("map_generator_bench   %s\n", date);
  std::printf("command: %s\n", options.command_line.c_str());
  std::printf("machine: %ld cpus, %s, RAM %s; load average at start %.2f\n", sysconf(_SC_NPROCESSORS_ONLN),
              firstValue("/proc/cpuinfo", "model name").c_str(), firstValue("/proc/meminfo", "MemTotal").c_str(),
              load[0]);
}

// ---------------------------------------------------------------- the building

struct FloorBand {
  std::string name;
  double min_height;
  double max_height;
};

// What a ground robot meets: from just above the floor slab, so that the floor
// is not taken for an obstacle, up to a person's height below the ceiling.
std::vector<FloorBand> floorBands(const BuildingLayout& layout) {
  std::vector<FloorBand> bands;
  for (size_t s = 0; s < layout.storeys.size(); ++s) {
    const Storey& storey = layout.storeys[s];
    bands.push_back({"F" + std::to_string(s + 1), storey.floor_z + 0.1,
                     std::min(storey.floor_z + 2.0, storey.ceiling_z - 0.1)});
  }
  return bands;
}

// In the widest ground-floor corridor, where a scanner would stand: it sees
// most rooms through their doors and holds no furniture.
octomap::point3d sensorOrigin(const BuildingLayout& layout) {
  const Room* best = nullptr;
  auto area = [](const Rect& r) { return (r.max_x - r.min_x) * (r.max_y - r.min_y); };
  for (const Room& room : layout.rooms) {
    if (room.storey == 0 && room.kind == RoomKind::kCorridor && (!best || area(room.area) > area(best->area)))
      best = &room;
  }
  const Rect r = best ? best->area : layout.footprint();
  return octomap::point3d(static_cast<float>((r.min_x + r.max_x) / 2), static_cast<float>((r.min_y + r.max_y) / 2),
                          static_cast<float>(layout.storeys.at(0).floor_z + 1.0));
}

struct Building {
  BuildingParameters params;
  BuildingLayout layout;
  std::string las_path;
  uint64_t points = 0;
  uint64_t file_bytes = 0;
  double seconds = 0;
};

bool makeBuilding(double scale, const std::string& path, Building& building, double density = 1.0) {
  building.params = benchmarkBuilding(scale);
  building.params.point_spacing /= std::sqrt(density);
  building.layout = planBuilding(building.params);
  building.las_path = path;
  const WallClock clock;
  const BuildingLasResult result = writeBuildingLas(path, building.params, building.layout);
  building.seconds = clock.seconds();
  if (!result.ok) {
    std::fprintf(stderr, "cannot write the building: %s\n", result.error.c_str());
    return false;
  }
  building.points = result.points;
  building.file_bytes = std::filesystem::file_size(path);
  return true;
}

// Reads a LAS file as the tool's loader does.
bool loadLas(const std::string& path, Cloud& cloud) {
  cloud.clear();
  const LasReadResult result = readLasPoints(path, [&cloud](unsigned, const double* xyz, size_t count) {
    for (size_t i = 0; i < count; ++i) cloud.push_back(pcl::PointXYZ(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]));
  });
  if (result.status != LasReadStatus::kOk) {
    std::fprintf(stderr, "%s\n", result.error.c_str());
    return false;
  }
  return true;
}

std::shared_ptr<Cloud> thinnedCloud(const Cloud& loaded) {
  auto thinned = std::make_shared<Cloud>();
  thinned->points = voxelDownsample(loaded.points, kLeaf);
  thinned->width = static_cast<uint32_t>(thinned->points.size());
  thinned->height = 1;
  thinned->is_dense = true;
  return thinned;
}

void progress(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

// Points per square metre of a scanned survey, against the generator's
// default 5 cm spacing: 2.5 cm between points, four to a 5 cm voxel's face.
constexpr double kScanLikeDensity = 4.0;

// ------------------------------------------------------------ item 5: whole run

struct StageFigures {
  bool parsed = false;
  double total = 0, load = 0, thin = 0, write = 0;
  uint64_t loaded = 0, thinned = 0;
  struct Floor {
    std::string name;
    uint64_t band_points = 0;
    double octree = 0, projection = 0, export_ = 0;
  };
  std::vector<Floor> floors;
};

// Reads the summary record map_generator logs when a run ends.
StageFigures parseSummary(const std::string& log) {
  StageFigures f;
  static const std::regex head(
      "Maps done in ([0-9.]+) s: ([0-9]+) points loaded \\(([0-9.]+) s\\), ([0-9]+) after thinning "
      "and moving into the map frame \\(([0-9.]+) s\\), map\\.pcd written in ([0-9.]+) s");
  static const std::regex floor(
      "floor (\\S+): ([0-9]+) points in its band[^\\n]*; octree ([0-9.]+) s, projection ([0-9.]+) "
      "s, export ([0-9.]+) s");
  std::smatch m;
  if (!std::regex_search(log, m, head)) return f;
  f.parsed = true;
  f.total = std::stod(m[1]);
  f.loaded = std::stoull(m[2]);
  f.load = std::stod(m[3]);
  f.thinned = std::stoull(m[4]);
  f.thin = std::stod(m[5]);
  f.write = std::stod(m[6]);
  const std::string rest = m.suffix();
  for (auto it = std::sregex_iterator(rest.begin(), rest.end(), floor); it != std::sregex_iterator(); ++it) {
    StageFigures::Floor fl;
    fl.name = (*it)[1];
    fl.band_points = std::stoull((*it)[2]);
    fl.octree = std::stod((*it)[3]);
    fl.projection = std::stod((*it)[4]);
    fl.export_ = std::stod((*it)[5]);
    f.floors.push_back(fl);
  }
  return f;
}

std::string jsonNumber(double v) { return format("%.17g", v); }

std::string writeConfig(const std::string& dir, const Building& b, const octomap::point3d& origin) {
  std::ostringstream json;
  json << "{\n  \"output_path\": \"" << dir << "/maps\",\n"
       << "  \"input_pointcloud\": \"" << b.las_path << "\",\n"
       << "  \"downsample_size\": " << kLeaf << ",\n  \"map_resolution\": " << kResolution << ",\n"
       << "  \"transform_matrix\": {\"rotation\": [1, 0, 0, 0], \"translation\": [0, 0, 0]},\n"
       << "  \"sensor_origin\": [" << jsonNumber(origin.x()) << ", " << jsonNumber(origin.y()) << ", "
       << jsonNumber(origin.z()) << "],\n  \"floors\": [";
  const std::vector<FloorBand> bands = floorBands(b.layout);
  for (size_t i = 0; i < bands.size(); ++i) {
    json << (i ? ",\n" : "\n") << "    {\"floor_name\": \"" << bands[i].name << "\", \"min_height\": "
         << jsonNumber(bands[i].min_height) << ", \"max_height\": " << jsonNumber(bands[i].max_height) << "}";
  }
  json << "\n  ]\n}\n";
  const std::string path = dir + "/config.json";
  std::ofstream(path) << json.str();
  return path;
}

bool wholeRun(const Options& options, const std::string& dir, const Building& b, const octomap::point3d& origin,
              std::vector<Row>& rows, std::string& details) {
  const std::string config = writeConfig(dir, b, origin);
  progress(format("[5] %s %s ...", options.map_generator.c_str(), config.c_str()).c_str());
  const bench::ChildRun run =
      bench::runChild({options.map_generator, config}, dir + "/map_generator.log", {"GLOG_log_dir=" + dir});
  if (!run.started || run.exit_code != 0) {
    std::fprintf(stderr, "map_generator failed (%s, exit %d); its output:\n%s\n", run.error.c_str(), run.exit_code,
                 run.output.c_str());
    return false;
  }
  const StageFigures f = parseSummary(run.output);
  const double cloud_mb = b.points * kBytesPerLoadedPoint / (1024.0 * 1024.0);
  const double peak_mb = mb(run.max_rss_kb);
  Row row;
  row.item = format("5 whole run, %zu floors (the binary)", b.layout.storeys.size());
  row.a = {"run", run.seconds, NAN, peak_mb};
  row.b = {"cloud", NAN, NAN, cloud_mb};
  row.ratios = {format("peak %.2fx cloud", peak_mb / cloud_mb)};
  row.targets = {"(figures only)"};
  row.verdicts = {"-"};
  rows.push_back(row);

  std::ostringstream d;
  d << format("[5] whole run: %.2f s wall; peak RSS %.0f MiB (its whole peak, not an added one) = %.2f x the loaded"
              " cloud (%llu points x 16 B = %.0f MiB); this process held %.0f MiB when it started the run\n",
              run.seconds, peak_mb, peak_mb / cloud_mb, static_cast<unsigned long long>(b.points), cloud_mb,
              mb(run.parent_rss_kb));
  if (!f.parsed) {
    d << "    the run's summary record was not found in its log: no breakdown by stage\n";
  } else {
    auto share = [&](double s) { return format("%7.2f s %5.1f %%", s, 100.0 * s / run.seconds); };
    d << format("    stage                 time   share of the wall time (the summary says %.2f s in all)\n", f.total);
    d << "    load              " << share(f.load)
      << format("   %llu points\n", static_cast<unsigned long long>(f.loaded));
    d << "    thin, to map frame" << share(f.thin)
      << format("   %llu points left\n", static_cast<unsigned long long>(f.thinned));
    d << "    write map.pcd     " << share(f.write) << "\n";
    double floors_total = 0;
    for (const auto& fl : f.floors) {
      d << format("    %-3s octree        ", fl.name.c_str()) << share(fl.octree)
        << format("   %llu band points\n", static_cast<unsigned long long>(fl.band_points));
      d << format("    %-3s projection    ", fl.name.c_str()) << share(fl.projection) << "\n";
      d << format("    %-3s export        ", fl.name.c_str()) << share(fl.export_) << "\n";
      floors_total += fl.octree + fl.projection + fl.export_;
    }
    const double accounted = f.load + f.thin + f.write + floors_total;
    d << "    rest (start, exit)" << share(run.seconds - accounted) << "\n";
  }
  details += d.str();
  return true;
}

// ------------------------------------------- items 8 and 9: surveys of any size

// Runs the binary on the building in `run_dir`, then deletes its LAS file;
// false, with the run's output, when it fails.
bool runOnBuilding(const Options& options, const char* item, const std::string& run_dir, const Building& b,
                   bench::ChildRun& run) {
  const std::string config = writeConfig(run_dir, b, sensorOrigin(b.layout));
  progress(format("%s %s %s ...", item, options.map_generator.c_str(), config.c_str()).c_str());
  run = bench::runChild({options.map_generator, config}, run_dir + "/map_generator.log", {"GLOG_log_dir=" + run_dir});
  std::filesystem::remove(b.las_path);
  if (run.started && run.exit_code == 0) return true;
  std::fprintf(stderr, "map_generator failed (%s, exit %d):\n%s\n", run.error.c_str(), run.exit_code,
               run.output.c_str());
  return false;
}

// A binary PCD or PLY file read and thinned in one pass on `threads`
// threads, as the loader does; the voxels kept, 0 when the reading failed.
size_t cloudReadAndThin(const std::string& path, unsigned threads) {
  VoxelAccumulator voxels(kLeaf, threads);
  const PointBlockSink sink = [&voxels](unsigned thread, const double* xyz, size_t n) { voxels.add(xyz, n, thread); };
  const bool pcd = path.size() > 4 && path.compare(path.size() - 4, 4, ".pcd") == 0;
  const CloudReadStatus status = pcd ? readPcdPoints(path, sink, nullptr, threads).status
                                     : readPlyPoints(path, sink, nullptr, threads).status;
  return status == CloudReadStatus::kOk ? voxels.finish().size() : 0;
}

// Item 8: the same building at 1x and 8x the points per square metre, as
// LAS and as the binary PCD and PLY a SLAM pipeline writes, each run as a
// user starts it; the peaks must follow the voxels, not the points, whatever
// the format. 1x is a scan-like density, 2.5 cm between points (four times
// the generator's default), so that the voxels' own count barely grows with
// the points; at the default 5 cm spacing a third of the surface voxels would
// still be empty at 1x. Half the footprint keeps 8x near 300 M points. At 1x,
// the PCD and PLY files are also read and thinned in the bench's own process
// against read() of their bytes.
bool densityRuns(const Options& options, const std::string& dir, std::vector<Row>& rows, std::string& details) {
  const char* formats[3] = {"las", "pcd", "ply"};
  Side sides[3][2];
  uint64_t points[2] = {0, 0};
  const double densities[2] = {1.0, 8.0};
  for (int i = 0; i < 2; ++i) {
    const std::string run_dir = format("%s/density%g", dir.c_str(), densities[i]);
    std::filesystem::create_directories(run_dir);
    Building b;
    progress(format("[8] writing the building at %gx density ...", densities[i]).c_str());
    if (!makeBuilding(options.scale * 0.5, run_dir + "/building.las", b, kScanLikeDensity * densities[i])) return false;
    points[i] = b.points;
    for (int f = 0; f < 3; ++f) {
      if (f > 0) {
        b.las_path = run_dir + "/building." + formats[f];
        const BuildingLasResult written = writeBuildingCloud(b.las_path, b.params, b.layout);
        if (!written.ok) {
          std::fprintf(stderr, "%s\n", written.error.c_str());
          return false;
        }
        if (i == 0) {
          Side thin{format("%s read+thin", formats[f])}, raw{"read()"};
          const unsigned threads = readingThreads();
          size_t voxels = 0;
          if (!rawRead(b.las_path, nullptr)) return false;  // warms the page cache
          for (int r = 0; r < options.repeat; ++r) {
            {
              const Measurement measurement;
              voxels = cloudReadAndThin(b.las_path, threads);
              measurement.record(thin);
            }
            if (!rawRead(b.las_path, &raw)) return false;
          }
          const double file_mb = std::filesystem::file_size(b.las_path) / (1024.0 * 1024.0);
          Row row;
          row.item = format("8 read+thin binary %s", formats[f]);
          row.a = thin;
          row.b = raw;
          row.ratios = {format("%.2fx read() MiB/s", raw.wall / thin.wall)};
          row.targets = {">= 0.5x"};
          row.verdicts = {verdict(raw.wall / thin.wall >= 0.5)};
          rows.push_back(row);
          details += format("[8] binary %s: %.1f MiB, %llu points -> %zu voxels; read and thinned on %u threads "
                            "%.0f MiB/s (%.1f M points/s), read() %.0f MiB/s\n",
                            formats[f], file_mb, static_cast<unsigned long long>(b.points), voxels, threads,
                            file_mb / thin.wall, b.points / thin.wall / 1e6, file_mb / raw.wall);
        }
      }
      bench::ChildRun run;
      if (!runOnBuilding(options, "[8]", run_dir, b, run)) return false;
      sides[f][i] = {format("%s %gx", formats[f], densities[i]), run.seconds, NAN, mb(run.max_rss_kb)};
      const StageFigures figures = parseSummary(run.output);
      details += format("[8] %s at %gx density: %llu points (%.1f M voxels), run %.1f s (read and thin %.1f s), "
                        "peak %.0f MiB\n",
                        formats[f], densities[i], static_cast<unsigned long long>(b.points), figures.thinned / 1e6,
                        run.seconds, figures.load + figures.thin, mb(run.max_rss_kb));
    }
  }
  for (int f = 0; f < 3; ++f) {
    Row row;
    row.item = format("8 whole runs (%s) at 8x and 1x density", formats[f]);
    row.a = sides[f][1];
    row.b = sides[f][0];
    const double ratio = row.a.mb / row.b.mb;
    row.ratios = {format("peak %.2fx", ratio), format("%.1fx the points", double(points[1]) / points[0])};
    row.targets = {"<= 1.25x", ""};
    row.verdicts = {verdict(ratio <= 1.25), ""};
    if (f > 0) {
      const double against_las = sides[f][1].mb / sides[0][1].mb;
      row.ratios.push_back(format("8x peak %.2fx LAS's", against_las));
      row.targets.push_back("<= 1.25x");
      row.verdicts.push_back(verdict(against_las <= 1.25));
    }
    rows.push_back(row);
  }
  return true;
}

// Item 9 (only when asked for): a run on a survey of at least a billion
// points, written to disk first (check the free space: about 21 GB).
bool billionRun(const Options& options, const std::string& dir, std::vector<Row>& rows, std::string& details) {
  const std::string run_dir = dir + "/billion";
  std::filesystem::create_directories(run_dir);
  const std::filesystem::space_info space = std::filesystem::space(run_dir);
  if (space.available < uint64_t{23} << 30) {
    std::fprintf(stderr, "[9] needs 23 GiB free in %s, has %.1f GiB\n", run_dir.c_str(), space.available / double(1 << 30));
    return false;
  }
  Building b;
  progress("[9] writing a billion-point building (scale 1, 30x density) ...");
  if (!makeBuilding(1.0, run_dir + "/building.las", b, 30.0)) return false;
  bench::ChildRun run;
  if (!runOnBuilding(options, "[9]", run_dir, b, run)) return false;
  const StageFigures f = parseSummary(run.output);
  const double peak_gib = run.max_rss_kb / (1024.0 * 1024.0);
  Row row;
  row.item = "9 billion-point run (the binary)";
  row.a = {"run", run.seconds, NAN, mb(run.max_rss_kb)};
  row.ratios = {format("peak %.2f GiB", peak_gib)};
  row.targets = {"< 8 GiB"};
  row.verdicts = {verdict(peak_gib < 8.0)};
  rows.push_back(row);
  std::string d = format("[9] %llu points, %.1f GiB LAS written in %.0f s; run %.0f s, peak %.2f GiB\n",
                         static_cast<unsigned long long>(b.points), b.file_bytes / double(1 << 30), b.seconds,
                         run.seconds, peak_gib);
  if (f.parsed) {
    auto share = [&](const char* stage, double seconds) {
      return format("    %-22s %8.1f s %5.1f %%\n", stage, seconds, 100.0 * seconds / run.seconds);
    };
    d += share("read and thin", f.load + f.thin) + share("write map.pcd", f.write);
    for (const auto& fl : f.floors) d += share((fl.name + " octree, grid, export").c_str(), fl.octree + fl.projection + fl.export_);
    d += format("    %llu voxels kept\n", static_cast<unsigned long long>(f.thinned));
  }
  details += d;
  return true;
}

// ------------------------------------------------------------ item 3: loading

bool loading(const Options& options, const Building& b, std::shared_ptr<Cloud>& cloud, std::vector<Row>& rows,
             std::string& details) {
  progress(format("[3] loading the LAS file, %d runs each ...", options.repeat).c_str());
  if (!rawRead(b.las_path, nullptr)) return false;  // warms the page cache
  Row row;
  row.item = "3 load LAS (warm page cache)";
  row.a.name = "readLas";
  row.b.name = "read()";
  for (int i = 0; i < options.repeat; ++i) {
    cloud.reset();
    auto fresh = std::make_shared<Cloud>();
    {
      const Measurement measurement;
      if (!loadLas(b.las_path, *fresh)) return false;
      measurement.record(row.a);
    }
    cloud = fresh;
    if (!rawRead(b.las_path, &row.b)) {
      std::fprintf(stderr, "cannot read %s\n", b.las_path.c_str());
      return false;
    }
  }
  const double file_mb = b.file_bytes / (1024.0 * 1024.0);
  judgeAgainstRead(row);
  rows.push_back(row);
  details += format("[3] loading: %.1f MiB file, %llu points; readLasPoints %.0f MiB/s (%.1f M points/s), plain read() "
                    "%.0f MiB/s\n",
                    file_mb, static_cast<unsigned long long>(cloud->size()), file_mb / row.a.wall,
                    cloud->size() / row.a.wall / 1e6, file_mb / row.b.wall);
  return cloud->size() == b.points;
}

// ---------------------------------------------------------- item 2: thinning

std::array<uint32_t, 3> bitsOf(const pcl::PointXYZ& p) {
  std::array<uint32_t, 3> bits;
  std::memcpy(bits.data(), p.data, sizeof bits);
  return bits;
}

// "" when both occupy the same voxels (a centroid's voxel by its floor at
// the leaf size), with how many of pcl's voxels lie within a float's rounding
// of a boundary and so may count either side (`borderline`).
std::string compareVoxels(const PointVector& ours, const PointVector& reference, size_t* differing) {
  const auto voxels = [](const PointVector& points) {
    std::vector<std::array<int64_t, 3>> set;
    for (const auto& p : points)
      set.push_back({static_cast<int64_t>(std::floor(p.x / kLeaf)), static_cast<int64_t>(std::floor(p.y / kLeaf)),
                     static_cast<int64_t>(std::floor(p.z / kLeaf))});
    std::sort(set.begin(), set.end());
    return set;
  };
  const auto a = voxels(ours), b = voxels(reference);
  std::vector<std::array<int64_t, 3>> only;
  std::set_symmetric_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(only));
  *differing = only.size();
  if (only.empty()) return "";
  return format("ours %zu voxels, pcl %zu; %zu voxels occupied by one side only", ours.size(), reference.size(),
                only.size());
}

// pcl::VoxelGrid's own test: beyond it, it returns its input unthinned.
bool fitsPclIndex(const Cloud& cloud, float leaf) {
  Eigen::Vector4f min_p, max_p;
  pcl::getMinMax3D(cloud, min_p, max_p);
  const float inverse = 1.0f / leaf;
  const int64_t dx = static_cast<int64_t>((max_p[0] - min_p[0]) * inverse) + 1;
  const int64_t dy = static_cast<int64_t>((max_p[1] - min_p[1]) * inverse) + 1;
  const int64_t dz = static_cast<int64_t>((max_p[2] - min_p[2]) * inverse) + 1;
  return dx * dy * dz <= static_cast<int64_t>(std::numeric_limits<int32_t>::max());
}

bool thinning(const Options& options, const Building& b, const std::shared_ptr<Cloud>& loaded,
              std::shared_ptr<Cloud>& thinned, std::vector<Row>& rows, std::string& details) {
  std::shared_ptr<Cloud> input = loaded;
  std::string what = "whole building";
  if (!fitsPclIndex(*loaded, kLeaf)) {
    input = std::make_shared<Cloud>();
    const double top = b.layout.storeys.size() > 1 ? b.layout.storeys[1].floor_z : b.layout.roofTop();
    for (const auto& p : loaded->points)
      if (p.z < top) input->push_back(p);
    what = "ground storey";
  }
  // Every LAS coordinate is finite; saying so gives pcl its fastest path.
  input->is_dense = true;
  progress(format("[2] thinning the %s, %zu points, at %.2f m, %d runs each ...", what.c_str(), input->size(),
                  kLeaf, options.repeat)
               .c_str());
  Row row;
  row.item = "2 voxel thinning, " + what;
  row.a.name = "ours";
  row.b.name = "pcl";
  PointVector ours;
  Cloud reference;
  for (int i = 0; i < options.repeat; ++i) {
    ours = PointVector();
    {
      const Measurement measurement;
      PointVector out = voxelDownsample(input->points, kLeaf);
      measurement.record(row.a);
      ours.swap(out);
    }
    reference = Cloud();
    {
      const Measurement measurement;
      pcl::VoxelGrid<pcl::PointXYZ> grid;
      grid.setInputCloud(input);
      grid.setLeafSize(kLeaf, kLeaf, kLeaf);
      Cloud out;
      grid.filter(out);
      measurement.record(row.b);
      reference.swap(out);
    }
  }
  size_t differing = 0;
  const std::string difference = compareVoxels(ours, reference.points, &differing);
  const double ratio = row.a.wall / row.b.wall;
  // Survey coordinates are decimal and many lie on voxel boundaries, where
  // pcl's single-precision index and ours may choose either side.
  const double share = static_cast<double>(differing) / std::max<size_t>(1, reference.size());
  row.ratios = {format("%.3f (ours / pcl)", ratio), format("%.4f %% of voxels differ", 100 * share)};
  row.targets = {"<= 1.0", "(figures only)"};
  row.verdicts = {verdict(ratio <= 1.0), difference.empty() ? "SAME" : "-"};
  rows.push_back(row);
  details += format("[2] thinning: %zu -> %zu points; %s\n", input->size(), ours.size(),
                    difference.empty() ? "the voxels pcl::VoxelGrid occupies"
                                       : ("against pcl::VoxelGrid: " + difference +
                                          " (points on voxel boundaries, which single precision places either side)")
                                             .c_str());
  if (input == loaded) {
    thinned = std::make_shared<Cloud>();
    thinned->points.swap(ours);
    thinned->width = static_cast<uint32_t>(thinned->points.size());
    thinned->height = 1;
    thinned->is_dense = true;
  } else {
    thinned = thinnedCloud(*loaded);  // the floors come from the whole building, as in a run
  }
  return true;
}

// ------------------------------------------------ item 6: thinning while reading

// How far the one-pass centroids (double sums) lie from voxelDownsample's
// (float sums in pcl's order), point by point: both lists must hold the same
// voxels in the same order.
struct CentroidDifference {
  double max_abs = 0.0;
  size_t differing = 0;  // points with any coordinate not bit-identical
  size_t far = 0;        // points more than a thousandth of the leaf apart: another voxel
};

CentroidDifference compareCentroids(const PointVector& streamed, const PointVector& whole) {
  CentroidDifference d;
  for (size_t i = 0; i < std::min(streamed.size(), whole.size()); ++i) {
    double largest = 0.0;
    for (int a = 0; a < 3; ++a)
      largest = std::max(largest, std::fabs(double{streamed[i].data[a]} - double{whole[i].data[a]}));
    d.max_abs = std::max(d.max_abs, largest);
    if (bitsOf(streamed[i]) != bitsOf(whole[i])) ++d.differing;
    if (largest > kLeaf / 1000.0) ++d.far;
  }
  return d;
}

// One row of item 6: the one-pass read-and-thin of `b`'s LAS file on as many
// threads as a run takes, against loading then thinning, and against read()
// of the same bytes; one thread alone in the details.
bool readAndThinRow(const Options& options, const Building& b, const std::string& what, bool has_target,
                    std::vector<Row>& rows, std::string& details) {
  Side raw{"read()"}, raw_blocks{"read() in blocks"}, one_thread{"1 thread"};
  if (!rawRead(b.las_path, nullptr)) return false;  // warms the page cache
  const unsigned threads = readingThreads();
  Row row;
  row.item = "6 read+thin LAS, " + what;
  row.a.name = format("%u threads", threads);
  row.b.name = "load+thin";
  bench::ThinnedLas survey;
  PointVector whole;
  for (int i = 0; i < options.repeat; ++i) {
    for (const unsigned n : {threads, 1u}) {
      if (n == 1 && threads == 1) continue;
      survey = bench::ThinnedLas();
      {
        const Measurement measurement;
        bench::ThinnedLas fresh = bench::readAndThinLas(b.las_path, kLeaf, n);
        measurement.record(n == threads ? row.a : one_thread);
        survey = std::move(fresh);
      }
      if (survey.las.status != LasReadStatus::kOk) {
        std::fprintf(stderr, "%s\n", survey.las.error.c_str());
        return false;
      }
    }
    whole = PointVector();
    {
      const Measurement measurement;
      std::vector<double> loaded;
      const LasReadResult read = readLasPoints(b.las_path, [&loaded](unsigned, const double* xyz, size_t n) {
        loaded.insert(loaded.end(), xyz, xyz + 3 * n);
      });
      if (read.status != LasReadStatus::kOk) return false;
      VoxelAccumulator voxels(kLeaf);
      voxels.add(loaded.data(), loaded.size() / 3);
      PointVector out = voxels.finish();
      measurement.record(row.b);
      whole.swap(out);
    }
    if (!rawRead(b.las_path, &raw) || !rawReadInBlocks(b.las_path, &raw_blocks)) return false;
  }
  if (threads == 1) one_thread = row.a;
  const CentroidDifference d = compareCentroids(survey.points, whole);
  const bool same = survey.points.size() == whole.size() && d.far == 0;
  const double share = raw.wall / row.a.wall;
  row.ratios = {format("%.2fx load+thin time", row.a.wall / row.b.wall),
                format("%.2fx load+thin memory", row.a.mb / row.b.mb), format("%.2fx raw MiB/s", share),
                "voxels and order"};
  row.targets = {"(figures only)", "(figures only)", has_target ? ">= 0.5x raw MiB/s" : "(figures only)",
                 "as voxelDownsample"};
  row.verdicts = {"-", "-", has_target ? verdict(share >= 0.5) : "-", same ? "SAME" : "DIFFERENT"};
  rows.push_back(row);
  const double file_mb = b.file_bytes / (1024.0 * 1024.0);
  details += format("[6] %s: %.1f MiB file, %llu points -> %zu voxels (%.1f points a voxel)\n", what.c_str(), file_mb,
                    static_cast<unsigned long long>(survey.points_read), survey.points.size(),
                    static_cast<double>(survey.points_read) / std::max<size_t>(1, survey.points.size()));
  details += format("    %u threads %.0f MiB/s (%.1f M points/s), 1 thread %.0f MiB/s: %.2fx; read() into fresh memory %.0f"
                    " MiB/s, read() in 4 MiB blocks %.0f MiB/s (%.2fx of that), load+thin %.0f MiB/s; %.0f bytes of"
                    " added peak per voxel\n",
                    threads, file_mb / row.a.wall, survey.points_read / row.a.wall / 1e6, file_mb / one_thread.wall,
                    one_thread.wall / row.a.wall, file_mb / raw.wall, file_mb / raw_blocks.wall,
                    raw_blocks.wall / row.a.wall, file_mb / row.b.wall, row.a.mb * 1048576.0 / survey.points.size());
  details += format("    centroids against voxelDownsample's: %zu of %zu voxels (%.2f %%) differ in some bit, by at most"
                    " %.3g m; %zu lie in another voxel (more than leaf/1000 apart)\n",
                    d.differing, whole.size(), 100.0 * d.differing / std::max<size_t>(1, whole.size()), d.max_abs,
                    d.far);
  return same;
}

// Item 6 on a survey's density, where the target applies (the building of
// item 8 at 1x: half the footprint, four points a voxel), and on the
// generator's default 5 cm spacing, the worst case, where nearly every point
// is a voxel of its own and costs a record written and sorted.
bool thinningWhileReading(const Options& options, const std::string& dir, const Building& sparse,
                          std::vector<Row>& rows, std::string& details) {
  progress(format("[6] reading and thinning LAS files in one pass, %d runs each ...", options.repeat).c_str());
  Building survey;
  if (!makeBuilding(options.scale * 0.5, dir + "/survey_density.las", survey, kScanLikeDensity)) return false;
  const bool ok = readAndThinRow(options, survey, "scan density", true, rows, details) &&
                  readAndThinRow(options, sparse, "5 cm spacing", false, rows, details);
  std::filesystem::remove(survey.las_path);
  return ok;
}

// ----------------------------------------------------------- item 1: octree

// The octree stage again, step by step, to show where its time and memory go,
// and the cast with the cells stored the slower ways.
std::string octreeBreakdown(const std::shared_ptr<Cloud>& thinned, const FloorBand& floor,
                            const octomap::point3d& origin) {
  const HeightBand band{static_cast<float>(floor.min_height), static_cast<float>(floor.max_height)};
  Side cast_side, parallel_side, leaves_side, load_side, grid_side, blocks_side;
  const unsigned threads = readingThreads();
  CellBlockMap cells;
  RayCastStats stats;
  {
    const Measurement measurement;
    stats = castRays(thinned->points, band, origin, kResolution, cells);
    measurement.record(cast_side);
  }
  {
    CellBlockMap parallel_cells;
    const Measurement measurement;
    castRays(thinned->points, band, origin, kResolution, parallel_cells, nullptr, RayCastMethod::kFastest, threads);
    measurement.record(parallel_side);
  }
  OccupancyLeaves leaves;
  {
    const Measurement measurement;
    leaves = summarizeLeaves(cells, kResolution);
    measurement.record(leaves_side);
  }
  // The tree the stage no longer builds, for comparison.
  octomap::OcTree tree(kResolution);
  {
    const Measurement measurement;
    loadOccupancyTree(cells, tree);
    measurement.record(load_side);
  }
  const size_t nodes = tree.size();
  const double tree_mb = tree.memoryUsage() / 1048576.0;
  tree.clear();
  for (auto [method, side] : {std::make_pair(RayCastMethod::kGridRayByRay, &grid_side),
                              std::make_pair(RayCastMethod::kBlocksRayByRay, &blocks_side)}) {
    CellBlockMap other;
    const Measurement measurement;
    castRays(thinned->points, band, origin, kResolution, other, nullptr, method);
    measurement.record(*side);
  }
  const double total = cast_side.wall + load_side.wall;
  auto pct = [total](const Side& s) { return 100.0 * s.wall / total; };
  std::string text;
  text += format("    the rays on %u threads: castRays %.3f s (%.2f), %.2fx faster than on one; the pruned tree's"
                 " %llu leaves summed up for the grid's bounds in %.3f s, without the tree\n",
                 threads, parallel_side.wall, parallel_side.cpu, cast_side.wall / parallel_side.wall,
                 static_cast<unsigned long long>(leaves.count), leaves_side.wall);
  text += format("    ours step by step (one more run; wall s, cpu s in brackets): castRays %s %.3f s (%.2f)"
                 " %.0f %% +%.0f MiB (%llu rays, %.0f M cell visits, %.0f M visits/s; cell store %zu blocks, %.0f MiB)\n",
                 vectorLanesSupported() ? "(grid, eight rays in AVX2 lanes)" : "(grid, one ray at a time: no AVX2)",
                 cast_side.wall, cast_side.cpu, pct(cast_side), cast_side.mb,
                 static_cast<unsigned long long>(stats.rays), stats.cell_visits / 1e6,
                 stats.cell_visits / cast_side.wall / 1e6, cells.blockCount(), cells.memoryBytes() / 1048576.0);
  text += format("    | loadOccupancyTree, no longer part of the stage, %.3f s (%.2f) %.0f %% +%.0f MiB (the tree holds"
                 " %zu nodes, %.0f MiB by octomap's count, which leaves out malloc's overhead)\n",
                 load_side.wall, load_side.cpu, pct(load_side), load_side.mb, nodes, tree_mb);
  text += format("    | the same cast one ray at a time: into the grid %.3f s (%.2f), %.2fx the lanes' time;"
                 " into the block store %.3f s (%.2f), %.2fx\n",
                 grid_side.wall, grid_side.cpu, grid_side.wall / cast_side.wall, blocks_side.wall, blocks_side.cpu,
                 blocks_side.wall / cast_side.wall);
  return text;
}

// Empty when `ours` is the projection of the tree octomap's own insertPointCloud
// makes of the band's points, else where they part; `side` gets octomap's time
// and memory.
std::string differenceFromOctomap(const std::shared_ptr<Cloud>& thinned, const FloorBand& band,
                                  const octomap::point3d& origin, const GridMap& ours, Side* side = nullptr,
                                  size_t* reference_leaves = nullptr) {
  std::unique_ptr<octomap::OcTree> reference;
  {
    const Measurement measurement;
    reference = octomapTreeOfBand(thinned->points, kResolution, band.min_height, band.max_height, origin);
    if (side) measurement.record(*side);
  }
  if (reference_leaves) *reference_leaves = reference->getNumLeafNodes();
  const std::unique_ptr<GridMap> expected = projectTree(*reference);
  return gridDifference(&ours, expected.get());
}

// The other floors' grids against octomap's, one line each.
std::string otherFloorsAgainstOctomap(const std::shared_ptr<Cloud>& thinned, const std::vector<FloorBand>& bands,
                                      const octomap::point3d& origin, bool& identical) {
  std::string text;
  for (size_t i = 1; i < bands.size(); ++i) {
    progress(format("[1] floor %s against octomap's insertPointCloud (slow) ...", bands[i].name.c_str()).c_str());
    MapPostProcess post;
    post.resolution_ = kResolution;
    post.min_height_ = bands[i].min_height;
    post.max_height_ = bands[i].max_height;
    post.sensor_origin_ = origin;
    if (!post.constructOctMap(thinned) || !post.generateNavMap()) {
      identical = false;
      text += format("    floor %s: the floor stage failed\n", bands[i].name.c_str());
      continue;
    }
    const std::string difference = differenceFromOctomap(thinned, bands[i], origin, *post.gridMap());
    identical = identical && difference.empty();
    text += format("    floor %s: grids %s\n", bands[i].name.c_str(),
                   difference.empty() ? "IDENTICAL cell by cell to the projection of octomap's tree"
                                      : ("DIFFER: " + difference).c_str());
  }
  return text;
}

bool floorOctree(const Options& options, const std::shared_ptr<Cloud>& thinned, const FloorBand& band,
                 const octomap::point3d& origin, MapPostProcess& post, std::vector<Row>& rows, std::string& details) {
  post.resolution_ = kResolution;
  post.min_height_ = band.min_height;
  post.max_height_ = band.max_height;
  post.sensor_origin_ = origin;
  if (!options.wants(1)) return post.constructOctMap(thinned);

  progress(format("[1] floor %s octree, band z %.2f..%.2f m, origin (%.2f %.2f %.2f) ...", band.name.c_str(),
                  band.min_height, band.max_height, origin.x(), origin.y(), origin.z())
               .c_str());
  Row row;
  row.item = format("1 floor octree %s (%.2f m)", band.name.c_str(), kResolution);
  row.a.name = "ours";
  row.b.name = "octomap";
  // Ours runs once before and once after the long reference, so that a
  // change in the machine's load between the two sides shows. The first run
  // starts from an empty tree, so its added memory is the one that counts.
  // The stage as a run makes it: the rays cast, the cells projected.
  std::vector<double> ours_runs;
  Side one_thread;
  auto runOurs = [&](unsigned threads, Side& side) {
    post.threads_ = threads;
    const Measurement measurement;
    const WallClock clock;
    const bool built = post.constructOctMap(thinned) && post.generateNavMap();
    if (threads == 0) ours_runs.push_back(clock.seconds());
    measurement.record(side);
    if (!built) std::fprintf(stderr, "the floor stage failed\n");
    post.threads_ = 0;
    return built;
  };
  if (!runOurs(0, row.a) || !runOurs(1, one_thread) || !runOurs(0, row.a)) return false;
  const size_t band_points = post.floorStats().band_points;
  const unsigned threads = readingThreads();
  std::string d = format("[1] floor stage (rays and projection): %zu band points, %zu leaves (ours); on %u threads"
                         " %.3f s (cpu %.2f s), on one %.3f s (cpu %.2f s): %.2fx faster (target >= 1.8x on 2)\n    ",
                         band_points, post.floorStats().leaves, threads, row.a.wall, row.a.cpu, one_thread.wall,
                         one_thread.cpu, one_thread.wall / row.a.wall);

  bool identical = true;
  if (options.skip_reference) {
    row.ratios = {"(reference skipped)"};
    row.targets = {">= 20x faster"};
    row.verdicts = {"-"};
    d += "; octomap reference skipped\n";
  } else {
    progress(format("    octomap's insertPointCloud on the same %zu points (slow) ...", band_points).c_str());
    size_t reference_leaves = 0;
    const std::string difference =
        differenceFromOctomap(thinned, band, origin, *post.gridMap(), &row.b, &reference_leaves);
    identical = difference.empty();
    d += format("%zu leaves (octomap); ", reference_leaves);
    d += identical ? "grids IDENTICAL cell by cell to the projection of octomap's tree\n"
                   : "grids DIFFER: " + difference + "\n";
    if (!runOurs(0, row.a)) return false;
    const double speedup = row.b.wall / row.a.wall;
    const double memory_share = row.a.mb / row.b.mb;
    row.ratios = {format("%.1fx faster", speedup), format("(cpu: %.1fx faster)", row.b.cpu / row.a.cpu),
                  format("mem %.3fx octomap", memory_share), "grids"};
    row.targets = {">= 20x faster", "", "mem <= 0.2x octomap", "identical cells"};
    row.verdicts = {verdict(speedup >= 20.0), "", verdict(memory_share <= 0.2), identical ? "IDENTICAL" : "DIFFERENT"};
  }
  std::string runs;
  for (double r : ours_runs) runs += format(" %.2f s", r);
  d += "    ours, wall time of each run (the best kept):" + runs + "\n";
  rows.push_back(row);
  details += d + octreeBreakdown(thinned, band, origin);
  return identical;
}

// -------------------------------------------------------- item 4: projection

struct ProjectionFigures {
  Side side;
  double projection = NAN, export_ = NAN;
  size_t leaves = 0;
  uint64_t cells = 0;
};

bool projectAndExport(const Options& options, MapPostProcess& post, const std::string& out_dir,
                      const std::string& name, ProjectionFigures& f) {
  // Once untimed: the first export also loads the image codec and makes the directory.
  if (!post.generateNavMap() || !post.saveNavMaps(out_dir, name)) return false;
  // A run lasts a tenth of a second or less, where a busy neighbour weighs
  // most: three times the runs of the other items.
  for (int i = 0; i < 3 * options.repeat; ++i) {
    const Measurement measurement;
    const WallClock clock;
    if (!post.generateNavMap()) return false;
    const double projected = clock.seconds();
    if (!post.saveNavMaps(out_dir, name)) return false;
    const double before = f.side.wall;
    measurement.record(f.side);
    if (std::isnan(before) || f.side.wall < before) {
      f.projection = projected;
      f.export_ = f.side.wall - projected;
    }
  }
  f.leaves = post.floorStats().leaves;
  f.cells = post.gridMap()->width * post.gridMap()->height;
  return true;
}

bool projection(const Options& options, const std::string& dir, MapPostProcess& big_post, const FloorBand& band,
                std::vector<Row>& rows, std::string& details) {
  const double small_scale = options.scale / 2;
  progress(format("[4] projection and export at scale %.2f and %.2f, %d runs each ...", options.scale, small_scale,
                  3 * options.repeat)
               .c_str());
  ProjectionFigures large, small;
  if (!projectAndExport(options, big_post, dir + "/projection", band.name + "_large", large)) return false;

  // The smaller floor comes through the same stages as the larger one.
  Building b;
  if (!makeBuilding(small_scale, dir + "/small.las", b)) return false;
  MapPostProcess post;
  {
    auto loaded = std::make_shared<Cloud>();
    if (!loadLas(b.las_path, *loaded)) return false;
    const std::shared_ptr<Cloud> thinned = thinnedCloud(*loaded);
    loaded.reset();
    const FloorBand small_band = floorBands(b.layout).at(0);
    post.resolution_ = kResolution;
    post.min_height_ = small_band.min_height;
    post.max_height_ = small_band.max_height;
    post.sensor_origin_ = sensorOrigin(b.layout);
    if (!post.constructOctMap(thinned)) return false;
  }
  std::filesystem::remove(b.las_path);
  if (!projectAndExport(options, post, dir + "/projection", band.name + "_small", small)) return false;

  const double large_rate = large.leaves / large.side.wall, small_rate = small.leaves / small.side.wall;
  const double rate_ratio = large_rate / small_rate;
  Row row;
  row.item = format("4 project+export %s, scale %.2f|%.2f", band.name.c_str(), options.scale, small_scale);
  row.a = large.side;
  auto leaves = [](size_t n) { return format(n >= 10000000 ? "%.1fM lv" : "%.2fM lv", n / 1e6); };
  row.a.name = leaves(large.leaves);
  row.b = small.side;
  row.b.name = leaves(small.leaves);
  row.ratios = {format("%.2f (leaves/s, A/B)", rate_ratio)};
  row.targets = {"0.67..1.5: linear"};
  row.verdicts = {verdict(rate_ratio >= 0.67 && rate_ratio <= 1.5)};
  rows.push_back(row);
  auto line = [](const char* which, double scale, const ProjectionFigures& f) {
    return format("    %s scale %.2f: %zu leaves, grid %llu cells; projection %.3f s (%.1f M leaves/s), export %.3f s;"
                  " both %.1f M leaves/s\n",
                  which, scale, f.leaves, static_cast<unsigned long long>(f.cells), f.projection,
                  f.leaves / f.projection / 1e6, f.export_, f.leaves / f.side.wall / 1e6);
  };
  details += "[4] projection + export of floor " + band.name + ":\n" + line("A", options.scale, large) +
             line("B", small_scale, small);
  return true;
}

// ------------------------------------------------------------------- main

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 0; i < argc; ++i) o.command_line += (i ? " " : "") + std::string(argv[i]);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = nullptr;
    const bool takes_value = arg == "--scale" || arg == "--repeat" || arg == "--workdir" || arg == "--items" ||
                             arg == "--map-generator";
    if (takes_value) {
      if (i + 1 >= argc) return false;
      value = argv[++i];
    }
    char* end = nullptr;
    if (arg == "--scale") {
      o.scale = std::strtod(value, &end);
      if (*end || !(o.scale > 0) || o.scale > 10) return false;
    } else if (arg == "--repeat") {
      o.repeat = static_cast<int>(std::strtol(value, &end, 10));
      if (*end || o.repeat < 1) return false;
    } else if (arg == "--items") {
      o.items.clear();
      std::stringstream list(value);
      std::string item;
      while (std::getline(list, item, ',')) {
        const long n = std::strtol(item.c_str(), &end, 10);
        if (*end || n < 1 || n > 10) return false;
        o.items.insert(static_cast<int>(n));
      }
    } else if (arg == "--workdir") {
      o.workdir = value;
    } else if (arg == "--map-generator") {
      o.map_generator = value;
    } else if (arg == "--skip-reference") {
      o.skip_reference = true;
    } else if (arg == "--keep") {
      o.keep = true;
    } else {
      return false;
    }
  }
  return true;
}

int runBenchmark(const Options& options, const std::string& dir) {
  Building building;
  if (!makeBuilding(options.scale, dir + "/building.las", building)) return 1;
  const std::vector<FloorBand> bands = floorBands(building.layout);
  const octomap::point3d origin = sensorOrigin(building.layout);
  std::printf("building: scale %.2f, %.1f m x %.1f m, %zu storeys, %llu points, LAS %.1f MiB written in %.1f s to %s\n",
              options.scale, building.layout.width, building.layout.depth, building.layout.storeys.size(),
              static_cast<unsigned long long>(building.points), building.file_bytes / (1024.0 * 1024.0),
              building.seconds, dir.c_str());
  for (const FloorBand& b : bands)
    std::printf("  floor %s: band z %.2f..%.2f m\n", b.name.c_str(), b.min_height, b.max_height);
  std::printf("  sensor origin (%.2f, %.2f, %.2f) for every floor\n", origin.x(), origin.y(), origin.z());
  std::fflush(stdout);

  std::vector<Row> rows, run_rows;
  std::string details, run_details;
  bool ok = true;
  // The whole run goes first, while this process is small: a child's peak
  // memory counts what it shared with us until it replaced its image.
  if (options.wants(5)) ok = wholeRun(options, dir, building, origin, run_rows, run_details);
  if (ok && options.wants(6)) ok = thinningWhileReading(options, dir, building, rows, details);

  const bool needs_cloud = options.wants(1) || options.wants(2) || options.wants(3) || options.wants(4);
  if (ok && needs_cloud) {
    std::shared_ptr<Cloud> loaded, thinned;
    MapPostProcess post;
    if (options.wants(3)) {
      ok = loading(options, building, loaded, rows, details);
    } else {
      loaded = std::make_shared<Cloud>();
      ok = loadLas(building.las_path, *loaded);
    }
    if (ok && options.wants(2)) {
      ok = thinning(options, building, loaded, thinned, rows, details);
    } else if (ok) {
      thinned = thinnedCloud(*loaded);
    }
    loaded.reset();
    if (ok && (options.wants(1) || options.wants(4)))
      ok = floorOctree(options, thinned, bands.at(0), origin, post, rows, details);
    if (ok && options.wants(1) && !options.skip_reference) {
      bool identical = true;
      details += otherFloorsAgainstOctomap(thinned, bands, origin, identical);
      ok = identical;
    }
    thinned.reset();
    if (ok && options.wants(4)) ok = projection(options, dir, post, bands.at(0), rows, details);
  }

  if (ok && options.wants(8)) ok = densityRuns(options, dir, run_rows, run_details);
  if (ok && options.wants(9)) ok = billionRun(options, dir, run_rows, run_details);
  if (ok && options.wants(7)) ok = bench::e57Loading(building.params, building.layout, dir, options.repeat, rows, details);
  if (ok && options.wants(10))
    ok = bench::lazReading(building.params, building.layout, building.las_path, dir, kLeaf, options.repeat, rows,
                           details);

  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.item < b.item; });
  rows.insert(rows.end(), run_rows.begin(), run_rows.end());
  std::printf("\n");
  printTable(rows);
  std::printf("\n%s%s", details.c_str(), run_details.c_str());
  std::printf("\nSide A is ours. Times are the best of the runs: wall clock, processor time in brackets. +peak RSS is"
              " the\npeak resident memory a side added (VmHWM after it less VmRSS before it), MiB = 2^20 bytes; item 5"
              " gives the run's whole peak.\n");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  google::InitGoogleLogging(argv[0]);
  FLAGS_logtostderr = true;
  FLAGS_minloglevel = google::GLOG_WARNING;  // the table, not the stages' progress records
  pcl::console::setVerbosityLevel(pcl::console::L_WARN);

  bool made_dir = false;
  std::string dir = options.workdir;
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/map_generator_bench.XXXXXX";
    if (!mkdtemp(&pattern[0])) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
    made_dir = true;
  } else {
    std::filesystem::create_directories(dir);
  }

  printMachine(options);
  int status = 1;
  try {
    status = runBenchmark(options, dir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "map_generator_bench: %s\n", e.what());
  }
  if (made_dir && !options.keep) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  return status;
}
