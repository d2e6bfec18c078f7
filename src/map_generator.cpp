#include "map_generator.h"

#include <boost/filesystem.hpp>
#include <algorithm>
#include <cmath>
#include <glog/logging.h>
#include <iomanip>
#include <limits>
#include <pcl/exceptions.h>
#include <pcl/io/pcd_io.h>

#include "app/cloud_loaders.h"
#include "app/floor_schedule.h"
#include "core/coordinates.h"
#include "core/plain_decimal.h"
#include "core/progress.h"
#include "formats/file_reading.h"
#include "support/atomic_file.h"
#include "support/joined_threads.h"
#include "support/memory_limits.h"
#include "map_postprocess.h"

namespace korvane_navigation {
namespace {

// True when `path` names nothing. Every other reason it cannot be read is
// named by whoever reads it, in the words all readers share.
bool namesNothing(const std::string& path) {
  FileDescriptor file;
  uint64_t size = 0;
  std::string fault;
  return openFileToRead(path, FileKinds::kRegularOrPipe, file, size, fault) == OpenFault::kMissing;
}

}  // namespace

NavMapGenerator::NavMapGenerator() {
  loaders_["e57"] = std::bind(&NavMapGenerator::e57Loader, this, std::placeholders::_1);
  loaders_["las"] = std::bind(&NavMapGenerator::lasLoader, this, std::placeholders::_1);
  loaders_["laz"] = std::bind(&NavMapGenerator::lasLoader, this, std::placeholders::_1);
  loaders_["obj"] = std::bind(&NavMapGenerator::objLoader, this, std::placeholders::_1);
  loaders_["pcd"] = std::bind(&NavMapGenerator::pcdLoader, this, std::placeholders::_1);
  loaders_["ply"] = std::bind(&NavMapGenerator::plyLoader, this, std::placeholders::_1);
  pointcloud_ = std::make_shared<Cloud>();
  CHECK_NOTNULL(pointcloud_);
  map_postprocesser_ = std::make_shared<MapPostProcess>();
  CHECK_NOTNULL(map_postprocesser_);
}

NavMapGenerator::~NavMapGenerator() = default;

bool NavMapGenerator::loadConfig(const std::string& path, FloorsMember floors) {
  if (namesNothing(path)) {
    LOG(ERROR) << path << " does not exist...";
    return false;
  }
  std::string error;
  if (!readConfigFile(path, config_, error, floors) || !checkConfig(config_, error)) {
    LOG(ERROR) << path << ": " << error;
    LOG(ERROR) << "Failed to  load config ";
    return false;
  }
  return true;
}

bool NavMapGenerator::run() {
  const Stopwatch run_time;
  summary_ = RunSummary();
  LOG(INFO) << "Start Generating Maps, Please Wait...";
  // Every output waits in a temporary file until all stages have succeeded:
  // a failed run leaves the previous maps as they were, all of them.
  StagedOutputs outputs;
  outputs_ = &outputs;
  const bool made = makeMaps();
  outputs_ = nullptr;
  if (!made) return false;
  std::string error;
  if (!outputs.commit(&error)) {
    LOG(ERROR) << "Failed to put the maps in place: " << error;
    return false;
  }
  summary_.total_seconds = run_time.seconds();
  LOG(INFO) << describeRun(summary_);
  return true;
}

bool NavMapGenerator::makeMaps() {
  if (!generatePCDMap()) {
    LOG(ERROR) << "Failed to generate pcd map";
    return false;
  }
  if (!config_.floors.empty() && !checkFloorsReach()) return false;
  return makeFloorMaps();
}

bool NavMapGenerator::makeFloorMaps() {
  const std::vector<Config::Floor>& floors = config_.floors;
  const unsigned processors = floor_processors_ > 0 ? floor_processors_ : usableProcessors();
  const unsigned at_once = floorsAtOnce(processors, readingThreads(), floors.size());
  if (at_once <= 1) {
    for (const Config::Floor& floor : floors) {
      if (!generateFloorMap(floor)) return false;
    }
    return true;
  }
  // Side by side, each floor has a post-processor of its own, and the floors
  // share what memory the run has left.
  std::vector<uint64_t> needs;
  for (const Config::Floor& floor : floors) {
    MapPostProcess post;
    configureFloor(floor, post);
    needs.push_back(post.memoryNeeded(pointcloud_));
  }
  LOG(INFO) << "making up to " << at_once << " floors at once";
  std::vector<RunSummary::Floor> figures(floors.size());
  const bool made = makeFloors(floors.size(), at_once, needs, memoryBudget().bytes, [&](size_t i) {
    MapPostProcess post;
    return makeFloorMap(floors[i], post, figures[i]);
  });
  if (!made) return false;
  summary_.floors.insert(summary_.floors.end(), figures.begin(), figures.end());
  return true;
}

void NavMapGenerator::configureFloor(const Config::Floor& floor, MapPostProcess& post) const {
  post.max_height_ = floor.max_height;
  post.min_height_ = floor.min_height;
  post.resolution_ = config_.map_resolution;
  const Eigen::Vector3f& origin = config_.sensor_origin;
  post.sensor_origin_ = octomath::Vector3(origin.x(), origin.y(), origin.z());
  post.name_ = floor.name;
}

bool NavMapGenerator::generateFloorMap(const Config::Floor& floor) {
  RunSummary::Floor figures;
  if (!makeFloorMap(floor, *map_postprocesser_, figures)) return false;
  summary_.floors.push_back(figures);
  return true;
}

bool NavMapGenerator::makeFloorMap(const Config::Floor& floor, MapPostProcess& post,
                                   RunSummary::Floor& figures) const {
  LOG(INFO) << "Generate Nav Map for :" << floor.name;
  configureFloor(floor, post);
  figures.name = floor.name;
  Stopwatch stage;
  if (!post.constructOctMap(pointcloud_)) {
    LOG(ERROR) << "Failed to construct octomap";
    return false;
  }
  figures.octree_seconds = stage.seconds();
  stage = Stopwatch();
  if (!post.generateNavMap()) {
    const PointBounds bounds = post.floorStats().band_points == 0 ? finiteBounds(pointcloud_->points) : PointBounds();
    if (!bounds.empty()) {
      LOG(ERROR) << "floor \"" << floor.name << "\": its band from " << plainDecimal(floor.min_height) << " m to "
                 << plainDecimal(floor.max_height) << " m holds no point; the cloud's points lie from z = "
                 << plainDecimal(bounds.lo[2]) << " m to " << plainDecimal(bounds.hi[2]) << " m";
    }
    LOG(ERROR) << "Failed to generate nav map";
    return false;
  }
  figures.projection_seconds = stage.seconds();
  stage = Stopwatch();
  if (!post.saveNavMaps(config_.output_path, floor.name, outputs_)) {
    LOG(ERROR) << "Failed to save nav map";
    return false;
  }
  figures.export_seconds = stage.seconds();
  const FloorStats& stats = post.floorStats();
  const GridMap& grid = *post.gridMap();
  figures.band_points = stats.band_points;
  figures.width = grid.width;
  figures.height = grid.height;
  figures.resolution = grid.resolution;
  figures.occupied = stats.occupied_cells;
  figures.free = stats.free_cells;
  figures.unknown = stats.unknown_cells;
  return true;
}

bool NavMapGenerator::prepareCloud() {
  const std::string& input = config_.input_pointcloud;
  if (namesNothing(input)) {
    LOG(ERROR) << input << " dose not exist.";
    return false;
  }

  const std::string extension = fileExtension(input);
  const auto loader = loaders_.find(loaderKey(extension));
  if (loader == loaders_.end()) {
    LOG(ERROR) << extension << " format pointcloud is not suppurted now";
    return false;
  }
  if (!loader->second(input)) {
    LOG(ERROR) << "failed to load map: " << input;
    return false;
  }
  if (summary_.points_loaded == 0) {
    LOG(WARNING) << "pointcloud map is empty";
    return false;
  }
  pointcloud_->width = static_cast<uint32_t>(pointcloud_->points.size());
  pointcloud_->height = 1;
  pointcloud_->is_dense = true;
  summary_.points_thinned = pointcloud_->points.size();
  LOG(INFO) << "pointcloud size: " << pointcloud_->points.size() << " after downsampling.";
  if (pointcloud_->points.empty()) {
    LOG(ERROR) << input << ": not one point has finite coordinates";
    return false;
  }
  warnAboutPrecision();
  return true;
}

bool NavMapGenerator::generatePCDMap() {
  if (!prepareCloud()) return false;
  std::string directory_error;
  if (!ensureDirectory(config_.output_path, &directory_error)) {
    LOG(ERROR) << "Failed to create directory: " << config_.output_path << ": " << directory_error;
    return false;
  }
  // From here until the maps are in place no other run may write here.
  std::vector<std::string> cleaned;
  if (outputs_ && !outputs_->holdFolder(config_.output_path, &cleaned, &directory_error)) {
    LOG(ERROR) << directory_error;
    return false;
  }
  for (const std::string& line : cleaned) LOG(INFO) << "left by an interrupted run: " << line;

  const std::string map_file = config_.output_path + "/map.pcd";
  const Stopwatch stage;
  try {
    std::string write_error;
    const FileWriter write_map = [&](const std::string& temp_path) {
      pcl::PCDWriter writer;
      return writer.writeBinary(temp_path, *pointcloud_) == 0;
    };
    // Outside run() the map is put in place on its own.
    StagedOutputs own_outputs;
    StagedOutputs& staged = outputs_ ? *outputs_ : own_outputs;
    const bool written =
        staged.stage(map_file, write_map, &write_error) && (outputs_ || own_outputs.commit(&write_error));
    if (!written) {
      LOG(WARNING) << "failed to write " << map_file << ": " << write_error;
      return false;
    }
    LOG(INFO) << "success to save pointcloud map: " << map_file;
    summary_.write_seconds = stage.seconds();
  } catch (const pcl::IOException& e) {
    LOG(WARNING) << "failed to write " << map_file << ": " << e.what();
    return false;
  }
  return true;
}

bool NavMapGenerator::loadSurvey(const std::string& path, SurveyLoader load) {
  ThinnedSurvey survey;
  const bool loaded = load(path, {config_.downsample_size, config_.transform_matrix}, survey);
  summary_.points_loaded = survey.points_read;
  summary_.load_seconds = survey.read_seconds;
  summary_.thin_seconds = survey.thin_seconds;
  if (!loaded) return false;
  pointcloud_->points = std::move(survey.points);
  if (survey.viewpoint) {
    // map.pcd keeps the file's viewpoint, as it was given.
    const std::array<double, 7>& v = *survey.viewpoint;
    pointcloud_->sensor_origin_ = Eigen::Vector4f(static_cast<float>(v[0]), static_cast<float>(v[1]),
                                                  static_cast<float>(v[2]), 0.0f);
    pointcloud_->sensor_orientation_ = Eigen::Quaternionf(static_cast<float>(v[3]), static_cast<float>(v[4]),
                                                          static_cast<float>(v[5]), static_cast<float>(v[6]));
  }
  return true;
}

bool NavMapGenerator::lasLoader(const std::string& path) { return loadSurvey(path, loadLasSurvey); }
bool NavMapGenerator::e57Loader(const std::string& path) { return loadSurvey(path, loadE57Survey); }
bool NavMapGenerator::plyLoader(const std::string& path) { return loadSurvey(path, loadPlySurvey); }
bool NavMapGenerator::pcdLoader(const std::string& path) { return loadSurvey(path, loadPcdSurvey); }
bool NavMapGenerator::objLoader(const std::string& path) { return loadSurvey(path, loadObjSurvey); }

void NavMapGenerator::warnAboutPrecision() const {
  const double max_abs = largestCoordinate(pointcloud_->points);
  const double error = singlePrecisionError(max_abs);
  if (error > 0.1 * config_.downsample_size) {
    LOG(WARNING) << "coordinates reach " << std::fixed << std::setprecision(1) << max_abs
                 << std::defaultfloat << std::setprecision(6) << " m in the map frame, where single precision holds "
                 << "a point only to " << error << " m, more than a tenth of the voxel size "
                 << config_.downsample_size << " m: map.pcd's points may be off by that much. Set "
                 << "transform_matrix.translation to bring the site near the map frame's origin";
  }
}

bool NavMapGenerator::checkFloorsReach() const {
  const std::optional<Eigen::Vector3d> shift = shiftIntoOctreeReach(pointcloud_->points, config_.map_resolution);
  if (!shift) return true;
  const Eigen::Vector3d suggested = config_.transform_matrix.translation() + *shift;
  LOG(ERROR) << "the cloud lies far from the map frame's origin, beyond the " << std::fixed << std::setprecision(1)
             << octreeReach(config_.map_resolution) << std::defaultfloat << " m that a floor's octree reaches at "
             << "map_resolution " << config_.map_resolution << " m: set transform_matrix.translation to "
             << translationJson(suggested) << " to bring its middle near the origin";
  return false;
}

}  // namespace korvane_navigation
