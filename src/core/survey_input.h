// Survey files read into point vectors.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <cstdint>
#include <functional>
#include <string>

#include "core/point_vector.h"
#include "core/progress.h"
#include "formats/e57_reader.h"
#include "formats/las_reader.h"

namespace korvane_navigation {

// Reads a LAS file's points into `cloud`: as many as the file really holds,
// fewer than its header declares when it is truncated.
LasReadResult readLasCloud(const std::string& path, pcl::PointCloud<pcl::PointXYZ>& cloud,
                           const ProgressCallback& progress = nullptr);

// A survey read and thinned in one pass: what voxelDownsample would make of the
// whole cloud, and the figures the caller's warnings need.
struct ThinnedSurvey {
  LasReadResult las;  // status, header, points read and error of a LAS file
  E57ReadResult e57;  // the same of an E57 file
  PointVector points;  // one centroid per occupied voxel
  uint64_t points_read = 0;
  uint64_t non_finite_points = 0;  // read but left out
  float largest_coordinate = 0.0f;  // largest finite |x|, |y| or |z| read
  double finish_seconds = 0.0;  // spent after the last block, ordering the voxels
};

struct ReadingProgress {
  uint64_t bytes_read = 0;
  uint64_t bytes_total = 0;
  uint64_t points_read = 0;
  // Voxels occupied so far; while reading, a voxel whose points came far apart
  // may count twice: the last report, once the voxels are ordered, is exact.
  uint64_t points_kept = 0;
};
using ReadingProgressCallback = std::function<void(const ReadingProgress&)>;

// Threads worth reading and thinning on: the processors this process may
// run on, at most four (beyond, each lane's share of the voxels it meets
// again costs more than the lane saves).
unsigned thinningLanes();

// Thins the LAS file's points at `leaf_size` as its blocks are read, never
// holding the full-resolution cloud, on `lanes` threads. `points` stays empty
// unless las.status is kOk; a truncated file is thinned from the points it
// holds. The voxels and their order never depend on `lanes`; a centroid may,
// in its last bits. Throws what VoxelAccumulator throws.
ThinnedSurvey readAndThinLas(const std::string& path, float leaf_size,
                             const ReadingProgressCallback& progress = nullptr, unsigned lanes = thinningLanes());

// The same for an E57 file: every valid point of every scan, posed in the
// file's common frame; `points` stays empty unless e57.status is kOk.
ThinnedSurvey readAndThinE57(const std::string& path, float leaf_size,
                             const ReadingProgressCallback& progress = nullptr);

}  // namespace korvane_navigation
