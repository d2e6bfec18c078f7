#include "map_generator.h"

#include <boost/filesystem.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <glog/logging.h>
#include <iomanip>
#include <limits>
#include <sstream>
#include <nlohmann/json.hpp>
#include <pcl/PCLPointCloud2.h>
#include <pcl/common/transforms.h>
#include <pcl/conversions.h>
#include <pcl/console/print.h>
#include <pcl/exceptions.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>

#include "atomic_file.h"
#include "cloud_file_checks.h"
#include "las_reader.h"
#include "map_postprocess.h"
#include "progress.h"
#include "voxel_filter.h"

namespace korvane_navigation {

namespace {

using nlohmann::json;

// Reads the members of the configuration file with explicit type tests:
// the JSON library would silently take a boolean for a number. Each failure
// names the member, so that the user knows what to fix.
class ConfigReader {
 public:
  explicit ConfigReader(std::string* error) : error_(error) {}

  bool string(const json& object, const char* key, std::string& out) {
    const json* value = member(object, key);
    if (!value) return false;
    if (!value->is_string()) return wrongType(key, "a string", *value);
    out = value->get<std::string>();
    return true;
  }

  bool number(const json& object, const char* key, double& out) {
    const json* value = member(object, key);
    if (!value) return false;
    if (!value->is_number()) return wrongType(key, "a number", *value);
    out = value->get<double>();
    return true;
  }

  bool numbers(const json& object, const char* key, std::vector<double>& out) {
    const json* value = member(object, key);
    if (!value) return false;
    if (!value->is_array()) return wrongType(key, "an array of numbers", *value);
    out.clear();
    for (const json& element : *value) {
      if (!element.is_number()) return wrongType(key, "an array of numbers", element);
      out.push_back(element.get<double>());
    }
    return true;
  }

  bool object(const json& value, const char* what) {
    if (value.is_object()) return true;
    return wrongType(what, "an object", value);
  }

  bool fail(const std::string& message) {
    *error_ = message;
    return false;
  }

 private:
  const json* member(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) {
      fail(std::string("member \"") + key + "\" is missing");
      return nullptr;
    }
    return &*it;
  }

  bool wrongType(const char* key, const char* expected, const json& value) {
    return fail(std::string("member \"") + key + "\" must be " + expected + ", not " +
                value.type_name());
  }

