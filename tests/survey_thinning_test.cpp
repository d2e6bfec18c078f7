// Surveys read and thinned in one pass, and georeferenced surveys: a run on
// the demo building moved to UTM-like coordinates, with the translation that
// brings it back, makes the maps of the local run.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/coordinates.h"
#include "core/progress.h"
#include "core/voxel_thinning.h"
#include "formats/las_reader.h"
#include "las_writer.h"
#include "support/test_support.h"
#include "synthetic_building.h"

namespace korvane_navigation {
namespace {

using test_support::CommandResult;
using test_support::runMapGenerator;
using test_support::TempDir;

class LasThinning : public ::testing::Test {
 protected:
  std::string write(const std::vector<std::array<double, 3>>& points, const LasWriteOptions& options = {},
                    size_t drop_bytes = 0) {
    std::vector<uint8_t> bytes = encodeLas(points, options);
    bytes.resize(bytes.size() - drop_bytes);
    const std::string path = dir_.file("cloud.las");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
  }

  static std::vector<std::array<double, 3>> building(size_t n) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> x(-40.0, 40.0), z(-1.0, 9.0);
    std::vector<std::array<double, 3>> points;
    for (size_t i = 0; i < n; ++i) points.push_back({x(rng), 0.5 * x(rng), z(rng)});
    return points;
  }

  // The file thinned on `threads` reading threads; the points of the file
  // as the reader gives them, in `all`.
  static PointVector readAndThin(const std::string& path, unsigned threads, LasReadResult& result,
                                 std::vector<double>* all = nullptr) {
    VoxelAccumulator voxels(0.05, threads);
    result = readLasPoints(path, [&](unsigned thread, const double* xyz, size_t n) { voxels.add(xyz, n, thread); },
                           nullptr, threads);
    if (all) readLasPoints(path, [&](unsigned, const double* xyz, size_t n) { all->insert(all->end(), xyz, xyz + 3 * n); });
    return voxels.finish();
  }

  TempDir dir_;
};

// More records than one read block holds, so that blocks end mid-voxel, on
// one thread and on several: the voxels and their order never change.
TEST_F(LasThinning, SpansSeveralReadBlocksOnAnyNumberOfThreads) {
  const std::string path = write(building(700000));
  LasReadResult result;
  std::vector<double> all;
  const PointVector one = readAndThin(path, 1, result, &all);
  VoxelAccumulator whole(0.05);
  whole.add(all.data(), all.size() / 3);
  const PointVector expected = whole.finish();
  ASSERT_EQ(one.size(), expected.size());
  for (unsigned threads : {2u, 3u}) {
    const PointVector several = readAndThin(path, threads, result);
    ASSERT_EQ(result.status, LasReadStatus::kOk) << result.error;
    EXPECT_EQ(result.points_read, 700000u);
    ASSERT_EQ(several.size(), expected.size()) << threads << " threads";
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_NEAR(several[i].x, expected[i].x, 1e-5) << i;
      ASSERT_NEAR(several[i].z, expected[i].z, 1e-5) << i;
    }
  }
}

// A thread whose sink fails ends the reading on every thread, and the caller
// gets the failure, not a hang or a half-read cloud.
TEST_F(LasThinning, FailureOnAnyThreadEndsTheReadingAndReachesTheCaller) {
  const std::string path = write(building(900000));
  for (unsigned failing : {0u, 1u}) {
    std::atomic<int> blocks_after_failure{0};
    std::atomic<bool> failed{false};
    const auto sink = [&](unsigned thread, const double*, size_t) {
      if (failed) ++blocks_after_failure;
      if (thread == failing && !failed.exchange(true)) throw std::length_error("thread failed");
    };
    EXPECT_THROW(readLasPoints(path, sink, nullptr, 2), std::length_error) << "thread " << failing;
    EXPECT_LE(blocks_after_failure.load(), 1) << "thread " << failing;
  }
}

