// Voxel-grid thinning of a point cloud.
#pragma once

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

}  // namespace korvane_navigation
