// The cells a floor's rays cross, one bit per cell over the box of keys the
// rays can reach. Marking a cell is one OR at an address that a ray walk
// advances by a fixed stride per step, which is what makes the walk cheap;
// the marked cells then move into the sparse block store the tree is built
// from.
#pragma once

#include <cstddef>  // octomap/OcTreeKey.h uses size_t and std::vector without including them
#include <cstdint>
#include <vector>
#include <octomap/OcTreeKey.h>

#include "core/cell_block_map.h"

namespace korvane_navigation {

// Keys lo[i] <= key[i] <= hi[i] on each axis.
struct KeyBox {
  int lo[3];
  int hi[3];
};

class CellGrid {
 public:
  // Rows along x are padded to whole 64-bit words.
  static uint64_t cellCount(const KeyBox& box);

  explicit CellGrid(const KeyBox& box);

  // The address of a key inside the box.
  int64_t address(const octomap::OcTreeKey& key) const {
    return (key[0] - box_.lo[0]) + row_ * (key[1] - box_.lo[1]) + plane_ * (key[2] - box_.lo[2]);
  }
  // How far the address moves for one cell along `axis`.
  int64_t stride(unsigned axis) const { return axis == 0 ? 1 : axis == 1 ? row_ : plane_; }
  int64_t cellCount() const { return plane_ * (box_.hi[2] - box_.lo[2] + 1); }

  void set(int64_t address) { words_[address >> 6] |= uint64_t{1} << (address & 63); }
  uint64_t* words() { return words_.data(); }

  // Marks every set cell free in `cells`; only those of the planes
  // z_first <= z <= z_last with the second form.
  void markFreeIn(CellBlockMap& cells) const { markFreeIn(cells, box_.lo[2], box_.hi[2]); }
  void markFreeIn(CellBlockMap& cells, int z_first, int z_last) const;

  // Sets every cell `other`, a grid over the same box, sets, in the words
  // [first_word, end_word).
  void addCellsOf(const CellGrid& other, size_t first_word, size_t end_word);
  size_t wordCount() const { return words_.size(); }
  const KeyBox& box() const { return box_; }

 private:
  KeyBox box_;
  int64_t row_;    // cells per row, a multiple of 64
  int64_t plane_;  // cells per plane of constant z
  std::vector<uint64_t> words_;
};

}  // namespace korvane_navigation
