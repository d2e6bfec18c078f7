// Thinning while reading: the one-pass accumulator and the LAS path into it
// must give voxelDownsample's voxels, in its order, for any way the points
// are split into blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/progress.h"
#include "core/survey_input.h"
#include "core/voxel_filter.h"
#include "formats/las_writer.h"
#include "support/test_support.h"

namespace korvane_navigation {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Feeds `cloud` to an accumulator `chunk` points at a time, straight from the
// PCL points (four floats each). With several lanes, chunk k goes to lane
// k % lanes, each lane on its own thread, the first chunk before the others
// start, as the LAS reader hands out its blocks.
PointVector thinInChunks(const PointVector& cloud, float leaf, size_t chunk, VoxelAccumulator* keep = nullptr,
                         unsigned lanes = 1) {
  VoxelAccumulator local(leaf, lanes);
  VoxelAccumulator& voxels = keep ? *keep : local;
  const size_t chunks = (cloud.size() + chunk - 1) / chunk;
  const auto addChunks = [&](unsigned lane, size_t first_chunk) {
    for (size_t k = first_chunk; k < chunks; k += lanes) {
      const size_t first = k * chunk;
      voxels.add(&cloud[first].x, std::min(chunk, cloud.size() - first), 4, lane);
    }
  };
  if (chunks > 0) voxels.add(&cloud[0].x, std::min(chunk, cloud.size()), 4, 0);
  std::vector<std::thread> threads;
  for (unsigned lane = 1; lane < lanes; ++lane) threads.emplace_back(addChunks, lane, lane);
  addChunks(0, lanes);
  for (std::thread& t : threads) t.join();
  return voxels.finish();
}

// Same voxels in the same order: each centroid within a few float steps of
// voxelDownsample's, which sums in float and in another order.
::testing::AssertionResult sameVoxels(const PointVector& streamed, const PointVector& whole) {
  if (streamed.size() != whole.size())
    return ::testing::AssertionFailure() << streamed.size() << " voxels, voxelDownsample gives " << whole.size();
  for (size_t i = 0; i < whole.size(); ++i) {
    for (int a = 0; a < 3; ++a) {
      const float tolerance = 8 * std::numeric_limits<float>::epsilon() * std::max(1.0f, std::fabs(whole[i].data[a]));
      if (!(std::fabs(streamed[i].data[a] - whole[i].data[a]) <= tolerance))
        return ::testing::AssertionFailure() << "voxel " << i << " is " << streamed[i] << ", voxelDownsample gives "
                                             << whole[i];
    }
  }
  return ::testing::AssertionSuccess();
}

PointVector randomCloud(size_t n, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> along(lo, hi);
  PointVector cloud;
  for (size_t i = 0; i < n; ++i) cloud.emplace_back(along(rng), along(rng), along(rng));
  return cloud;
}

// Runs of points in one voxel, each run split over many chunks below.
PointVector scanRows() {
  PointVector cloud;
  for (int row = 0; row < 40; ++row)
    for (int i = 0; i < 200; ++i) cloud.emplace_back(0.004f * i - 0.3f, 0.01f * row, 1.0f + 0.001f * (i % 7));
  return cloud;
}

// Exactly on multiples of the leaf, one float step either side, both signs.
PointVector onBoundaries(float leaf) {
  PointVector cloud;
  for (int k = -6; k <= 6; ++k) {
    const float edge = k * leaf;
    for (float v : {edge, std::nextafter(edge, -kInf), std::nextafter(edge, kInf)})
      cloud.emplace_back(v, -v, 0.5f * v);
  }
  return cloud;
}

// A field of voxels, each met once, then again after all the others: more
// voxels than are kept being filled, so the second points of each come long
// after its first.
PointVector twoVisits() {
  PointVector cloud;
  for (int visit = 0; visit < 2; ++visit)
    for (int i = 0; i < 90; ++i)
      for (int j = 0; j < 80; ++j) cloud.emplace_back(0.05f * i + 0.01f + 0.02f * visit, -0.05f * j - 0.03f, 0.4f + 0.01f * visit);
  return cloud;
}

// Many voxels, then one point that no compact key holds, then more voxels.
PointVector thenFarAway(float far_x) {
  PointVector cloud = scanRows();
  for (int i = 0; i < 3000; ++i) cloud.emplace_back(0.02f * i, 1.0f, 0.5f);
  cloud.emplace_back(far_x, 0.5f, 0.5f);
  for (int i = 0; i < 3000; ++i) cloud.emplace_back(0.02f * i + 0.01f, 1.0f, 0.5f);
  return cloud;
}

struct Case {
  const char* name;
  PointVector cloud;
  float leaf;
};

std::vector<Case> awkwardClouds() {
  PointVector with_non_finite = randomCloud(3000, -2.0f, 2.0f, 5);
  for (size_t i = 0; i < with_non_finite.size(); i += 97) with_non_finite[i].data[i % 3] = i % 2 ? kNaN : -kInf;
  // pcl's offsets are float differences: beyond 2^24 voxels from the cloud's
  // first voxel two neighbours can share one index, and then one centroid.
  PointVector folded = {{-1.0f, 0, 0}, {33554430.0f, 0, 0}, {33554432.0f, 0, 0}, {33554436.0f, 0, 0}};
  return {
      {"voxel boundaries, binary leaf", onBoundaries(0.25f), 0.25f},
      {"voxel boundaries, decimal leaf", onBoundaries(0.05f), 0.05f},
      {"negative and positive coordinates", randomCloud(20000, -3.0f, 3.0f, 1), 0.1f},
      {"runs of one voxel across chunks", scanRows(), 0.05f},
      {"non-finite points left out", with_non_finite, 0.2f},
      {"every point in one voxel", randomCloud(300, 10.01f, 10.04f, 2), 0.05f},
      {"beyond pcl's 32-bit index", randomCloud(5000, -200.0f, 200.0f, 3), 0.01f},
      {"beyond 64-bit voxel indices", {{1e30f, -1e30f, 3.0f}, {-3e38f, 3e38f, 0.0f}, {1e30f, -1e30f, 3.0f}}, 1e-10f},
      {"neighbours folded by pcl's float index", folded, 1.0f},
      {"voxels met again long after", twoVisits(), 0.05f},
      {"a point 2^20 voxels away after many", thenFarAway(60000.0f), 0.05f},
      {"a point beyond exact floats after many", thenFarAway(1.0e6f), 0.05f},
  };
}

TEST(StreamingThinning, MatchesVoxelDownsampleWhateverTheChunksAndLanes) {
  for (const Case& c : awkwardClouds()) {
    const PointVector whole = voxelDownsample(c.cloud, c.leaf);
    for (unsigned lanes : {1u, 2u, 3u}) {
      for (size_t chunk : {size_t{1}, size_t{3}, size_t{64}, c.cloud.size()}) {
        EXPECT_TRUE(sameVoxels(thinInChunks(c.cloud, c.leaf, chunk, nullptr, lanes), whole))
            << c.name << ", chunks of " << chunk << ", " << lanes << " lanes";
      }
    }
  }
}

// Lanes run at their own pace, but what each sums is fixed by the chunks'
// places: the same chunks and lanes give the same bits every time, however
// the threads happen to interleave.
// Enough voxels that finishing, too, shares them out among threads.
TEST(StreamingThinning, LanesGiveTheSameBitsWhateverTheTiming) {
  const PointVector cloud = randomCloud(1500000, -5.0f, 5.0f, 4);
  const PointVector first = thinInChunks(cloud, 0.02f, 50000, nullptr, 2);
  ASSERT_GT(first.size(), 1100000u);
  ASSERT_TRUE(sameVoxels(first, voxelDownsample(cloud, 0.02f)));
  for (int run = 0; run < 3; ++run) {
    const PointVector again = thinInChunks(cloud, 0.02f, 50000, nullptr, 2);
    ASSERT_EQ(again.size(), first.size());
    EXPECT_EQ(std::memcmp(again.data(), first.data(), first.size() * sizeof(pcl::PointXYZ)), 0) << "run " << run;
  }
}

// Points in no spatial order meet each voxel again and again after others:
// the records they leave are merged as they pile up, so that memory follows
// the voxels, not the points.
TEST(StreamingThinning, PointsInNoOrderAreMergedBeforeTheyPileUp) {
  constexpr int kVoxels = 200000, kVisits = 8;
  PointVector cloud;
  for (int k = 0; k < kVisits; ++k)
    for (int v = 0; v < kVoxels; ++v) cloud.emplace_back(0.05f * (v % 500) + 0.01f + 0.004f * k, 0.05f * (v / 500) + 0.01f, 0.003f * k);
  std::shuffle(cloud.begin(), cloud.end(), std::mt19937(7));
  VoxelAccumulator voxels(0.05f);
  for (size_t first = 0; first < cloud.size(); first += 65536)
    voxels.add(&cloud[first].x, std::min<size_t>(65536, cloud.size() - first), 4);
  EXPECT_LT(voxels.voxelCount(), cloud.size() / 2) << "records were not merged";
  EXPECT_TRUE(sameVoxels(voxels.finish(), voxelDownsample(cloud, 0.05f)));
}

// However many points a voxel gets, far from the origin, its centroid is
// their mean to the float nearest it, not a float sum's drift.
TEST(StreamingThinning, DenseVoxelCentroidIsTheMeanToTheNearestFloat) {
  const PointVector cloud = randomCloud(300000, 1000.01f, 1000.04f, 9);
  double mean[3] = {0.0, 0.0, 0.0};
  for (const auto& p : cloud)
    for (int a = 0; a < 3; ++a) mean[a] += p.data[a];
  const PointVector thinned = thinInChunks(cloud, 0.05f, 4096);
  ASSERT_EQ(thinned.size(), 1u);
  for (int a = 0; a < 3; ++a) EXPECT_EQ(thinned[0].data[a], static_cast<float>(mean[a] / cloud.size())) << a;
}

TEST(StreamingThinning, CountsWhatTheWarningsNeedOverEveryLane) {
  const PointVector cloud = {{1, -7.5f, 2}, {kNaN, 0, 0}, {0, kInf, 0}, {3, 4, -0.5f}, {0, 0, -kInf}};
  for (unsigned lanes : {1u, 2u}) {
    VoxelAccumulator voxels(0.5f, lanes);
    EXPECT_EQ(thinInChunks(cloud, 0.5f, 2, &voxels, lanes).size(), 2u);
    EXPECT_EQ(voxels.pointsAdded(), 5u);
    EXPECT_EQ(voxels.nonFinitePoints(), 3u);
    EXPECT_EQ(voxels.largestCoordinate(), 7.5f);
  }
  VoxelAccumulator one_lane(0.5f);
  EXPECT_THROW(one_lane.add(&cloud[0].x, 1, 4, 1), std::out_of_range);
}

TEST(StreamingThinning, RejectsUnusableLeafSizes) {
  for (float leaf : {0.0f, -1.0f, kNaN, kInf}) EXPECT_THROW(VoxelAccumulator{leaf}, std::invalid_argument) << leaf;
}

// --- from LAS files ----------------------------------------------------------------

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

