#include "formats/laz_arithmetic.h"

#include <algorithm>

namespace korvane_navigation {
namespace laz {
namespace {

using arithmetic::kBitLengthShift;
using arithmetic::kMinLength;
using arithmetic::kSymbolLengthShift;
constexpr uint32_t kBitMaxCount = 1u << kBitLengthShift;
constexpr uint32_t kSymbolMaxCount = 1u << kSymbolLengthShift;
constexpr uint32_t kSmallestTabledAlphabet = 17;

}  // namespace

void BitModel::reset() {
  zero_count_ = 1;
  total_count_ = 2;
  zero_probability_ = 1u << (kBitLengthShift - 1);
  adapt_interval_ = until_adapt_ = 4;
}

void BitModel::adapt() {
  if ((total_count_ += adapt_interval_) > kBitMaxCount) {
    total_count_ = (total_count_ + 1) >> 1;
    zero_count_ = (zero_count_ + 1) >> 1;
    if (zero_count_ == total_count_) ++total_count_;
  }
  const uint32_t scale = 0x80000000u / total_count_;
  zero_probability_ = (zero_count_ * scale) >> (31 - kBitLengthShift);
  adapt_interval_ = std::min<uint32_t>((5 * adapt_interval_) >> 2, 64);
  until_adapt_ = adapt_interval_;
}

SymbolModel::SymbolModel(uint32_t symbols)
    : symbols_(std::clamp<uint32_t>(symbols, 2, 2048)), last_symbol_(symbols_ - 1) {
  if (symbols_ >= kSmallestTabledAlphabet) {
    uint32_t table_bits = 3;
    while (symbols_ > (1u << (table_bits + 2))) ++table_bits;
    table_size_ = 1u << table_bits;
    table_shift_ = kSymbolLengthShift - table_bits;
    lookup_.resize(table_size_ + 2);
  }
  cumulative_.resize(symbols_);
  counts_.resize(symbols_);
  reset();
}

void SymbolModel::reset() {
  std::fill(counts_.begin(), counts_.end(), 1u);
  total_count_ = 0;
  adapt_interval_ = symbols_;
  adapt();
  adapt_interval_ = until_adapt_ = (symbols_ + 6) >> 1;
}

void SymbolModel::adapt() {
  if ((total_count_ += adapt_interval_) > kSymbolMaxCount) {
    total_count_ = 0;
    for (uint32_t& count : counts_) total_count_ += (count = (count + 1) >> 1);
  }
  const uint32_t scale = 0x80000000u / total_count_;
  uint32_t sum = 0;
  if (table_size_ == 0) {
    for (uint32_t k = 0; k < symbols_; ++k) {
      cumulative_[k] = (scale * sum) >> (31 - kSymbolLengthShift);
      sum += counts_[k];
    }
  } else {
    uint32_t slice = 0;
    for (uint32_t k = 0; k < symbols_; ++k) {
      cumulative_[k] = (scale * sum) >> (31 - kSymbolLengthShift);
      sum += counts_[k];
      const uint32_t reached = cumulative_[k] >> table_shift_;
      while (slice < reached) lookup_[++slice] = k - 1;
    }
    lookup_[0] = 0;
    while (slice <= table_size_) lookup_[++slice] = symbols_ - 1;
  }
  adapt_interval_ = std::min((5 * adapt_interval_) >> 2, (symbols_ + 6) << 3);
  until_adapt_ = adapt_interval_;
}

ArithmeticDecoder::ArithmeticDecoder(const uint8_t* data, size_t size)
    : begin_(data), next_(data), end_(data + size) {
  for (int i = 0; i < 4; ++i) value_ = value_ << 8 | nextByte();
  // Any stream keeps value below length from here on, except this one start.
  if (value_ == length_) damaged_ = true, value_ = length_ - 1;
}

void ArithmeticDecoder::renormaliseSlowly() {
  do {
    value_ = value_ << 8 | nextByte();
  } while ((length_ <<= 8) < kMinLength);
}

void ArithmeticEncoder::addToBase(uint32_t amount) {
  const uint32_t before = base_;
  base_ += amount;
  if (base_ < before) {  // the carry runs back through the bytes already written
    auto byte = out_.rbegin();
    while (*byte == 0xFF) *byte++ = 0;
    ++*byte;
  }
}

void ArithmeticEncoder::renormalise() {
  do {
    out_.push_back(static_cast<uint8_t>(base_ >> 24));
    base_ <<= 8;
  } while ((length_ <<= 8) < kMinLength);
}

void ArithmeticEncoder::encodeBit(BitModel& model, uint32_t bit) {
  const uint32_t split = model.zero_probability_ * (length_ >> kBitLengthShift);
  if (bit == 0) {
    length_ = split;
    ++model.zero_count_;
  } else {
    addToBase(split);
    length_ -= split;
  }
  if (length_ < kMinLength) renormalise();
  if (--model.until_adapt_ == 0) model.adapt();
}

void ArithmeticEncoder::encodeSymbol(SymbolModel& model, uint32_t symbol) {
  const uint32_t* cumulative = model.cumulative_.data();
  if (symbol == model.last_symbol_) {
    const uint32_t low = cumulative[symbol] * (length_ >> kSymbolLengthShift);
    addToBase(low);
    length_ -= low;
  } else {
    length_ >>= kSymbolLengthShift;
    const uint32_t low = cumulative[symbol] * length_;
    addToBase(low);
    length_ = cumulative[symbol + 1] * length_ - low;
  }
  if (length_ < kMinLength) renormalise();
  ++model.counts_[symbol];
  if (--model.until_adapt_ == 0) model.adapt();
}

void ArithmeticEncoder::writeShort(uint32_t value) {
  addToBase(value * (length_ >>= 16));
  if (length_ < kMinLength) renormalise();
}

void ArithmeticEncoder::writeBits(uint32_t bits, uint32_t value) {
  if (bits > 19) {
    writeShort(value & 0xFFFF);
    value >>= 16;
    bits -= 16;
  }
  addToBase(value * (length_ >>= bits));
  if (length_ < kMinLength) renormalise();
}

void ArithmeticEncoder::finish() {
  // One or two more bytes pin a value inside the interval; the zeros after
  // them keep the decoder's four bytes of look-ahead inside the stream.
  const bool wide = length_ > 2 * kMinLength;
  if (wide) {
    addToBase(kMinLength);
    length_ = kMinLength >> 1;
  } else {
    addToBase(kMinLength >> 1);
    length_ = kMinLength >> 9;
  }
  renormalise();
  out_.push_back(0);
  out_.push_back(0);
  if (wide) out_.push_back(0);
  base_ = 0;
  length_ = 0xFFFFFFFFu;
}

}  // namespace laz
}  // namespace korvane_navigation
