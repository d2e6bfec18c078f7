#include "formats/laz_pointwise.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "formats/laz_arithmetic.h"
#include "formats/laz_integer_codec.h"
#include "formats/laz_item_decoder.h"
#include "formats/laz_point_context.h"

namespace korvane_navigation {
namespace laz {
namespace {

// x, y, z, intensity, the return and flag byte, classification, scan
// angle rank, user data and point source ID of formats 0 to 5.
class Point10Decoder final : public ItemDecoder {
 public:
  void start(const uint8_t* first) override {
    std::memcpy(last_, first, 20);
    last_[12] = last_[13] = 0;  // intensity is predicted per return context, from 0
  }

  static constexpr size_t kBytes = 20;
  void decode(ArithmeticDecoder& decoder, uint8_t* item) override { decodeNext(decoder, item); }

  // Non-virtual, so that a loop over records of known items inlines it.
  LAZ_INLINE void decodeNext(ArithmeticDecoder& decoder, uint8_t* item) {
    const uint32_t changed = decoder.decodeSymbol(changed_values_);
    if (changed & 32) last_[14] = static_cast<uint8_t>(decoder.decodeSymbol(bit_byte_[last_[14]]));
    const uint32_t r = last_[14] & 7, n = (last_[14] >> 3) & 7;
    const uint32_t m = returnContext(n, r), l = returnLevel(n, r);
    if (changed & 16) last_intensity_[m] = static_cast<uint16_t>(intensity_.decode(decoder, last_intensity_[m], std::min(m, 3u)));
    storeU16(last_ + 12, last_intensity_[m]);
    if (changed & 8) last_[15] = static_cast<uint8_t>(decoder.decodeSymbol(classification_[last_[15]]));
    if (changed & 4) last_[16] = addByte(last_[16], decoder.decodeSymbol(scan_angle_[(last_[14] >> 6) & 1]));
    if (changed & 2) last_[17] = static_cast<uint8_t>(decoder.decodeSymbol(user_data_[last_[17]]));
    if (changed & 1) storeU16(last_ + 18, static_cast<uint32_t>(point_source_.decode(decoder, loadU16(last_ + 18))));

    const bool single = n == 1;
    const int32_t dx = dx_.decode(decoder, x_median_[m].median(), single ? 1 : 0);
    storeI32(last_, wrappingSum(loadI32(last_), dx));
    x_median_[m].add(dx);
    const int32_t dy = dy_.decode(decoder, y_median_[m].median(), yContext(single, dx_.lastK()));
    storeI32(last_ + 4, wrappingSum(loadI32(last_ + 4), dy));
    y_median_[m].add(dy);
    const int32_t z = z_.decode(decoder, last_height_[l], zContext(single, dx_.lastK(), dy_.lastK()));
    storeI32(last_ + 8, z);
    last_height_[l] = z;
    std::memcpy(item, last_, 20);
  }

 private:
  uint8_t last_[20] = {};
  uint16_t last_intensity_[16] = {};
  int32_t last_height_[8] = {};
  StreamingMedian5 x_median_[16], y_median_[16];
  SymbolModel changed_values_{64};
  SymbolModel scan_angle_[2] = {SymbolModel(256), SymbolModel(256)};
  ModelPerByte bit_byte_, classification_, user_data_;
  IntegerDecoder intensity_{16, 4};
  IntegerDecoder point_source_{16, 1};
  IntegerDecoder dx_{32, 2}, dy_{32, 22}, z_{32, 20};
};

// The GPS time as a double's 64 bits: coded as integer differences that
// repeat (or are multiples of) the last, over up to four interleaved
// sequences (for scanners that mix pulses of several sources).
class GpsTime11Decoder final : public ItemDecoder {
 public:
  static constexpr size_t kBytes = 8;
  void start(const uint8_t* first) override { time_[0] = loadU64(first); }
  void decode(ArithmeticDecoder& decoder, uint8_t* item) override { decodeNext(decoder, item); }

  LAZ_INLINE void decodeNext(ArithmeticDecoder& decoder, uint8_t* item) {
    // A switch of sequence codes the time again in the new one; more than a
    // few in a row only happen in damaged data.
    for (int attempt = 0; attempt < 4 && decodeOnce(decoder); ++attempt) {
    }
    storeU64(item, time_[last_]);
  }

