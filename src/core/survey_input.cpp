#include "core/survey_input.h"

#include "core/voxel_filter.h"

namespace korvane_navigation {

LasReadResult readLasCloud(const std::string& path, pcl::PointCloud<pcl::PointXYZ>& cloud,
                           const ProgressCallback& progress) {
  const LasReadResult result = readLasFile(
      path,
      [&cloud](uint64_t count) {
        cloud.points.resize(count);
        return count == 0 ? nullptr : &cloud.points[0].x;
      },
      sizeof(pcl::PointXYZ) / sizeof(float), progress);
  if (result.status == LasReadStatus::kOk) {
    cloud.points.resize(result.points_read);
    cloud.width = static_cast<uint32_t>(cloud.points.size());
    cloud.height = 1;
    cloud.is_dense = false;
  }
  return result;
}

ThinnedSurvey readAndThinLas(const std::string& path, float leaf_size, const ReadingProgressCallback& progress) {
  VoxelAccumulator voxels(leaf_size);
  ThinnedSurvey survey;
  survey.las = readLasPoints(
      path, [&voxels](const float* xyz, size_t count) { voxels.add(xyz, count, 3); },
      [&](uint64_t bytes, uint64_t total) {
        if (progress) progress({bytes, total, voxels.pointsAdded(), voxels.voxelCount()});
      });
  survey.points_read = voxels.pointsAdded();
  survey.non_finite_points = voxels.nonFinitePoints();
  survey.largest_coordinate = voxels.largestCoordinate();
  if (survey.las.status == LasReadStatus::kOk) {
    const Stopwatch finishing;
    survey.points = voxels.finish();
    survey.finish_seconds = finishing.seconds();
  }
  return survey;
}

}  // namespace korvane_navigation
