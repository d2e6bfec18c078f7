#include "core/cell_grid.h"

#include <algorithm>

namespace korvane_navigation {

namespace {

int64_t paddedRow(const KeyBox& box) { return (int64_t{box.hi[0]} - box.lo[0] + 64) / 64 * 64; }

}  // namespace

uint64_t CellGrid::cellCount(const KeyBox& box) {
  return static_cast<uint64_t>(paddedRow(box)) * static_cast<uint64_t>(box.hi[1] - box.lo[1] + 1) *
         static_cast<uint64_t>(box.hi[2] - box.lo[2] + 1);
}

CellGrid::CellGrid(const KeyBox& box)
    : box_(box), row_(paddedRow(box)), plane_(row_ * (box.hi[1] - box.lo[1] + 1)),
      words_(static_cast<size_t>(cellCount(box) / 64), 0) {}

void CellGrid::addCellsOf(const CellGrid& other, size_t first_word, size_t end_word) {
  for (size_t w = first_word; w < end_word; ++w) words_[w] |= other.words_[w];
}

void CellGrid::markFreeIn(CellBlockMap& cells, int z_first, int z_last) const {
  CellBlockMap::Cursor cursor;
  const int64_t words_per_row = row_ / 64;
  z_first = std::max(z_first, box_.lo[2]);
  z_last = std::min(z_last, box_.hi[2]);
  if (z_first > z_last) return;
  size_t w = static_cast<size_t>(plane_ / 64 * (z_first - box_.lo[2]));
  for (int z = z_first; z <= z_last; ++z) {
    for (int y = box_.lo[1]; y <= box_.hi[1]; ++y) {
      for (int64_t word = 0; word < words_per_row; ++word, ++w) {
        for (uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
          const int x = box_.lo[0] + static_cast<int>(word * 64 + __builtin_ctzll(bits));
          cells.markFree(cursor, octomap::OcTreeKey(static_cast<uint16_t>(x), static_cast<uint16_t>(y),
                                                    static_cast<uint16_t>(z)));
        }
      }
    }
  }
}

}  // namespace korvane_navigation
