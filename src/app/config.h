// The run's configuration, from a JSON file or the positional arguments.
#pragma once

#include <Eigen/Geometry>
#include <functional>
#include <string>
#include <vector>

namespace korvane_navigation {

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
  // From the input's frame into the map frame, applied in double precision.
  Eigen::Affine3d transform_matrix = Eigen::Affine3d::Identity();
  Eigen::Vector3f sensor_origin = Eigen::Vector3f::Zero();
  double downsample_size = 0.05;
  double map_resolution = 0.05;

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

// Whether the "floors" member is read, or left out by a command that needs
// no floors (so that floors it could not use do not stop it).
enum class FloorsMember { kRead, kIgnored };

// Reads the configuration file, or a pipe, into `config`, member by member;
// on failure `error` names the member or the fault. A key given twice in one
// object is a fault.
bool readConfigFile(const std::string& path, Config& config, std::string& error,
                    FloorsMember floors = FloorsMember::kRead);

// Smallest voxel and map cell: below a micrometre the voxels of a site's
// extent outrun the thinning's indices, and below a tenth of a millimetre the
// map description's six decimals no longer hold the resolution to 1 %.
constexpr double kSmallestDownsampleSize = 1e-6;
constexpr double kSmallestMapResolution = 1e-4;

// How a fault names the holder of a value: the file's members by default
// (`member "map_resolution"`); the positional form names its arguments.
using MemberNamer = std::function<std::string(const std::string& member)>;
std::string jsonMemberName(const std::string& member);

// Whether the values can make a run: sizes the arithmetic and the map files
// can hold, an output folder, floor names that are plain file names and
// differ, bands whose lower bound is not above their upper, and an input that
// is not one of the outputs. On failure `error` names the member (through
// `name`) and its value.
bool checkConfig(const Config& config, std::string& error, const MemberNamer& name = jsonMemberName);

// The translation as the configuration writes it: "[x, y, z]".
std::string translationJson(const Eigen::Vector3d& translation);
// The transform as the configuration's "transform_matrix" member:
// {"rotation": [w, x, y, z], "translation": [x, y, z]}.
std::string transformMatrixJson(const Eigen::Affine3d& transform);

}  // namespace korvane_navigation
