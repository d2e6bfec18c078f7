// The map generator: loads the configured cloud through its loader table,
// writes the point-cloud map and drives the floor maps, stage by stage.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/run_summary.h"

namespace korvane_navigation {

class MapPostProcess;
class StagedOutputs;
struct ThinnedSurvey;

class NavMapGenerator {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;

  NavMapGenerator();
  ~NavMapGenerator();
  // The loader table holds this object's address.
  NavMapGenerator(const NavMapGenerator&) = delete;
  NavMapGenerator& operator=(const NavMapGenerator&) = delete;

  // With FloorsMember::kIgnored the file's floors are neither read nor checked.
  bool loadConfig(const std::string& path, FloorsMember floors = FloorsMember::kRead);
  // True when every stage succeeded.
  bool run();

  // Loads, thins and moves the configured cloud into the map frame: the
  // first half of generatePCDMap, which then writes it as map.pcd.
  bool prepareCloud();
  bool generatePCDMap();
  bool generateFloorMap(const Config::Floor& floor);

  // These two read and thin at the configured voxel size in one pass, and
  // fill the run summary's loading and thinning figures.
  bool e57Loader(const std::string& path);
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

  // The stages of run(), in order; false at the first that fails.
  bool makeMaps();

  // While run() goes on, where the stages leave their files.
  StagedOutputs* outputs_ = nullptr;

  // Warns of points that thinning drops (`not_finite` of `points`) and of
  // coordinates (up to `max_abs`) too large for single precision to place at
  // the voxel size.
  void warnAboutCoordinates(uint64_t points, uint64_t not_finite, float max_abs) const;
  // Takes over a survey thinned while it was read, with its figures and warnings.
  void keepThinnedSurvey(ThinnedSurvey& survey, double seconds);

 public:
  // Filled once before run(), from the file or the positional arguments.
  Config config_;

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

}  // namespace korvane_navigation
