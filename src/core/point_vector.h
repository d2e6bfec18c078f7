// The plain point vector the stages pass along: PCL's own storage, so a
// cloud's points move in and out of pcl::PointCloud without a copy.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace korvane_navigation {

using PointVector = pcl::PointCloud<pcl::PointXYZ>::VectorType;

inline bool isFinite(const pcl::PointXYZ& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }
inline bool isFinite(const double xyz[3]) {
  return std::isfinite(xyz[0]) && std::isfinite(xyz[1]) && std::isfinite(xyz[2]);
}

// A voxel or cell edge the stages can divide by: positive, finite, and with
// a finite inverse.
inline bool isCellSize(double size) { return size > 0.0 && std::isfinite(size) && std::isfinite(1.0 / size); }

// The box of a set of finite points; empty until a point is added.
struct PointBounds {
  float lo[3] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                 std::numeric_limits<float>::max()};
  float hi[3] = {std::numeric_limits<float>::lowest(), std::numeric_limits<float>::lowest(),
                 std::numeric_limits<float>::lowest()};

  bool empty() const { return lo[0] > hi[0]; }
  void add(const pcl::PointXYZ& p) {
    const float c[3] = {p.x, p.y, p.z};
    for (int i = 0; i < 3; ++i) {
      lo[i] = std::min(lo[i], c[i]);
      hi[i] = std::max(hi[i], c[i]);
    }
  }
};

// The box of the points with finite coordinates.
inline PointBounds finiteBounds(const PointVector& points) {
  PointBounds bounds;
  for (const pcl::PointXYZ& p : points) {
    if (isFinite(p)) bounds.add(p);
  }
  return bounds;
}

}  // namespace korvane_navigation
