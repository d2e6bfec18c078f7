// The map generator: configuration, point-cloud loading, the point-cloud map
// and the run sequence that drives the floor maps.
#pragma once

#include <Eigen/Core>
#include <functional>
#include <map>
#include <memory>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <string>
#include <vector>

#include "las_reader.h"
#include "progress.h"

namespace korvane_navigation {

class MapPostProcess;

struct Config {
  struct Floor {
    // Upper bound before lower bound, as the floors are listed in the file.
    Floor(std::string name, double max_height, double min_height)
        : name(std::move(name)), max_height(max_height), min_height(min_height) {}
    std::string name;
    double max_height;
    double min_height;
  };

  std::vector<Floor> floors;
  std::string output_path;
  std::string input_pointcloud;
  Eigen::Matrix4f transform_matrix = Eigen::Matrix4f::Identity();
  Eigen::Vector3f sensor_origin = Eigen::Vector3f::Zero();
  double downsample_size = 0.05;
  double map_resolution = 0.05;

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

// Figures of one run, logged as its summary.
struct RunSummary {
  struct Floor {
    std::string name;
    size_t band_points = 0;
    uint64_t width = 0;
    uint64_t height = 0;
    double resolution = 0.0;
    uint64_t occupied = 0;
    uint64_t free = 0;
    uint64_t unknown = 0;
    double octree_seconds = 0.0;
    double projection_seconds = 0.0;
    double export_seconds = 0.0;
  };
  size_t points_loaded = 0;
  size_t points_thinned = 0;
  double load_seconds = 0.0;
  double thin_seconds = 0.0;
  double transform_seconds = 0.0;
  double write_seconds = 0.0;
  std::vector<Floor> floors;
  double total_seconds = 0.0;
};

std::string describeRun(const RunSummary& summary);

// The largest error of rounding a coordinate of magnitude up to `max_abs`
// to single precision (half the spacing of floats there).
double singlePrecisionError(double max_abs);

// Rigid transform p -> R p + t from a quaternion (w, x, y, z), normalised
// first; the all-zero quaternion gives the identity rotation.
Eigen::Matrix4f rigidTransform(float w, float x, float y, float z, const Eigen::Vector3f& t);

// Reads a LAS file's points into `cloud` as the LAS loader does: as many as
// the file really holds, fewer than its header declares when it is truncated.
LasReadResult readLasCloud(const std::string& path, pcl::PointCloud<pcl::PointXYZ>& cloud,
                           const ProgressCallback& progress = nullptr);

// The text after the last "." of a path, the whole path when it has none.
std::string fileExtension(const std::string& path);

// Logs the usage text at INFO.
void help();

class NavMapGenerator {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;

  NavMapGenerator();
  ~NavMapGenerator();
  // The loader table holds this object's address.
  NavMapGenerator(const NavMapGenerator&) = delete;
  NavMapGenerator& operator=(const NavMapGenerator&) = delete;

  bool loadConfig(const std::string& path);
  // True when every stage succeeded.
  bool run();

  bool generatePCDMap();
  bool generateFloorMap(const Config::Floor& floor);

  bool lasLoader(const std::string& path);
  bool objLoader(const std::string& path);
  bool pcdLoader(const std::string& path);
  bool plyLoader(const std::string& path);

  const Cloud& pointcloud() const { return *pointcloud_; }
  const RunSummary& summary() const { return summary_; }
  const MapPostProcess& postProcessor() const { return *map_postprocesser_; }

 private:
  std::shared_ptr<Cloud> pointcloud_;
  std::map<std::string, std::function<bool(const std::string&)>> loaders_;
  std::shared_ptr<MapPostProcess> map_postprocesser_;
  RunSummary summary_;

  // Warns of points that thinning will drop and of coordinates too large for
  // single precision to place at the voxel size.
  void warnAboutCoordinates() const;

 public:
  // Filled once before run(), from the file or the positional arguments.
  Config config_;

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

// The command line: argument forms, logging set-up and exit status.
int runMapGenerator(int argc, char** argv);

}  // namespace korvane_navigation
