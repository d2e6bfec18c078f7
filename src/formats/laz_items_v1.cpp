// The version 1 item coders of LASzip 1: simpler predictions than version
// 2's (the median of the last three differences, one context per field).
#include <cstring>
#include <memory>
#include <vector>

#include "formats/laz_integer_codec.h"
#include "formats/laz_item_decoder.h"
#include "formats/laz_point_context.h"

namespace korvane_navigation {
namespace laz {
namespace {

int32_t medianOfThree(const int32_t (&v)[3]) {
  if (v[0] < v[1]) return v[1] < v[2] ? v[1] : (v[0] < v[2] ? v[2] : v[0]);
  return v[0] < v[2] ? v[0] : (v[1] < v[2] ? v[2] : v[1]);
}

// The coordinates first, then which other fields changed.
class Point10Version1Decoder final : public ItemDecoder {
 public:
  void start(const uint8_t* first) override { std::memcpy(last_, first, 20); }

  void decode(ArithmeticDecoder& decoder, uint8_t* item) override {
    const int32_t dx = dx_.decode(decoder, medianOfThree(last_dx_));
    storeI32(last_, wrappingSum(loadI32(last_), dx));
    uint32_t k = dx_.lastK();
    const int32_t dy = dy_.decode(decoder, medianOfThree(last_dy_), std::min(k, 19u));
    storeI32(last_ + 4, wrappingSum(loadI32(last_ + 4), dy));
    k = (k + dy_.lastK()) / 2;
    storeI32(last_ + 8, z_.decode(decoder, loadI32(last_ + 8), std::min(k, 19u)));
    const uint32_t changed = decoder.decodeSymbol(changed_values_);
    if (changed & 32) storeU16(last_ + 12, static_cast<uint32_t>(intensity_.decode(decoder, loadU16(last_ + 12))));
    if (changed & 16) last_[14] = static_cast<uint8_t>(decoder.decodeSymbol(bit_byte_[last_[14]]));
    if (changed & 8) last_[15] = static_cast<uint8_t>(decoder.decodeSymbol(classification_[last_[15]]));
    if (changed & 4) last_[16] = static_cast<uint8_t>(scan_angle_.decode(decoder, last_[16], k < 3 ? 1 : 0));
    if (changed & 2) last_[17] = static_cast<uint8_t>(decoder.decodeSymbol(user_data_[last_[17]]));
    if (changed & 1) storeU16(last_ + 18, static_cast<uint32_t>(point_source_.decode(decoder, loadU16(last_ + 18))));
    last_dx_[next_] = dx;
    last_dy_[next_] = dy;
    next_ = (next_ + 1) % 3;
    std::memcpy(item, last_, 20);
  }

 private:
  uint8_t last_[20] = {};
  int32_t last_dx_[3] = {0, 0, 0}, last_dy_[3] = {0, 0, 0};
  unsigned next_ = 0;
  IntegerDecoder dx_{32, 1}, dy_{32, 20}, z_{32, 20};
  IntegerDecoder intensity_{16, 1}, scan_angle_{8, 2}, point_source_{16, 1};
  SymbolModel changed_values_{64};
  ModelPerByte bit_byte_, classification_, user_data_;
};

class GpsTime11Version1Decoder final : public ItemDecoder {
 public:
  void start(const uint8_t* first) override { time_ = loadU64(first); }

  void decode(ArithmeticDecoder& decoder, uint8_t* item) override {
    if (last_difference_ == 0) {
      const uint32_t multi = decoder.decodeSymbol(zero_difference_);
      if (multi == 1) {
        last_difference_ = full_.decode(decoder, 0, 0);
        time_ += static_cast<uint64_t>(int64_t{last_difference_});
      } else if (multi == 2) {
        time_ = readInt64(decoder);
      }
    } else {
      const uint32_t multi = decoder.decodeSymbol(multiple_);
      if (multi < kMultiMax - 2) {
        int32_t difference;
        if (multi == 1) {
          difference = full_.decode(decoder, last_difference_, 1);
          last_difference_ = difference;
          extreme_count_ = 0;
        } else if (multi == 0) {
          difference = full_.decode(decoder, last_difference_ / 4, 2);
          addExtreme(difference);
        } else {
          difference = full_.decode(decoder, times(static_cast<int32_t>(multi), last_difference_),
                                    multi < 10 ? 3 : multi < 50 ? 4 : 5);
          if (multi == kMultiMax - 3) addExtreme(difference);
        }
        time_ += static_cast<uint64_t>(int64_t{difference});
      } else if (multi < kMultiMax - 1) {
        time_ = readInt64(decoder);
      }
    }
    storeU64(item, time_);
  }

 private:
  static constexpr uint32_t kMultiMax = 512;

  static int32_t times(int32_t multiple, int32_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(multiple) * static_cast<uint32_t>(value));
  }
  static uint64_t readInt64(ArithmeticDecoder& decoder) {
    const uint64_t low = decoder.readInt();
    return uint64_t{decoder.readInt()} << 32 | low;
  }
  void addExtreme(int32_t difference) {
    if (++extreme_count_ > 3) {
      last_difference_ = difference;
      extreme_count_ = 0;
    }
  }

