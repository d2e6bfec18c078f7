// LAZ's integer coder: an integer is coded as its difference (the
// corrector) from a prediction. The corrector's bit length k is coded with
// a symbol model chosen by a caller's context; the corrector's value within
// its k-bit interval follows, its top bits with a model for that k and its
// low bits raw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/laz_arithmetic.h"

namespace korvane_navigation {
namespace laz {

// The corrector's range and models, shared by the two directions. `bits` is
// the width of the coded integers (1 to 32), `contexts` how many models the
// bit length has, `high_bits` how many of a corrector's top bits are
// modelled (the rest are raw).
class IntegerModels {
 public:
  explicit IntegerModels(uint32_t bits = 16, uint32_t contexts = 1, uint32_t high_bits = 8);
  void reset();
  // The bit length k of the last corrector coded; the point items use it as context.
  uint32_t lastK() const { return last_k_; }

 protected:
  uint32_t corrector_bits_;
  uint32_t high_bits_;
  uint32_t corrector_range_;  // 0 for 32 bits: the whole of uint32_t
  int32_t corrector_min_;
  int32_t corrector_max_;
  uint32_t last_k_ = 0;
  std::vector<SymbolModel> k_models_;  // one per context
  BitModel small_corrector_;           // correctors 0 and 1 (k = 0)
  std::vector<SymbolModel> corrector_models_;  // [k - 1] for k = 1..corrector_bits
};

class IntegerDecoder : public IntegerModels {
 public:
  using IntegerModels::IntegerModels;
  int32_t decode(ArithmeticDecoder& decoder, int32_t prediction, uint32_t context = 0);

 private:
  int32_t readCorrector(ArithmeticDecoder& decoder, SymbolModel& k_model);
};

// Inline, as the arithmetic decoder's steps are: the point decoders call
// this for every coordinate.
LAZ_INLINE int32_t IntegerDecoder::decode(ArithmeticDecoder& decoder, int32_t prediction, uint32_t context) {
  const size_t last_context = k_models_.size() - 1;
  const int32_t corrector = readCorrector(decoder, k_models_[context < last_context ? context : last_context]);
  // Unsigned arithmetic wraps as the format wants, without signed overflow.
  uint32_t value = static_cast<uint32_t>(prediction) + static_cast<uint32_t>(corrector);
  if (corrector_range_ != 0) value &= corrector_range_ - 1;
  return static_cast<int32_t>(value);
}

LAZ_INLINE int32_t IntegerDecoder::readCorrector(ArithmeticDecoder& decoder, SymbolModel& k_model) {
  const uint32_t k = last_k_ = decoder.decodeSymbol(k_model);
  if (k == 0) return static_cast<int32_t>(decoder.decodeBit(small_corrector_));
  if (k >= 32) return corrector_min_;
  uint32_t c;
  if (k <= high_bits_) {
    c = decoder.decodeSymbol(corrector_models_[k - 1]);
  } else {
    const uint32_t low_bits = k - high_bits_;
    c = decoder.decodeSymbol(corrector_models_[k - 1]) << low_bits;
    c |= decoder.readBits(low_bits);
  }
  // [0, 2^(k-1)) holds the negative correctors -(2^k - 1) .. -2^(k-1),
  // [2^(k-1), 2^k) the positive ones 2^(k-1) + 1 .. 2^k.
  if (c >= (1u << (k - 1))) return static_cast<int32_t>(c + 1);
  return static_cast<int32_t>(c - ((1u << k) - 1));
}

class IntegerEncoder : public IntegerModels {
 public:
  using IntegerModels::IntegerModels;
  void encode(ArithmeticEncoder& encoder, int32_t prediction, int32_t value, uint32_t context = 0);

 private:
  void writeCorrector(ArithmeticEncoder& encoder, int32_t corrector, SymbolModel& k_model);
};

}  // namespace laz
}  // namespace korvane_navigation
