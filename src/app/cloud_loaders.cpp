#include "app/cloud_loaders.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <glog/logging.h>

#include "core/progress.h"
#include "formats/cloud_file_checks.h"
#include "formats/cloud_file_reader.h"
#include "formats/e57_reader.h"
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
  // From the file's own name: a folder such as "v1.2" has no say.
  const size_t name = path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1;
  const size_t dot = path.rfind('.');
  return dot == std::string::npos || dot < name ? path : path.substr(dot + 1);
}

std::string loaderKey(const std::string& extension) {
  std::string key = extension;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

namespace {

// Reads and thins `path` with `read(progress)`, reporting its progress;
// false, after an ERROR, when the thinning refused the voxel size.
template <typename Read>
bool readAndThin(Read read, const std::string& path, ThinnedSurvey& survey) {
  ProgressLog progress("reading and thinning " + path, "points");
  try {
    survey = read([&](const ReadingProgress& p) {
      progress.updateReading(p.bytes_read, p.bytes_total, p.points_read, p.points_kept);
    });
  } catch (const std::exception& e) {
    LOG(ERROR) << path << ": " << e.what();
    return false;
  }
  return true;
}

}  // namespace

bool NavMapGenerator::lasLoader(const std::string& path) {
  const Stopwatch stage;
  ThinnedSurvey survey;
  const auto read = [&](const ReadingProgressCallback& progress) {
    return readAndThinLas(path, static_cast<float>(config_.downsample_size), progress);
  };
  if (!readAndThin(read, path, survey)) return false;
  const LasReadResult& result = survey.las;
  if (result.status == LasReadStatus::kCannotOpen) {
    LOG(ERROR) << "failed to open las file: " << result.error;
    return false;
  }
  if (result.status != LasReadStatus::kOk) {
    LOG(ERROR) << result.error;
    return false;
  }
  if (!result.warning.empty()) LOG(WARNING) << result.warning;
  if (result.points_read < result.header.point_count) {
    LOG(WARNING) << path << ": the header declares " << result.header.point_count
                 << " points but the file holds only " << result.points_read
                 << "; keeping the points read";
  }
  keepThinnedSurvey(survey, stage.seconds());
  return true;
}

void NavMapGenerator::keepThinnedSurvey(ThinnedSurvey& survey, double seconds) {
  summary_.points_loaded = survey.points_read;
  summary_.thin_seconds = survey.finish_seconds;
  summary_.load_seconds = seconds - survey.finish_seconds;
  warnAboutCoordinates(survey.points_read, survey.non_finite_points, survey.largest_coordinate);
  pointcloud_->points = std::move(survey.points);
}

bool NavMapGenerator::e57Loader(const std::string& path) {
  const Stopwatch stage;
  ThinnedSurvey survey;
  const auto read = [&](const ReadingProgressCallback& progress) {
    return readAndThinE57(path, static_cast<float>(config_.downsample_size), progress);
  };
  if (!readAndThin(read, path, survey)) return false;
  const E57ReadResult& result = survey.e57;
  if (result.status != E57ReadStatus::kOk) {
    LOG(ERROR) << "failed to load e57 file: " << result.error;
    return false;
  }
  if (result.invalid_points > 0) {
    LOG(WARNING) << path << ": " << result.invalid_points << " of "
                 << result.points_read + result.invalid_points
                 << " points are marked invalid by the scanner or lie beyond single precision, "
                    "and are left out";
  }
  keepThinnedSurvey(survey, stage.seconds());
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
