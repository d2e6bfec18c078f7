// The grid walk against the key walk it replaces, in vector lanes and ray by
// ray, and the box check that makes the grid safe.
#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <tuple>

#include "core/cell_grid.h"
#include "core/grid_ray_walk.h"
#include "core/ray_walk.h"

using namespace korvane_navigation;

namespace {

using Cell = std::tuple<int, int, int>;

struct Ray {
  octomap::point3d end;
  octomap::OcTreeKey end_key;
};

const octomap::point3d kOrigin(0.31f, -0.27f, 1.05f);
constexpr double kResolution = 0.05;

std::vector<Ray> randomRays(size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> horizontal(-6.0f, 6.0f), vertical(0.0f, 2.0f);
  std::vector<Ray> rays;
  for (size_t i = 0; i < count; ++i) {
    Ray ray;
    // Some short, some long, some along an axis, some in the origin's cell.
    const float reach = i % 5 == 0 ? 0.1f : 1.0f;
    ray.end = octomap::point3d(horizontal(rng) * reach, horizontal(rng) * reach, vertical(rng));
    if (i % 7 == 3) ray.end = octomap::point3d(ray.end.x(), kOrigin.y(), kOrigin.z());
    if (i % 11 == 4) ray.end = kOrigin + octomap::point3d(0.01f, 0.0f, 0.0f);
    EXPECT_TRUE(pointToKey(ray.end, 1.0 / kResolution, ray.end_key));
    rays.push_back(ray);
  }
  return rays;
}

KeyBox boxAround(const std::vector<Ray>& rays, const octomap::OcTreeKey& origin_key, int margin) {
  KeyBox box;
  for (unsigned i = 0; i < 3; ++i) box.lo[i] = box.hi[i] = origin_key[i];
  for (const Ray& ray : rays) {
    for (unsigned i = 0; i < 3; ++i) {
      box.lo[i] = std::min<int>(box.lo[i], ray.end_key[i]);
      box.hi[i] = std::max<int>(box.hi[i], ray.end_key[i]);
    }
  }
  for (unsigned i = 0; i < 3; ++i) {
    box.lo[i] -= margin;
    box.hi[i] += margin;
  }
  return box;
}

struct GridWalkResult {
  std::set<Cell> cells;
  uint64_t marked = 0;
};

// Walks the rays through a grid over `box` and lists the set cells, the
// origin's cell included as castRays marks it.
GridWalkResult walkThroughGrid(const std::vector<Ray>& rays, const KeyBox& box, bool vector_lanes) {
  octomap::OcTreeKey origin_key;
  EXPECT_TRUE(pointToKey(kOrigin, 1.0 / kResolution, origin_key));
  CellGrid grid(box);
  size_t next = 0;
  GridWalkResult result;
  const auto next_ray = [&](GridRay& ray) {
    while (next < rays.size()) {
      const Ray& r = rays[next++];
      if (!startRay(kOrigin, r.end, origin_key, r.end_key, kResolution, ray.start)) continue;
      EXPECT_TRUE(walkStaysInBox(ray.start, origin_key, box));
      ray.address = grid.address(origin_key);
      ray.end_address = grid.address(r.end_key);
      grid.set(ray.address);
      return true;
    }
    return false;
  };
  result.marked = walkGridRays(grid, next_ray, vector_lanes);
  CellBlockMap blocks;
  grid.markFreeIn(blocks);
  for (size_t b = 0; b < blocks.blockCount(); ++b) {
    const uint64_t code = blocks.blockCodeAt(b);
    for (int x = 0; x < 16; ++x)
      for (int y = 0; y < 16; ++y)
        for (int z = 0; z < 16; ++z) {
          const octomap::OcTreeKey key(static_cast<uint16_t>((code & 0xFFF) * 16 + x),
                                       static_cast<uint16_t>((code >> 12 & 0xFFF) * 16 + y),
                                       static_cast<uint16_t>((code >> 24 & 0xFFF) * 16 + z));
          const unsigned index = cellIndexInBlock(key);
          if (blocks.blockAt(b).free[index / 64] >> (index % 64) & 1) result.cells.emplace(key[0], key[1], key[2]);
        }
  }
  return result;
}

std::set<Cell> walkByKeys(const std::vector<Ray>& rays, uint64_t& visits) {
  octomap::OcTreeKey origin_key;
  EXPECT_TRUE(pointToKey(kOrigin, 1.0 / kResolution, origin_key));
  std::set<Cell> cells;
  visits = 0;
  for (const Ray& ray : rays) {
    walkRay(kOrigin, ray.end, origin_key, ray.end_key, kResolution, [&](const octomap::OcTreeKey& key) {
      cells.emplace(key[0], key[1], key[2]);
      ++visits;
    });
  }
  return cells;
}

TEST(WalkGridRays, MarksTheCellsWalkRayVisits) {
  octomap::OcTreeKey origin_key;
  ASSERT_TRUE(pointToKey(kOrigin, 1.0 / kResolution, origin_key));
  // Ray 4 ends in the origin's cell and is not walked: 8, 9 and 10 rays
  // leave 7, 8 and 9 walks, which never fill the eight lanes, fill them
  // once, and refill one lane; more refill lanes as rays of different
  // lengths end.
  for (size_t count : {0, 1, 8, 9, 10, 97, 2000}) {
    const std::vector<Ray> rays = randomRays(count, static_cast<unsigned>(count));
    uint64_t visits = 0;
    const std::set<Cell> expected = walkByKeys(rays, visits);
    for (bool lanes : {true, false}) {
      const GridWalkResult got = walkThroughGrid(rays, boxAround(rays, origin_key, 3), lanes);
      EXPECT_EQ(got.cells, expected) << count << " rays, lanes " << lanes;
      // Every visit but the origin's cell, which the caller marks.
      const uint64_t walked_rays = std::count_if(rays.begin(), rays.end(), [&](const Ray& r) {
        return !(r.end_key == origin_key);
      });
      EXPECT_EQ(got.marked + walked_rays, visits) << count << " rays, lanes " << lanes;
    }
  }
}

TEST(WalkStaysInBox, PassesOnlyRaysWhoseWalkStaysInTheBox) {
  octomap::OcTreeKey origin_key;
  ASSERT_TRUE(pointToKey(kOrigin, 1.0 / kResolution, origin_key));
  const std::vector<Ray> rays = randomRays(3000, 7);
  // Boxes from the origin's neighbourhood to all the rays with their margin.
  for (int reach : {4, 20, 60, 1000}) {
    KeyBox box = boxAround(rays, origin_key, 3);
    for (unsigned i = 0; i < 3; ++i) {
      box.lo[i] = std::max(box.lo[i], origin_key[i] - reach);
      box.hi[i] = std::min(box.hi[i], origin_key[i] + reach);
    }
    size_t passed = 0, walked = 0;
    for (const Ray& ray : rays) {
      RayStart start;
      if (!startRay(kOrigin, ray.end, origin_key, ray.end_key, kResolution, start)) continue;
      ++walked;
      if (!walkStaysInBox(start, origin_key, box)) continue;
      ++passed;
      walkRay(kOrigin, ray.end, origin_key, ray.end_key, kResolution, [&](const octomap::OcTreeKey& key) {
        for (unsigned i = 0; i < 3; ++i) ASSERT_TRUE(key[i] >= box.lo[i] && key[i] <= box.hi[i]) << reach;
      });
    }
    if (reach == 4) EXPECT_LT(passed, walked / 2);
    if (reach == 1000) EXPECT_EQ(passed, walked);  // the margin of three cells is enough
  }
}

}  // namespace
