// Walks a floor's rays through a CellGrid: octomap's steps exactly, with the
// cell's key replaced by its grid address, which moves by a fixed stride per
// step. Where the processor has AVX2, eight rays walk side by side, two
// groups of four vector lanes: one step of each costs a few vector
// instructions and no branch the predictor can miss, where the walk of a
// single ray mispredicts its axis choice every few cells.
#pragma once

#include <cstdint>
#include <functional>

#include "core/cell_grid.h"
#include "core/ray_walk.h"

namespace korvane_navigation {

struct GridRay {
  RayStart start;
  int64_t address;      // of the origin's cell
  int64_t end_address;  // of the end point's cell
};

// True when no step of the walk from `start` can leave `box`: on each axis
// the walk steps at most once before its first border and then once per
// border it reaches within the ray's length, which bounds how far its key
// moves. A walk stops at most one cell past its end cell, so a box with a
// few cells of margin around the origin's and the end's cells passes every
// ray; the check makes the grid safe without a test at every step.
bool walkStaysInBox(const RayStart& start, const octomap::OcTreeKey& origin_key, const KeyBox& box);

// True when this processor can walk rays in vector lanes.
bool vectorLanesSupported();

// Marks in `grid` the cells each ray from `next_ray` crosses after its
// origin's cell (the caller marks that one) and before its end cell, the
// cells walkRay visits. Every ray must pass walkStaysInBox for the grid's
// box. Returns the number of cells marked.
uint64_t walkGridRays(CellGrid& grid, const std::function<bool(GridRay&)>& next_ray, bool vector_lanes);

}  // namespace korvane_navigation
