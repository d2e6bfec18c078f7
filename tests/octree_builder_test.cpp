// The fast octree build against octomap's own ray walk and ray insertion.
#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <tuple>

#include "core/octree_builder.h"
#include "core/ray_walk.h"

using namespace korvane_navigation;

namespace {

using Node = std::tuple<uint16_t, uint16_t, uint16_t, unsigned, float, bool>;

// Every node, inner ones included, with its value and whether it is a leaf.
std::vector<Node> nodes(const octomap::OcTree& tree) {
  std::vector<Node> result;
  for (auto it = tree.begin_tree(), end = tree.end_tree(); it != end; ++it) {
    const octomap::OcTreeKey key = it.getKey();
    result.emplace_back(key[0], key[1], key[2], it.getDepth(), it->getLogOdds(), it.isLeaf());
  }
  return result;
}

PointVector toPoints(const std::vector<octomap::point3d>& points) {
  PointVector result;
  for (const auto& p : points) result.emplace_back(p.x(), p.y(), p.z());
  return result;
}

void expectSameTreeAsOctomap(const std::vector<octomap::point3d>& points, const octomap::point3d& origin,
                             double resolution, const std::string& name) {
  octomap::OcTree reference(resolution);
  octomap::Pointcloud cloud;
  for (const auto& p : points) cloud.push_back(p);
  reference.insertPointCloud(cloud, origin, -1.0, false, false);

  const auto expected = nodes(reference);
  for (RayCastMethod method :
       {RayCastMethod::kFastest, RayCastMethod::kGridRayByRay, RayCastMethod::kBlocksRayByRay}) {
    // Three threads split the rays unevenly; more threads than rays leave parts empty.
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
      CellBlockMap cells;
      castRays(toPoints(points), HeightBand{}, origin, resolution, cells, nullptr, method, threads);
      octomap::OcTree built(resolution);
      loadOccupancyTree(cells, built);
      const std::string label =
          name + ", method " + std::to_string(static_cast<int>(method)) + ", " + std::to_string(threads) + " threads";
      EXPECT_EQ(built.size(), reference.size()) << label;
      EXPECT_EQ(nodes(built), expected) << label;
      // The leaves and bounds found without a tree are the tree's, bit for bit.
      const OccupancyLeaves leaves = summarizeLeaves(cells, resolution, threads);
      EXPECT_EQ(leaves.count, reference.getNumLeafNodes()) << label;
      double min[3], max[3];
      reference.getMetricMin(min[0], min[1], min[2]);
      reference.getMetricMax(max[0], max[1], max[2]);
      for (unsigned i = 0; i < 2; ++i) {
        EXPECT_EQ(leaves.min[i], min[i]) << label << ", axis " << i;
        EXPECT_EQ(leaves.max[i], max[i]) << label << ", axis " << i;
      }
    }
  }
}

TEST(WalkRay, ListsTheCellsOfOctomapsComputeRayKeys) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> coordinate(-20.0f, 20.0f);
  std::uniform_int_distribution<int> grid_step(-200, 200);
  size_t rays = 0, cells = 0;
  for (double resolution : {0.05, 0.1, 0.25, 0.0125}) {
    octomap::OcTree tree(resolution);
    octomap::KeyRay expected;
    for (int i = 0; i < 4000; ++i) {
      octomap::point3d origin(coordinate(rng), coordinate(rng), coordinate(rng) * 0.1f);
      octomap::point3d end(coordinate(rng), coordinate(rng), coordinate(rng) * 0.1f);
      if (i % 4 == 1) end = octomap::point3d(end.x(), origin.y(), origin.z());  // along x
      if (i % 4 == 2) {  // on cell boundaries
        origin = octomap::point3d(grid_step(rng) * resolution, grid_step(rng) * resolution, 0.0f);
        end = octomap::point3d(grid_step(rng) * resolution, grid_step(rng) * resolution, grid_step(rng) * 0.1f * resolution);
      }
      if (i % 4 == 3) end = origin + octomap::point3d(0.3f * resolution, 0.0f, 0.0f);  // same or next cell
      octomap::OcTreeKey origin_key, end_key;
      ASSERT_TRUE(pointToKey(origin, 1.0 / resolution, origin_key));
      ASSERT_TRUE(pointToKey(end, 1.0 / resolution, end_key));
      ASSERT_EQ(origin_key, tree.coordToKey(origin));
      ASSERT_EQ(end_key, tree.coordToKey(end));
      ASSERT_TRUE(tree.computeRayKeys(origin, end, expected));
      std::vector<octomap::OcTreeKey> walked;
      walkRay(origin, end, origin_key, end_key, resolution,
              [&](const octomap::OcTreeKey& key) { walked.push_back(key); });
      ASSERT_EQ(walked, std::vector<octomap::OcTreeKey>(expected.begin(), expected.end()))
          << "resolution " << resolution << " ray " << i;
      ++rays;
      cells += walked.size();
    }
  }
  EXPECT_GT(cells, rays * 10);
}

