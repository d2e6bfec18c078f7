// Voxel-grid thinning of a point cloud.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/point_vector.h"
#include "core/progress.h"

namespace korvane_navigation {

// One point per occupied voxel, the centroid of the points that fell into it.
// Voxels are aligned on multiples of `leaf_size` in every axis; points with a
// non-finite coordinate are dropped. Bit for bit the result of pcl::VoxelGrid
// (default settings) wherever its 32-bit voxel index can address the cloud's
// extent, and the same rule on larger extents, where pcl::VoxelGrid gives up and
// returns its input. `leaf_size` must be positive and finite.
// `progress(done, total)`, when given, is called now and then as the work goes on.
PointVector voxelDownsample(const PointVector& points, float leaf_size,
                            const ProgressCallback& progress = nullptr);

// The same thinning for points that arrive in blocks, as a file is read: only
// each occupied voxel's point count and coordinate sums are kept, never the
// points, so memory follows the number of occupied voxels, not of points:
// a 20-byte record a voxel while adding (a voxel whose points come far apart,
// or on several lanes, may leave a few, merged before they reach half again
// as many voxels), plus under a MiB a lane for the voxels being filled and a
// few hundred bytes for each layer-by-16-rows band of voxels; finishing adds
// the result's 16 bytes a voxel (the parts other threads make are handed over
// a slice at a time, and their pages given back). Clouds beyond 2^20 voxels from
// their first point along an axis, or beyond 2^23 voxels from the origin, take
// a hash table of 51 to 61 bytes a voxel instead.
//
// Blocks may be added from several threads at once, each on its own lane.
// Which lane a block goes to changes a centroid at most in its last bits,
// never the voxels or their order; for a result that does not depend on
// timing, give each block a lane by its place in the input, and add the first
// block on lane 0 before the other lanes start.
// An E57 or LAS reader's block sink is a call to add().
class VoxelAccumulator {
 public:
  // `leaf_size` must be positive and finite; `lanes`: how many threads may add
  // at once (at least one).
  explicit VoxelAccumulator(float leaf_size, unsigned lanes = 1);
  ~VoxelAccumulator();
  VoxelAccumulator(const VoxelAccumulator&) = delete;
  VoxelAccumulator& operator=(const VoxelAccumulator&) = delete;

  // Point i of the block is xyz[i * stride + 0..2]. Points with a non-finite
  // coordinate are counted and left out. Calls on different lanes may run at
  // the same time; one lane takes one call at a time. Throws std::length_error
  // past 2^32 - 1 points in one voxel or about 3 * 2^30 occupied voxels a lane,
  // std::out_of_range for a lane beyond lanes().
  void add(const float* xyz, std::size_t count, std::size_t stride = 3, unsigned lane = 0);

  // The centroids, one per occupied voxel: the voxels and the order that
  // voxelDownsample gives for all the points added, as one cloud. Sums are
  // kept in double, so a centroid may differ from voxelDownsample's float sums
  // in its last bits. Call once, after the last add() has returned, from any
  // thread; it runs on up to lanes() threads and frees the voxels (the counts
  // below stay).
  PointVector finish();

  unsigned lanes() const;
  // These three may be read while lanes add: they count every add() that has
  // returned.
  std::uint64_t pointsAdded() const;
  std::uint64_t nonFinitePoints() const;
  // Occupied voxels so far; until finish(), a voxel whose points came far
  // apart, or on several lanes, may count more than once.
  std::size_t voxelCount() const;
  // The largest |x|, |y| or |z| of the finite points added; 0 before any.
  // Once every add() has returned.
  float largestCoordinate() const;

 private:
  struct Lane;
  struct Table;
  std::unique_ptr<Table> table_;
};

}  // namespace korvane_navigation