 private:
  static constexpr int32_t kMulti = 500;
  static constexpr int32_t kMultiMinus = -10;
  static constexpr uint32_t kMultiUnchanged = kMulti - kMultiMinus + 1;
  static constexpr uint32_t kMultiCodeFull = kMulti - kMultiMinus + 2;
  static constexpr uint32_t kMultiTotal = kMulti - kMultiMinus + 6;

  static int32_t times(int32_t multiple, int32_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(multiple) * static_cast<uint32_t>(value));
  }

  void addToTime(int32_t difference) { time_[last_] += static_cast<uint64_t>(int64_t{difference}); }

  // A difference that does not repeat the last: kept as the new one after four in a row.
  void addExtreme(int32_t difference) {
    if (++extreme_count_[last_] > 3) {
      last_difference_[last_] = difference;
      extreme_count_[last_] = 0;
    }
  }

  LAZ_INLINE void readFull(ArithmeticDecoder& decoder) {
    next_ = (next_ + 1) & 3;
    const auto high = static_cast<uint32_t>(full_.decode(decoder, static_cast<int32_t>(time_[last_] >> 32), 8));
    time_[next_] = uint64_t{high} << 32 | decoder.readInt();
    last_ = next_;
    last_difference_[last_] = 0;
    extreme_count_[last_] = 0;
  }

  // Returns true when the sequence was switched and the time follows again.
  LAZ_INLINE bool decodeOnce(ArithmeticDecoder& decoder) {
    if (last_difference_[last_] == 0) {
      const uint32_t multi = decoder.decodeSymbol(zero_difference_);
      if (multi == 1) {
        last_difference_[last_] = full_.decode(decoder, 0, 0);
        addToTime(last_difference_[last_]);
        extreme_count_[last_] = 0;
      } else if (multi == 2) {
        readFull(decoder);
      } else if (multi > 2) {
        last_ = (last_ + multi - 2) & 3;
        return true;
      }
      return false;
    }
    const uint32_t multi = decoder.decodeSymbol(multiple_);
    const int32_t last = last_difference_[last_];
    if (multi == 1) {
      addToTime(full_.decode(decoder, last, 1));
      extreme_count_[last_] = 0;
    } else if (multi < kMultiUnchanged) {
      int32_t difference;
      if (multi == 0) {
        difference = full_.decode(decoder, 0, 7);
        addExtreme(difference);
      } else if (multi < static_cast<uint32_t>(kMulti)) {
        difference = full_.decode(decoder, times(static_cast<int32_t>(multi), last), multi < 10 ? 2 : 3);
      } else if (multi == static_cast<uint32_t>(kMulti)) {
        difference = full_.decode(decoder, times(kMulti, last), 4);
        addExtreme(difference);
      } else {
        const int32_t negative = kMulti - static_cast<int32_t>(multi);
        if (negative > kMultiMinus) {
          difference = full_.decode(decoder, times(negative, last), 5);
        } else {
          difference = full_.decode(decoder, times(kMultiMinus, last), 6);
          addExtreme(difference);
        }
      }
      addToTime(difference);
    } else if (multi == kMultiCodeFull) {
      readFull(decoder);
    } else if (multi > kMultiCodeFull) {
      last_ = (last_ + multi - kMultiCodeFull) & 3;
      return true;
    }
    return false;
  }

  uint64_t time_[4] = {0, 0, 0, 0};
  int32_t last_difference_[4] = {0, 0, 0, 0};
  int32_t extreme_count_[4] = {0, 0, 0, 0};
  uint32_t last_ = 0, next_ = 0;
  SymbolModel multiple_{kMultiTotal};
  SymbolModel zero_difference_{6};
  IntegerDecoder full_{32, 9};
};

// Red, green and blue, 16 bits each: the low and high bytes coded apart,
// green and blue predicted from red's change.
class Rgb12Decoder final : public ItemDecoder {
 public:
  void start(const uint8_t* first) override {
    for (int c = 0; c < 3; ++c) last_[c] = loadU16(first + 2 * c);
  }
  static constexpr size_t kBytes = 6;
  void decode(ArithmeticDecoder& decoder, uint8_t* item) override { decodeNext(decoder, item); }

