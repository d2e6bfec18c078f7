// The number types of binary PCD and PLY records, and the decoding of a
// record's x, y, z from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "formats/byte_order.h"

namespace korvane_navigation {

// Sizes that headers declare, multiplied and added without wrapping: a
// result beyond 64 bits stays at the largest value, which no file holds.
inline uint64_t saturatingProduct(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}
inline uint64_t saturatingSum(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

enum class ScalarType : uint8_t { kInt8, kUint8, kInt16, kUint16, kInt32, kUint32, kInt64, kUint64, kFloat32, kFloat64 };

inline size_t scalarBytes(ScalarType type) {
  switch (type) {
    case ScalarType::kInt8:
    case ScalarType::kUint8: return 1;
    case ScalarType::kInt16:
    case ScalarType::kUint16: return 2;
    case ScalarType::kInt32:
    case ScalarType::kUint32:
    case ScalarType::kFloat32: return 4;
    case ScalarType::kInt64:
    case ScalarType::kUint64:
    case ScalarType::kFloat64: return 8;
  }
  return 0;
}

inline bool isIntegerType(ScalarType type) { return type != ScalarType::kFloat32 && type != ScalarType::kFloat64; }

// The value of `type` at `p` in the given byte order, as a double. Each
// case loads a constant number of bytes, which compiles to one load.
inline double loadScalar(const uint8_t* p, ScalarType type, bool big_endian) {
  switch (type) {
    case ScalarType::kInt8: return static_cast<int8_t>(p[0]);
    case ScalarType::kUint8: return p[0];
    case ScalarType::kInt16: return static_cast<int16_t>(byte_order::load<uint16_t>(p, big_endian));
    case ScalarType::kUint16: return static_cast<double>(byte_order::load<uint16_t>(p, big_endian));
    case ScalarType::kInt32: return static_cast<int32_t>(byte_order::load<uint32_t>(p, big_endian));
    case ScalarType::kUint32: return static_cast<double>(byte_order::load<uint32_t>(p, big_endian));
    case ScalarType::kInt64: return static_cast<double>(static_cast<int64_t>(byte_order::load<uint64_t>(p, big_endian)));
    case ScalarType::kUint64: return static_cast<double>(byte_order::load<uint64_t>(p, big_endian));
    case ScalarType::kFloat32: {
      const uint32_t bits = byte_order::load<uint32_t>(p, big_endian);
      float value;
      std::memcpy(&value, &bits, sizeof value);
      return value;
    }
    case ScalarType::kFloat64: {
      const uint64_t bits = byte_order::load<uint64_t>(p, big_endian);
      double value;
      std::memcpy(&value, &bits, sizeof value);
      return value;
    }
  }
  return 0.0;
}

// Where a fixed-size record keeps one coordinate.
struct RecordAxis {
  size_t offset = 0;  // bytes into the record
  ScalarType type = ScalarType::kFloat32;
};

namespace scalar_detail {

// The loop for one type and byte order known when compiled: the common
// clouds of three floats or three doubles decode without a branch a value.
template <ScalarType kType, bool kBigEndian>
void decodeSameType(const uint8_t* records, size_t count, size_t record_bytes, const RecordAxis (&axes)[3],
                    double* out) {
  const size_t ox = axes[0].offset, oy = axes[1].offset, oz = axes[2].offset;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* record = records + i * record_bytes;
    out[3 * i + 0] = loadScalar(record + ox, kType, kBigEndian);
    out[3 * i + 1] = loadScalar(record + oy, kType, kBigEndian);
    out[3 * i + 2] = loadScalar(record + oz, kType, kBigEndian);
  }
}

}  // namespace scalar_detail

// Decodes x, y, z of `count` records of `record_bytes` each into
// out[3 * i + 0..2].
inline void decodeRecordAxes(const uint8_t* records, size_t count, size_t record_bytes, const RecordAxis (&axes)[3],
                             bool big_endian, double* out) {
  using scalar_detail::decodeSameType;
  const ScalarType type = axes[0].type;
  if (axes[1].type == type && axes[2].type == type) {
    if (type == ScalarType::kFloat32) {
      return big_endian ? decodeSameType<ScalarType::kFloat32, true>(records, count, record_bytes, axes, out)
                        : decodeSameType<ScalarType::kFloat32, false>(records, count, record_bytes, axes, out);
    }
    if (type == ScalarType::kFloat64) {
      return big_endian ? decodeSameType<ScalarType::kFloat64, true>(records, count, record_bytes, axes, out)
                        : decodeSameType<ScalarType::kFloat64, false>(records, count, record_bytes, axes, out);
    }
  }
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* record = records + i * record_bytes;
    for (int a = 0; a < 3; ++a) out[3 * i + a] = loadScalar(record + axes[a].offset, axes[a].type, big_endian);
  }
}

}  // namespace korvane_navigation
