// Voxel-grid thinning: one point per occupied voxel, the centroid of the
// points that fell into it.
//
// The voxels are cubes of edge `leaf_size` aligned on multiples of it in the
// input's own frame. Everything up to the map frame is double precision: the
// points are taken relative to an origin that is a whole number of voxels
// (chosen at the first finite point, so georeferenced coordinates lose no
// digit), a point's voxel is floor((p - origin) * (1 / leaf_size)) on each
// axis (voxelIndexOf) and
// a centroid is the mean of its points in double. Only the centroids, moved
// into the map frame, are rounded to single precision, once.
//
// The result lists the voxels in the order of their indices: by z, then y,
// then x, ascending. Neither the voxels nor their order depend on how the
// points were split into blocks or threads; a centroid may, in its last bits,
// because its sum was added up in another order.
#pragma once

#include <Eigen/Geometry>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/point_vector.h"

namespace korvane_navigation {

// A coordinate this close below a voxel boundary, in voxels, counts as on it.
// Surveys store decimal coordinates, and a point at 1.05 m with 5 cm voxels
// lies on a boundary: whether (1.05 - origin) / 0.05 rounds to just under 21
// or to 21 depends on the origin subtracted, and the slack makes every frame
// offset put it in the same voxel.
constexpr double kVoxelBoundarySlack = 1.0 / (1 << 20);

// Voxel indices stay within this distance of the origin, so that any two of
// them subtract without overflow; points farther out are left out.
constexpr double kVoxelIndexReach = 4611686018427387904.0;  // 2^62

// The index, as a whole number, of the voxel holding a coordinate `offset`
// from the origin along one axis; not finite when the offset is not.
inline double voxelIndexOf(double offset, double voxels_per_metre) {
  return std::floor(offset * voxels_per_metre + kVoxelBoundarySlack);
}

// The thinning's origin near `coordinate`: a whole number of voxels from 0.
inline double voxelOriginNear(double coordinate, double leaf_size) {
  const double origin = std::round(coordinate / leaf_size) * leaf_size;
  return std::isfinite(origin) ? origin : 0.0;
}

// Thins points that arrive in blocks, as a file is read: each reading thread
// adds its blocks to a part of its own, and only each occupied voxel's point
// count and coordinate sums are kept, never the points. Memory follows the
// occupied voxels: a 32-byte record a voxel while adding (a voxel whose
// points come far apart, or on several threads, may hold a few until they
// are merged), plus 160 KiB a thread for the voxels being filled; finishing
// adds the result's 16 bytes a voxel.
//
// For a result that does not depend on timing, give each block a thread by its
// place in the input and add the first block before the other threads start:
// the origin is taken from the first finite point added.
class VoxelAccumulator {
 public:
  // `leaf_size` must be positive and finite (else std::invalid_argument);
  // `threads`: how many threads may add at once (at least one).
  explicit VoxelAccumulator(double leaf_size, unsigned threads = 1);
  ~VoxelAccumulator();
  VoxelAccumulator(const VoxelAccumulator&) = delete;
  VoxelAccumulator& operator=(const VoxelAccumulator&) = delete;

  // Point i of the block is xyz[3 * i + 0..2]. Points with a non-finite
  // coordinate, or too far from the origin to index, are counted and left
  // out. Calls for different threads may run at the same time; one thread's
  // calls come one at a time. Throws std::out_of_range for a thread beyond
  // threads().
  void add(const double* xyz, std::size_t count, unsigned thread = 0);

  // The centroids, moved by `to_map` and rounded to single precision, in the
  // voxels' order; those single precision cannot hold are left out and
  // counted. Call once, after the last add() has returned; it sorts on up to
  // threads() threads and frees the voxels (the counts below stay).
  PointVector finish(const Eigen::Affine3d& to_map = Eigen::Affine3d::Identity());

  unsigned threads() const { return static_cast<unsigned>(parts_.size()); }
  // These may be read while threads add: they count every add() that has returned.
  std::uint64_t pointsAdded() const;
  std::uint64_t nonFinitePoints() const;
  std::uint64_t unreachablePoints() const;  // finite, but beyond kVoxelIndexReach voxels
  // Occupied voxels so far; until finish(), a voxel whose points came far
  // apart, or on several threads, may count more than once.
  std::uint64_t voxelCount() const;
  // Voxels finish() left out: their centroid is beyond single precision.
  std::uint64_t voxelsBeyondSinglePrecision() const { return beyond_single_precision_; }

  // The origin every voxel index counts from; zero until a finite point came.
  Eigen::Vector3d origin() const;

 private:
  class Part;
  void takeOriginFrom(const double* xyz, std::size_t count);

  const double leaf_size_;
  std::mutex origin_mutex_;
  std::atomic<bool> has_origin_{false};
  double origin_[3] = {0.0, 0.0, 0.0};
  std::uint64_t beyond_single_precision_ = 0;
  std::vector<std::unique_ptr<Part>> parts_;
};

// The same thinning of a whole cloud held in memory, in single precision.
PointVector voxelDownsample(const PointVector& points, double leaf_size);

}  // namespace korvane_navigation