  LAZ_INLINE void decodeNext(ArithmeticDecoder& decoder, uint8_t* item) {
    const uint32_t used = decoder.decodeSymbol(byte_used_);
    uint32_t rgb[3];
    rgb[0] = (used & 1) ? addByte(last_[0] & 0xFF, decoder.decodeSymbol(difference_[0])) : last_[0] & 0xFF;
    rgb[0] |= (used & 2) ? uint32_t{addByte(last_[0] >> 8, decoder.decodeSymbol(difference_[1]))} << 8
                         : last_[0] & 0xFF00;
    if (used & 64) {
      int change = static_cast<int>(rgb[0] & 0xFF) - (last_[0] & 0xFF);
      rgb[1] = (used & 4) ? addByte(clampByte(change + (last_[1] & 0xFF)), decoder.decodeSymbol(difference_[2]))
                          : last_[1] & 0xFF;
      if (used & 16) {
        change = (change + (static_cast<int>(rgb[1] & 0xFF) - (last_[1] & 0xFF))) / 2;
        rgb[2] = addByte(clampByte(change + (last_[2] & 0xFF)), decoder.decodeSymbol(difference_[4]));
      } else {
        rgb[2] = last_[2] & 0xFF;
      }
      change = static_cast<int>(rgb[0] >> 8) - (last_[0] >> 8);
      rgb[1] |= (used & 8) ? uint32_t{addByte(clampByte(change + (last_[1] >> 8)), decoder.decodeSymbol(difference_[3]))} << 8
                           : last_[1] & 0xFF00;
      if (used & 32) {
        change = (change + (static_cast<int>(rgb[1] >> 8) - (last_[1] >> 8))) / 2;
        rgb[2] |= uint32_t{addByte(clampByte(change + (last_[2] >> 8)), decoder.decodeSymbol(difference_[5]))} << 8;
      } else {
        rgb[2] |= last_[2] & 0xFF00;
      }
    } else {
      rgb[1] = rgb[2] = rgb[0];
    }
    for (int c = 0; c < 3; ++c) {
      last_[c] = static_cast<uint16_t>(rgb[c]);
      storeU16(item + 2 * c, rgb[c]);
    }
  }

 private:
  uint16_t last_[3] = {0, 0, 0};
  SymbolModel byte_used_{128};
  SymbolModel difference_[6] = {SymbolModel(256), SymbolModel(256), SymbolModel(256),
                                SymbolModel(256), SymbolModel(256), SymbolModel(256)};
};

// Extra bytes: each byte's difference from the same byte of the last record.
class ByteDecoder final : public ItemDecoder {
 public:
  explicit ByteDecoder(size_t count) : last_(count), models_(count, SymbolModel(256)) {}
  void start(const uint8_t* first) override { std::memcpy(last_.data(), first, last_.size()); }
  void decode(ArithmeticDecoder& decoder, uint8_t* item) override {
    for (size_t i = 0; i < last_.size(); ++i) item[i] = last_[i] = addByte(last_[i], decoder.decodeSymbol(models_[i]));
  }

