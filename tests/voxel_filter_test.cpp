#include "core/voxel_filter.h"

#include <gtest/gtest.h>
#include <pcl/console/print.h>
#include <pcl/filters/voxel_grid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane_navigation {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

bool isFinitePoint(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

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

std::array<std::uint32_t, 3> bitsOf(const pcl::PointXYZ& p) {
  std::array<std::uint32_t, 3> bits;
  std::memcpy(bits.data(), p.data, sizeof bits);
  return bits;
}

// Same points in the same order, compared on their bit patterns so that even a
// last-place difference in a centroid, or -0 against +0, fails.
::testing::AssertionResult bitIdentical(const PointVector& actual, const PointVector& expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << actual.size() << " points, pcl::VoxelGrid gives " << expected.size();
  }
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (bitsOf(actual[i]) != bitsOf(expected[i])) {
      return ::testing::AssertionFailure()
             << "point " << i << " is " << actual[i] << ", pcl::VoxelGrid gives " << expected[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// Reference centroids, kept apart from the code under test: an ordered map from
// the voxel triple (z first, matching the emitted order) to double sums.
struct VoxelSum {
  double x = 0, y = 0, z = 0;
  std::size_t count = 0;
};
using VoxelMap = std::map<std::array<double, 3>, VoxelSum>;

VoxelMap referenceVoxels(const PointVector& points, float leaf) {
  const float inverse = 1.0f / leaf;
  VoxelMap voxels;
  for (const auto& p : points) {
    if (!isFinitePoint(p)) continue;
    auto& v = voxels[{std::floor(p.z * inverse), std::floor(p.y * inverse),
                      std::floor(p.x * inverse)}];
    v.x += p.x;
    v.y += p.y;
    v.z += p.z;
    ++v.count;
  }
  return voxels;
}

// One output point per occupied voxel, in z-major voxel order, each within
// `tolerance` (absolute plus relative) of the exact centroid of its points.
::testing::AssertionResult centroidsOfOccupiedVoxels(const PointVector& actual,
                                                     const PointVector& input, float leaf,
                                                     double tolerance) {
  const VoxelMap voxels = referenceVoxels(input, leaf);
  if (actual.size() != voxels.size()) {
    return ::testing::AssertionFailure()
           << actual.size() << " points for " << voxels.size() << " occupied voxels";
  }
  std::size_t i = 0;
  for (const auto& [key, sum] : voxels) {
    const double n = static_cast<double>(sum.count);
    const double expected[3] = {sum.x / n, sum.y / n, sum.z / n};
    const pcl::PointXYZ& p = actual[i];
    const float got[3] = {p.x, p.y, p.z};
    for (int a = 0; a < 3; ++a) {
      if (!(std::fabs(got[a] - expected[a]) <= tolerance * (1.0 + std::fabs(expected[a])))) {
        return ::testing::AssertionFailure()
               << "point " << i << " is " << p << ", voxel (" << key[2] << ", " << key[1]
               << ", " << key[0] << ") has centroid (" << expected[0] << ", " << expected[1]
               << ", " << expected[2] << ") of " << sum.count << " points";
      }
    }
    ++i;
  }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Cloud generators. Fixed seeds keep every run on the same data.

void addUniform(PointVector& points, std::size_t n, std::array<float, 3> lo,
                std::array<float, 3> hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> x(lo[0], hi[0]), y(lo[1], hi[1]), z(lo[2], hi[2]);
  for (std::size_t i = 0; i < n; ++i) points.emplace_back(x(rng), y(rng), z(rng));
}

// Tight blobs put hundreds of points into single voxels, where the summation
// order decides the last bits of the centroid.
void addClusters(PointVector& points, std::size_t clusters, std::size_t per_cluster,
                 float sigma, std::array<float, 3> lo, std::array<float, 3> hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> x(lo[0], hi[0]), y(lo[1], hi[1]), z(lo[2], hi[2]);
  std::normal_distribution<float> spread(0.0f, sigma);
  for (std::size_t c = 0; c < clusters; ++c) {
    const float cx = x(rng), cy = y(rng), cz = z(rng);
    for (std::size_t i = 0; i < per_cluster; ++i) {
      points.emplace_back(cx + spread(rng), cy + spread(rng), cz + spread(rng));
    }
  }
}

// Points every `step` from `from` to `to`. Lines spanning the whole extent put
// occupied voxels at both ends of adjacent index rows, where a wrong row or
// layer stride in a linear voxel index makes distinct voxels collide.
void addLine(PointVector& points, pcl::PointXYZ from, pcl::PointXYZ to, float step) {
  const float dx = to.x - from.x, dy = to.y - from.y, dz = to.z - from.z;
  const float length = std::sqrt(dx * dx + dy * dy + dz * dz);
  const int steps = static_cast<int>(length / step);
  for (int i = 0; i <= steps; ++i) {
    const float t = static_cast<float>(i) / static_cast<float>(steps);
    points.emplace_back(from.x + t * dx, from.y + t * dy, from.z + t * dz);
  }
}

PointVector uniformCloud(std::size_t n, std::array<float, 3> lo, std::array<float, 3> hi) {
  PointVector points;
  addUniform(points, n, lo, hi, 11);
  return points;
}

PointVector clusteredCloud() {
  PointVector points;
  addClusters(points, 40, 2000, 0.02f, {0, 0, 0}, {20, 15, 3}, 12);
  addUniform(points, 20000, {0, 0, 0}, {20, 15, 3}, 13);
  return points;
}

// Float multiples of the leaf and their float neighbours: x * (1 / leaf) lands
// on, just below or just above an integer, so voxel assignment hinges on the
// exact float rounding.
PointVector boundaryCloud(float leaf) {
  PointVector points;
  for (int i = -30; i <= 30; ++i) {
    for (int j = -6; j <= 6; ++j) {
      const float base[3] = {static_cast<float>(i) * leaf, static_cast<float>(j) * leaf,
                             static_cast<float>(i + j) * leaf};
      for (const float toward : {-kInf, 0.0f, kInf}) {
        points.emplace_back(std::nextafter(base[0], toward), base[1],
                            std::nextafter(base[2], -toward));
        points.emplace_back(base[0], std::nextafter(base[1], toward), base[2]);
      }
    }
  }
  points.emplace_back(-0.0f, -0.0f, -0.0f);
  points.emplace_back(0.0f, 0.0f, 0.0f);
  return points;
}

PointVector cloudWithNonFinitePoints() {
  PointVector points = uniformCloud(30000, {-3, -3, 0}, {9, 6, 2.5f});
  const float bad[] = {kNaN, kInf, -kInf};
  for (std::size_t i = 0; i < points.size(); i += 17) {
    const float value = bad[(i / 17) % 3];
    switch ((i / 51) % 4) {
      case 0: points[i].x = value; break;
      case 1: points[i].y = value; break;
      case 2: points[i].z = value; break;
      default: points[i] = pcl::PointXYZ(value, value, value); break;
    }
  }
  return points;
}

// Coordinates on a 1 mm grid, as scanner exports store them: many exact
// duplicates and many points exactly on 5 cm boundaries.
PointVector millimetreCloud() {
  PointVector points = uniformCloud(50000, {-4, -4, -1}, {4, 4, 2});
  for (auto& p : points) {
    p.x = std::round(p.x * 1000.0f) / 1000.0f;
    p.y = std::round(p.y * 1000.0f) / 1000.0f;
    p.z = std::round(p.z * 1000.0f) / 1000.0f;
  }
  return points;
}

// A thin 33.6 km line at 1 mm: pcl still indexes it, but its voxel offsets,
// taken as float differences, round to even beyond 2^24 and merge neighbouring
// voxels. Runs of consecutive floats fill such neighbours.
PointVector kilometresCloud() {
  PointVector points = uniformCloud(5000, {-16800, 0, 0}, {16800, 0.0009f, 0.0009f});
  for (const float start : {-16700.0f, -9000.0f, 12000.0f, 16000.0f}) {
    float x = start;
    for (int i = 0; i < 300; ++i, x = std::nextafter(x, kInf)) points.emplace_back(x, 0, 0);
  }
  return points;
}

// At 5 cm pcl's voxel count for this box (2000 x 1000 x 1073, its own float
// arithmetic) is just below 2^31: it still thins it, with linear voxel indices
// close to the top of its range.
PointVector nearPclIndexLimitCloud() {
  PointVector points;
  addUniform(points, 20000, {-50, -25, -10}, {49.99f, 24.99f, 43.6f}, 14);
  addClusters(points, 30, 500, 0.03f, {-50, -25, -10}, {49.99f, 24.99f, 43.6f}, 15);
  points.emplace_back(-50.0f, -25.0f, -10.0f);
  points.emplace_back(49.99f, 24.99f, 43.6f);
  return points;
}

// ---------------------------------------------------------------------------

struct PclCase {
  std::string name;
  std::function<PointVector()> cloud;
  float leaf;
};

void PrintTo(const PclCase& c, std::ostream* os) { *os << c.name << " at " << c.leaf << " m"; }

class MatchesPclVoxelGrid : public ::testing::TestWithParam<PclCase> {};

TEST_P(MatchesPclVoxelGrid, SamePointsSameOrderSameBits) {
  const PointVector input = GetParam().cloud();
  const float leaf = GetParam().leaf;
  const PointVector expected = pclVoxelGrid(input, leaf);
  // Guards the premise: a cloud pcl refuses would compare against itself.
  ASSERT_LT(expected.size(), input.size());
  EXPECT_TRUE(bitIdentical(voxelDownsample(input, leaf), expected));
}

INSTANTIATE_TEST_SUITE_P(
    Clouds, MatchesPclVoxelGrid,
    ::testing::Values(
        PclCase{"Uniform5cm", [] { return uniformCloud(60000, {0, 0, 0}, {12, 8, 3}); }, 0.05f},
        PclCase{"UniformOffset10cm",
                [] { return uniformCloud(60000, {100, -20, -1}, {130, 5, 4}); }, 0.1f},
        PclCase{"Uniform30cm", [] { return uniformCloud(40000, {0, 0, 0}, {12, 8, 3}); }, 0.3f},
        PclCase{"DenseClusters", clusteredCloud, 0.05f},
        PclCase{"AllNegative",
                [] { return uniformCloud(50000, {-50, -30, -5}, {-10, -2, -1}); }, 0.1f},
        PclCase{"AroundOrigin", [] { return uniformCloud(50000, {-2, -2, -2}, {2, 2, 2}); },
                0.05f},
        PclCase{"OnBoundaries10cm", [] { return boundaryCloud(0.1f); }, 0.1f},
        PclCase{"OnBoundaries5cm", [] { return boundaryCloud(0.05f); }, 0.05f},
        PclCase{"NonFiniteMixedIn", cloudWithNonFinitePoints, 0.3f},
        PclCase{"MillimetreGrid", millimetreCloud, 0.05f},
        PclCase{"FewPoints", [] { return uniformCloud(600, {0, 0, 0}, {0.6f, 0.5f, 0.4f}); },
                0.1f},
        PclCase{"NearPclIndexLimit", nearPclIndexLimitCloud, 0.05f},
        PclCase{"KilometresAt1mm", kilometresCloud, 0.001f}),
    [](const ::testing::TestParamInfo<PclCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------

class BeyondPclIndexRange : public ::testing::Test {
 protected:
  void SetUp() override { pcl::console::setVerbosityLevel(pcl::console::L_ERROR); }
  void TearDown() override { pcl::console::setVerbosityLevel(pcl::console::L_INFO); }
};

TEST_F(BeyondPclIndexRange, ThinsToOneCentroidPerOccupiedVoxel) {
  struct Case {
    const char* name;
    PointVector cloud;
  };
  Case cases[2];
  // A building floor scanned with its surroundings: sparse everywhere, dense in
  // spots, far more voxels than 32 bits can index.
  cases[0].name = "250x250x40 m";
  addUniform(cases[0].cloud, 200000, {-125, -125, -5}, {125, 125, 35}, 21);
  addClusters(cases[0].cloud, 100, 1000, 0.02f, {-125, -125, -5}, {125, 125, 35}, 22);
  addClusters(cases[0].cloud, 50, 1000, 0.2f, {-125, -125, -5}, {125, 125, 35}, 23);
  for (const float offset : {0.0f, 0.05f}) {
    addLine(cases[0].cloud, {-125, 3 + offset, 1}, {125, 3 + offset, 1}, 0.02f);
    addLine(cases[0].cloud, {7, -125, 2 + offset}, {7, 125, 2 + offset}, 0.02f);
    addLine(cases[0].cloud, {-125 + offset, -125, -5}, {-125 + offset, -125, 35}, 0.02f);
    addLine(cases[0].cloud, {125 - offset, 125, -5}, {125 - offset, 125, 35}, 0.02f);
  }
  // Just past the limit that nearPclIndexLimitCloud stays under.
  cases[1].name = "just over pcl's limit";
  addUniform(cases[1].cloud, 20000, {-50, -25, -10}, {49.99f, 24.99f, 44.0f}, 24);
  addClusters(cases[1].cloud, 30, 500, 0.03f, {-50, -25, -10}, {49.99f, 24.99f, 44.0f}, 25);
  cases[1].cloud.emplace_back(-50.0f, -25.0f, -10.0f);
  cases[1].cloud.emplace_back(49.99f, 24.99f, 44.0f);

  const float leaf = 0.05f;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The premise: pcl::VoxelGrid hands these back unthinned.
    ASSERT_EQ(pclVoxelGrid(c.cloud, leaf).size(), c.cloud.size());
    const PointVector result = voxelDownsample(c.cloud, leaf);
    EXPECT_LT(result.size(), c.cloud.size());
    EXPECT_TRUE(centroidsOfOccupiedVoxels(result, c.cloud, leaf, 1e-5));
  }
}

// Extents whose voxel counts overflow 64-bit arithmetic, or whose coordinates
// times the inverse leaf overflow float, must still thin, finitely.
TEST(VoxelDownsampleExtremes, HugeCoordinatesAndTinyLeaves) {
  {
    SCOPED_TRACE("coordinates near 1e30 at 5 cm");
    PointVector cloud;
    addClusters(cloud, 20, 50, 1e26f, {-1e30f, -1e30f, -1e30f}, {1e30f, 1e30f, 1e30f}, 31);
    for (int i = 0; i < 5; ++i) cloud.emplace_back(1e30f, -2e29f, 3e28f);
    addUniform(cloud, 500, {0, 0, 0}, {1, 1, 1}, 32);
    const PointVector result = voxelDownsample(cloud, 0.05f);
    EXPECT_TRUE(centroidsOfOccupiedVoxels(result, cloud, 0.05f, 1e-6));
  }
  {
    SCOPED_TRACE("metre-scale cloud at a 1e-12 leaf");
    PointVector cloud = uniformCloud(5000, {-5, -5, -5}, {5, 5, 5});
    for (int i = 0; i < 4; ++i) cloud.push_back(cloud[7]);
    const PointVector result = voxelDownsample(cloud, 1e-12f);
    EXPECT_EQ(result.size(), cloud.size() - 4);
    EXPECT_TRUE(centroidsOfOccupiedVoxels(result, cloud, 1e-12f, 1e-6));
  }
  {
    SCOPED_TRACE("coordinates near the float maximum");
    const float big = std::numeric_limits<float>::max();
    PointVector cloud;
    for (int i = 0; i < 100; ++i) {
      cloud.emplace_back(big, -big, 0.5f * big);
      cloud.emplace_back(-big, big * 0.99f, 1.0f);
      cloud.emplace_back(0.0f, -0.0f, 0.0f);
    }
    // Coordinates times the inverse leaf overflow to +-inf, and with a leaf
    // this small the inverse itself is inf, which turns 0 into NaN: each group
    // above must still come out as one finite point.
    for (const float leaf : {0.05f, 1e-40f}) {
      SCOPED_TRACE(leaf);
      const PointVector result = voxelDownsample(cloud, leaf);
      EXPECT_EQ(result.size(), 3u);
      EXPECT_TRUE(std::all_of(result.begin(), result.end(), isFinitePoint));
    }
    // A whole voxel of maximal values must average to that value, not to inf.
    const PointVector same = voxelDownsample(PointVector(3, pcl::PointXYZ(big, -big, big)), 1.0f);
    ASSERT_EQ(same.size(), 1u);
    EXPECT_EQ(same[0].x, big);
    EXPECT_EQ(same[0].y, -big);
  }
}

TEST(VoxelDownsampleDegenerate, EmptySingleAndNonFiniteInputs) {
  EXPECT_TRUE(voxelDownsample({}, 0.05f).empty());

  const pcl::PointXYZ lone(-3.21f, 4.5f, 0.049999f);
  const PointVector single = voxelDownsample(PointVector{lone}, 0.05f);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(bitsOf(single[0]), bitsOf(lone));

  const PointVector invalid{{kNaN, 0, 0}, {0, kInf, 0}, {0, 0, -kInf}, {kNaN, kNaN, kNaN}};
  EXPECT_TRUE(voxelDownsample(invalid, 0.05f).empty());

  PointVector one_valid = invalid;
  one_valid.insert(one_valid.begin() + 2, lone);
  const PointVector survivor = voxelDownsample(one_valid, 0.05f);
  ASSERT_EQ(survivor.size(), 1u);
  EXPECT_EQ(bitsOf(survivor[0]), bitsOf(lone));
}

TEST(VoxelDownsampleDegenerate, RejectsUnusableLeafSizes) {
  const PointVector cloud = uniformCloud(10, {0, 0, 0}, {1, 1, 1});
  for (const float leaf : {0.0f, -0.05f, kNaN, kInf}) {
    EXPECT_THROW(voxelDownsample(cloud, leaf), std::invalid_argument) << "leaf " << leaf;
  }
}

}  // namespace
}  // namespace korvane_navigation
