// The plain point vector the stages pass along: PCL's own storage, so a
// cloud's points move in and out of pcl::PointCloud without a copy.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace korvane_navigation {

using PointVector = pcl::PointCloud<pcl::PointXYZ>::VectorType;

}  // namespace korvane_navigation