  std::string* error_;
};

// The elements of the "floors" member: an array in order, an object's values
// in the order of their names, nothing for null, and any other value as a
// single (invalid) element.
std::vector<const json*> floorElements(const json& floors) {
  std::vector<const json*> elements;
  if (floors.is_null()) return elements;
  if (floors.is_array() || floors.is_object()) {
    for (const json& element : floors) elements.push_back(&element);
  } else {
    elements.push_back(&floors);
  }
  return elements;
}

// Why `path` is no file to read through a stream, empty when it is one: a
// pipe would block the open until a writer comes, and a directory reads as
// nothing or never ends.
std::string notAFileToRead(const std::string& path) {
  boost::system::error_code error;
  if (boost::filesystem::is_directory(path, error)) return "is a directory";
  if (!boost::filesystem::is_regular_file(path, error)) return "is not a regular file";
  return "";
}

// A PCD or PLY file read by PCL's `reader`, once our check of its header has
// passed: the check reads the header that PCL's readers would crash or
// allocate gigabytes on. `kind` names the format in messages.
bool loadCheckedCloud(const std::string& path, CloudFileFormat format, const char* kind,
                      pcl::FileReader& reader, pcl::PointCloud<pcl::PointXYZ>& cloud) {
  DeclaredCloud declared;
  std::string error;
  if (!checkCloudFile(path, format, declared, error)) {
    LOG(ERROR) << "failed to load " << kind << " file: " << path << ": " << error;
    return false;
  }
  // No points leaves the cloud empty: PCL's PCD reader refuses such a header,
  // and its conversion indexes the first point of an empty cloud.
  if (declared.points == 0) return true;
  try {
    pcl::PCLPointCloud2 blob;
    int version = 0;
    // Both readers return 0 on success and a negative code on failure.
    if (reader.read(path, blob, cloud.sensor_origin_, cloud.sensor_orientation_, version, 0) != 0) {
      return false;
    }
    pcl::fromPCLPointCloud2(blob, cloud);
  } catch (const std::exception& e) {
    LOG(ERROR) << "failed to load " << kind << " file: " << e.what();
    return false;
  }
  return true;
}

// Reads the configuration file into `config`, member by member; on failure
// `error` names the member or the fault.
bool readConfigFile(const std::string& path, Config& config, std::string& error) {
  ConfigReader read(&error);
  const std::string not_a_file = notAFileToRead(path);
  if (!not_a_file.empty()) return read.fail(not_a_file);
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "r"),
                                                             &std::fclose);
  if (!file) return read.fail(std::string("cannot be opened for reading (") + std::strerror(errno) + ")");
  json root;
  try {
    root = json::parse(file.get());
  } catch (const json::exception& e) {
    return read.fail(std::string("is not valid JSON: ") + e.what());
  }
  if (!read.object(root, "the document")) return false;

  if (!read.string(root, "output_path", config.output_path) ||
      !read.string(root, "input_pointcloud", config.input_pointcloud) ||
      !read.number(root, "downsample_size", config.downsample_size) ||
      !read.number(root, "map_resolution", config.map_resolution)) {
    return false;
  }
  const auto transform = root.find("transform_matrix");
  if (transform == root.end()) return read.fail("member \"transform_matrix\" is missing");
  if (!read.object(*transform, "transform_matrix")) return false;
  std::vector<double> rotation, translation;
  if (!read.numbers(*transform, "rotation", rotation) ||
      !read.numbers(*transform, "translation", translation)) {
    return false;
  }
  CHECK(rotation.size() == 4);
  CHECK(translation.size() == 3);
  // The transform is applied in single precision: a larger value would turn
  // every point of map.pcd into infinities or NaN.
  for (const auto& member : {std::make_pair("rotation", &rotation),
                             std::make_pair("translation", &translation)}) {
    for (const double value : *member.second) {
      if (std::fabs(value) > std::numeric_limits<float>::max()) {
        std::ostringstream text;
        text << "member \"" << member.first << "\" holds " << value
             << ", beyond single precision";
        return read.fail(text.str());
      }
    }
  }
  config.transform_matrix = rigidTransform(
      static_cast<float>(rotation[0]), static_cast<float>(rotation[1]),
      static_cast<float>(rotation[2]), static_cast<float>(rotation[3]),
      Eigen::Vector3d(translation[0], translation[1], translation[2]).cast<float>());

  std::vector<double> origin;
  if (!read.numbers(root, "sensor_origin", origin)) return false;
  if (origin.size() < 3) {
    return read.fail("member \"sensor_origin\" must hold three numbers x, y, z, not " +
                     std::to_string(origin.size()));
  }
  config.sensor_origin = Eigen::Vector3d(origin[0], origin[1], origin[2]).cast<float>();

  const auto floors = root.find("floors");
  if (floors == root.end()) return true;
  for (const json* floor : floorElements(*floors)) {
    if (!read.object(*floor, "floors")) return false;
    double min_height = 0.0, max_height = 0.0;
    std::string name;
    if (!read.number(*floor, "min_height", min_height) ||
        !read.number(*floor, "max_height", max_height) ||
        !read.string(*floor, "floor_name", name)) {
      return false;
    }
    config.floors.emplace_back(name, max_height, min_height);
  }
  return true;
}

const char kUsage[] =
    "\nmap_generator Usage:"
    "\nmap_generator"
    "\nmap_generator <path/to/config/file>"
    "\nmap_generator <output-path> <pointcloud-path> <min_height> <max_height>"
    "\nmap_generator <output-path> <pointcloud-path> <min_height> <max_height> <downsample_size> "
    "<map_resolution>";

}  // namespace

