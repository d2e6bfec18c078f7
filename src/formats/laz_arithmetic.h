// The adaptive arithmetic coder of LAZ (LASzip) point data: a 32-bit range
// coder with adaptive binary and multi-symbol models, after A. Said's
// "Introduction to Arithmetic Coding" (HP Labs HPL-2004-76). Encoder and
// decoder must update their models in exactly the same way, so both live
// here and share the models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/byte_order.h"

namespace korvane_navigation {
namespace laz {

// The probability of a 0 bit, adapted as bits are coded.
class BitModel {
 public:
  BitModel() { reset(); }
  void reset();

 private:
  friend class ArithmeticDecoder;
  friend class ArithmeticEncoder;
  void adapt();

  uint32_t zero_count_ = 0;
  uint32_t total_count_ = 0;
  uint32_t zero_probability_ = 0;  // scaled to 2^13
  uint32_t adapt_interval_ = 0;
  uint32_t until_adapt_ = 0;
};

// The frequencies of `symbols` symbols (2 to 2048), adapted as they are coded.
class SymbolModel {
 public:
  explicit SymbolModel(uint32_t symbols);
  void reset();
  uint32_t symbols() const { return symbols_; }

 private:
  friend class ArithmeticDecoder;
  friend class ArithmeticEncoder;
  void adapt();

  uint32_t symbols_;
  uint32_t last_symbol_;
  uint32_t table_shift_ = 0;
  uint32_t table_size_ = 0;  // 0: small alphabet, searched without a table
  uint32_t total_count_ = 0;
  uint32_t adapt_interval_ = 0;
  uint32_t until_adapt_ = 0;
  std::vector<uint32_t> cumulative_;  // scaled to 2^15
  std::vector<uint32_t> counts_;
  std::vector<uint32_t> lookup_;  // first symbol of each slice of the scaled range
};

// Decodes a byte span. Reads beyond its end see zero bytes and are counted,
// so a damaged stream decodes to wrong values but never leaves the span.
class ArithmeticDecoder {
 public:
  ArithmeticDecoder(const uint8_t* data, size_t size);

  uint32_t decodeBit(BitModel& model);
  uint32_t decodeSymbol(SymbolModel& model);
  // Raw values, equiprobable: `bits` is 1 to 32.
  uint32_t readBits(uint32_t bits);
  uint32_t readInt();  // low half first

  // Bytes consumed so far (the four of the start included), and how many of
  // them lay past the end of the span.
  size_t consumed() const { return static_cast<size_t>(next_ - begin_) + overrun_; }
  size_t overrun() const { return overrun_; }
  // A raw value decoded out of its range: only a damaged stream does that.
  bool damaged() const { return damaged_; }

 private:
  uint32_t readShort();
  uint8_t nextByte() { return next_ < end_ ? *next_++ : (++overrun_, 0); }
  void renormalise();  // when the interval is narrow
  void renormaliseSlowly();

