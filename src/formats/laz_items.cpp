#include "formats/laz_items.h"

namespace korvane_navigation {
namespace laz {

std::string itemName(ItemType type) {
  static constexpr const char* kNames[] = {"BYTE",    "SHORT",   "INT",          "LONG",    "FLOAT",
                                           "DOUBLE",  "POINT10", "GPSTIME11",    "RGB12",   "WAVEPACKET13",
                                           "POINT14", "RGB14",   "RGBNIR14",     "WAVEPACKET14", "BYTE14"};
  const auto index = static_cast<uint16_t>(type);
  if (index < sizeof kNames / sizeof *kNames) return kNames[index];
  return "item type " + std::to_string(index);
}

std::string itemText(const Item& item) {
  return itemName(item.type) + " version " + std::to_string(item.version) + " (" + std::to_string(item.size) +
         " bytes)";
}

}  // namespace laz
}  // namespace korvane_navigation
