#include "core/cell_columns.h"

namespace korvane_navigation {

namespace {

// Within a block's 64-bit word a cell's bit holds the lowest two bits of x,
// y and z interleaved (x0 y0 z0 x1 y1 z1); the word's index holds the upper
// two (x2 y2 z2 x3 y3 z3). The z bits are bit 2 and bit 5 of both.
constexpr unsigned kZBits = 0x24;

constexpr uint64_t columnBitsMask() {
  uint64_t mask = 0;
  for (unsigned bit = 0; bit < 64; ++bit) {
    if ((bit & kZBits) == 0) mask |= uint64_t{1} << bit;
  }
  return mask;
}

// Moves every z's bit onto the z = 0 bit of its column.
uint64_t foldZ(uint64_t bits) {
  bits |= bits >> 4;
  bits |= bits >> 32;
  return bits & columnBitsMask();
}

unsigned bitAt(unsigned value, unsigned bit) { return (value >> bit) & 1u; }

void spreadColumns(const std::array<uint64_t, kBlockWords>& folded, std::array<uint16_t, 16>& rows) {
  for (unsigned word = 0; word < kBlockWords; ++word) {
    for (uint64_t bits = folded[word]; bits != 0; bits &= bits - 1) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(bits));
      const unsigned x = bitAt(bit, 0) | bitAt(bit, 3) << 1 | bitAt(word, 0) << 2 | bitAt(word, 3) << 3;
      const unsigned y = bitAt(bit, 1) | bitAt(bit, 4) << 1 | bitAt(word, 1) << 2 | bitAt(word, 4) << 3;
      rows[y] = static_cast<uint16_t>(rows[y] | 1u << x);
    }
  }
}

}  // namespace

BlockColumns blockColumns(const CellBlock& block, uint64_t block_code) {
  std::array<uint64_t, kBlockWords> marked{}, occupied{};
  for (unsigned word = 0; word < kBlockWords; ++word) {
    const unsigned column_word = word & ~kZBits;
    marked[column_word] |= foldZ(block.free[word] | block.occupied[word]);
    occupied[column_word] |= foldZ(block.occupied[word]);
  }
  BlockColumns columns;
  columns.first_x = static_cast<uint16_t>((block_code & 0xFFF) << kBlockLevels);
  columns.first_y = static_cast<uint16_t>(((block_code >> 12) & 0xFFF) << kBlockLevels);
  spreadColumns(marked, columns.marked);
  spreadColumns(occupied, columns.occupied);
  return columns;
}

}  // namespace korvane_navigation
