// Coordinates in single precision: the rigid transform into the map frame and
// how far rounding to float can move a point.
#pragma once

#include <Eigen/Core>

namespace korvane_navigation {

// Rigid transform p -> R p + t from a quaternion (w, x, y, z), normalised
// first; the all-zero quaternion gives the identity rotation.
Eigen::Matrix4f rigidTransform(float w, float x, float y, float z, const Eigen::Vector3f& t);

// The largest error of rounding a coordinate of magnitude up to `max_abs`
// to single precision (half the spacing of floats there).
double singlePrecisionError(double max_abs);

}  // namespace korvane_navigation
