// The item list of a LAZ file: which coded items make up a point record, in
// record order, as the LASzip VLR lists them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane_navigation {
namespace laz {

enum class ItemType : uint16_t {
  kByte = 0,
  kShort = 1,
  kInt = 2,
  kLong = 3,
  kFloat = 4,
  kDouble = 5,
  kPoint10 = 6,
  kGpsTime11 = 7,
  kRgb12 = 8,
  kWavePacket13 = 9,
  kPoint14 = 10,
  kRgb14 = 11,
  kRgbNir14 = 12,
  kWavePacket14 = 13,
  kByte14 = 14,
};

struct Item {
  ItemType type;
  uint16_t size;     // bytes of the record it fills
  uint16_t version;  // of its coder
};

// The item's name as LASzip spells it ("POINT10", "item type 42" for an unknown one).
std::string itemName(ItemType type);

// "POINT10 version 1 (20 bytes)": how messages name an item.
std::string itemText(const Item& item);

}  // namespace laz
}  // namespace korvane_navigation
