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
#include "formats/las_reader.h"
#include "formats/obj_reader.h"
#include "formats/pcd_reader.h"
#include "formats/ply_reader.h"
#include "support/joined_threads.h"

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

// Warns of the points that thinning leaves out.
void warnAboutDroppedPoints(const VoxelAccumulator& voxels, double voxel_size) {
  const uint64_t points = voxels.pointsAdded();
  if (voxels.nonFinitePoints() > 0) {
    LOG(WARNING) << voxels.nonFinitePoints() << " of " << points
                 << " points have a coordinate that is not a finite number and are left out";
  }
  if (voxels.unreachablePoints() > 0) {
    LOG(WARNING) << voxels.unreachablePoints() << " of " << points << " points lie more than 2^62 voxels of "
                 << voxel_size << " m from the first point read and are left out";
  }
  if (voxels.voxelsBeyondSinglePrecision() > 0) {
    LOG(WARNING) << voxels.voxelsBeyondSinglePrecision() << " thinned points lie beyond single precision in the "
                 << "map frame and are left out";
  }
}

// Reads `path` with `read_file` (one of the PCD, PLY and OBJ readers) while
// thinning, leaving the reader's outcome in `result` and logging it.
template <typename Result, typename ReadFile>
bool thinCloudFile(const std::string& path, const char* kind, ReadFile read_file, const Thinning& thinning,
                   Result& result, ThinnedSurvey& survey) {
  const bool thinned = thinWhileReading(
      path,
      [&](const PointBlockSink& sink, const ReadProgress& progress, unsigned threads) {
        result = read_file(path, sink, progress, threads);
        return result.status == CloudReadStatus::kOk;
      },
      thinning, survey);
  return reportCloudRead(result, kind) && thinned;
}

}  // namespace

bool thinWhileReading(const std::string& path, const SurveyReader& read, const Thinning& thinning,
                      ThinnedSurvey& survey) {
  const Stopwatch stage;
  ProgressLog progress("reading and thinning " + path, "points");
  try {
    VoxelAccumulator voxels(thinning.voxel_size, readingThreads());
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
    survey.points_read = voxels.pointsAdded();
    if (!read_whole) return false;
    survey.read_seconds = stage.seconds();
    const Stopwatch finishing;
    survey.points = voxels.finish(thinning.to_map);
    survey.thin_seconds = finishing.seconds();
    progress.updateReading(bytes_read, bytes_total, voxels.pointsAdded(), survey.points.size());
    warnAboutDroppedPoints(voxels, thinning.voxel_size);
  } catch (const std::exception& e) {
    LOG(ERROR) << path << ": " << e.what();
    return false;
  }
  return true;
}

bool loadLasSurvey(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey) {
  LasReadResult result;
  const bool thinned = thinWhileReading(
      path,
      [&](const PointBlockSink& sink, const ReadProgress& progress, unsigned threads) {
        result = readLasPoints(path, sink, progress, threads);
        return result.status == LasReadStatus::kOk;
      },
      thinning, survey);
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

bool loadE57Survey(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey) {
  E57ReadResult result;
  const bool thinned = thinWhileReading(
      path,
      [&](const PointBlockSink& sink, const ReadProgress& progress, unsigned) {
        result = readE57File(path, sink, progress);
        return result.status == E57ReadStatus::kOk;
      },
      thinning, survey);
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

bool loadPlySurvey(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey) {
  LOG(INFO) << "processing pointcloud with .ply format...";
  PlyReadResult result;
  return thinCloudFile(path, "ply", readPlyPoints, thinning, result, survey);
}

bool loadPcdSurvey(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey) {
  LOG(INFO) << "processing pointcloud with .pcd format...";
  PcdReadResult result;
  if (!thinCloudFile(path, "pcd", readPcdPoints, thinning, result, survey)) return false;
  std::array<double, 7> viewpoint;
  std::copy(result.header.viewpoint, result.header.viewpoint + 7, viewpoint.begin());
  survey.viewpoint = viewpoint;
  return true;
}

bool loadObjSurvey(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey) {
  LOG(INFO) << "processing pointcloud with .obj format...";
  ObjReadResult result;
  return thinCloudFile(path, "obj", readObjPoints, thinning, result, survey);
}

}  // namespace korvane_navigation
