// What the point-wise LAZ chunk decoder asks of each item's decoder, and the
// small helpers the item decoders share.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

#include "formats/byte_order.h"
#include "formats/laz_arithmetic.h"
#include "formats/laz_items.h"

namespace korvane_navigation {
namespace laz {

// A byte plus a coded difference, modulo 256.
inline uint8_t addByte(uint32_t base, uint32_t difference) { return static_cast<uint8_t>(base + difference); }
inline int clampByte(int value) { return std::clamp(value, 0, 255); }

// One item's decoder: `start` takes the chunk's raw first record's slice,
// `decode` fills the next record's slice.
class ItemDecoder {
 public:
  virtual ~ItemDecoder() = default;
  virtual void start(const uint8_t* first) = 0;
  virtual void decode(ArithmeticDecoder& decoder, uint8_t* item) = 0;
};

// A symbol model per value of a byte, made when that value first occurs.
class ModelPerByte {
 public:
  SymbolModel& operator[](uint8_t value) {
    std::unique_ptr<SymbolModel>& model = models_[value];
    if (!model) model = std::make_unique<SymbolModel>(256);
    return *model;
  }

 private:
  std::array<std::unique_ptr<SymbolModel>, 256> models_;
};

// The decoder of a version 1 item (as LASzip 1 wrote them), null for an
// item it does not know.
std::unique_ptr<ItemDecoder> makeVersion1Decoder(const Item& item);

}  // namespace laz
}  // namespace korvane_navigation
