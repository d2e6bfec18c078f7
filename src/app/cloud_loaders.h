// The loaders behind NavMapGenerator's loader table, one per file format:
// each reads its file, thins it at the voxel size while reading and moves
// the centroids into the map frame, logging what the reader found.
#pragma once

#include <Eigen/Geometry>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/point_vector.h"
#include "formats/point_blocks.h"

namespace korvane_navigation {

// The text after the last "." of a path's file name, the whole path when the
// name has none.
std::string fileExtension(const std::string& path);

// The loader table's key for an extension: extensions match whatever their
// case ("SCAN.LAS" is a LAS file).
std::string loaderKey(const std::string& extension);

// Reads a file into `sink` on up to `threads` threads, reporting `progress`;
// true when the file was read whole and its points are wanted.
using SurveyReader = std::function<bool(const PointBlockSink& sink, const ReadProgress& progress, unsigned threads)>;

// How a survey is thinned: the voxel edge and the frame the centroids go to.
struct Thinning {
  double voxel_size = 0.05;
  Eigen::Affine3d to_map = Eigen::Affine3d::Identity();
};

// A survey read and thinned: the map-frame centroids and the run summary's figures.
struct ThinnedSurvey {
  PointVector points;
  uint64_t points_read = 0;
  double read_seconds = 0.0;
  double thin_seconds = 0.0;
  // A PCD file's VIEWPOINT (x y z, then the quaternion w x y z), which map.pcd keeps.
  std::optional<std::array<double, 7>> viewpoint;
};

// Thins what `read` reads into `survey`; false after an ERROR when the
// reading or the thinning failed.
bool thinWhileReading(const std::string& path, const SurveyReader& read, const Thinning& thinning,
                      ThinnedSurvey& survey);

// One per format, false after an ERROR naming the file.
bool loadLasSurvey(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey);  // LAS and LAZ
bool loadE57Survey(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey);
bool loadPlySurvey(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey);
bool loadPcdSurvey(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey);
bool loadObjSurvey(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey);

}  // namespace korvane_navigation
