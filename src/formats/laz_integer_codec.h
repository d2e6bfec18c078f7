// LAZ's integer coder: an integer is coded as its difference (the
// corrector) from a prediction. The corrector's bit length k is coded with
// a symbol model chosen by a caller's context; the corrector's value within
// its k-bit interval follows, its top bits with a model for that k and its
// low bits raw.
#pragma once

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

class IntegerEncoder : public IntegerModels {
 public:
  using IntegerModels::IntegerModels;
  void encode(ArithmeticEncoder& encoder, int32_t prediction, int32_t value, uint32_t context = 0);

 private:
  void writeCorrector(ArithmeticEncoder& encoder, int32_t corrector, SymbolModel& k_model);
};

}  // namespace laz
}  // namespace korvane_navigation
