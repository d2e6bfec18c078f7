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

namespace {

// Runs `read(sink, progress)` with a sink that thins; `finish` tells whether
// the read succeeded and the voxels are wanted.
template <typename Read>
ThinnedSurvey thinWhileReading(float leaf_size, const ReadingProgressCallback& progress, Read&& read) {
  VoxelAccumulator voxels(leaf_size);
  ThinnedSurvey survey;
  ReadingProgress last;
  const bool read_whole = read(
      survey, [&voxels](const float* xyz, size_t count) { voxels.add(xyz, count, 3); },
      [&](uint64_t bytes, uint64_t total) {
        last = {bytes, total, voxels.pointsAdded(), voxels.voxelCount()};
        if (progress) progress(last);
      });
  survey.points_read = voxels.pointsAdded();
  survey.non_finite_points = voxels.nonFinitePoints();
  survey.largest_coordinate = voxels.largestCoordinate();
  if (read_whole) {
    const Stopwatch finishing;
    survey.points = voxels.finish();
    survey.finish_seconds = finishing.seconds();
    // While reading, a voxel whose points came far apart may count twice.
    last.points_kept = survey.points.size();
    if (progress) progress(last);
  }
  return survey;
}

using Sink = std::function<void(const float*, size_t)>;
using BytesProgress = std::function<void(uint64_t, uint64_t)>;

}  // namespace

ThinnedSurvey readAndThinLas(const std::string& path, float leaf_size, const ReadingProgressCallback& progress) {
  return thinWhileReading(leaf_size, progress,
                          [&](ThinnedSurvey& survey, const Sink& sink, const BytesProgress& bytes) {
                            survey.las = readLasPoints(path, sink, bytes);
                            return survey.las.status == LasReadStatus::kOk;
                          });
}

ThinnedSurvey readAndThinE57(const std::string& path, float leaf_size, const ReadingProgressCallback& progress) {
  return thinWhileReading(leaf_size, progress,
                          [&](ThinnedSurvey& survey, const Sink& sink, const BytesProgress& bytes) {
                            survey.e57 = readE57File(path, sink, bytes);
                            return survey.e57.status == E57ReadStatus::kOk;
                          });
}

}  // namespace korvane_navigation
