// The adaptive arithmetic coder of LAZ (LASzip) point data: a 32-bit range
// coder with adaptive binary and multi-symbol models, after A. Said's
// "Introduction to Arithmetic Coding" (HP Labs HPL-2004-76). Encoder and
// decoder must update their models in exactly the same way, so both live
// here and share the models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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
  size_t consumed() const { return position_; }
  size_t overrun() const { return position_ > size_ ? position_ - size_ : 0; }
  // A raw value decoded out of its range: only a damaged stream does that.
  bool damaged() const { return damaged_; }

 private:
  uint32_t readShort();
  uint8_t nextByte() { return position_ < size_ ? data_[position_++] : (++position_, 0); }
  void renormalise();

  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
  uint32_t value_ = 0;
  uint32_t length_ = 0xFFFFFFFFu;
  bool damaged_ = false;
};

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
