// Coordinates between the input's frame and the map frame: the rigid
// transform, how far rounding to float can move a point, and whether the
// map frame keeps the cloud within the floors' octree.
#pragma once

#include <Eigen/Geometry>
#include <optional>

#include "core/point_vector.h"

namespace korvane_navigation {

// Rigid transform p -> R p + t from a quaternion (w, x, y, z), normalised
// first; the all-zero quaternion gives the identity rotation.
Eigen::Affine3d rigidTransform(double w, double x, double y, double z, const Eigen::Vector3d& t);

// The largest error of rounding a coordinate of magnitude up to `max_abs`
// to single precision (half the spacing of floats there).
double singlePrecisionError(double max_abs);

// The largest |x|, |y| or |z| of the finite points; 0 for none.
double largestCoordinate(const PointVector& points);

// The octree of a floor holds coordinates c with -reach <= c < reach, where
// reach is 32768 cells of `resolution`.
double octreeReach(double resolution);

// Where the middle of the cloud (the median on each axis) lies beyond the
// octree's reach, the shift, in whole metres, that brings it to the origin
// on those axes (0 on the others); nothing while the cloud's middle is
// within reach or there are no points.
std::optional<Eigen::Vector3d> shiftIntoOctreeReach(const PointVector& points, double resolution);

}  // namespace korvane_navigation
