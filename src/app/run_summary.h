// Figures of one run, logged as its summary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane_navigation {

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
  double write_seconds = 0.0;
  std::vector<Floor> floors;
  double total_seconds = 0.0;
};

std::string describeRun(const RunSummary& summary);

}  // namespace korvane_navigation
