#include "octomap_oracle.h"

#include <cstdio>

namespace korvane_navigation {


std::unique_ptr<octomap::OcTree> octomapTreeOfBand(const PointVector& points, double resolution,
                                                   double min_z, double max_z, const octomap::point3d& origin) {
  auto tree = std::make_unique<octomap::OcTree>(resolution);
  const float lo = static_cast<float>(min_z), hi = static_cast<float>(max_z);
  octomap::Pointcloud band;
  for (const pcl::PointXYZ& p : points) {
    if (isFinite(p) && p.z >= lo && p.z <= hi) band.push_back(p.x, p.y, p.z);
  }
  tree->insertPointCloud(band, origin, -1.0, false, false);
  return tree;
}

std::unique_ptr<GridMap> projectTree(octomap::OcTree& tree) {
  if (tree.size() <= 1) return nullptr;
  double min_x, min_y, min_z, max_x, max_y, max_z;
  tree.getMetricMin(min_x, min_y, min_z);
  tree.getMetricMax(max_x, max_y, max_z);
  const double resolution = tree.getResolution();
  const auto columns = gridKeyRange(min_x, max_x, resolution);
  const auto rows = gridKeyRange(min_y, max_y, resolution);
  const octomap::OcTreeKey min_key(columns.first, rows.first, 0);
  auto grid = std::make_unique<GridMap>(columns.count, rows.count, resolution);
  // The first cell's centre in double precision: the maps' origins have
  // always been placed from it.
  grid->origin = {tree.keyToCoord(min_key[0]) - 0.5 * resolution, tree.keyToCoord(min_key[1]) - 0.5 * resolution,
                  0.0};
  for (auto it = tree.begin_leafs(), end = tree.end_leafs(); it != end; ++it) {
    projectLeaf(*grid, min_key, it.getIndexKey(), 1u << (tree.getTreeDepth() - it.getDepth()),
                                    tree.isNodeOccupied(*it));
  }
  return grid;
}

std::string gridDifference(const GridMap* ours, const GridMap* reference) {
  char text[160];
  if (!ours || !reference) return ours == reference ? "" : "one of the two made no grid";
  if (ours->width != reference->width || ours->height != reference->height) {
    std::snprintf(text, sizeof text, "ours is %llu x %llu cells, octomap's %llu x %llu",
                  static_cast<unsigned long long>(ours->width), static_cast<unsigned long long>(ours->height),
                  static_cast<unsigned long long>(reference->width), static_cast<unsigned long long>(reference->height));
    return text;
  }
  if (ours->origin != reference->origin) {
    std::snprintf(text, sizeof text, "the origins differ: ours %.17g %.17g, octomap's %.17g %.17g", ours->origin[0],
                  ours->origin[1], reference->origin[0], reference->origin[1]);
    return text;
  }
  for (size_t i = 0; i < ours->data.size(); ++i) {
    if (ours->data[i] != reference->data[i]) {
      std::snprintf(text, sizeof text, "cell %zu: ours %d, octomap's %d", i, ours->data[i], reference->data[i]);
      return text;
    }
  }
  return "";
}

}  // namespace korvane_navigation
