// Builds a floor's occupancy octree from its band of points in one pass over
// the rays and one bottom-up pass over the cells, instead of one update from
// the root per cell. The tree is the one octomap's own ray insertion makes:
// every crossed cell one miss, every end cell one hit, occupied winning,
// uniform octants pruned.
#pragma once

#include <cstdint>
#include <octomap/OcTree.h>
#include <string>

#include "progress.h"

#include "cell_block_map.h"
#include "voxel_filter.h"

namespace korvane_navigation {

struct RayCastStats {
  uint64_t rays = 0;
  uint64_t points_out_of_range = 0;  // end points with no key: no hit, no misses
  uint64_t cell_visits = 0;
};

// Marks the cells that the ray from `origin` to each point crosses as free
// and the point's own cell as occupied. `origin` must have a key.
RayCastStats castRays(const PointVector& points, const octomap::point3d& origin, double resolution,
                      CellBlockMap& cells, const ProgressCallback& progress = nullptr);

// The pruned octree of the marked cells in octomap's node stream format
// (value, then the child mask, depth first), ready for OcTree::readData.
std::string serializeOccupancyTree(const CellBlockMap& cells, float hit_log_odds,
                                   float miss_log_odds);

// Replaces the content of `tree` (its resolution is kept) with the tree of
// the marked cells.
void loadOccupancyTree(const CellBlockMap& cells, octomap::OcTree& tree);

}  // namespace korvane_navigation
