#include "app/run_summary.h"

#include <iomanip>
#include <sstream>

namespace korvane_navigation {

std::string describeRun(const RunSummary& summary) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(2);
  text << "Maps done in " << summary.total_seconds << " s: " << summary.points_loaded
       << " points loaded (" << summary.load_seconds << " s), " << summary.points_thinned
       << " after thinning and moving into the map frame (" << summary.thin_seconds
       << " s), map.pcd written in " << summary.write_seconds << " s";
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

}  // namespace korvane_navigation
