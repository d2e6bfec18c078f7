// The thinning against its definition, computed the plain way (every point's
// voxel in double, points sorted by voxel, each run averaged), on clouds that
// trip voxel grids: boundaries, negative and far coordinates, blocks that end
// inside a voxel, points in no order, several threads.
#include "core/voxel_thinning.h"

#include <gtest/gtest.h>
#include <pcl/filters/voxel_grid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <tuple>

#include "core/coordinates.h"

namespace korvane_navigation {
namespace {

using Points = std::vector<std::array<double, 3>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

PointVector referenceThinning(const Points& points, double leaf, const Eigen::Affine3d& to_map = Eigen::Affine3d::Identity()) {
  const auto finite = [](const std::array<double, 3>& p) {
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
  };
  const auto first = std::find_if(points.begin(), points.end(), finite);
  if (first == points.end()) return {};
  const Eigen::Vector3d origin(voxelOriginNear((*first)[0], leaf), voxelOriginNear((*first)[1], leaf),
                               voxelOriginNear((*first)[2], leaf));
  std::vector<std::pair<std::tuple<double, double, double>, Eigen::Vector3d>> keyed;
  for (const auto& p : points) {
    if (!finite(p)) continue;
    const Eigen::Vector3d offset = Eigen::Vector3d(p[0], p[1], p[2]) - origin;
    keyed.push_back({{voxelIndexOf(offset.z(), 1.0 / leaf), voxelIndexOf(offset.y(), 1.0 / leaf),
                      voxelIndexOf(offset.x(), 1.0 / leaf)},
                     offset});
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  PointVector out;
  for (size_t i = 0; i < keyed.size();) {
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    size_t n = 0;
    for (const auto key = keyed[i].first; i < keyed.size() && keyed[i].first == key; ++i, ++n) sum += keyed[i].second;
    const Eigen::Vector3f p = (to_map * (origin + sum / n)).cast<float>();
    out.emplace_back(p.x(), p.y(), p.z());
  }
  return out;
}

// Blocks of `block` points, dealt round-robin to `threads` threads, the
// first block before the others.
PointVector thin(const Points& points, double leaf, size_t block, unsigned threads,
                 const Eigen::Affine3d& to_map = Eigen::Affine3d::Identity(), VoxelAccumulator* keep = nullptr) {
  VoxelAccumulator local(leaf, threads);
  VoxelAccumulator& voxels = keep ? *keep : local;
  for (size_t first = 0, b = 0; first < points.size(); first += block, ++b) {
    const size_t n = std::min(block, points.size() - first);
    voxels.add(points[first].data(), n, static_cast<unsigned>(b % threads));
  }
  return voxels.finish(to_map);
}

// Equal up to a rounding of the last float bit: the sums may add up in
// another order.
::testing::AssertionResult sameCentroids(const PointVector& got, const PointVector& want, double tolerance = 0.0) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << got.size() << " voxels, the definition gives " << want.size();
  for (size_t i = 0; i < got.size(); ++i) {
    for (int a = 0; a < 3; ++a) {
      const double g = got[i].data[a], w = want[i].data[a];
      if (std::fabs(g - w) > std::max({tolerance, 2 * singlePrecisionError(std::fabs(w)), 1e-9}))
        return ::testing::AssertionFailure() << "voxel " << i << " axis " << a << ": " << g << ", expected " << w;
    }
  }
  return ::testing::AssertionSuccess();
}

Points randomBox(size_t n, double lo, double hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> d(lo, hi);
  Points points(n);
  for (auto& p : points) p = {d(rng), d(rng), d(rng)};
  return points;
}

struct Cloud {
  const char* name;
  Points points;
  double leaf;
};

std::vector<Cloud> awkwardClouds() {
  std::vector<Cloud> clouds;
  Points boundaries;  // decimal coordinates on and around voxel boundaries, both signs
  for (int i = -40; i <= 40; ++i)
    for (double d : {0.0, 0.001, -0.001, 0.025})
      boundaries.push_back({i * 0.05 + d, -i * 0.05 - d, 0.05 * (i % 3) + d});
  clouds.push_back({"boundaries", boundaries, 0.05});
  clouds.push_back({"negative", randomBox(20000, -30.0, -0.5, 2), 0.1});
  Points shuffled = randomBox(30000, 0.0, 3.0, 3);  // every voxel met again and again, in no order
  for (int copy = 0; copy < 3; ++copy) {
    Points again = randomBox(30000, 0.0, 3.0, 10 + copy);
    shuffled.insert(shuffled.end(), again.begin(), again.end());
  }
  clouds.push_back({"no order", shuffled, 0.2});
  Points holes = randomBox(5000, 0.0, 10.0, 4);
  for (size_t i = 0; i < holes.size(); i += 7) holes[i][i % 3] = (i % 2) ? kNaN : -kInf;
  holes[0] = {kNaN, 0.0, 0.0};  // the origin comes from the first finite point
  clouds.push_back({"not finite", holes, 0.5});
  Points far = randomBox(3000, -1.0, 1.0, 5);  // beyond the keys, and beyond 2^31 voxels
  for (auto& p : randomBox(3000, -1.0, 1.0, 6)) far.push_back({p[0] + 1.0e8, p[1] - 3.0e5, p[2] + 7.0e4});
  far.push_back({-2.0e8, 0.0, 0.0});
  clouds.push_back({"far apart", far, 0.05});
  // Rows that reach across columns of the strips: the same rows far apart in x.
  Points wide;
  for (int i = 0; i < 200; ++i) {
    wide.push_back({i * 0.01, (i % 16) * 0.01, 0.0});
    wide.push_back({2.0e7 + i * 0.01, (i % 16) * 0.01, 0.0});
    wide.push_back({-2.0e7 - i * 0.01, (i % 16) * 0.01, 0.0});
  }
  clouds.push_back({"wide rows", wide, 0.01});
  clouds.push_back({"one dense voxel", Points(100000, {0.123, 4.567, -8.9}), 0.05});
  return clouds;
}

TEST(VoxelThinning, MatchesItsDefinitionForAnyBlocksAndThreads) {
  for (const Cloud& cloud : awkwardClouds()) {
    const PointVector expected = referenceThinning(cloud.points, cloud.leaf);
    for (const size_t block : {size_t{1}, size_t{7}, size_t{4096}}) {
      for (const unsigned threads : {1u, 3u}) {
        EXPECT_TRUE(sameCentroids(thin(cloud.points, cloud.leaf, block, threads), expected))
            << cloud.name << ", blocks of " << block << ", " << threads << " threads";
      }
    }
  }
}

TEST(VoxelThinning, OrderIsByZThenYThenX) {
  const Points points = {{0.5, 0.5, 0.5}, {-0.5, 0.5, 0.5}, {0.5, -0.5, 0.5}, {0.5, 0.5, -0.5}, {-0.5, -0.5, -0.5}};
  const PointVector out = thin(points, 1.0, 2, 2);
  const std::vector<std::array<float, 3>> expected = {
      {-0.5f, -0.5f, -0.5f}, {0.5f, 0.5f, -0.5f}, {0.5f, -0.5f, 0.5f}, {-0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}};
  ASSERT_EQ(out.size(), expected.size());
  for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ((std::array<float, 3>{out[i].x, out[i].y, out[i].z}), expected[i]);
}

// A survey delivered in UTM and moved back by the transform thins into the
// same voxels as the same survey delivered in local coordinates.
TEST(VoxelThinning, GeoreferencedCloudMovedBackGivesTheLocalVoxels) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> mm(-20000, 20000);
  Points local, utm;
  const Eigen::Vector3d shift(470000.0, 4602000.0, 312.0);
  for (int i = 0; i < 50000; ++i) {
    // Millimetre steps scaled and offset as a LAS reader computes them.
    const int steps[3] = {mm(rng), mm(rng), mm(rng) / 4};
    local.push_back({steps[0] * 0.001, steps[1] * 0.001, steps[2] * 0.001});
    utm.push_back({steps[0] * 0.001 + shift.x(), steps[1] * 0.001 + shift.y(), steps[2] * 0.001 + shift.z()});
  }
  const Eigen::Affine3d turn = rigidTransform(0.70710678, 0.0, 0.0, 0.70710678, Eigen::Vector3d(6.0, -10.0, 0.0));
  Eigen::Affine3d back = turn;
  back.translation() = turn.translation() - turn.linear() * shift;
  const PointVector expected = thin(local, 0.05, 4096, 1, turn);
  EXPECT_TRUE(sameCentroids(thin(utm, 0.05, 4096, 2, back), expected, 1e-5));
  EXPECT_TRUE(sameCentroids(expected, referenceThinning(local, 0.05, turn)));
}

// Away from voxel boundaries pcl's single-precision grid agrees on which
// voxels are occupied.
TEST(VoxelThinning, OccupiesTheVoxelsPclOccupiesOnALocalCloud) {
  const Points points = randomBox(200000, 0.0, 20.0, 8);
  auto cloud = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  for (const auto& p : points) cloud->push_back(pcl::PointXYZ(p[0], p[1], p[2]));
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setInputCloud(cloud);
  grid.setLeafSize(0.5f, 0.5f, 0.5f);
  pcl::PointCloud<pcl::PointXYZ> theirs;
  grid.filter(theirs);
  const auto voxels = [](const PointVector& centroids) {
    std::set<std::tuple<int, int, int>> set;
    for (const auto& c : centroids)
      set.insert({static_cast<int>(std::floor(c.x / 0.5)), static_cast<int>(std::floor(c.y / 0.5)),
                  static_cast<int>(std::floor(c.z / 0.5))});
    return set;
  };
  EXPECT_EQ(voxels(thin(points, 0.5, 1000, 2)), voxels(theirs.points));
}

// However large the voxels, a centroid stays inside the box of its points.
TEST(VoxelThinning, CentroidsStayInsideTheirPointsAtAnySize) {
  const Points box = randomBox(1000, 0.0, 5.0, 9);
  for (const double leaf : {1e8, 1e29, 0.3}) {
    for (const auto& c : thin(box, leaf, 100, 2)) {
      for (int a = 0; a < 3; ++a) {
        EXPECT_GE(c.data[a], 0.0f) << leaf;
        EXPECT_LE(c.data[a], 5.0f) << leaf;
      }
    }
  }
}

TEST(VoxelThinning, CountsWhatItLeavesOut) {
  VoxelAccumulator voxels(0.05, 2);
  const Points points = {{kNaN, 1.0, 1.0}, {1.0, 1.0, 1.0}, {1.0, kInf, 1.0}, {1e300, 0.0, 0.0}, {1.01, 1.0, 1.0}};
  voxels.add(points[0].data(), 3, 0);
  voxels.add(points[3].data(), 2, 1);
  EXPECT_EQ(voxels.pointsAdded(), 5u);
  EXPECT_EQ(voxels.nonFinitePoints(), 2u);
  EXPECT_EQ(voxels.unreachablePoints(), 1u);
  EXPECT_EQ(voxels.origin(), Eigen::Vector3d(1.0, 1.0, 1.0));
  const PointVector out = voxels.finish();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FLOAT_EQ(out[0].x, 1.005f);
}

TEST(VoxelThinning, RefusesSizesAndThreadsItCannotUse) {
  for (const double leaf : {0.0, -1.0, kNaN, kInf, 1e-320})
    EXPECT_THROW(VoxelAccumulator{leaf}, std::invalid_argument) << leaf;
  VoxelAccumulator voxels(0.1, 2);
  const double p[3] = {0.0, 0.0, 0.0};
  EXPECT_THROW(voxels.add(p, 1, 2), std::out_of_range);
  EXPECT_TRUE(voxels.finish().empty());
}

}  // namespace
}  // namespace korvane_navigation
