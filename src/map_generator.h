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

#include "app/cloud_loaders.h"
#include "app/config.h"
#include "app/run_summary.h"

namespace korvane_navigation {

class MapPostProcess;
class StagedOutputs;

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

  // Reads and thins the configured cloud and moves it into the map frame:
  // the first half of generatePCDMap, which then writes it as map.pcd.
  bool prepareCloud();
  bool generatePCDMap();
  bool generateFloorMap(const Config::Floor& floor);

  // Each reads its file, thins it at the configured voxel size while reading
  // and moves the centroids into the map frame, filling the run summary's
  // loading and thinning figures.
  bool e57Loader(const std::string& path);
  bool lasLoader(const std::string& path);
  bool objLoader(const std::string& path);
  bool pcdLoader(const std::string& path);
  bool plyLoader(const std::string& path);

  const Cloud& pointcloud() const { return *pointcloud_; }

 private:
  std::shared_ptr<Cloud> pointcloud_;
  std::map<std::string, std::function<bool(const std::string&)>> loaders_;
  std::shared_ptr<MapPostProcess> map_postprocesser_;
  RunSummary summary_;

  // The stages of run(), in order; false at the first that fails.
  bool makeMaps();
  // Every floor's map, floors side by side where the processors allow it.
  bool makeFloorMaps();
  void configureFloor(const Config::Floor& floor, MapPostProcess& post) const;
  // One floor's stages through `post`, its figures for the run summary.
  bool makeFloorMap(const Config::Floor& floor, MapPostProcess& post, RunSummary::Floor& figures) const;

  // While run() goes on, where the stages leave their files.
  StagedOutputs* outputs_ = nullptr;

  // Reads `path` with one format's loader at the configured voxel size and
  // map frame, into the cloud and the run summary.
  using SurveyLoader = bool (*)(const std::string& path, const Thinning& thinning, ThinnedSurvey& survey);
  bool loadSurvey(const std::string& path, SurveyLoader load);
  // Warns of map-frame coordinates too large for single precision to place
  // at the voxel size.
  void warnAboutPrecision() const;
  // False, after an ERROR suggesting a translation, when the middle of the
  // map-frame cloud lies beyond the floors' octree.
  bool checkFloorsReach() const;

 public:
  // Filled once before run(), from the file or the positional arguments.
  Config config_;
  // Processors the floors may share; 0 for those this process may run on.
  unsigned floor_processors_ = 0;

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

}  // namespace korvane_navigation