 private:
  std::vector<uint8_t> last_;
  std::vector<SymbolModel> models_;
};

std::unique_ptr<ItemDecoder> makeDecoder(const Item& item) {
  if (item.version == 1) return makeVersion1Decoder(item);
  if (item.version != 2) return nullptr;
  switch (item.type) {
    case ItemType::kPoint10:
      return item.size == 20 ? std::make_unique<Point10Decoder>() : nullptr;
    case ItemType::kGpsTime11:
      return item.size == 8 ? std::make_unique<GpsTime11Decoder>() : nullptr;
    case ItemType::kRgb12:
      return item.size == 6 ? std::make_unique<Rgb12Decoder>() : nullptr;
    case ItemType::kByte:
      return item.size > 0 ? std::make_unique<ByteDecoder>(item.size) : nullptr;
    default:
      return nullptr;
  }
}

}  // namespace

std::string pointwiseItemsRefusal(const std::vector<Item>& items) {
  for (const Item& item : items) {
    if (!makeDecoder(item)) return "LAZ item " + itemText(item) + " is not supported by the point-wise decoder";
  }
  return "";
}

// The records of point formats 0 to 3 without extra bytes, by far the
// commonest, decoded item after item without a virtual call. The arithmetic
// decoder is a local here whose address never leaves the inlined loop, so
// its value, length and position stay in registers.
template <typename... Decoders>
void decodeRecordsOf(ArithmeticDecoder& stream, size_t count, uint8_t* records, Decoders&... items) {
  constexpr size_t kRecordBytes = (Decoders::kBytes + ...);
  ArithmeticDecoder decoder = stream;
  for (size_t index = 1; index < count; ++index) {
    uint8_t* item = records + kRecordBytes * index;
    ((items.decodeNext(decoder, item), item += Decoders::kBytes), ...);
    if (decoder.overrun() > 4) break;  // far past the end: the rest is noise
  }
  stream = decoder;
}

// True when the items are POINT10 with GPSTIME11, RGB12 or both, version
// 2: they are then decoded by decodeRecordsOf.
bool decodeKnownRecords(const std::vector<Item>& items, const std::vector<std::unique_ptr<ItemDecoder>>& decoders,
                        ArithmeticDecoder& decoder, size_t count, uint8_t* records) {
  const auto is = [&items](size_t i, ItemType type) { return items[i].type == type && items[i].version == 2; };
  if (items.empty() || items.size() > 3 || !is(0, ItemType::kPoint10)) return false;
  auto& point = static_cast<Point10Decoder&>(*decoders[0]);
  if (items.size() == 1) {
    decodeRecordsOf(decoder, count, records, point);
  } else if (items.size() == 2 && is(1, ItemType::kGpsTime11)) {
    decodeRecordsOf(decoder, count, records, point, static_cast<GpsTime11Decoder&>(*decoders[1]));
  } else if (items.size() == 2 && is(1, ItemType::kRgb12)) {
    decodeRecordsOf(decoder, count, records, point, static_cast<Rgb12Decoder&>(*decoders[1]));
  } else if (items.size() == 3 && is(1, ItemType::kGpsTime11) && is(2, ItemType::kRgb12)) {
    decodeRecordsOf(decoder, count, records, point, static_cast<GpsTime11Decoder&>(*decoders[1]),
                    static_cast<Rgb12Decoder&>(*decoders[2]));
  } else {
    return false;
  }
  return true;
}

ChunkDecoding decodePointwiseChunk(const std::vector<Item>& items, const uint8_t* chunk, size_t size, size_t count,
                                   uint8_t* records) {
  ChunkDecoding result;
  if (count == 0) return result;
  std::vector<std::unique_ptr<ItemDecoder>> decoders;
  size_t record_length = 0;
  for (const Item& item : items) {
    decoders.push_back(makeDecoder(item));
    if (!decoders.back()) {
      result.error = "LAZ item " + itemText(item) + " is not supported by the point-wise decoder";
      return result;
    }
    record_length += item.size;
  }
  if (size < record_length) {
    result.error = "chunk of " + std::to_string(size) + " bytes is shorter than its first record";
    return result;
  }
  std::memcpy(records, chunk, record_length);
  size_t offset = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    decoders[i]->start(records + offset);
    offset += items[i].size;
  }
  ArithmeticDecoder decoder(chunk + record_length, size - record_length);
  if (!decodeKnownRecords(items, decoders, decoder, count, records)) {
    for (size_t point = 1; point < count; ++point) {
      uint8_t* record = records + point * record_length;
      offset = 0;
      for (size_t i = 0; i < items.size(); ++i) {
        decoders[i]->decode(decoder, record + offset);
        offset += items[i].size;
      }
      if (decoder.overrun() > 4) break;  // far past the end: the rest is noise
    }
  }
  result.bytes_used = record_length + decoder.consumed();
  if (decoder.overrun() > 0) {
    result.error = "chunk data runs past its " + std::to_string(size) + " bytes";
  } else if (decoder.damaged()) {
    result.error = "chunk data is corrupt";
  }
  return result;
}

}  // namespace laz
}  // namespace korvane_navigation