  static PointVector loadThenThin(const std::string& path, float leaf) {
    pcl::PointCloud<pcl::PointXYZ> cloud;
    EXPECT_EQ(readLasCloud(path, cloud).status, LasReadStatus::kOk);
    return voxelDownsample(cloud.points, leaf);
  }

  test_support::TempDir dir_;
};

// More records than one read block holds, so that blocks end mid-voxel, on
// one lane and on several.
TEST_F(LasThinning, SpansSeveralReadBlocksAsLoadingThenThinningDoes) {
  const std::string path = write(building(700000));
  const PointVector whole = loadThenThin(path, 0.05f);
  for (unsigned lanes : {1u, 2u, 3u}) {
    std::vector<ReadingProgress> reports;
    const ThinnedSurvey survey =
        readAndThinLas(path, 0.05f, [&](const ReadingProgress& p) { reports.push_back(p); }, lanes);
    ASSERT_EQ(survey.las.status, LasReadStatus::kOk) << survey.las.error;
    EXPECT_EQ(survey.points_read, 700000u) << lanes << " lanes";
    EXPECT_TRUE(sameVoxels(survey.points, whole)) << lanes << " lanes";
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.back().bytes_read, reports.back().bytes_total);
    EXPECT_EQ(reports.back().points_read, 700000u);
    EXPECT_EQ(reports.back().points_kept, survey.points.size());
  }
}

