#include "app/cloud_loaders.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <glog/logging.h>
#include <thread>
#include <vector>

#include "core/progress.h"
#include "core/voxel_thinning.h"
#include "formats/e57_reader.h"
#include "support/joined_threads.h"
#include "formats/las_reader.h"
#include "formats/obj_reader.h"
#include "formats/pcd_reader.h"
#include "formats/ply_reader.h"
#include "map_generator.h"

namespace korvane_navigation {

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

// Logs a PCD, PLY or OBJ reader's outcome; `kind` names the format.
bool reportCloudRead(const CloudReadResult& result, const char* kind) {
  if (result.status != CloudReadStatus::kOk) {
    LOG(ERROR) << "failed to load " << kind << " file: " << result.error;
    return false;
  }
  if (!result.warning.empty()) LOG(WARNING) << result.warning;
  return true;
}

// Reads `path` with `read_file` (one of the PCD, PLY and OBJ readers) through
// `thin`, leaving the reader's outcome in `result` and logging it.
template <typename Result, typename ReadFile>
bool thinCloudFile(const std::string& path, const char* kind, ReadFile read_file, Result& result,
                   const std::function<bool(const SurveyReader&)>& thin) {
  const bool thinned = thin([&](const PointBlockSink& sink, const ReadProgress& progress, unsigned threads) {
    result = read_file(path, sink, progress, threads);
    return result.status == CloudReadStatus::kOk;
  });
  return reportCloudRead(result, kind) && thinned;
}

}  // namespace

bool NavMapGenerator::thinWhileReading(const std::string& path, const SurveyReader& read) {
  const Stopwatch stage;
  ProgressLog progress("reading and thinning " + path, "points");
  try {
    VoxelAccumulator voxels(config_.downsample_size, readingThreads());
    const PointBlockSink sink = [&voxels](unsigned thread, const double* xyz, size_t count) {
      voxels.add(xyz, count, thread);
    };
    uint64_t bytes_read = 0, bytes_total = 0;
    const bool read_whole = read(
        sink,
        [&](uint64_t bytes, uint64_t total) {
          bytes_read = bytes;
          bytes_total = total;
          progress.updateReading(bytes, total, voxels.pointsAdded(), voxels.voxelCount());
        },
        voxels.threads());
    summary_.points_loaded = voxels.pointsAdded();
    if (!read_whole) return false;
    summary_.load_seconds = stage.seconds();
    const Stopwatch finishing;
    pointcloud_->points = voxels.finish(config_.transform_matrix);
    summary_.thin_seconds = finishing.seconds();
    progress.updateReading(bytes_read, bytes_total, voxels.pointsAdded(), pointcloud_->points.size());
    warnAboutDroppedPoints(voxels.pointsAdded(), voxels.nonFinitePoints(), voxels.unreachablePoints());
    if (voxels.voxelsBeyondSinglePrecision() > 0) {
      LOG(WARNING) << voxels.voxelsBeyondSinglePrecision() << " thinned points lie beyond single precision in the "
                   << "map frame and are left out";
    }
  } catch (const std::exception& e) {
    LOG(ERROR) << path << ": " << e.what();
    return false;
  }
  return true;
}

bool NavMapGenerator::lasLoader(const std::string& path) {
  LasReadResult result;
  const bool thinned = thinWhileReading(path, [&](const PointBlockSink& sink, const ReadProgress& progress,
                                                  unsigned threads) {
    result = readLasPoints(path, sink, progress, threads);
    return result.status == LasReadStatus::kOk;
  });
  if (result.status == LasReadStatus::kCannotOpen) {
    LOG(ERROR) << "failed to open las file: " << result.error;
    return false;
  }
  if (result.status != LasReadStatus::kOk) {
    LOG(ERROR) << result.error;
    return false;
  }
  if (!result.warning.empty()) LOG(WARNING) << result.warning;
  if (!thinned) return false;
  if (result.points_read < result.header.point_count) {
    LOG(WARNING) << path << ": the header declares " << result.header.point_count
                 << " points but the file holds only " << result.points_read << "; keeping the points read";
  }
  if (result.withheld_points > 0) {
    LOG(WARNING) << path << ": " << result.withheld_points << " of " << result.points_read
                 << " points are flagged withheld and are left out";
  }
  return true;
}

bool NavMapGenerator::e57Loader(const std::string& path) {
  E57ReadResult result;
  const bool thinned = thinWhileReading(path, [&](const PointBlockSink& sink, const ReadProgress& progress,
                                                  unsigned) {
    result = readE57File(path, sink, progress);
    return result.status == E57ReadStatus::kOk;
  });
  if (result.status != E57ReadStatus::kOk) {
    LOG(ERROR) << "failed to load e57 file: " << result.error;
    return false;
  }
  if (!thinned) return false;
  if (result.invalid_points > 0) {
    LOG(WARNING) << path << ": " << result.invalid_points << " of " << result.points_read + result.invalid_points
                 << " points are marked invalid by the scanner, and are left out";
  }
  return true;
}

bool NavMapGenerator::plyLoader(const std::string& path) {
  LOG(INFO) << "processing pointcloud with .ply format...";
  PlyReadResult result;
  return thinCloudFile(path, "ply", readPlyPoints, result,
                       [&](const SurveyReader& read) { return thinWhileReading(path, read); });
}

bool NavMapGenerator::pcdLoader(const std::string& path) {
  LOG(INFO) << "processing pointcloud with .pcd format...";
  PcdReadResult result;
  if (!thinCloudFile(path, "pcd", readPcdPoints, result,
                     [&](const SurveyReader& read) { return thinWhileReading(path, read); })) {
    return false;
  }
  // map.pcd keeps the file's viewpoint, as it was given.
  const double* v = result.header.viewpoint;
  pointcloud_->sensor_origin_ = Eigen::Vector4f(static_cast<float>(v[0]), static_cast<float>(v[1]),
                                                static_cast<float>(v[2]), 0.0f);
  pointcloud_->sensor_orientation_ = Eigen::Quaternionf(static_cast<float>(v[3]), static_cast<float>(v[4]),
                                                        static_cast<float>(v[5]), static_cast<float>(v[6]));
  return true;
}

bool NavMapGenerator::objLoader(const std::string& path) {
  LOG(INFO) << "processing pointcloud with .obj format...";
  ObjReadResult result;
  return thinCloudFile(path, "obj", readObjPoints, result,
                       [&](const SurveyReader& read) { return thinWhileReading(path, read); });
}

}  // namespace korvane_navigation
