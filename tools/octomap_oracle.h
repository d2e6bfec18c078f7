// octomap's own tree of a floor's band and its projection: the reference the
// floor stage's grids are held against, in the tests and the benchmarks.
#pragma once

#include <memory>
#include <octomap/OcTree.h>
#include <string>

#include "core/point_vector.h"
#include "map_postprocess.h"

namespace korvane_navigation {

// octomap's insertPointCloud of the points with min_z <= z <= max_z: every
// crossed cell one miss, every end cell one hit, occupied winning.
std::unique_ptr<octomap::OcTree> octomapTreeOfBand(const PointVector& points, double resolution,
                                                   double min_z, double max_z, const octomap::point3d& origin);

// The tree projected leaf by leaf over its metric bounds; none for a tree of
// at most its root.
std::unique_ptr<GridMap> projectTree(octomap::OcTree& tree);

// Empty when the grids agree in extent, origin and every cell, else where they part.
std::string gridDifference(const GridMap* ours, const GridMap* reference);

}  // namespace korvane_navigation