// The run's log: the truncated file's warning, the figures, and no precision
// warning once the translation brings the georeferenced points home.
TEST_F(LasThinning, RunLogsTheFiguresAndWarningsOfAGeoreferencedTruncatedFile) {
  LasWriteOptions georeferenced;
  georeferenced.offset = {470000.0, 4602000.0, 0.0};
  write({{470000.0, 4602000.0, 0.5}, {470000.001, 4602000.001, 0.5}, {470001.0, 4602001.0, 1.0},
         {470002.0, 4602000.0, 1.0}},
        georeferenced, 20);
  test_support::writeFile(dir_.file("config.json"),
                          test_support::configJson("out", "cloud.las", 0.005, 0.05,
                                                   R"([{"floor_name": "L1", "min_height": 0, "max_height": 2}])",
                                                   "[1, 0, 0, 0]", "[-470000, -4602000, 0]", "[0, 0, 1]"));
  const CommandResult run = runMapGenerator({"config.json"}, dir_.path());
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(run.hasRecord('W', "the header declares 4 points but the file holds only 3")) << run.output;
  EXPECT_FALSE(run.contains("single precision")) << run.output;
  EXPECT_TRUE(run.hasRecord('I', "pointcloud size: 2 after downsampling."));
  EXPECT_TRUE(run.hasRecord('I', "3 points loaded"));
  const std::vector<test_support::Point> map = test_support::readPcdPoints(dir_.file("out/map.pcd"));
  ASSERT_EQ(map.size(), 2u);
  EXPECT_NEAR(map[0][0], 0.0005, 1e-6);
  EXPECT_NEAR(map[1][1], 1.0, 1e-6);
}

TEST(ReadingProgressLog, GivesTheShareOfBytesThePointRateAndThePointsKept) {
  test_support::LogCapture log;
  ProgressLog reading("reading and thinning a.las", "points", 0.0);
  reading.updateReading(1500000, 3000000, 75000, 50000);
  EXPECT_TRUE(log.has(google::GLOG_INFO, "reading and thinning a.las: 50% (1.50 MB of 3.00 MB; 75.0 k points read, "));
  EXPECT_TRUE(log.has(google::GLOG_INFO, "points/s; 50.0 k kept)"));
}

// --- the demo building, local and georeferenced ------------------------------------

constexpr std::array<double, 3> kUtmShift = {470000.0, 4602000.0, 0.0};

class GeoreferencedRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    BuildingParameters params = demoBuilding();
    const BuildingLayout layout = planBuilding(params);
    ASSERT_TRUE(writeBuildingLas(dir_->file("local.las"), params, layout).ok);
    ASSERT_TRUE(writeBuildingE57(dir_->file("local.e57"), params, layout).ok);
    ASSERT_TRUE(writeBuildingCloud(dir_->file("local.ply"), params, layout).ok);
    params.offset = kUtmShift;
    ASSERT_TRUE(writeBuildingLas(dir_->file("utm.las"), params, layout).ok);
    ASSERT_TRUE(writeBuildingE57(dir_->file("utm.e57"), params, layout).ok);
    ASSERT_TRUE(writeBuildingCloud(dir_->file("utm.ply"), params, layout).ok);  // doubles, offset added
  }
  static void TearDownTestSuite() { delete dir_; }

  // Runs on `input` with the demo's floors and sensor origin and the map
  // frame `rotation`, `translation`, into `output`.
  static CommandResult run(const std::string& input, const std::string& output, const std::string& rotation,
                           const Eigen::Vector3d& translation) {
    std::ostringstream t;
    t.precision(17);
    t << "[" << translation.x() << ", " << translation.y() << ", " << translation.z() << "]";
    const std::string config = output + ".json";
    test_support::writeFile(dir_->file(config),
                            test_support::configJson(output, input, 0.05, 0.05,
                                                     R"([{"floor_name": "L1", "min_height": 0.1, "max_height": 1.8},
                                                         {"floor_name": "L2", "min_height": 3.1, "max_height": 4.8}])",
                                                     rotation, t.str(), "[0.47, 0, 1]"));
    return runMapGenerator({config}, dir_->path());
  }

  static void expectSameMaps(const std::string& a, const std::string& b) {
    const auto pa = test_support::readPcdPoints(dir_->file(a + "/map.pcd"));
    const auto pb = test_support::readPcdPoints(dir_->file(b + "/map.pcd"));
    ASSERT_EQ(pa.size(), pb.size());
    double largest = 0.0;
    for (size_t i = 0; i < pa.size(); ++i)
      for (int k = 0; k < 3; ++k) largest = std::max(largest, std::fabs(double{pa[i][k]} - pb[i][k]));
    EXPECT_LE(largest, 1e-5);
    for (const char* file : {"L1.png", "L1.yaml", "L2.png", "L2.yaml"}) {
      EXPECT_EQ(test_support::readFile(dir_->file(a + "/" + file)), test_support::readFile(dir_->file(b + "/" + file)))
          << file;
    }
  }

  static TempDir* dir_;
};

