#include "core/survey_input.h"

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

}  // namespace korvane_navigation