Eigen::Matrix4f rigidTransform(float w, float x, float y, float z, const Eigen::Vector3f& t) {
  // In double: the squares of a quaternion scaled beyond 1e19 overflow a float.
  const double norm_squared = double{w} * w + double{x} * x + double{y} * y + double{z} * z;
  if (norm_squared > 0.0) {
    const double norm = std::sqrt(norm_squared);
    w = static_cast<float>(w / norm);
    x = static_cast<float>(x / norm);
    y = static_cast<float>(y / norm);
    z = static_cast<float>(z / norm);
  }
  const float tx = 2 * x, ty = 2 * y, tz = 2 * z;
  const float twx = tx * w, twy = ty * w, twz = tz * w;
  const float txx = tx * x, txy = ty * x, txz = tz * x;
  const float tyy = ty * y, tyz = tz * y, tzz = tz * z;
  Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
  m(0, 0) = 1 - (tyy + tzz);
  m(0, 1) = txy - twz;
  m(0, 2) = txz + twy;
  m(1, 0) = txy + twz;
  m(1, 1) = 1 - (txx + tzz);
  m(1, 2) = tyz - twx;
  m(2, 0) = txz - twy;
  m(2, 1) = tyz + twx;
  m(2, 2) = 1 - (txx + tyy);
  m.block<3, 1>(0, 3) = t;
  return m;
}

std::string describeRun(const RunSummary& summary) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(2);
  text << "Maps done in " << summary.total_seconds << " s: " << summary.points_loaded
       << " points loaded (" << summary.load_seconds << " s), " << summary.points_thinned
       << " after thinning (" << summary.thin_seconds << " s), transform "
       << summary.transform_seconds << " s, map.pcd written in " << summary.write_seconds << " s";
  for (const RunSummary::Floor& floor : summary.floors) {
    const double total = static_cast<double>(floor.width * floor.height);
    auto share = [total](uint64_t cells) { return total > 0 ? 100.0 * cells / total : 0.0; };
    text << "\n  floor " << floor.name << ": " << floor.band_points << " points in its band, grid "
         << floor.width << " x " << floor.height << " cells (" << floor.width * floor.resolution
         << " m x " << floor.height * floor.resolution << " m at " << floor.resolution
         << " m), occupied " << floor.occupied << " (" << share(floor.occupied) << " %), free "
         << floor.free << " (" << share(floor.free) << " %), unknown " << floor.unknown << " ("
         << share(floor.unknown) << " %); octree " << floor.octree_seconds << " s, projection "
         << floor.projection_seconds << " s, export " << floor.export_seconds << " s";
  }
  return text.str();
}

double singlePrecisionError(double max_abs) {
  if (!(max_abs > 0.0)) return 0.0;
  int exponent = 0;
  std::frexp(max_abs, &exponent);
  // Floats carry 24 significant bits; rounding is off by half a spacing at most.
  return std::ldexp(1.0, exponent - 25);
}

std::string fileExtension(const std::string& path) {
  const size_t dot = path.rfind('.');
  return dot == std::string::npos ? path : path.substr(dot + 1);
}

void help() { LOG(INFO) << kUsage; }

NavMapGenerator::NavMapGenerator() {
  loaders_["las"] = std::bind(&NavMapGenerator::lasLoader, this, std::placeholders::_1);
  loaders_["obj"] = std::bind(&NavMapGenerator::objLoader, this, std::placeholders::_1);
  loaders_["pcd"] = std::bind(&NavMapGenerator::pcdLoader, this, std::placeholders::_1);
  loaders_["ply"] = std::bind(&NavMapGenerator::plyLoader, this, std::placeholders::_1);
  pointcloud_ = std::make_shared<Cloud>();
  CHECK_NOTNULL(pointcloud_);
  map_postprocesser_ = std::make_shared<MapPostProcess>();
  CHECK_NOTNULL(map_postprocesser_);
}

