#include "app/cloud_loaders.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <glog/logging.h>

#include "core/progress.h"
#include "formats/cloud_file_checks.h"
#include "formats/cloud_file_reader.h"
#include "core/survey_input.h"
#include "map_generator.h"

namespace korvane_navigation {

namespace {

// `kind` names the format in messages.
bool loadCheckedCloud(const std::string& path, CloudFileFormat format, const char* kind,
                      pcl::PointCloud<pcl::PointXYZ>& cloud) {
  std::string error, warning;
  if (!readCheckedCloud(path, format, cloud.points, error, warning)) {
    LOG(ERROR) << "failed to load " << kind << " file: " << path << ": " << error;
    return false;
  }
  if (!warning.empty()) LOG(WARNING) << path << ": " << warning;
  cloud.width = static_cast<uint32_t>(cloud.points.size());
  cloud.height = 1;
  cloud.is_dense = false;
  return true;
}

}  // namespace

std::string fileExtension(const std::string& path) {
  const size_t dot = path.rfind('.');
  return dot == std::string::npos ? path : path.substr(dot + 1);
}

bool NavMapGenerator::lasLoader(const std::string& path) {
  ProgressLog progress("loading " + path, "points");
  const LasReadResult result = readLasCloud(path, *pointcloud_, progress.callback());
  if (result.status == LasReadStatus::kCannotOpen) {
    LOG(ERROR) << "failed to open las file: " << result.error;
    return false;
  }
  if (result.status != LasReadStatus::kOk) {
    LOG(ERROR) << result.error;
    return false;
  }
  if (result.points_read < result.header.point_count) {
    LOG(WARNING) << path << ": the header declares " << result.header.point_count
                 << " points but the file holds only " << result.points_read
                 << "; keeping the points read";
  }
  return true;
}

bool NavMapGenerator::plyLoader(const std::string& path) {
  LOG(INFO) << "processing pointcloud with .ply format...";
  return loadCheckedCloud(path, CloudFileFormat::kPly, "ply", *pointcloud_);
}

bool NavMapGenerator::pcdLoader(const std::string& path) {
  LOG(INFO) << "processing pointcloud with .pcd format...";
  return loadCheckedCloud(path, CloudFileFormat::kPcd, "pcd", *pointcloud_);
}

bool NavMapGenerator::objLoader(const std::string& path) {
  LOG(INFO) << "processing pointcloud with .obj format...";
  const std::string not_a_file = notAFileToRead(path);
  if (!not_a_file.empty()) {
    LOG(ERROR) << "failed to load obj file: " << path << ": " << not_a_file;
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    LOG(ERROR) << "failed to load obj file: " << path << ": cannot be opened (" << std::strerror(errno)
               << ")";
    return false;
  }
  std::string error;
  if (!readObjVertices(in, pointcloud_->points, error)) {
    LOG(ERROR) << "failed to load obj file: " << path << ": " << error;
    return false;
  }
  pointcloud_->width = static_cast<uint32_t>(pointcloud_->points.size());
  pointcloud_->height = 1;
  pointcloud_->is_dense = false;
  return true;
}

}  // namespace korvane_navigation
