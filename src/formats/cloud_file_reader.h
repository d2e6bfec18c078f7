// Reading a PCD or PLY file into points: PCL's reader reads it once our
// check (cloud_file_checks.h) has passed, and the coordinates are taken
// from what it read here, since PCL's own conversion leaves x, y, z of
// 8-byte floats, or named X, Y, Z, as zeros.
#pragma once

#include <string>

#include "core/point_vector.h"
#include "formats/cloud_file_checks.h"

namespace korvane_navigation {

// Replaces `points` with the points of the file at `path`. On refusal
// `error` says why (without the file name); `warning` tells what a file
// read correctly left out, empty when nothing.
bool readCheckedCloud(const std::string& path, CloudFileFormat format, PointVector& points,
                      std::string& error, std::string& warning);

}  // namespace korvane_navigation
