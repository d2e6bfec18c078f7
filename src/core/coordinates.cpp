#include "core/coordinates.h"

#include <cmath>

namespace korvane_navigation {

Eigen::Matrix4f rigidTransform(float w, float x, float y, float z, const Eigen::Vector3f& t) {
  // In double: the squares of a quaternion scaled beyond 1e19 overflow a float.
  const double norm_squared = double{w} * w + double{x} * x + double{y} * y + double{z} * z;
  if (norm_squared > 0.0) {
    const double norm = std::sqrt(norm_squared);
    w = static_cast<float>(w / norm);
    x = static_cast<float>(x / norm);
    y = static_cast<float>(y / norm);
    z = static_cast<float>(z / norm);
  }
  const float tx = 2 * x, ty = 2 * y, tz = 2 * z;
  const float twx = tx * w, twy = ty * w, twz = tz * w;
  const float txx = tx * x, txy = ty * x, txz = tz * x;
  const float tyy = ty * y, tyz = tz * y, tzz = tz * z;
  Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
  m(0, 0) = 1 - (tyy + tzz);
  m(0, 1) = txy - twz;
  m(0, 2) = txz + twy;
  m(1, 0) = txy + twz;
  m(1, 1) = 1 - (txx + tzz);
  m(1, 2) = tyz - twx;
  m(2, 0) = txz - twy;
  m(2, 1) = tyz + twx;
  m(2, 2) = 1 - (txx + tyy);
  m.block<3, 1>(0, 3) = t;
  return m;
}

double singlePrecisionError(double max_abs) {
  if (!(max_abs > 0.0)) return 0.0;
  int exponent = 0;
  std::frexp(max_abs, &exponent);
  // Floats carry 24 significant bits; rounding is off by half a spacing at most.
  return std::ldexp(1.0, exponent - 25);
}

}  // namespace korvane_navigation
