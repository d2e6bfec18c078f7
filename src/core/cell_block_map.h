// Sparse store of the free and occupied cells of one floor: blocks of
// 16 x 16 x 16 cells found through an open-addressing hash map. A block is a
// node of the octree four levels above the cells, and its cells are kept in
// octree child order, so every subtree of a block is a contiguous bit range.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>  // octomap/OcTreeKey.h uses it without including it
#include <octomap/OcTreeKey.h>

namespace korvane_navigation {

constexpr unsigned kBlockLevels = 4;                      // 2^4 cells along a block edge
constexpr unsigned kBlockCells = 1u << (3 * kBlockLevels);  // 4096
constexpr unsigned kBlockWords = kBlockCells / 64;

struct CellBlock {
  std::array<uint64_t, kBlockWords> free{};
  std::array<uint64_t, kBlockWords> occupied{};
};

// Index of a cell within its block: the bits of x, y and z interleaved, x
// lowest, as octomap numbers the children of a node.
inline unsigned cellIndexInBlock(const octomap::OcTreeKey& key) {
  static constexpr uint16_t kSpread[16] = {0x000, 0x001, 0x008, 0x009, 0x040, 0x041, 0x048, 0x049,
                                           0x200, 0x201, 0x208, 0x209, 0x240, 0x241, 0x248, 0x249};
  return kSpread[key[0] & 15] | kSpread[key[1] & 15] << 1 | kSpread[key[2] & 15] << 2;
}

// Block coordinates (key >> 4 on each axis) packed into one word.
inline uint64_t blockCode(const octomap::OcTreeKey& key) {
  return uint64_t{key[0]} >> kBlockLevels | (uint64_t{key[1]} >> kBlockLevels) << 12 |
         (uint64_t{key[2]} >> kBlockLevels) << 24;
}

// The octree order of blocks: their coordinates' bits interleaved, x lowest.
uint64_t blockMortonCode(uint64_t block_code);

class CellBlockMap {
 public:
  CellBlockMap();

  // Where the last marked cell went: consecutive cells of a ray mostly share
  // a block and then need no lookup. Callers keep theirs in locals, where the
  // stores into the blocks cannot alias it.
  struct Cursor {
    uint64_t code = ~uint64_t{0};
    CellBlock* block = nullptr;
  };

  void markFree(Cursor& cursor, const octomap::OcTreeKey& key) { set(cursor, key, &CellBlock::free); }
  void markOccupied(Cursor& cursor, const octomap::OcTreeKey& key) {
    set(cursor, key, &CellBlock::occupied);
  }

  size_t blockCount() const { return codes_.size(); }
  uint64_t blockCodeAt(size_t index) const { return codes_[index]; }
  const CellBlock& blockAt(size_t index) const { return pages_[index / kPageBlocks][index % kPageBlocks]; }
  size_t memoryBytes() const;

  // Adds every cell `other` marks, with the same marks; blocks new here are
  // appended in `other`'s order.
  void addCellsOf(const CellBlockMap& other);

 private:
  static constexpr size_t kPageBlocks = 256;

  void set(Cursor& cursor, const octomap::OcTreeKey& key,
           std::array<uint64_t, kBlockWords> CellBlock::*bits) {
    const uint64_t code = blockCode(key);
    if (code != cursor.code) {
      cursor.block = &findOrAdd(code);
      cursor.code = code;
    }
    const unsigned index = cellIndexInBlock(key);
    (cursor.block->*bits)[index >> 6] |= uint64_t{1} << (index & 63);
  }

  // The block holding `code`'s cells, created empty when missing; its address
  // stays valid for the map's life.
  CellBlock& findOrAdd(uint64_t code);
  CellBlock& block(size_t index) { return pages_[index / kPageBlocks][index % kPageBlocks]; }
  void grow();

  std::vector<uint64_t> slots_;   // block code + 1, 0 for an empty slot
  std::vector<uint32_t> indices_;
  std::vector<uint64_t> codes_;   // by block index
  std::vector<std::unique_ptr<CellBlock[]>> pages_;
};

}  // namespace korvane_navigation
