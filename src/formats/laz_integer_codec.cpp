#include "formats/laz_integer_codec.h"

#include <algorithm>
#include <limits>

namespace korvane_navigation {
namespace laz {

IntegerModels::IntegerModels(uint32_t bits, uint32_t contexts, uint32_t high_bits)
    : high_bits_(high_bits), small_corrector_() {
  if (bits != 0 && bits < 32) {
    corrector_bits_ = bits;
    corrector_range_ = 1u << bits;
    corrector_min_ = -static_cast<int32_t>(corrector_range_ / 2);
    corrector_max_ = corrector_min_ + static_cast<int32_t>(corrector_range_ - 1);
  } else {
    corrector_bits_ = 32;
    corrector_range_ = 0;
    corrector_min_ = std::numeric_limits<int32_t>::min();
    corrector_max_ = std::numeric_limits<int32_t>::max();
  }
  k_models_.assign(std::max<uint32_t>(contexts, 1), SymbolModel(corrector_bits_ + 1));
  corrector_models_.reserve(corrector_bits_);
  for (uint32_t k = 1; k <= corrector_bits_; ++k)
    corrector_models_.emplace_back(1u << std::min(k, high_bits_));
}

void IntegerModels::reset() {
  for (SymbolModel& model : k_models_) model.reset();
  small_corrector_.reset();
  for (SymbolModel& model : corrector_models_) model.reset();
  last_k_ = 0;
}

void IntegerEncoder::encode(ArithmeticEncoder& encoder, int32_t prediction, int32_t value, uint32_t context) {
  int64_t corrector = int64_t{value} - prediction;
  if (corrector_range_ != 0) {
    if (corrector < corrector_min_) corrector += corrector_range_;
    else if (corrector > corrector_max_) corrector -= corrector_range_;
  } else {
    corrector = static_cast<int32_t>(static_cast<uint32_t>(value) - static_cast<uint32_t>(prediction));
  }
  writeCorrector(encoder, static_cast<int32_t>(corrector), k_models_[std::min<size_t>(context, k_models_.size() - 1)]);
}

void IntegerEncoder::writeCorrector(ArithmeticEncoder& encoder, int32_t corrector, SymbolModel& k_model) {
  // k: the bits of |c| for c <= 0, of c - 1 for c > 0.
  uint32_t magnitude = corrector <= 0 ? 0u - static_cast<uint32_t>(corrector) : static_cast<uint32_t>(corrector) - 1;
  uint32_t k = 0;
  while (magnitude) {
    magnitude >>= 1;
    ++k;
  }
  last_k_ = k;
  encoder.encodeSymbol(k_model, k);
  if (k == 0) {
    encoder.encodeBit(small_corrector_, static_cast<uint32_t>(corrector));
    return;
  }
  if (k >= 32) return;  // only the most negative corrector has 32 bits
  const uint32_t c = corrector < 0 ? static_cast<uint32_t>(corrector) + ((1u << k) - 1)
                                   : static_cast<uint32_t>(corrector) - 1;
  if (k <= high_bits_) {
    encoder.encodeSymbol(corrector_models_[k - 1], c);
  } else {
    const uint32_t low_bits = k - high_bits_;
    encoder.encodeSymbol(corrector_models_[k - 1], c >> low_bits);
    encoder.writeBits(low_bits, c & ((1u << low_bits) - 1));
  }
}

}  // namespace laz
}  // namespace korvane_navigation