  const uint8_t* begin_;
  const uint8_t* next_;  // the next byte to take
  const uint8_t* end_;
  size_t overrun_ = 0;   // bytes taken past the end, as zeros
  uint32_t value_ = 0;
  uint32_t length_ = 0xFFFFFFFFu;
  bool damaged_ = false;
};

// The decoding steps are defined here, inline, because a point decodes some
// ten symbols: calls to them would cost as much as the arithmetic, and
// inlined into one point's decoder they keep value and length in registers.

// Inlined even where the compiler would judge the caller too big: only
// then can a chunk's loop keep the decoder in registers.
#define LAZ_INLINE [[gnu::always_inline]] inline

namespace arithmetic {
constexpr uint32_t kMinLength = 0x01000000u;  // below this the interval is renormalised
constexpr uint32_t kBitLengthShift = 13;
constexpr uint32_t kSymbolLengthShift = 15;
}  // namespace arithmetic

LAZ_INLINE void ArithmeticDecoder::renormalise() {
  // Called after every step, so that no branch guesses whether the
  // interval is narrow: it takes as many bytes (none to three; it never
  // shrinks to zero) as length has leading zero bytes. Inside the span
  // they come at once from a 32-bit big-endian load; near its end, one at a
  // time.
  if (end_ - next_ >= 4) {
    const uint32_t bytes = static_cast<uint32_t>(__builtin_clz(length_)) >> 3;
    const uint32_t next = loadU32BigEndian(next_);
    const uint32_t bits = 8 * bytes;
    value_ = static_cast<uint32_t>((uint64_t{value_} << bits) | (uint64_t{next} >> (32 - bits)));
    length_ <<= bits;
    next_ += bytes;
  } else if (length_ < arithmetic::kMinLength) {
    renormaliseSlowly();
  }
}

LAZ_INLINE uint32_t ArithmeticDecoder::decodeBit(BitModel& model) {
  const uint32_t split = model.zero_probability_ * (length_ >> arithmetic::kBitLengthShift);
  const uint32_t bit = value_ >= split;
  if (bit == 0) {
    length_ = split;
    ++model.zero_count_;
  } else {
    value_ -= split;
    length_ -= split;
  }
  renormalise();
  if (--model.until_adapt_ == 0) model.adapt();
  return bit;
}

LAZ_INLINE uint32_t ArithmeticDecoder::decodeSymbol(SymbolModel& model) {
  using arithmetic::kSymbolLengthShift;
  uint32_t symbol, low, high = length_;
  const uint32_t* cumulative = model.cumulative_.data();
  length_ >>= kSymbolLengthShift;
  if (model.table_size_ != 0) {
    const uint32_t scaled = value_ / length_;
    const uint32_t slice = scaled >> model.table_shift_;
    const uint32_t* lookup = model.lookup_.data() + (slice < model.table_size_ ? slice : model.table_size_);
    symbol = lookup[0];
    uint32_t above = lookup[1] + 1;
    while (above > symbol + 1) {
      // Written as selects: which half holds the symbol is a coin toss
      // that a branch would mispredict.
      const uint32_t middle = (symbol + above) >> 1;
      const bool below = cumulative[middle] > scaled;
      above = below ? middle : above;
      symbol = below ? symbol : middle;
    }
    low = cumulative[symbol] * length_;
    if (symbol != model.last_symbol_) high = cumulative[symbol + 1] * length_;
  } else {
    low = symbol = 0;
    uint32_t above = model.symbols_;
    uint32_t middle = above >> 1;
    do {
      const uint32_t bound = length_ * cumulative[middle];
      const bool below = bound > value_;
      above = below ? middle : above;
      high = below ? bound : high;
      symbol = below ? symbol : middle;
      low = below ? low : bound;
    } while ((middle = (symbol + above) >> 1) != symbol);
  }
  value_ -= low;
  length_ = high - low;
  renormalise();
  ++model.counts_[symbol];
  if (--model.until_adapt_ == 0) model.adapt();
  return symbol;
}

LAZ_INLINE uint32_t ArithmeticDecoder::readShort() {
  const uint32_t value = value_ / (length_ >>= 16);
  value_ -= length_ * value;
  renormalise();
  if (value > 0xFFFF) damaged_ = true;
  return value & 0xFFFF;
}

LAZ_INLINE uint32_t ArithmeticDecoder::readBits(uint32_t bits) {
  uint32_t low = 0, low_bits = 0;
  if (bits > 19) {
    low = readShort();
    low_bits = 16;
    bits -= 16;
  }
  const uint32_t value = value_ / (length_ >>= bits);
  value_ -= length_ * value;
  renormalise();
  const uint32_t mask = (1u << bits) - 1;
  if (value > mask) damaged_ = true;
  return (value & mask) << low_bits | low;
}

LAZ_INLINE uint32_t ArithmeticDecoder::readInt() {
  const uint32_t low = readShort();
  return readShort() << 16 | low;
}

// Encodes into a growing byte vector; `finish` flushes the interval so the
// decoder reads exactly the bytes written.
class ArithmeticEncoder {
 public:
  explicit ArithmeticEncoder(std::vector<uint8_t>& out) : out_(out) {}

  void encodeBit(BitModel& model, uint32_t bit);
  void encodeSymbol(SymbolModel& model, uint32_t symbol);
  void writeBits(uint32_t bits, uint32_t value);
  void writeInt(uint32_t value) {
    writeShort(value & 0xFFFF);
    writeShort(value >> 16);
  }
  void finish();

 private:
  void writeShort(uint32_t value);
  void addToBase(uint32_t amount);
  void renormalise();

  std::vector<uint8_t>& out_;
  uint32_t base_ = 0;
  uint32_t length_ = 0xFFFFFFFFu;
};

}  // namespace laz
}  // namespace korvane_navigation
