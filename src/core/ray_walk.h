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

// Where octomap's walk starts from: per axis the ray length at which it
// crosses its next cell border (t_max), the length between two borders
// (t_delta) and the key's step; `length` is the ray's, in single precision
// as octomap keeps it.
struct RayStart {
  double t_max[3];
  double t_delta[3];
  int step[3];
  double length;
};

// The start of the walk from `origin` to `end` with octomap's arithmetic,
// false when both share a cell and the walk visits nothing.
inline bool startRay(const octomap::point3d& origin, const octomap::point3d& end,
                     const octomap::OcTreeKey& origin_key, const octomap::OcTreeKey& end_key,
                     double resolution, RayStart& start) {
  if (origin_key == end_key) return false;
  octomap::point3d direction = end - origin;
  const float length = static_cast<float>(direction.norm());
  direction /= length;
  start.length = length;
  for (unsigned i = 0; i < 3; ++i) {
    if (direction(i) > 0.0) {
      start.step[i] = 1;
    } else if (direction(i) < 0.0) {
      start.step[i] = -1;
    } else {
      start.step[i] = 0;
    }
    if (start.step[i] != 0) {
      double border =
          (static_cast<double>(static_cast<int>(origin_key[i]) - kTreeCentreKey) + 0.5) * resolution;
      border += static_cast<float>(start.step[i] * resolution * 0.5);
      start.t_max[i] = (border - origin(i)) / direction(i);
      start.t_delta[i] = resolution / std::fabs(direction(i));
    } else {
      start.t_max[i] = std::numeric_limits<double>::max();
      start.t_delta[i] = std::numeric_limits<double>::max();
    }
  }
  return true;
}

// octomap's steps from `ray` on: advance(axis) moves the walk one cell along
// the axis and says whether it reached the end cell, where the walk stops;
// otherwise visit() follows, unless rounding carried the walk past the end
// cell and it has travelled further than the ray is long.
template <typename Advance, typename Visit>
void stepRay(const RayStart& ray, Advance&& advance, Visit&& visit) {
  // Scalars rather than arrays indexed by the axis keep the state in registers.
  double tx = ray.t_max[0], ty = ray.t_max[1], tz = ray.t_max[2];
  const double dx = ray.t_delta[0], dy = ray.t_delta[1], dz = ray.t_delta[2];
  for (;;) {
    bool at_end;
    if (tx < ty) {
      if (tx < tz) {
        at_end = advance(0);
        tx += dx;
      } else {
        at_end = advance(2);
        tz += dz;
      }
    } else if (ty < tz) {
      at_end = advance(1);
      ty += dy;
    } else {
      at_end = advance(2);
      tz += dz;
    }
    if (at_end || std::min(std::min(tx, ty), tz) > ray.length) return;
    visit();
  }
}

// Whether octomap's walk of the ray ends at its end cell or its length. A ray
// whose length underflows or overflows single precision (ends a hair apart
// in two cells, or beyond 1e19 apart) has a zero or infinite t_delta and a
// walk that only octomap's key range test stops.
inline bool rayIsRegular(const RayStart& ray) {
  if (!(ray.length > 0.0) || !std::isfinite(ray.length)) return false;
  bool moves = false;
  for (unsigned i = 0; i < 3; ++i) {
    if (ray.step[i] == 0) continue;
    moves = true;
    if (!(ray.t_delta[i] > 0.0) || !std::isfinite(ray.t_delta[i]) || !std::isfinite(ray.t_max[i])) {
      return false;
    }
  }
  return moves;
}

// A regular ray's walk stays within a cell of the box of its two ends, so
// octomap's key range test can only stop it where an end sits on the range's edge.
inline bool touchesKeyRangeEnd(const octomap::OcTreeKey& a, const octomap::OcTreeKey& b) {
  for (unsigned i = 0; i < 3; ++i) {
    if (a[i] == 0 || a[i] == 0xFFFF || b[i] == 0 || b[i] == 0xFFFF) return true;
  }
  return false;
}

// octomap's walk with its key range test, for the rays that may need it: the
// cells in order, or false where octomap gives the ray up (its key would
// leave the range, or it has no direction) and marks none of them free. The
// step limit ends a walk that would never move: every moving walk leaves the
// range within it.
inline bool checkedRayKeys(const RayStart& start, const octomap::OcTreeKey& origin_key,
                           const octomap::OcTreeKey& end_key, std::vector<octomap::OcTreeKey>& keys) {
  keys.assign(1, origin_key);
  if (start.step[0] == 0 && start.step[1] == 0 && start.step[2] == 0) return false;
  constexpr uint64_t kStepLimit = 3 * 65536 + 3;
  uint16_t key[3] = {origin_key[0], origin_key[1], origin_key[2]};
  uint64_t steps = 0;
  bool given_up = false;
  stepRay(
      start,
      [&](unsigned axis) {
        const int next = key[axis] + start.step[axis];
        if (next < 0 || next > 0xFFFF || ++steps > kStepLimit) return given_up = true;
        key[axis] = static_cast<uint16_t>(next);
        return key[0] == end_key[0] && key[1] == end_key[1] && key[2] == end_key[2];
      },
      [&] { keys.emplace_back(key[0], key[1], key[2]); });
  return !given_up;
}

// Calls visit(key) for every cell from the origin's cell (included) to the
// end point's cell (excluded), as octomap's computeRayKeys lists them: nothing
// when both share a cell or when octomap gives the ray up. Both keys must be
// valid. Like octomap's walk it can step one cell past the end key on an
// axis before it stops.
template <typename Visit>
void walkRay(const octomap::point3d& origin, const octomap::point3d& end,
             const octomap::OcTreeKey& origin_key, const octomap::OcTreeKey& end_key,
             double resolution, Visit&& visit) {
  RayStart start;
  if (!startRay(origin, end, origin_key, end_key, resolution, start)) return;
  if (!rayIsRegular(start) || touchesKeyRangeEnd(origin_key, end_key)) {
    std::vector<octomap::OcTreeKey> keys;
    if (checkedRayKeys(start, origin_key, end_key, keys)) {
      for (const octomap::OcTreeKey& key : keys) visit(key);
    }
    return;
  }
  visit(origin_key);
  uint16_t key[3] = {origin_key[0], origin_key[1], origin_key[2]};
  stepRay(
      start,
      [&](unsigned axis) {
        key[axis] = static_cast<uint16_t>(key[axis] + start.step[axis]);
        return key[0] == end_key[0] && key[1] == end_key[1] && key[2] == end_key[2];
      },
      [&] { visit(octomap::OcTreeKey(key[0], key[1], key[2])); });
}

}  // namespace korvane_navigation
