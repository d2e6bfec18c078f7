#include "core/coordinates.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvane_navigation {

Eigen::Affine3d rigidTransform(double w, double x, double y, double z, const Eigen::Vector3d& t) {
  Eigen::Affine3d transform = Eigen::Affine3d::Identity();
  const Eigen::Quaterniond rotation(w, x, y, z);
  if (rotation.squaredNorm() > 0.0) transform.linear() = rotation.normalized().toRotationMatrix();
  transform.translation() = t;
  return transform;
}

double singlePrecisionError(double max_abs) {
  if (!(max_abs > 0.0)) return 0.0;
  int exponent = 0;
  std::frexp(max_abs, &exponent);
  // Floats carry 24 significant bits; rounding is off by half a spacing at most.
  return std::ldexp(1.0, exponent - 25);
}

double largestCoordinate(const PointVector& points) {
  const PointBounds bounds = finiteBounds(points);
  if (bounds.empty()) return 0.0;
  float largest = 0.0f;
  for (int i = 0; i < 3; ++i) largest = std::max({largest, std::fabs(bounds.lo[i]), std::fabs(bounds.hi[i])});
  return largest;
}

double octreeReach(double resolution) { return 32768.0 * resolution; }

std::optional<Eigen::Vector3d> shiftIntoOctreeReach(const PointVector& points, double resolution) {
  // A sample of about a million points gives the median to well under a metre.
  const std::size_t step = std::max<std::size_t>(1, points.size() / (std::size_t{1} << 20));
  std::vector<float> values;
  Eigen::Vector3d shift = Eigen::Vector3d::Zero();
  bool beyond = false;
  for (int axis = 0; axis < 3; ++axis) {
    values.clear();
    for (std::size_t i = 0; i < points.size(); i += step) {
      const float v = points[i].data[axis];
      if (std::isfinite(v)) values.push_back(v);
    }
    if (values.empty()) return std::nullopt;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (std::fabs(*middle) >= octreeReach(resolution)) {
      shift[axis] = -std::round(static_cast<double>(*middle));
      beyond = true;
    }
  }
  if (!beyond) return std::nullopt;
  return shift;
}

}  // namespace korvane_navigation
