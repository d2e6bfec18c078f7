#include "app/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <glog/logging.h>
#include <pcl/console/print.h>

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

}  // namespace

void help() { LOG(INFO) << kUsage; }

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
