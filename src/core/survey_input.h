// Survey files read into point vectors.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <string>

#include "core/progress.h"
#include "formats/las_reader.h"

namespace korvane_navigation {

// Reads a LAS file's points into `cloud`: as many as the file really holds,
// fewer than its header declares when it is truncated.
LasReadResult readLasCloud(const std::string& path, pcl::PointCloud<pcl::PointXYZ>& cloud,
                           const ProgressCallback& progress = nullptr);

}  // namespace korvane_navigation
