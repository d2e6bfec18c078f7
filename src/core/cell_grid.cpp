#include "core/cell_grid.h"

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

bool CellGrid::contains(const octomap::OcTreeKey& key) const {
  for (unsigned i = 0; i < 3; ++i) {
    if (key[i] < box_.lo[i] || key[i] > box_.hi[i]) return false;
  }
  return true;
}

void CellGrid::markFreeIn(CellBlockMap& cells) const {
  CellBlockMap::Cursor cursor;
  const int64_t words_per_row = row_ / 64;
  size_t w = 0;
  for (int z = box_.lo[2]; z <= box_.hi[2]; ++z) {
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
