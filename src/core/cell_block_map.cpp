#include "core/cell_block_map.h"

namespace korvane_navigation {

namespace {

constexpr size_t kInitialSlots = 1024;

uint64_t slotHash(uint64_t code) { return (code * 0x9E3779B97F4A7C15ull) >> 20; }

// Spreads the low 12 bits of v to every third bit.
uint64_t spreadBits(uint64_t v) {
  uint64_t spread = 0;
  for (unsigned bit = 0; bit < 12; ++bit) spread |= ((v >> bit) & 1u) << (3 * bit);
  return spread;
}

}  // namespace

uint64_t blockMortonCode(uint64_t block_code) {
  return spreadBits(block_code & 0xFFF) | spreadBits((block_code >> 12) & 0xFFF) << 1 |
         spreadBits((block_code >> 24) & 0xFFF) << 2;
}

CellBlockMap::CellBlockMap() : slots_(kInitialSlots, 0), indices_(kInitialSlots, 0) {}

size_t CellBlockMap::memoryBytes() const {
  return pages_.size() * kPageBlocks * sizeof(CellBlock) + slots_.size() * 12 + codes_.size() * 8;
}

CellBlock& CellBlockMap::findOrAdd(uint64_t code) {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = slotHash(code) & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot] == code + 1) return block(indices_[slot]);
    if (slots_[slot] != 0) continue;
    const size_t index = codes_.size();
    if (index % kPageBlocks == 0) pages_.emplace_back(new CellBlock[kPageBlocks]);
    codes_.push_back(code);
    slots_[slot] = code + 1;
    indices_[slot] = static_cast<uint32_t>(index);
    // Keep the load under one half so that probes stay short.
    if (codes_.size() * 2 > slots_.size()) grow();
    return block(index);
  }
}

void CellBlockMap::addCellsOf(const CellBlockMap& other) {
  for (size_t i = 0; i < other.blockCount(); ++i) {
    const CellBlock& from = other.blockAt(i);
    CellBlock& to = findOrAdd(other.blockCodeAt(i));
    for (unsigned w = 0; w < kBlockWords; ++w) {
      to.free[w] |= from.free[w];
      to.occupied[w] |= from.occupied[w];
    }
  }
}

void CellBlockMap::grow() {
  std::vector<uint64_t> slots(slots_.size() * 2, 0);
  std::vector<uint32_t> indices(slots.size(), 0);
  const size_t mask = slots.size() - 1;
  for (size_t i = 0; i < codes_.size(); ++i) {
    size_t slot = slotHash(codes_[i]) & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = codes_[i] + 1;
    indices[slot] = static_cast<uint32_t>(i);
  }
  slots_.swap(slots);
  indices_.swap(indices);
}

}  // namespace korvane_navigation
