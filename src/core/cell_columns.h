// A block's cells seen from above: which columns of its 16 x 16 footprint
// hold a marked cell, and which an occupied one. Projecting a floor's cells
// column by column gives the grid that projecting its pruned octree gives: a
// pruned octant is a uniform run of marked cells, and an occupied cell wins
// over a free one in both.
#pragma once

#include <array>
#include <cstdint>

#include "core/cell_block_map.h"

namespace korvane_navigation {

struct BlockColumns {
  uint16_t first_x = 0;  // key of the block's first column and row
  uint16_t first_y = 0;
  // Row y of the footprint, bit x: a column with a marked (free or
  // occupied) cell, and one with an occupied cell.
  std::array<uint16_t, 16> marked{};
  std::array<uint16_t, 16> occupied{};
};

BlockColumns blockColumns(const CellBlock& block, uint64_t block_code);

}  // namespace korvane_navigation