TEST_F(LasThinning, TruncatedFileThinsTheWholeRecordsItHolds) {
  const std::string path = write(building(1000), {}, 20 * 10 + 7);  // ten records and part of another
  for (unsigned lanes : {1u, 2u}) {
    const ThinnedSurvey survey = readAndThinLas(path, 0.05f, nullptr, lanes);
    ASSERT_EQ(survey.las.status, LasReadStatus::kOk) << survey.las.error;
    EXPECT_EQ(survey.las.header.point_count, 1000u);
    EXPECT_EQ(survey.las.points_read, 989u);
    EXPECT_EQ(survey.points_read, 989u);
    EXPECT_TRUE(sameVoxels(survey.points, loadThenThin(path, 0.05f)));
  }
}

// A lane whose sink fails ends the reading on every lane, and the caller
// gets the failure, not a hang or a half-read cloud.
TEST_F(LasThinning, FailureOnAnyLaneEndsTheReadingAndReachesTheCaller) {
  const std::string path = write(building(900000));
  for (unsigned failing : {0u, 1u}) {
    std::atomic<int> blocks_after_failure{0};
    std::atomic<bool> failed{false};
    const auto sink = [&](unsigned lane, const float*, size_t) {
      if (failed) ++blocks_after_failure;
      if (lane == failing && !failed.exchange(true)) throw std::length_error("lane failed");
    };
    EXPECT_THROW(readLasPoints(path, sink, nullptr, 2), std::length_error) << "lane " << failing;
    EXPECT_LE(blocks_after_failure.load(), 1) << "lane " << failing;
  }
}