TEST(PointToKey, RejectsWhatOctomapRejects) {
  octomap::OcTree tree(0.05);
  octomap::OcTreeKey key, expected;
  for (float x : {0.0f, -0.0f, 1638.3499f, 1638.35f, 1638.4f, -1638.4f, -1638.45f, 2000.0f, -0.025f}) {
    const octomap::point3d p(x, 0.0f, 0.0f);
    const bool valid = tree.coordToKeyChecked(p, expected);
    ASSERT_EQ(pointToKey(p, 1.0 / 0.05, key), valid) << x;
    if (valid) { EXPECT_EQ(key, expected) << x; }
  }
  EXPECT_FALSE(pointToKey(octomap::point3d(NAN, 0.0f, 0.0f), 20.0, key));
  EXPECT_FALSE(pointToKey(octomap::point3d(INFINITY, 0.0f, 0.0f), 20.0, key));
}

TEST(LoadOccupancyTree, BuildsOctomapsTreeNodeForNode) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);

  std::vector<octomap::point3d> room;  // walls around the origin, many rays each
  for (float a = -4.0f; a <= 4.0f; a += 0.04f) {
    for (float z = 0.0f; z <= 2.0f; z += 0.1f) {
      room.emplace_back(a, 4.0f, z);
      room.emplace_back(a, -4.0f, z);
      room.emplace_back(4.0f, a, z);
      room.emplace_back(-4.0f, a, z);
    }
  }
  std::vector<octomap::point3d> scattered;
  for (int i = 0; i < 3000; ++i) scattered.emplace_back(u(rng) * 6, u(rng) * 6, u(rng) * 2);
  scattered.emplace_back(2000.0f, 0.0f, 0.0f);   // outside the key range
  scattered.emplace_back(0.0f, -1700.0f, 0.5f);
  std::vector<octomap::point3d> origin_cell = {{0.01f, 0.01f, 0.01f}, {0.02f, 0.03f, 0.04f}};
  std::vector<octomap::point3d> far_wall;  // long rays across block and octant borders
  for (float a = -30.0f; a <= 30.0f; a += 0.2f) far_wall.emplace_back(60.0f, a, 1.0f);

  expectSameTreeAsOctomap(room, {0.0f, 0.0f, 1.0f}, 0.05, "room");
  expectSameTreeAsOctomap(room, {0.0f, 0.0f, 1.0f}, 0.2, "room, coarse cells");
  expectSameTreeAsOctomap(room, {-3.9f, 3.9f, 0.05f}, 0.05, "room, origin in a corner");
  expectSameTreeAsOctomap(scattered, {0.0f, 0.0f, 0.0f}, 0.05, "scattered with points out of range");
  expectSameTreeAsOctomap(origin_cell, {0.0f, 0.0f, 0.0f}, 0.05, "points in the origin's cell");
  expectSameTreeAsOctomap(far_wall, {-1.0f, 0.0f, 1.0f}, 0.05, "far wall");
  // Keys at the ends of the range, where a walk can wrap: no grid there.
  const std::vector<octomap::point3d> range_ends = {
      {1638.3f, 0.2f, 0.1f}, {-1638.35f, -0.3f, 0.2f}, {0.4f, 1638.32f, -0.1f}, {0.1f, 0.2f, -1638.39f}};
  expectSameTreeAsOctomap(range_ends, {0.0f, 0.0f, 0.0f}, 0.05, "rays to the ends of the key range");
  expectSameTreeAsOctomap({}, {0.0f, 0.0f, 0.0f}, 0.05, "no points");
  // A hair from the origin in the next cell along one axis: the ray's length
  // underflows single precision, yet its walk ends there.
  expectSameTreeAsOctomap({{-1e-30f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f}}, {0.0f, 0.0f, 0.0f}, 0.05,
                          "a ray too short for single precision");
}

