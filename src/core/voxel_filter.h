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
// a 20-byte record a voxel while adding (a voxel whose points come far apart
// may leave a few, merged before they reach half again as many voxels), plus
// under a MiB for the voxels being filled and a few hundred bytes for each
// layer-by-16-rows band of voxels; finishing adds the result's 16 bytes a
// voxel. Clouds beyond 2^20 voxels from their first point along an axis, or
// beyond 2^23 voxels from the origin, take a hash table of 51 to 61 bytes a
// voxel instead.
// An E57 or LAS reader's block sink is a call to add().
class VoxelAccumulator {
 public:
  // `leaf_size` must be positive and finite.
  explicit VoxelAccumulator(float leaf_size);
  ~VoxelAccumulator();
  VoxelAccumulator(const VoxelAccumulator&) = delete;
  VoxelAccumulator& operator=(const VoxelAccumulator&) = delete;

  // Point i of the block is xyz[i * stride + 0..2]. Points with a non-finite
  // coordinate are counted and left out. Throws std::length_error past 2^32 - 1
  // points in one voxel or about 3 * 2^30 occupied voxels.
  void add(const float* xyz, std::size_t count, std::size_t stride = 3);

  // The centroids, one per occupied voxel: the voxels and the order that
  // voxelDownsample gives for all the points added, as one cloud. Sums are
  // kept in double, so a centroid may differ from voxelDownsample's float sums
  // in its last bits. Call once, after the last add(): it frees the voxels
  // (the counts below stay).
  PointVector finish();

  std::uint64_t pointsAdded() const { return points_added_; }
  std::uint64_t nonFinitePoints() const { return non_finite_points_; }
  // Occupied voxels so far; until finish(), a voxel whose points came far
  // apart may count more than once.
  std::size_t voxelCount() const;
  // The largest |x|, |y| or |z| of the finite points added; 0 before any.
  float largestCoordinate() const;

 private:
  struct Table;
  std::unique_ptr<Table> table_;
  std::uint64_t points_added_ = 0;
  std::uint64_t non_finite_points_ = 0;
};

}  // namespace korvane_navigation
