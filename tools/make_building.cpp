// make_building: writes a synthetic building scan as a LAS, LAZ, E57, PCD or PLY file.
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>

#include "synthetic_building.h"

using namespace korvane_navigation;

namespace {

const char kUsage[] =
    "usage: make_building <output.las|.laz|.e57|.pcd|.ply> [--preset demo|bench] [--scale S] [--density D]\n"
    "                     [--seed N] [--layout layout.json]\n"
    "\n"
    "Writes a deterministic synthetic building scan: LAS 1.2, point format 0, 1 mm resolution (LAS 1.4\n"
    "beyond 2^32 points); when the name ends in .laz, the same compressed as LAZ (chunks of 50,000\n"
    "points); when it ends in .e57, E57 with four scans (one per scanner station), 0.1 mm resolution;\n"
    "when it ends in .pcd or .ply, binary PCD (float x y z intensity) or PLY (double x y z, float\n"
    "intensity), as SLAM pipelines write their maps.\n"
    "The points are written as they are generated, so the file may be far larger than memory.\n"
    "  --preset demo   two storeys, 20 m x 12 m, about a million points (default)\n"
    "  --preset bench  three storeys, 80 m x 50 m and over 20 million points at scale 1\n"
    "  --scale S       bench only: multiplies both footprint sides by S\n"
    "  --density D     multiplies the points per square metre of the building's surfaces by D (the\n"
    "                  sampling step shrinks by the square root of D): 8 gives about 275 million points\n"
    "                  (5.5 GB) for the bench building at scale 1, 30 about a billion (20 GB)\n"
    "  --seed N        varies the floor plan, furniture and noise (same seed, same file)\n"
    "  --layout PATH   also writes the floor plan as JSON, for people\n";

int fail(const std::string& message) {
  std::cerr << "make_building: " << message << "\n" << "run 'make_building --help' for usage\n";
  return 2;
}

bool parseDouble(const std::string& text, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && errno == 0;
}

// The name's last four characters in lower case: ".e57", ".laz", ...
std::string extensionOf(const std::string& path) {
  if (path.size() < 4) return "";
  std::string extension = path.substr(path.size() - 4);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

bool parseSeed(const std::string& text, uint64_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 10);
  return end == text.c_str() + text.size() && errno == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output, preset = "demo", layout_path;
  double scale = 1.0, density = 1.0;
  bool scale_given = false, seed_given = false;
  uint64_t seed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    const bool takes_value =
        arg == "--preset" || arg == "--scale" || arg == "--density" || arg == "--seed" || arg == "--layout";
    if (takes_value && i + 1 >= argc) return fail(arg + " needs a value");
    if (arg == "--preset") {
      preset = argv[++i];
      if (preset != "demo" && preset != "bench") return fail("unknown preset '" + preset + "' (demo or bench)");
    } else if (arg == "--scale") {
      const std::string text = argv[++i];
      if (!parseDouble(text, scale) || !(scale > 0) || scale > 1000)
        return fail("--scale must be a positive number, got '" + text + "'");
      scale_given = true;
    } else if (arg == "--density") {
      const std::string text = argv[++i];
      if (!parseDouble(text, density) || !(density > 0) || density > 10000)
        return fail("--density must be a positive number, got '" + text + "'");
    } else if (arg == "--seed") {
      const std::string text = argv[++i];
      if (!parseSeed(text, seed)) return fail("--seed must be a non-negative integer, got '" + text + "'");
      seed_given = true;
    } else if (arg == "--layout") {
      layout_path = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return fail("unknown option '" + arg + "'");
    } else if (output.empty()) {
      output = arg;
    } else {
      return fail("more than one output file given ('" + output + "', '" + arg + "')");
    }
  }
  if (output.empty()) return fail("no output file given");
  if (scale_given && preset != "bench") return fail("--scale only applies to --preset bench");

  try {
    BuildingParameters params = preset == "bench" ? benchmarkBuilding(scale) : demoBuilding();
    if (seed_given) params.seed = seed;
    params.point_spacing /= std::sqrt(density);
    const BuildingLayout layout = planBuilding(params);

    // The layout is quick to write, so a bad path fails before the long part.
    if (!layout_path.empty()) {
      std::ofstream out(layout_path, std::ios::binary | std::ios::trunc);
      out << layoutJson(params, layout);
      out.close();
      if (!out) {
        std::cerr << "make_building: cannot write " << layout_path << ": " << std::strerror(errno) << "\n";
        return 1;
      }
    }

    const auto start = std::chrono::steady_clock::now();
    const std::string extension = extensionOf(output);
    const BuildingLasResult result = extension == ".e57"   ? writeBuildingE57(output, params, layout)
                                     : extension == ".laz" ? writeBuildingLaz(output, params, layout)
                                     : extension == ".pcd" || extension == ".ply"
                                         ? writeBuildingCloud(output, params, layout)
                                                           : writeBuildingLas(output, params, layout);
    if (!result.ok) {
      std::cerr << "make_building: " << result.error << "\n";
      return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("wrote %llu points to %s in %.2f s\n", static_cast<unsigned long long>(result.points),
                output.c_str(), seconds);
    std::printf("footprint %.1f m x %.1f m, %d storeys (z 0 to %.2f m), seed %llu\n", layout.width, layout.depth,
                static_cast<int>(layout.storeys.size()), layout.roofTop(),
                static_cast<unsigned long long>(params.seed));
    for (size_t s = 0; s < layout.storeys.size(); ++s)
      std::printf("  storey %zu: floor z %.2f, ceiling z %.2f\n", s, layout.storeys[s].floor_z,
                  layout.storeys[s].ceiling_z);
  } catch (const std::exception& e) {
    std::cerr << "make_building: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
