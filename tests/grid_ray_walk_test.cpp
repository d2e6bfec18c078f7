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

octomap::OcTreeKey keyOf(const octomap::point3d& p) {
  octomap::OcTreeKey key;
  EXPECT_TRUE(pointToKey(p, 1.0 / kResolution, key));
  return key;
}
const octomap::OcTreeKey kOriginKey = keyOf(kOrigin);

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
    ray.end_key = keyOf(ray.end);
    rays.push_back(ray);
  }
  return rays;
}

KeyBox boxAround(const std::vector<Ray>& rays, int margin) {
  KeyBox box;
  for (unsigned i = 0; i < 3; ++i) box.lo[i] = box.hi[i] = kOriginKey[i];
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
  CellGrid grid(box);
  size_t next = 0;
  GridWalkResult result;
  const auto next_ray = [&](GridRay& ray) {
    while (next < rays.size()) {
      const Ray& r = rays[next++];
      if (!startRay(kOrigin, r.end, kOriginKey, r.end_key, kResolution, ray.start)) continue;
      EXPECT_TRUE(walkStaysInBox(ray.start, kOriginKey, box));
      ray.address = grid.address(kOriginKey);
      ray.end_address = grid.address(r.end_key);
      grid.set(ray.address);
      return true;
    }
    return false;
  };
  result.marked = walkGridRays(grid, next_ray, vector_lanes);
  for (int x = box.lo[0]; x <= box.hi[0]; ++x)
    for (int y = box.lo[1]; y <= box.hi[1]; ++y)
      for (int z = box.lo[2]; z <= box.hi[2]; ++z) {
        const int64_t address = grid.address(octomap::OcTreeKey(x, y, z));
        if (grid.words()[address >> 6] >> (address & 63) & 1) result.cells.emplace(x, y, z);
      }
  return result;
}

std::set<Cell> walkByKeys(const std::vector<Ray>& rays, uint64_t& visits) {
  std::set<Cell> cells;
  visits = 0;
  for (const Ray& ray : rays) {
    walkRay(kOrigin, ray.end, kOriginKey, ray.end_key, kResolution, [&](const octomap::OcTreeKey& key) {
      cells.emplace(key[0], key[1], key[2]);
      ++visits;
    });
  }
  return cells;
}

TEST(WalkGridRays, MarksTheCellsWalkRayVisits) {
  // Ray 4 ends in the origin's cell and is not walked: 8, 9 and 10 rays
  // leave 7, 8 and 9 walks, which never fill the eight lanes, fill them
  // once, and refill one lane; more refill lanes as rays of different
  // lengths end.
  for (size_t count : {0, 1, 8, 9, 10, 97, 2000}) {
    const std::vector<Ray> rays = randomRays(count, static_cast<unsigned>(count));
    uint64_t visits = 0;
    const std::set<Cell> expected = walkByKeys(rays, visits);
    for (bool lanes : {true, false}) {
      const GridWalkResult got = walkThroughGrid(rays, boxAround(rays, 3), lanes);
      EXPECT_EQ(got.cells, expected) << count << " rays, lanes " << lanes;
      // Every visit but the origin's cell, which the caller marks.
      const uint64_t walked_rays = std::count_if(rays.begin(), rays.end(), [&](const Ray& r) {
        return !(r.end_key == kOriginKey);
      });
      EXPECT_EQ(got.marked + walked_rays, visits) << count << " rays, lanes " << lanes;
    }
  }
}

TEST(WalkStaysInBox, PassesOnlyRaysWhoseWalkStaysInTheBox) {
  const std::vector<Ray> rays = randomRays(3000, 7);
  // Boxes from the origin's neighbourhood to all the rays with their margin.
  for (int reach : {4, 20, 60, 1000}) {
    KeyBox box = boxAround(rays, 3);
    for (unsigned i = 0; i < 3; ++i) {
      box.lo[i] = std::max(box.lo[i], kOriginKey[i] - reach);
      box.hi[i] = std::min(box.hi[i], kOriginKey[i] + reach);
    }
    size_t passed = 0, walked = 0;
    for (const Ray& ray : rays) {
      RayStart start;
      if (!startRay(kOrigin, ray.end, kOriginKey, ray.end_key, kResolution, start)) continue;
      ++walked;
      if (!walkStaysInBox(start, kOriginKey, box)) continue;
      ++passed;
      walkRay(kOrigin, ray.end, kOriginKey, ray.end_key, kResolution, [&](const octomap::OcTreeKey& key) {
        for (unsigned i = 0; i < 3; ++i) ASSERT_TRUE(key[i] >= box.lo[i] && key[i] <= box.hi[i]) << reach;
      });
    }
    if (reach == 4) { EXPECT_LT(passed, walked / 2); }
    if (reach == 1000) { EXPECT_EQ(passed, walked); }  // the margin of three cells is enough
  }
}

}  // namespace