TEST(LoadOccupancyTree, RaysTooShortToWalkMarkOnlyTheirEndCell) {
  // A hair from the origin in a cell diagonally next to it: the walk of a ray
  // whose length underflows never reaches the end cell (octomap's own walk
  // wraps the key range and overruns its key buffer), so it marks no free cell.
  const std::vector<octomap::point3d> hair = {{-1e-30f, -1e-30f, 0.0f}, {-1e-30f, -1e-30f, -1e-30f}};
  octomap::OcTree expected(0.05);
  for (const auto& p : hair) expected.updateNode(p, true);
  for (RayCastMethod method :
       {RayCastMethod::kFastest, RayCastMethod::kGridRayByRay, RayCastMethod::kBlocksRayByRay}) {
    CellBlockMap cells;
    castRays(toPoints(hair), HeightBand{}, {0.0f, 0.0f, 0.0f}, 0.05, cells, nullptr, method);
    octomap::OcTree built(0.05);
    loadOccupancyTree(cells, built);
    EXPECT_EQ(nodes(built), nodes(expected)) << "method " << static_cast<int>(method);
  }
}

// A solid 32^3 cube of occupied cells is one leaf five levels above the
// cells: the pruning above the 16^3 blocks must match octomap's.
TEST(LoadOccupancyTree, PrunesOctantsAboveBlocks) {
  std::vector<octomap::point3d> cube;
  for (int x = 0; x < 32; ++x)
    for (int y = 0; y < 32; ++y)
      for (int z = 0; z < 32; ++z) cube.emplace_back(x + 0.5f, y + 0.5f, z + 0.5f);
  expectSameTreeAsOctomap(cube, {0.5f, 0.5f, 0.5f}, 1.0, "solid cube");
}

// One sensor origin serves every floor: its height above or below a band is
// no sign of a typo, its distance in plan is.
TEST(EstimateCast, JudgesTheOriginsDistanceInPlanOnly) {
  const PointVector band = {{0, 0, 3.2f}, {10, 6, 4.5f}, {5, 3, 3.5f}};
  struct Case {
    const char* name;
    octomap::point3d origin;
    double outside;
  };
  const Case cases[] = {
      {"inside the box", {5, 3, 4}, 0.0},
      {"a storey below, as advised for the upper floors", {5, 3, 1}, 0.0},
      {"far above", {5, 3, 400}, 0.0},
      {"off in x", {-7, 3, 1}, 7.0},
      {"off in x and y, below", {13, 10, -20}, 5.0},
  };
  for (const Case& c : cases) {
    const CastEstimate estimate = estimateCast(band, HeightBand{3.0f, 5.0f}, c.origin, 0.05);
    EXPECT_NEAR(estimate.origin_outside, c.outside, 1e-5) << c.name;
    EXPECT_EQ(estimate.band_points, 3u) << c.name;
  }
}

}  // namespace

namespace {

// Each thread walks its rays in a grid of its own, one bit per cell of the
// box, while the grids fit together; the cell stores do not grow with the
// threads.
TEST(EstimateCast, CountsAWalkGridPerThreadWhileTheyFit) {
  const PointVector band = {{0, 0, 0.5f}, {20, 12, 1.5f}};
  struct Case {
    double resolution;
    unsigned threads;
    unsigned grids;  // of the one-thread estimate's grid
  };
  // At 0.05 m the box's grid takes some 340 kB, at 0.01 m 32 MB; at 0.005 m
  // 250 MB, of which two fit in the 512 MiB all grids may take; at 0.004 m
  // one is past the 256 MiB a grid may take.
  const Case cases[] = {{0.05, 2, 2}, {0.05, 4, 4}, {0.01, 4, 4}, {0.005, 4, 2}, {0.004, 4, 0}};
  for (const Case& c : cases) {
    const CastEstimate one = estimateCast(band, HeightBand{}, {10, 6, 1}, c.resolution, 1);
    const CastEstimate many = estimateCast(band, HeightBand{}, {10, 6, 1}, c.resolution, c.threads);
    const double grid_bytes = (std::floor(20 / c.resolution) + 1 + 6) * (std::floor(12 / c.resolution) + 1 + 6) *
                              (std::floor(1 / c.resolution) + 1 + 6) / 8;
    const double expected =
        static_cast<double>(one.bytes) + (c.grids == 0 ? 0.0 : (static_cast<double>(c.grids) - 1) * grid_bytes);
    EXPECT_NEAR(static_cast<double>(many.bytes), expected, expected * 1e-6 + 2)
        << c.resolution << " m, " << c.threads << " threads";
  }
}

}  // namespace