TEST_F(LasThinning, FileInOneVoxelGivesItsMean) {
  const std::string path = write({{2.001, 3.002, 4.003}, {2.004, 3.005, 4.006}, {2.007, 3.008, 4.009}});
  const ThinnedSurvey survey = readAndThinLas(path, 0.05f);
  ASSERT_EQ(survey.points.size(), 1u);
  EXPECT_FLOAT_EQ(survey.points[0].x, 2.004f);
  EXPECT_FLOAT_EQ(survey.points[0].y, 3.005f);
  EXPECT_FLOAT_EQ(survey.points[0].z, 4.006f);
  EXPECT_EQ(survey.largest_coordinate, static_cast<float>(4.009));
}

// The run's log keeps what loading, then thinning, used to report.
TEST_F(LasThinning, RunLogsTheFiguresAndWarningsOfLoadingThenThinning) {
  LasWriteOptions georeferenced;
  georeferenced.offset = {30000.0, 30000.0, 0.0};
  write({{30000.0, 30000.0, 0.5}, {30000.001, 30000.001, 0.5}, {30001.0, 30001.0, 1.0}, {30002.0, 3e4, 1.0}},
        georeferenced, 20);
  test_support::writeFile(dir_.file("config.json"),
                          test_support::configJson("out", "cloud.las", 0.005, 1.0,
                                                   R"([{"floor_name": "L1", "min_height": 0, "max_height": 2}])",
                                                   "[1, 0, 0, 0]", "[0, 0, 0]", "[30000, 30000, 1]"));
  const test_support::CommandResult run = test_support::runMapGenerator({"config.json"}, dir_.path());
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(run.hasRecord('W', "the header declares 4 points but the file holds only 3")) << run.output;
  EXPECT_TRUE(run.hasRecord('W', "coordinates reach 30001.0 m, where single precision holds a point only to"));
  EXPECT_TRUE(run.hasRecord('I', "pointcloud size: 2 after downsampling."));
  EXPECT_TRUE(run.hasRecord('I', "3 points loaded"));
}

TEST(ReadingProgressLog, GivesTheShareOfBytesThePointRateAndThePointsKept) {
  test_support::LogCapture log;
  ProgressLog reading("reading and thinning a.las", "points", 0.0);
  reading.updateReading(1500000, 3000000, 75000, 50000);
  EXPECT_TRUE(log.has(google::GLOG_INFO, "reading and thinning a.las: 50% (1.50 MB of 3.00 MB; 75.0 k points read, "));
  EXPECT_TRUE(log.has(google::GLOG_INFO, "points/s; 50.0 k kept)"));
}

TEST_F(LasThinning, UnreadableFileKeepsNoPoints) {
  const ThinnedSurvey missing = readAndThinLas(dir_.file("none.las"), 0.05f);
  EXPECT_EQ(missing.las.status, LasReadStatus::kCannotOpen);
  EXPECT_TRUE(missing.points.empty());
  test_support::writeFile(dir_.file("bad.las"), "LASF but not really");
  EXPECT_EQ(readAndThinLas(dir_.file("bad.las"), 0.05f).las.status, LasReadStatus::kInvalid);
}

}  // namespace
}  // namespace korvane_navigation