TempDir* GeoreferencedRun::dir_ = nullptr;

TEST_F(GeoreferencedRun, LasE57AndPlyWithTheTranslationBackMakeTheLocalMaps) {
  const Eigen::Vector3d shift(kUtmShift[0], kUtmShift[1], kUtmShift[2]);
  struct Frame {
    const char* name;
    const char* rotation;
    Eigen::Affine3d transform;
  };
  const Eigen::Affine3d turn = rigidTransform(0.70710678, 0, 0, 0.70710678, Eigen::Vector3d(6.0, -10.0, 0.0));
  for (const Frame& frame : {Frame{"plain", "[1, 0, 0, 0]", Eigen::Affine3d::Identity()},
                             Frame{"turned", "[0.70710678, 0, 0, 0.70710678]", turn}}) {
    for (const char* format : {"las", "e57", "ply"}) {
      SCOPED_TRACE(std::string(frame.name) + " " + format);
      const std::string local = std::string("local_") + frame.name + "_" + format;
      const std::string utm = std::string("utm_") + frame.name + "_" + format;
      // p' = R (p + shift) + t' is R p + t when t' = t - R shift.
      const Eigen::Vector3d back = frame.transform.translation() - frame.transform.linear() * shift;
      const CommandResult a = run(std::string("local.") + format, local, frame.rotation, frame.transform.translation());
      ASSERT_EQ(a.status, 0) << a.output;
      const CommandResult b = run(std::string("utm.") + format, utm, frame.rotation, back);
      ASSERT_EQ(b.status, 0) << b.output;
      EXPECT_FALSE(b.contains("single precision")) << b.output;
      expectSameMaps(local, utm);
    }
  }
}

// Left far from the map frame's origin, the cloud would fall outside every
// floor's octree: the run is refused before the floors, with the translation
// that would do, and --suggest-floors offers that translation beside the floors.
TEST_F(GeoreferencedRun, ACloudLeftFarFromTheOriginIsRefusedWithATranslationToUse) {
  const CommandResult far = run("utm.las", "far", "[1, 0, 0, 0]", Eigen::Vector3d::Zero());
  EXPECT_EQ(far.status, 1) << far.output;
  EXPECT_TRUE(far.hasRecord('E', "set transform_matrix.translation to [-4700")) << far.output;
  EXPECT_TRUE(far.hasRecord('W', "single precision")) << far.output;
  EXPECT_FALSE(far.contains("Generate Nav Map for")) << far.output;
  EXPECT_FALSE(test_support::fileExists(dir_->file("far/map.pcd")));

  const CommandResult suggested = runMapGenerator({"--suggest-floors", "far.json"}, dir_->path());
  EXPECT_EQ(suggested.status, 0) << suggested.output;
  EXPECT_TRUE(suggested.contains("\"transform_matrix\": {\"rotation\": [1, 0, 0, 0], \"translation\": [-4700"))
      << suggested.output;
  EXPECT_TRUE(suggested.contains("{\"floors\": [{\"floor_name\": \"L1\"")) << suggested.output;
}

}  // namespace
}  // namespace korvane_navigation
