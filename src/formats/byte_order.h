// Numbers as the files keep them, whatever the host: LAS, LAZ, E57 and
// binary PCD little-endian, apart from the big-endian checksum that ends each
// E57 page and the LAZ range coder's words; PLY either way, as it declares.
// Copying the bytes and swapping them only when the orders differ compiles
// to single loads and stores, and stays correct at any alignment.
#pragma once

#include <cstdint>
#include <cstring>

namespace korvane_navigation {
namespace byte_order {

constexpr bool kHostIsBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

inline uint16_t swapped(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t swapped(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t swapped(uint64_t v) { return __builtin_bswap64(v); }

// An unsigned integer of 2, 4 or 8 bytes in the given byte order.
template <typename Unsigned>
inline Unsigned load(const uint8_t* p, bool big_endian) {
  Unsigned v;
  std::memcpy(&v, p, sizeof v);
  return big_endian != kHostIsBigEndian ? swapped(v) : v;
}

template <typename Unsigned>
inline void storeLittle(uint8_t* p, Unsigned v) {
  if (kHostIsBigEndian) v = swapped(v);
  std::memcpy(p, &v, sizeof v);
}

}  // namespace byte_order

inline uint16_t loadU16(const uint8_t* p) { return byte_order::load<uint16_t>(p, false); }
inline uint32_t loadU32(const uint8_t* p) { return byte_order::load<uint32_t>(p, false); }
inline uint64_t loadU64(const uint8_t* p) { return byte_order::load<uint64_t>(p, false); }
inline int32_t loadI32(const uint8_t* p) { return static_cast<int32_t>(loadU32(p)); }
inline double loadF64(const uint8_t* p) {
  const uint64_t bits = loadU64(p);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
inline uint32_t loadU32BigEndian(const uint8_t* p) { return byte_order::load<uint32_t>(p, true); }

inline void storeU16(uint8_t* p, uint16_t v) { byte_order::storeLittle(p, v); }
inline void storeU32(uint8_t* p, uint32_t v) { byte_order::storeLittle(p, v); }
inline void storeU64(uint8_t* p, uint64_t v) { byte_order::storeLittle(p, v); }
inline void storeI32(uint8_t* p, int32_t v) { storeU32(p, static_cast<uint32_t>(v)); }
inline void storeF64(uint8_t* p, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  storeU64(p, bits);
}

}  // namespace korvane_navigation