NavMapGenerator::~NavMapGenerator() = default;

bool NavMapGenerator::loadConfig(const std::string& path) {
  boost::system::error_code fs_error;
  if (!boost::filesystem::exists(path, fs_error)) {
    if (fs_error && fs_error != boost::system::errc::no_such_file_or_directory) {
      LOG(ERROR) << path << ": cannot be examined (" << fs_error.message() << ")";
      LOG(ERROR) << "Failed to  load config ";
      return false;
    }
    LOG(ERROR) << path << " does not exist...";
    return false;
  }

  std::string error;
  if (!readConfigFile(path, config_, error)) {
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
  if (!generatePCDMap()) {
    LOG(ERROR) << "Failed to generate pcd map";
    return false;
  }
  for (const Config::Floor& floor : config_.floors) {
    LOG(INFO) << "Generate Nav Map for :" << floor.name;
    if (!generateFloorMap(floor)) return false;
  }
  summary_.total_seconds = run_time.seconds();
  LOG(INFO) << describeRun(summary_);
  return true;
}

bool NavMapGenerator::generateFloorMap(const Config::Floor& floor) {
  MapPostProcess& post = *map_postprocesser_;
  post.max_height_ = floor.max_height;
  post.min_height_ = floor.min_height;
  post.resolution_ = config_.map_resolution;
  const Eigen::Vector3f& origin = config_.sensor_origin;
  post.sensor_origin_ = octomath::Vector3(origin.x(), origin.y(), origin.z());
  RunSummary::Floor figures;
  figures.name = floor.name;
  Stopwatch stage;
  if (!post.constructOctMap(pointcloud_)) {
    LOG(ERROR) << "Failed to construct octomap";
    return false;
  }
  figures.octree_seconds = stage.seconds();
  stage = Stopwatch();
  if (!post.generateNavMap()) {
    LOG(ERROR) << "Failed to generate nav map";
    return false;
  }
  figures.projection_seconds = stage.seconds();
  stage = Stopwatch();
  if (!post.saveNavMaps(config_.output_path, floor.name)) {
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
  summary_.floors.push_back(figures);
  return true;
}

bool NavMapGenerator::generatePCDMap() {
  const std::string& input = config_.input_pointcloud;
  const double leaf_size = config_.downsample_size;
  // The thinning works in single precision: the value must survive narrowing.
  const float leaf = static_cast<float>(leaf_size);
  if (!(leaf > 0.0f) || !std::isfinite(leaf)) {
    LOG(ERROR) << "invalid downsample_size: " << leaf_size << " (must be positive and finite)";
    return false;
  }

  boost::system::error_code fs_error;
  if (!boost::filesystem::exists(input, fs_error)) {
    if (fs_error && fs_error != boost::system::errc::no_such_file_or_directory) {
      LOG(ERROR) << input << ": cannot be examined (" << fs_error.message() << ")";
    } else {
      LOG(ERROR) << input << " dose not exist.";
    }
    return false;
  }

  const std::string extension = fileExtension(input);
  const auto loader = loaders_.find(extension);
  if (loader == loaders_.end()) {
    LOG(ERROR) << extension << " format pointcloud is not suppurted now";
    return false;
  }
  Stopwatch stage;
  if (!loader->second(input)) {
    LOG(ERROR) << "failed to load map: " << input;
    return false;
  }
  if (pointcloud_->points.empty()) {
    LOG(WARNING) << "pointcloud map is empty";
    return false;
  }
  summary_.load_seconds = stage.seconds();
  summary_.points_loaded = pointcloud_->points.size();
  warnAboutCoordinates();

  stage = Stopwatch();
  ProgressLog thinning("thinning", "points");
  pointcloud_->points = voxelDownsample(pointcloud_->points, leaf, [&](uint64_t done, uint64_t total) {
    thinning.update(done / 2, total / 2);  // every point is counted twice
  });
  pointcloud_->width = static_cast<uint32_t>(pointcloud_->points.size());
  pointcloud_->height = 1;
  pointcloud_->is_dense = true;
  summary_.thin_seconds = stage.seconds();
  summary_.points_thinned = pointcloud_->points.size();
  LOG(INFO) << "pointcloud size: " << pointcloud_->points.size() << " after downsampling.";

  stage = Stopwatch();
  pcl::transformPointCloud(*pointcloud_, *pointcloud_, config_.transform_matrix);
  summary_.transform_seconds = stage.seconds();

  if (!ensureDirectory(config_.output_path)) {
    LOG(ERROR) << "Failed to create directory: " << config_.output_path;
    return false;
  }

  const std::string map_file = config_.output_path + "/map.pcd";
  stage = Stopwatch();
  try {
    std::string write_error;
    const bool written = replaceFileAtomically(
        map_file,
        [&](const std::string& temp_path) {
          pcl::PCDWriter writer;
          return writer.writeBinary(temp_path, *pointcloud_) == 0;
        },
        &write_error);
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

void NavMapGenerator::warnAboutCoordinates() const {
  float max_abs = 0.0f;
  size_t not_finite = 0;
  for (const pcl::PointXYZ& p : pointcloud_->points) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
      ++not_finite;
    } else {
      max_abs = std::max({max_abs, std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
    }
  }
  if (not_finite > 0) {
    LOG(WARNING) << not_finite << " of " << pointcloud_->points.size()
                 << " points have a coordinate that is not a finite number and are left out";
  }
  const double error = singlePrecisionError(max_abs);
  if (error > 0.1 * config_.downsample_size) {
    LOG(WARNING) << "coordinates reach " << std::fixed << std::setprecision(1) << max_abs
                 << std::defaultfloat << std::setprecision(6) << " m, where single precision holds a point "
                 << "only to " << error << " m, more than a tenth of the voxel size "
                 << config_.downsample_size << " m: points may be off by that much. Export the "
                 << "cloud in local coordinates (subtract the site's offset) for exact maps";
  }
}

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
  pcl::PLYReader reader;
  return loadCheckedCloud(path, CloudFileFormat::kPly, "ply", reader, *pointcloud_);
}

bool NavMapGenerator::pcdLoader(const std::string& path) {
  LOG(INFO) << "processing pointcloud with .pcd format...";
  pcl::PCDReader reader;
  return loadCheckedCloud(path, CloudFileFormat::kPcd, "pcd", reader, *pointcloud_);
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

int runMapGenerator(int argc, char** argv) {
  google::InitGoogleLogging(argv[0]);
  FLAGS_alsologtostderr = true;
  FLAGS_colorlogtostderr = true;
  pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);

  try {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
      help();
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::printf("map_generator %s\n", MAP_GENERATOR_VERSION);
      return 0;
    }

    NavMapGenerator generator;
    switch (argc - 1) {
      case 0:
        if (!generator.loadConfig("config.json")) return -1;
        break;
      case 1:
        if (!generator.loadConfig(argv[1])) return -1;
        break;
      case 4: {
        Config& config = generator.config_;
        config.output_path = argv[1];
        config.input_pointcloud = argv[2];
        const double max_height = std::strtod(argv[4], nullptr);
        const double min_height = std::strtod(argv[3], nullptr);
        config.floors.emplace_back("L1", max_height, min_height);
        config.downsample_size = 0.1;
        config.map_resolution = 0.1;
        break;
      }
      default:
        help();
        return -1;
    }
    return generator.run() ? 0 : 1;
  } catch (const std::exception& e) {
    LOG(ERROR) << "map_generator stopped by an unexpected error: " << e.what();
  } catch (...) {
    LOG(ERROR) << "map_generator stopped by an unexpected error";
  }
  return 1;
}

}  // namespace korvane_navigation
