#include "core/survey_input.h"

#include <sched.h>

#include <algorithm>
#include <thread>

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

unsigned thinningLanes() {
  cpu_set_t usable;
  CPU_ZERO(&usable);
  const int cpus = sched_getaffinity(0, sizeof usable, &usable) == 0 ? CPU_COUNT(&usable)
                                                                      : static_cast<int>(std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::clamp(cpus, 1, 4));
}

namespace {

// Runs `read(survey, voxels, progress)`, which adds what it reads to `voxels`
// and tells whether the read succeeded and the voxels are wanted.
template <typename Read>
ThinnedSurvey thinWhileReading(float leaf_size, unsigned lanes, const ReadingProgressCallback& progress,
                               Read&& read) {
  VoxelAccumulator voxels(leaf_size, lanes);
  ThinnedSurvey survey;
  ReadingProgress last;
  const bool read_whole = read(survey, voxels, [&](uint64_t bytes, uint64_t total) {
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

}  // namespace

ThinnedSurvey readAndThinLas(const std::string& path, float leaf_size, const ReadingProgressCallback& progress,
                             unsigned lanes) {
  return thinWhileReading(leaf_size, lanes, progress, [&](ThinnedSurvey& survey, VoxelAccumulator& voxels,
                                                          const std::function<void(uint64_t, uint64_t)>& bytes) {
    const auto add = [&voxels](unsigned lane, const float* xyz, size_t count) { voxels.add(xyz, count, 3, lane); };
    survey.las = readLasPoints(path, add, bytes, voxels.lanes());
    return survey.las.status == LasReadStatus::kOk;
  });
}

// An E57 file's points come out of one decoder, in order: one lane.
ThinnedSurvey readAndThinE57(const std::string& path, float leaf_size, const ReadingProgressCallback& progress) {
  return thinWhileReading(leaf_size, 1, progress, [&](ThinnedSurvey& survey, VoxelAccumulator& voxels,
                                                      const std::function<void(uint64_t, uint64_t)>& bytes) {
    const auto add = [&voxels](const float* xyz, size_t count) { voxels.add(xyz, count, 3); };
    survey.e57 = readE57File(path, add, bytes);
    return survey.e57.status == E57ReadStatus::kOk;
  });
}

}  // namespace korvane_navigation