  uint64_t time_ = 0;
  int32_t last_difference_ = 0;
  int32_t extreme_count_ = 0;
  SymbolModel multiple_{kMultiMax};
  SymbolModel zero_difference_{3};
  IntegerDecoder full_{32, 6};
};

// Each of the six colour bytes, when it changed, from the same byte of the last record.
class Rgb12Version1Decoder final : public ItemDecoder {
 public:
  void start(const uint8_t* first) override { std::memcpy(last_, first, 6); }

  void decode(ArithmeticDecoder& decoder, uint8_t* item) override {
    const uint32_t changed = decoder.decodeSymbol(byte_used_);
    for (uint32_t byte = 0; byte < 6; ++byte) {
      if (changed & (1u << byte)) last_[byte] = static_cast<uint8_t>(bytes_.decode(decoder, last_[byte], byte));
    }
    std::memcpy(item, last_, 6);
  }

 private:
  uint8_t last_[6] = {};
  SymbolModel byte_used_{64};
  IntegerDecoder bytes_{8, 6};
};

// The wave packet of formats 4 and 5: descriptor index, then offset, size,
// return point and direction, each from the last record's.
class WavePacket13Version1Decoder final : public ItemDecoder {
 public:
  void start(const uint8_t* first) override { std::memcpy(last_, first + 1, 28); }

  void decode(ArithmeticDecoder& decoder, uint8_t* item) override {
    item[0] = static_cast<uint8_t>(decoder.decodeSymbol(packet_index_));
    const uint64_t last_offset = loadU64(last_);
    const auto last_size = static_cast<uint32_t>(loadI32(last_ + 8));
    offset_kind_ = decoder.decodeSymbol(offset_difference_[offset_kind_]);
    uint64_t offset;
    switch (offset_kind_) {
      case 0: offset = last_offset; break;
      case 1: offset = last_offset + last_size; break;
      case 2:
        last_difference_ = offset_.decode(decoder, last_difference_);
        offset = last_offset + static_cast<uint64_t>(int64_t{last_difference_});
        break;
      default: {
        const uint64_t low = decoder.readInt();
        offset = uint64_t{decoder.readInt()} << 32 | low;
      }
    }
    uint8_t* packet = item + 1;
    storeU64(packet, offset);
    storeI32(packet + 8, size_.decode(decoder, static_cast<int32_t>(last_size)));
    storeI32(packet + 12, return_point_.decode(decoder, loadI32(last_ + 12)));
    for (uint32_t axis = 0; axis < 3; ++axis)
      storeI32(packet + 16 + 4 * axis, direction_.decode(decoder, loadI32(last_ + 16 + 4 * axis), axis));
    std::memcpy(last_, packet, 28);
  }

 private:
  uint8_t last_[28] = {};
  uint32_t offset_kind_ = 0;
  int32_t last_difference_ = 0;
  SymbolModel packet_index_{256};
  SymbolModel offset_difference_[4] = {SymbolModel(4), SymbolModel(4), SymbolModel(4), SymbolModel(4)};
  IntegerDecoder offset_{32, 1}, size_{32, 1}, return_point_{32, 1}, direction_{32, 3};
};

class ByteVersion1Decoder final : public ItemDecoder {
 public:
  explicit ByteVersion1Decoder(size_t count) : last_(count), bytes_(8, static_cast<uint32_t>(count)) {}
  void start(const uint8_t* first) override { std::memcpy(last_.data(), first, last_.size()); }
  void decode(ArithmeticDecoder& decoder, uint8_t* item) override {
    for (size_t i = 0; i < last_.size(); ++i)
      item[i] = last_[i] = static_cast<uint8_t>(bytes_.decode(decoder, last_[i], static_cast<uint32_t>(i)));
  }

 private:
  std::vector<uint8_t> last_;
  IntegerDecoder bytes_;
};

}  // namespace

std::unique_ptr<ItemDecoder> makeVersion1Decoder(const Item& item) {
  switch (item.type) {
    case ItemType::kPoint10:
      return item.size == 20 ? std::make_unique<Point10Version1Decoder>() : nullptr;
    case ItemType::kGpsTime11:
      return item.size == 8 ? std::make_unique<GpsTime11Version1Decoder>() : nullptr;
    case ItemType::kRgb12:
      return item.size == 6 ? std::make_unique<Rgb12Version1Decoder>() : nullptr;
    case ItemType::kWavePacket13:
      return item.size == 29 ? std::make_unique<WavePacket13Version1Decoder>() : nullptr;
    case ItemType::kByte:
      return item.size > 0 ? std::make_unique<ByteVersion1Decoder>(item.size) : nullptr;
    default:
      return nullptr;
  }
}

}  // namespace laz
}  // namespace korvane_navigation
