#include "command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>
#include <string>
#include <glog/logging.h>
#include <pcl/console/print.h>

#include "core/coordinates.h"
#include "core/storey_finder.h"
#include "support/atomic_file.h"
#include "map_generator.h"

namespace korvane_navigation {

namespace {

const char kUsage[] =
    "\nmap_generator Usage:"
    "\nmap_generator"
    "\nmap_generator <path/to/config/file>"
    "\nmap_generator <output-path> <pointcloud-path> <min_height> <max_height>"
    "\nmap_generator <output-path> <pointcloud-path> <min_height> <max_height> <downsample_size> "
    "<map_resolution>"
    "\nmap_generator --suggest-floors [path/to/config/file] [--robot-height <metres>]";

// The whole argument as one finite number: strtod alone would take "1.5m" as
// 1.5 and "abc" as 0, and the run would map the wrong band.
bool parseNumber(const char* text, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && errno != ERANGE && std::isfinite(value);
}

// Fills `config` from the positional form: output path, cloud path, the
// band's lower and upper height and, optionally, the voxel size and the map
// resolution. False, after an ERROR naming the argument, when a number is not one.
const char* const kPositionalNames[] = {"<output-path>", "<pointcloud-path>", "<min_height>",
                                        "<max_height>", "<downsample_size>", "<map_resolution>"};

// The configuration members the positional arguments fill, in their order.
const char* const kPositionalMembers[] = {"output_path",   "input_pointcloud", "min_height",
                                          "max_height",    "downsample_size",  "map_resolution"};

// Names an argument where a check of the configuration names a member.
std::string positionalArgumentName(const std::string& member) {
  for (int i = 0; i < 6; ++i) {
    if (member == kPositionalMembers[i]) {
      return "argument " + std::to_string(i + 1) + " " + kPositionalNames[i];
    }
  }
  return jsonMemberName(member);
}

bool readPositionalArguments(int count, char** args, Config& config) {
  double numbers[6] = {0.0, 0.0, 0.0, 0.0, 0.1, 0.1};
  for (int i = 2; i < count; ++i) {
    if (!parseNumber(args[i], numbers[i])) {
      LOG(ERROR) << "argument " << i + 1 << " " << kPositionalNames[i] << " must be a number, not \""
                 << args[i] << "\"";
      return false;
    }
  }
  config.output_path = args[0];
  config.input_pointcloud = args[1];
  config.floors.emplace_back("L1", numbers[3], numbers[2]);
  config.downsample_size = numbers[4];
  config.map_resolution = numbers[5];
  return true;
}

// One INFO record per storey: its floor, its ceiling and its band.
void logStoreys(const std::vector<FoundStorey>& storeys, const std::string& prefix) {
  for (size_t i = 0; i < storeys.size(); ++i) {
    const FoundStorey& storey = storeys[i];
    std::ostringstream line;
    line << std::fixed << std::setprecision(2) << prefix << "L" << i + 1 << ": floor at " << storey.floor_height
         << " m covering " << std::setprecision(0) << 100 * storey.floor_coverage << " % of the footprint, ";
    if (storey.ceiling_height) {
      line << std::setprecision(2) << "ceiling at " << *storey.ceiling_height << " m covering "
           << std::setprecision(0) << 100 * storey.ceiling_coverage << " %";
    } else {
      line << "no ceiling scanned";
    }
    line << std::setprecision(2) << ", confidence " << storey.confidence << "; band "
         << storey.band_min_height << " to " << storey.band_max_height << " m";
    LOG(INFO) << line.str();
  }
}

// `--suggest-floors [config.json] [--robot-height <m>]`, the option before
// or after the path: the storeys found in the configured cloud, as the
// "floors" member to paste into the configuration, on standard output;
// nothing is written.
int suggestFloors(int count, char** args) {
  std::string config_path = "config.json";
  bool path_given = false;
  StoreyFinderOptions options;
  for (int i = 0; i < count; ++i) {
    if (std::strcmp(args[i], "--robot-height") == 0 && i + 1 < count) {
      if (!parseNumber(args[++i], options.robot_height) || !(options.robot_height > 0.0)) {
        LOG(ERROR) << "--robot-height must be a positive number of metres, not \"" << args[i] << "\"";
        return -1;
      }
    } else if (args[i][0] != '-' && !path_given) {
      config_path = args[i];
      path_given = true;
    } else {
      LOG(ERROR) << "unknown argument to --suggest-floors: \"" << args[i] << "\"";
      help();
      return -1;
    }
  }
  NavMapGenerator generator;
  // The floors are what is being looked for: the file's own are not used.
  if (!generator.loadConfig(config_path, FloorsMember::kIgnored)) return -1;
  if (!generator.prepareCloud()) return 1;
  options.voxel_size = generator.config_.downsample_size;
  StoreySurvey survey;
  try {
    survey = surveyStoreys(generator.pointcloud().points, options);
  } catch (const std::invalid_argument& e) {
    LOG(ERROR) << "--robot-height " << options.robot_height << " leaves no band: " << e.what();
    return -1;
  }
  const std::string& cloud = generator.config_.input_pointcloud;
  if (!survey.cannot_judge.empty()) {
    LOG(ERROR) << "cannot judge the storeys of " << cloud << ": " << survey.cannot_judge;
    return 1;
  }
  if (survey.parts.empty()) {
    LOG(ERROR) << "no floor found in " << cloud
               << ": no horizontal surface covers a large share of the building's footprint";
    return 1;
  }
  if (!survey.partsDisagree()) {
    logStoreys(survey.storeys, "");
  } else {
    LOG(WARNING) << "the " << survey.parts.size() << " parts of the footprint of " << cloud
                 << " have storeys at different heights: no band fits them all, so each part gets its own"
                    " bands, right for that part only";
    for (size_t i = 0; i < survey.parts.size(); ++i) {
      const StoreyPart& part = survey.parts[i];
      std::ostringstream line;
      line << std::fixed << std::setprecision(2) << partName(i) << ": x from " << part.min_x << " to " << part.max_x
           << " m, y from " << part.min_y << " to " << part.max_y << " m, " << part.points << " points, "
           << part.storeys.size() << (part.storeys.size() == 1 ? " storey" : " storeys");
      LOG(WARNING) << line.str();
      logStoreys(part.storeys, partName(i) + "-");
    }
  }
  // A cloud left far from the origin would fall outside every floor's
  // octree: the suggestion carries the translation that brings it home, and
  // bands in the frame that translation makes.
  const std::optional<Eigen::Vector3d> shift =
      shiftIntoOctreeReach(generator.pointcloud().points, generator.config_.map_resolution);
  if (shift) {
    const auto move = [&shift](std::vector<FoundStorey>& storeys) {
      for (FoundStorey& storey : storeys) {
        storey.band_min_height += shift->z();
        storey.band_max_height += shift->z();
      }
    };
    move(survey.storeys);
    for (StoreyPart& part : survey.parts) move(part.storeys);
  }
  std::string json = suggestedFloorsJson(survey);
  if (shift) {
    Eigen::Affine3d transform = generator.config_.transform_matrix;
    transform.translation() += *shift;
    json.insert(json.rfind('}'), ", \"transform_matrix\": " + transformMatrixJson(transform));
    LOG(WARNING) << "the cloud lies far from the map frame's origin: the suggestion moves it by "
                 << translationJson(*shift) << " m";
  }
  // Into a file or a pipe the answer is all there is: a failed write must not
  // end as a success.
  const std::string answer = json + "\n";
  errno = 0;
  const bool written = std::fwrite(answer.data(), 1, answer.size(), stdout) == answer.size();
  if (std::fflush(stdout) != 0 || !written || std::ferror(stdout)) {
    LOG(ERROR) << "cannot write the suggested floors to standard output ("
               << (errno != 0 ? std::strerror(errno) : "write error") << ")";
    return 1;
  }
  return 0;
}

}  // namespace

void help() { LOG(INFO) << kUsage; }

int runMapGenerator(int argc, char** argv) {
  google::InitGoogleLogging(argv[0]);
  FLAGS_alsologtostderr = true;
  FLAGS_colorlogtostderr = true;
  pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
  removeTemporaryOutputsOnSignals();

  try {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
      help();
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::printf("map_generator %s\n", MAP_GENERATOR_VERSION);
      return 0;
    }

    if (argc >= 2 && std::strcmp(argv[1], "--suggest-floors") == 0) {
      return suggestFloors(argc - 2, argv + 2);
    }

    NavMapGenerator generator;
    switch (argc - 1) {
      case 0:
        if (!generator.loadConfig("config.json")) return -1;
        break;
      case 1:
        if (!generator.loadConfig(argv[1])) return -1;
        break;
      case 4:
      case 6:
        if (!readPositionalArguments(argc - 1, argv + 1, generator.config_)) {
          help();
          return -1;
        }
        if (std::string error; !checkConfig(generator.config_, error, positionalArgumentName)) {
          LOG(ERROR) << error;
          help();
          return -1;
        }
        break;
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
