// What the point-wise LAZ chunk decoder asks of each item's decoder, and the
// byte helpers they share.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

#include "formats/laz_arithmetic.h"
#include "formats/laz_items.h"

namespace korvane_navigation {
namespace laz {

inline uint16_t loadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void storeU16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline int32_t loadI32(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
}
inline void storeI32(uint8_t* p, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t loadU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
inline void storeU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
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
