#include "app/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <glog/logging.h>
#include <pcl/console/print.h>

#include "formats/atomic_file.h"
#include "map_generator.h"

namespace korvane_navigation {

namespace {

const char kUsage[] =
    "\nmap_generator Usage:"
    "\nmap_generator"
    "\nmap_generator <path/to/config/file>"
    "\nmap_generator <output-path> <pointcloud-path> <min_height> <max_height>"
    "\nmap_generator <output-path> <pointcloud-path> <min_height> <max_height> <downsample_size> "
    "<map_resolution>";

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
bool readPositionalArguments(int count, char** args, Config& config) {
  static const char* const kNames[] = {"<output-path>", "<pointcloud-path>", "<min_height>",
                                       "<max_height>", "<downsample_size>", "<map_resolution>"};
  double numbers[6] = {0.0, 0.0, 0.0, 0.0, 0.1, 0.1};
  for (int i = 2; i < count; ++i) {
    if (!parseNumber(args[i], numbers[i])) {
      LOG(ERROR) << "argument " << i + 1 << " " << kNames[i] << " must be a number, not \""
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
        if (std::string error; !checkConfig(generator.config_, error)) {
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
