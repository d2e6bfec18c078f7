// The cells a straight ray crosses, cell by cell, with exactly the
// arithmetic of octomap's computeRayKeys, so that a tree built from these
// cells is the tree octomap's own ray insertion builds.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>  // octomap/OcTreeKey.h uses it without including it
#include <octomap/OcTreeKey.h>
#include <octomap/octomap_types.h>

namespace korvane_navigation {

constexpr int kTreeCentreKey = 32768;  // key of the cell whose lower corner is 0
constexpr unsigned kTreeDepth = 16;

// The key of one coordinate at `inverse_resolution`, false when it lies outside
// the 16-bit key range (non-finite coordinates included).
inline bool coordinateToKey(double coordinate, double inverse_resolution, uint16_t& key) {
  const double cell = std::floor(inverse_resolution * coordinate);
  // Range test in double: the integer conversion of an out-of-range value is undefined.
  if (!(cell >= -kTreeCentreKey && cell < kTreeCentreKey)) return false;
  key = static_cast<uint16_t>(static_cast<int>(cell) + kTreeCentreKey);
  return true;
}

inline bool pointToKey(const octomap::point3d& p, double inverse_resolution, octomap::OcTreeKey& key) {
  return coordinateToKey(p.x(), inverse_resolution, key[0]) &&
         coordinateToKey(p.y(), inverse_resolution, key[1]) &&
         coordinateToKey(p.z(), inverse_resolution, key[2]);
}

// The walk of one ray, one cell at a time, with exactly the arithmetic of
// octomap's computeRayKeys: start() gives the origin's cell, then every
// advance() the next cell, until it returns false before the end point's
// cell. Like octomap's walk it can step one cell past the end key on an axis
// before it stops, and a key may wrap past the ends of the key range; callers
// bound what they store. Being resumable, several rays can be walked
// interleaved, which lets the processor overlap their dependency chains.
class RayWalk {
 public:
  // False when origin and end share a cell: the ray then crosses none.
  // Both keys must be valid.
  bool start(const octomap::point3d& origin, const octomap::point3d& end,
             const octomap::OcTreeKey& origin_key, const octomap::OcTreeKey& end_key,
             double resolution) {
    if (origin_key == end_key) return false;
    octomap::point3d direction = end - origin;
    length_ = static_cast<float>(direction.norm());
    direction /= length_;

    double t_max[3], t_delta[3];
    uint16_t step[3];
    for (unsigned i = 0; i < 3; ++i) {
      if (direction(i) > 0.0) {
        step[i] = 1;
      } else if (direction(i) < 0.0) {
        step[i] = static_cast<uint16_t>(-1);
      } else {
        step[i] = 0;
      }
      if (step[i] != 0) {
        const int sign = step[i] == 1 ? 1 : -1;
        double border =
            (static_cast<double>(static_cast<int>(origin_key[i]) - kTreeCentreKey) + 0.5) * resolution;
        border += static_cast<float>(sign * resolution * 0.5);
        t_max[i] = (border - origin(i)) / direction(i);
        t_delta[i] = resolution / std::fabs(direction(i));
      } else {
        t_max[i] = std::numeric_limits<double>::max();
        t_delta[i] = std::numeric_limits<double>::max();
      }
    }
    tx_ = t_max[0], ty_ = t_max[1], tz_ = t_max[2];
    dx_ = t_delta[0], dy_ = t_delta[1], dz_ = t_delta[2];
    sx_ = step[0], sy_ = step[1], sz_ = step[2];
    kx_ = origin_key[0], ky_ = origin_key[1], kz_ = origin_key[2];
    ex_ = end_key[0], ey_ = end_key[1], ez_ = end_key[2];
    return true;
  }

  // octomap's loop step, with the state in scalars rather than arrays indexed
  // by the axis, which keeps it in registers.
  bool advance() {
    if (tx_ < ty_) {
      if (tx_ < tz_) {
        kx_ = static_cast<uint16_t>(kx_ + sx_);
        tx_ += dx_;
      } else {
        kz_ = static_cast<uint16_t>(kz_ + sz_);
        tz_ += dz_;
      }
    } else if (ty_ < tz_) {
      ky_ = static_cast<uint16_t>(ky_ + sy_);
      ty_ += dy_;
    } else {
      kz_ = static_cast<uint16_t>(kz_ + sz_);
      tz_ += dz_;
    }
    if (kx_ == ex_ && ky_ == ey_ && kz_ == ez_) return false;
    // Rounding can carry the walk past the end cell; it stops once it has
    // travelled further than the ray is long.
    return std::min(std::min(tx_, ty_), tz_) <= length_;
  }

  octomap::OcTreeKey key() const { return octomap::OcTreeKey(kx_, ky_, kz_); }

 private:
  double tx_ = 0, ty_ = 0, tz_ = 0, dx_ = 0, dy_ = 0, dz_ = 0;
  float length_ = 0;
  uint16_t kx_ = 0, ky_ = 0, kz_ = 0, ex_ = 0, ey_ = 0, ez_ = 0, sx_ = 0, sy_ = 0, sz_ = 0;
};

// Calls visit(key) for every cell from the origin's cell (included) to the
// end point's cell (excluded), as octomap's computeRayKeys lists them: nothing
// when both share a cell.
template <typename Visit>
void walkRay(const octomap::point3d& origin, const octomap::point3d& end,
             const octomap::OcTreeKey& origin_key, const octomap::OcTreeKey& end_key,
             double resolution, Visit&& visit) {
  RayWalk walk;
  if (!walk.start(origin, end, origin_key, end_key, resolution)) return;
  visit(origin_key);
  while (walk.advance()) visit(walk.key());
}

}  // namespace korvane_navigation
