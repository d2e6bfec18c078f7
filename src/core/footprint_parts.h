// Splits a cloud into the parts of its footprint: the groups of occupied
// squares in plan that touch each other, side or corner. A building is one
// part however wide; a building beside it across an unscanned gap is another,
// and stray returns far away make parts of a square or two.
#pragma once

#include <cstddef>
#include <vector>

#include "core/point_vector.h"

namespace korvane_navigation {

struct FootprintPart {
  PointVector points;
  size_t squares = 0;  // occupied squares
  // Bounds of the part's squares, in metres.
  double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
};

// The parts of `points` on squares of side `square`, each with at least
// `min_squares` squares, most squares first (ties: lowest x, then y, first).
// A square with fewer than `min_points_per_square` points joins no part, so
// that sparse ground scanned between two buildings does not make them one.
// Points with a non-finite coordinate, or too far out for a square index,
// belong to no part; the other points left out (of sparse squares or of
// parts too small) are counted in `points_left_out` when given.
std::vector<FootprintPart> footprintParts(const PointVector& points, double square, size_t min_squares,
                                          size_t min_points_per_square = 1, size_t* points_left_out = nullptr);

}  // namespace korvane_navigation
