// Builds a floor's occupancy octree from its band of points in one pass over
// the rays and one bottom-up pass over the cells, instead of one update from
// the root per cell. The tree is the one octomap's own ray insertion makes:
// every crossed cell one miss, every end cell one hit, occupied winning,
// uniform octants pruned.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <octomap/OcTree.h>
#include <string>

#include "core/progress.h"

#include "core/cell_block_map.h"
#include "core/point_vector.h"

namespace korvane_navigation {

struct RayCastStats {
  uint64_t band_points = 0;
  uint64_t rays = 0;
  uint64_t points_out_of_range = 0;  // end points with no key: no hit, no misses
  uint64_t cell_visits = 0;
};

// A floor's band: the points with finite coordinates and min_z <= z <= max_z.
struct HeightBand {
  float min_z = -std::numeric_limits<float>::infinity();
  float max_z = std::numeric_limits<float>::infinity();
  bool contains(const pcl::PointXYZ& p) const { return isFinite(p) && p.z >= min_z && p.z <= max_z; }
};

// How castRays stores the cells while it walks. All give the same cells;
// the choice only exists so that each way can be tested and measured.
enum class RayCastMethod {
  kFastest,         // a dense grid over the rays' box, eight rays at a time in
                    // vector lanes where the processor allows; the block store
                    // when no grid fits
  kGridRayByRay,    // the grid, one ray at a time
  kBlocksRayByRay,  // the block store, one ray at a time
};

// Marks the cells that the ray from `origin` to each point of the band
// crosses as free and the point's own cell as occupied, reading the points in
// place. `origin` must have a key. The rays are shared out among up to
// `threads` threads; the cells are the same for any count. `progress` is
// called from one thread at a time, any of them.
RayCastStats castRays(const PointVector& points, const HeightBand& band, const octomap::point3d& origin,
                      double resolution, CellBlockMap& cells, const ProgressCallback& progress = nullptr,
                      RayCastMethod method = RayCastMethod::kFastest, unsigned threads = 1);

// What a floor's octree stage will take, judged from its band before any of
// it is allocated.
struct CastEstimate {
  uint64_t band_points = 0;
  uint64_t box_cells = 0;   // the box of the origin's and the band's cells
  uint64_t ray_cells = 0;   // cells the rays step through, overlaps counted each time
  // Columns and rows of the floor's grid over that box: its cells in x and
  // y, and one more, as the tree's bounds reach into the next cell.
  uint64_t grid_columns = 0;
  uint64_t grid_rows = 0;
  PointBounds band;  // of the band's points with a key
  uint64_t bytes = 0;  // cell stores and walk grids
  // How far the origin lies outside the band's bounding box in plan (x and
  // y), in metres. One origin serves every floor, so it lies above or below
  // most bands by design; only a plan distance makes the rays suspect.
  double origin_outside = 0.0;
};

// Memory per cell of the block stores, which hold every cell twice while
// the threads' stores are merged. A block of 4096 cells costs about 1 KiB
// of marks and its slot: where the rays fill their box that is a quarter of
// a byte per cell of the box; where they are sparse in it (fine cells, a far
// origin) a ray may be alone in every block it crosses, some 16 cells of it
// in each.
constexpr double kBytesPerCellOfAFilledBox = 2 * 1040.0 / 4096;
constexpr double kBytesPerCellOfASparseRay = 2 * 1040.0 / 16;

CastEstimate estimateCast(const PointVector& points, const HeightBand& band,
                          const octomap::point3d& origin, double resolution, unsigned threads = 1);

// Replaces the content of `tree` (its resolution is kept) with the tree of
// the marked cells.
void loadOccupancyTree(const CellBlockMap& cells, octomap::OcTree& tree,
                       const ProgressCallback& progress = nullptr);

// The leaves of the pruned octree of the marked cells, the tree
// loadOccupancyTree makes, found without making it.
struct OccupancyLeaves {
  uint64_t count = 0;
  uint64_t occupied = 0;
  bool root_only = false;  // the tree's one node is its root
  // The tree's metric bounds in x and y, exactly as octomap's getMetricMin
  // and getMetricMax give them: the bounds of its leaves.
  double min[2] = {0, 0};
  double max[2] = {0, 0};
};
// The blocks' own leaves are walked on up to `threads` threads.
OccupancyLeaves summarizeLeaves(const CellBlockMap& cells, double resolution, unsigned threads = 1);

}  // namespace korvane_navigation
