// Thinning against pcl::VoxelGrid, bit for bit and in its order, and on
// extents pcl cannot index against exact centroids.
#include "core/voxel_filter.h"

#include <gtest/gtest.h>
#include <pcl/console/print.h>
#include <pcl/filters/voxel_grid.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <random>

namespace korvane_navigation {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
using Corner = std::array<float, 3>;

bool isFinitePoint(const pcl::PointXYZ& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

PointVector pclVoxelGrid(const PointVector& points, float leaf) {
  auto cloud = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  cloud->points = points;
  cloud->width = static_cast<std::uint32_t>(points.size());
  cloud->height = 1;
  // pcl only skips non-finite points when told the cloud may hold them.
  cloud->is_dense = std::all_of(points.begin(), points.end(), isFinitePoint);
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setInputCloud(cloud);
  grid.setLeafSize(leaf, leaf, leaf);
  pcl::PointCloud<pcl::PointXYZ> out;
  grid.filter(out);
  return out.points;
}

// Same points in the same order, compared on their bit patterns so that even a
// last-place difference in a centroid, or -0 against +0, fails.
::testing::AssertionResult bitIdentical(const PointVector& actual, const PointVector& expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure() << actual.size() << " points, pcl::VoxelGrid gives " << expected.size();
  }
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (std::memcmp(actual[i].data, expected[i].data, 3 * sizeof(float)) != 0) {
      return ::testing::AssertionFailure() << "point " << i << " is " << actual[i] << ", pcl::VoxelGrid gives "
                                           << expected[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// One output point per occupied voxel, in z-major voxel order, each within
// `tolerance` (absolute plus relative) of the exact centroid of its points,
// computed apart from the code under test in double.
::testing::AssertionResult centroidsOfOccupiedVoxels(const PointVector& actual, const PointVector& input,
                                                     float leaf, double tolerance) {
  const float inverse = 1.0f / leaf;
  std::map<std::array<double, 3>, std::array<double, 4>> voxels;  // key z, y, x -> sums and count
  for (const auto& p : input) {
    if (!isFinitePoint(p)) continue;
    auto& v = voxels[{std::floor(p.z * inverse), std::floor(p.y * inverse), std::floor(p.x * inverse)}];
    v[0] += p.x, v[1] += p.y, v[2] += p.z, v[3] += 1;
  }
  if (actual.size() != voxels.size()) {
    return ::testing::AssertionFailure() << actual.size() << " points for " << voxels.size() << " occupied voxels";
  }
  std::size_t i = 0;
  for (const auto& [key, sum] : voxels) {
    const float got[3] = {actual[i].x, actual[i].y, actual[i].z};
    for (int a = 0; a < 3; ++a) {
      const double expected = sum[a] / sum[3];
      if (!(std::fabs(got[a] - expected) <= tolerance * (1.0 + std::fabs(expected)))) {
        return ::testing::AssertionFailure() << "point " << i << " is " << actual[i] << ", its voxel's centroid "
                                             << "has " << expected << " on axis " << a;
      }
    }
    ++i;
  }
  return ::testing::AssertionSuccess();
}

PointVector uniformCloud(std::size_t n, Corner lo, Corner hi, unsigned seed = 11) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> x(lo[0], hi[0]), y(lo[1], hi[1]), z(lo[2], hi[2]);
  PointVector points;
  for (std::size_t i = 0; i < n; ++i) points.emplace_back(x(rng), y(rng), z(rng));
  return points;
}

// Tight blobs put hundreds of points into single voxels, where the summation
// order decides the last bits of the centroid.
void addClusters(PointVector& points, std::size_t clusters, std::size_t per_cluster, float sigma, Corner lo,
                 Corner hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> spread(0.0f, sigma);
  for (const pcl::PointXYZ& c : uniformCloud(clusters, lo, hi, seed)) {
    for (std::size_t i = 0; i < per_cluster; ++i) points.emplace_back(c.x + spread(rng), c.y + spread(rng), c.z + spread(rng));
  }
}

// Points every `step` along a line. Lines spanning the whole extent put
// occupied voxels at both ends of adjacent index rows, where a wrong row or
// layer stride in a linear voxel index makes distinct voxels collide.
void addLine(PointVector& points, pcl::PointXYZ from, pcl::PointXYZ to, float step) {
  const Eigen::Vector3f d = to.getVector3fMap() - from.getVector3fMap();
  const int steps = static_cast<int>(d.norm() / step);
  for (int i = 0; i <= steps; ++i) {
    const Eigen::Vector3f p = from.getVector3fMap() + d * (static_cast<float>(i) / static_cast<float>(steps));
    points.emplace_back(p.x(), p.y(), p.z());
  }
}

// Float multiples of the leaf and their float neighbours: x * (1 / leaf) lands
// on, just below or just above an integer, so voxel assignment hinges on the
// exact float rounding.
PointVector boundaryCloud(float leaf) {
  PointVector points;
  for (int i = -30; i <= 30; ++i) {
    for (int j = -6; j <= 6; ++j) {
      const float bx = i * leaf, by = j * leaf, bz = (i + j) * leaf;
      for (const float toward : {-kInf, 0.0f, kInf}) {
        points.emplace_back(std::nextafter(bx, toward), by, std::nextafter(bz, -toward));
        points.emplace_back(bx, std::nextafter(by, toward), bz);
      }
    }
  }
  points.emplace_back(-0.0f, -0.0f, -0.0f);
  points.emplace_back(0.0f, 0.0f, 0.0f);
  return points;
}

// A box whose voxel count at `leaf` pcl computes (in its own float arithmetic)
// just below 2^31 when `top` is 43.6, just above when it is 44.
PointVector nearPclIndexLimit(float top, unsigned seed) {
  PointVector points = uniformCloud(20000, {-50, -25, -10}, {49.99f, 24.99f, top}, seed);
  addClusters(points, 30, 500, 0.03f, {-50, -25, -10}, {49.99f, 24.99f, top}, seed + 1);
  points.emplace_back(-50.0f, -25.0f, -10.0f);
  points.emplace_back(49.99f, 24.99f, top);
  return points;
}

TEST(VoxelDownsample, MatchesPclVoxelGridPointForPointInOrder) {
  struct Case {
    const char* name;
    std::function<PointVector()> cloud;
    float leaf;
  };
  const std::vector<Case> cases = {
      {"uniform", [] { return uniformCloud(60000, {0, 0, 0}, {12, 8, 3}); }, 0.05f},
      {"around the origin", [] { return uniformCloud(50000, {-2, -2, -2}, {2, 2, 2}); }, 0.05f},
      {"offset, all negative, coarse", [] { return uniformCloud(50000, {-50, -30, -5}, {-10, -2, -1}); }, 0.3f},
      {"dense clusters",
       [] {
         PointVector points = uniformCloud(20000, {0, 0, 0}, {20, 15, 3}, 13);
         addClusters(points, 40, 2000, 0.02f, {0, 0, 0}, {20, 15, 3}, 12);
         return points;
       },
       0.05f},
      {"on boundaries at 5 cm", [] { return boundaryCloud(0.05f); }, 0.05f},
      {"non-finite points mixed in",
       [] {
         PointVector points = uniformCloud(30000, {-3, -3, 0}, {9, 6, 2.5f});
         const float bad[] = {kNaN, kInf, -kInf};
         for (std::size_t i = 0; i < points.size(); i += 17) points[i].data[(i / 17) % 3] = bad[(i / 51) % 3];
         for (std::size_t i = 5; i < points.size(); i += 101) points[i] = pcl::PointXYZ(kNaN, kInf, -kInf);
         return points;
       },
       0.3f},
      // As scanner exports store them: exact duplicates, points on 5 cm boundaries.
      {"millimetre grid",
       [] {
         PointVector points = uniformCloud(50000, {-4, -4, -1}, {4, 4, 2});
         for (auto& p : points)
           for (float& v : p.data) v = std::round(v * 1000.0f) / 1000.0f;
         return points;
       },
       0.05f},
      {"near pcl's index limit", [] { return nearPclIndexLimit(43.6f, 14); }, 0.05f},
      // A thin 33.6 km line at 1 mm: pcl's voxel offsets, float differences,
      // round beyond 2^24 and merge neighbours, which runs of floats fill.
      {"kilometres at 1 mm",
       [] {
         PointVector points = uniformCloud(5000, {-16800, 0, 0}, {16800, 0.0009f, 0.0009f});
         for (float x : {-16700.0f, -9000.0f, 12000.0f, 16000.0f})
           for (int i = 0; i < 300; ++i, x = std::nextafter(x, kInf)) points.emplace_back(x, 0, 0);
         return points;
       },
       0.001f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PointVector input = c.cloud();
    const PointVector expected = pclVoxelGrid(input, c.leaf);
    // Guards the premise: a cloud pcl refuses would compare against itself.
    ASSERT_LT(expected.size(), input.size());
    EXPECT_TRUE(bitIdentical(voxelDownsample(input, c.leaf), expected));
  }
}

TEST(VoxelDownsample, ExtentsBeyondPclsIndexThinToExactCentroids) {
  pcl::console::setVerbosityLevel(pcl::console::L_ERROR);
  // A floor scanned with its surroundings: sparse everywhere, dense in spots,
  // far more voxels than 32 bits can index.
  PointVector site = uniformCloud(200000, {-125, -125, -5}, {125, 125, 35}, 21);
  addClusters(site, 100, 1000, 0.02f, {-125, -125, -5}, {125, 125, 35}, 22);
  for (const float offset : {0.0f, 0.05f}) {
    addLine(site, {-125, 3 + offset, 1}, {125, 3 + offset, 1}, 0.02f);
    addLine(site, {7, -125, 2 + offset}, {7, 125, 2 + offset}, 0.02f);
    addLine(site, {-125 + offset, -125, -5}, {-125 + offset, -125, 35}, 0.02f);
  }
  for (const PointVector& cloud : {site, nearPclIndexLimit(44.0f, 24)}) {
    // The premise: pcl::VoxelGrid hands these back unthinned.
    ASSERT_EQ(pclVoxelGrid(cloud, 0.05f).size(), cloud.size());
    const PointVector result = voxelDownsample(cloud, 0.05f);
    EXPECT_LT(result.size(), cloud.size());
    EXPECT_TRUE(centroidsOfOccupiedVoxels(result, cloud, 0.05f, 1e-5));
  }
  pcl::console::setVerbosityLevel(pcl::console::L_INFO);
}

// Voxel counts that overflow 64-bit arithmetic, or coordinates times the
// inverse leaf that overflow float, must still thin, finitely.
TEST(VoxelDownsample, HugeCoordinatesAndTinyLeaves) {
  PointVector far = uniformCloud(500, {0, 0, 0}, {1, 1, 1}, 32);
  addClusters(far, 20, 50, 1e26f, {-1e30f, -1e30f, -1e30f}, {1e30f, 1e30f, 1e30f}, 31);
  for (int i = 0; i < 5; ++i) far.emplace_back(1e30f, -2e29f, 3e28f);
  EXPECT_TRUE(centroidsOfOccupiedVoxels(voxelDownsample(far, 0.05f), far, 0.05f, 1e-6));

  PointVector metres = uniformCloud(5000, {-5, -5, -5}, {5, 5, 5});
  for (int i = 0; i < 4; ++i) metres.push_back(metres[7]);
  const PointVector fine = voxelDownsample(metres, 1e-12f);
  EXPECT_EQ(fine.size(), metres.size() - 4);
  EXPECT_TRUE(centroidsOfOccupiedVoxels(fine, metres, 1e-12f, 1e-6));

  const float big = std::numeric_limits<float>::max();
  PointVector extremes;
  for (int i = 0; i < 100; ++i) {
    extremes.emplace_back(big, -big, 0.5f * big);
    extremes.emplace_back(-big, big * 0.99f, 1.0f);
    extremes.emplace_back(0.0f, -0.0f, 0.0f);
  }
  // Coordinates times the inverse leaf overflow to +-inf, and at 1e-40 the
  // inverse itself is inf, which turns 0 into NaN: each group stays one point.
  for (const float leaf : {0.05f, 1e-40f}) {
    const PointVector result = voxelDownsample(extremes, leaf);
    EXPECT_EQ(result.size(), 3u) << leaf;
    EXPECT_TRUE(std::all_of(result.begin(), result.end(), isFinitePoint)) << leaf;
  }
  // A voxel of maximal values averages to that value, not to inf.
  const PointVector same = voxelDownsample(PointVector(3, pcl::PointXYZ(big, -big, big)), 1.0f);
  ASSERT_EQ(same.size(), 1u);
  EXPECT_EQ(same[0].x, big);
  EXPECT_EQ(same[0].y, -big);
}

TEST(VoxelDownsample, DegenerateInputsAndUnusableLeafSizes) {
  EXPECT_TRUE(voxelDownsample({}, 0.05f).empty());
  const pcl::PointXYZ lone(-3.21f, 4.5f, 0.049999f);
  PointVector cloud{{kNaN, 0, 0}, {0, kInf, 0}, {0, 0, -kInf}, {kNaN, kNaN, kNaN}};
  EXPECT_TRUE(voxelDownsample(cloud, 0.05f).empty());
  cloud.insert(cloud.begin() + 2, lone);
  EXPECT_TRUE(bitIdentical(voxelDownsample(cloud, 0.05f), {lone}));
  for (const float leaf : {0.0f, -0.05f, kNaN, kInf}) {
    EXPECT_THROW(voxelDownsample(cloud, leaf), std::invalid_argument) << "leaf " << leaf;
  }
}

}  // namespace
}  // namespace korvane_navigation
