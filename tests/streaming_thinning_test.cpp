// Thinning while reading: the one-pass accumulator must give
// voxelDownsample's voxels, in its order, for any way the points are split
// into blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/voxel_filter.h"

namespace korvane_navigation {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Feeds `cloud` to an accumulator `chunk` points at a time, straight from the
// PCL points (four floats each).
PointVector thinInChunks(const PointVector& cloud, float leaf, size_t chunk, VoxelAccumulator* keep = nullptr) {
  VoxelAccumulator local(leaf);
  VoxelAccumulator& voxels = keep ? *keep : local;
  for (size_t first = 0; first < cloud.size(); first += chunk)
    voxels.add(&cloud[first].x, std::min(chunk, cloud.size() - first), 4);
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
  };
}

TEST(StreamingThinning, MatchesVoxelDownsampleWhateverTheChunks) {
  for (const Case& c : awkwardClouds()) {
    const PointVector whole = voxelDownsample(c.cloud, c.leaf);
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{64}, c.cloud.size()}) {
      EXPECT_TRUE(sameVoxels(thinInChunks(c.cloud, c.leaf, chunk), whole)) << c.name << ", chunks of " << chunk;
    }
  }
}

TEST(StreamingThinning, CountsWhatTheWarningsNeed) {
  const PointVector cloud = {{1, -7.5f, 2}, {kNaN, 0, 0}, {0, kInf, 0}, {3, 4, -0.5f}, {0, 0, -kInf}};
  VoxelAccumulator voxels(0.5f);
  EXPECT_EQ(thinInChunks(cloud, 0.5f, 2, &voxels).size(), 2u);
  EXPECT_EQ(voxels.pointsAdded(), 5u);
  EXPECT_EQ(voxels.nonFinitePoints(), 3u);
  EXPECT_EQ(voxels.largestCoordinate(), 7.5f);
}

TEST(StreamingThinning, RejectsUnusableLeafSizes) {
  for (float leaf : {0.0f, -1.0f, kNaN, kInf}) EXPECT_THROW(VoxelAccumulator{leaf}, std::invalid_argument) << leaf;
}

}  // namespace
}  // namespace korvane_navigation
