#include "formats/e57_decoding.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <array>
#include <cmath>
#include <utility>

#include "formats/e57_pages.h"

namespace korvane_navigation {
namespace e57 {
namespace {

// The `width`-bit value at `bit` in padded data. Whole 8-byte loads: a value
// up to 57 bits wide lies in the 8 bytes from its first byte, a wider one may
// reach one byte further.
inline uint64_t fetchBits(const uint8_t* data, uint64_t bit, unsigned width) {
  const uint8_t* p = data + bit / 8;
  const unsigned shift = static_cast<unsigned>(bit % 8);
  uint64_t value = loadU64(p) >> shift;
  if (width > 57 && shift != 0) value |= uint64_t{p[8]} << (64 - shift);
  return width < 64 ? value & ((uint64_t{1} << width) - 1) : value;
}

// A scaled or plain integer from its stored value; integers have scale 1
// and offset 0, which leave every value unchanged.
inline double integerValue(uint64_t raw, uint64_t minimum, double scale, double offset) {
  return static_cast<double>(static_cast<int64_t>(minimum + raw)) * scale + offset;
}

// Eight `kWidth`-bit values fill exactly kWidth bytes, so in runs of eight
// that start on a byte boundary each value's byte and shift are constants.
template <unsigned kWidth, size_t... kIndex>
inline void decodeGroup(const uint8_t* data, uint64_t minimum, double scale, double offset, double* out,
                        std::index_sequence<kIndex...>) {
  constexpr uint64_t kMask = (uint64_t{1} << kWidth) - 1;
  ((out[kIndex] = integerValue(loadU64(data + kIndex * kWidth / 8) >> (kIndex * kWidth % 8) & kMask, minimum,
                               scale, offset)),
   ...);
}

template <unsigned kWidth>
void decodeGroups(const uint8_t* data, size_t groups, uint64_t minimum, double scale, double offset, double* out) {
  for (size_t g = 0; g < groups; ++g, data += kWidth, out += 8)
    decodeGroup<kWidth>(data, minimum, scale, offset, out, std::make_index_sequence<8>());
}

using GroupDecoder = void (*)(const uint8_t*, size_t, uint64_t, double, double, double*);
constexpr unsigned kWidestGroupValue = 57;  // the widest that one 8-byte load holds at any shift

template <size_t... kWidth>
constexpr std::array<GroupDecoder, sizeof...(kWidth)> groupDecoders(std::index_sequence<kWidth...>) {
  return {&decodeGroups<static_cast<unsigned>(kWidth) + 1>...};
}
constexpr auto kGroupDecoders = groupDecoders(std::make_index_sequence<kWidestGroupValue>());

#if defined(__x86_64__)
// The same runs of eight, four values to a vector: each value's bytes are
// shuffled into its own 64-bit lane and shifted into place. A value below
// 2^52 becomes a double exactly through the exponent bits of 2^52; adding a
// minimum that a double holds exactly then rounds once, as converting the
// 64-bit sum does, so every result equals integerValue's.
constexpr unsigned kWidestVectorValue = 52;
constexpr uint64_t kLargestExactMinimum = uint64_t{1} << 53;

template <unsigned kWidth>
struct GroupLayout {
  static constexpr unsigned byte(unsigned value) { return value * kWidth / 8; }
  static constexpr unsigned shift(unsigned value) { return value * kWidth % 8; }
  // Values 4 * half .. 4 * half + 3: the low 128-bit lane is loaded from the
  // first value's byte, the high one from the third's.
  static constexpr char control(unsigned half, unsigned index) {
    const unsigned lane = index / 16, value = 4 * half + 2 * lane + index % 16 / 8;
    return static_cast<char>(byte(value) - byte(4 * half + 2 * lane) + index % 8);
  }
};

template <unsigned kWidth, unsigned kHalf, size_t... kIndex>
__attribute__((target("avx2"))) inline __m256i fourValues(const uint8_t* data, std::index_sequence<kIndex...>) {
  using Layout = GroupLayout<kWidth>;
  const __m256i bytes = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + Layout::byte(4 * kHalf)))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + Layout::byte(4 * kHalf + 2))), 1);
  const __m256i lanes = _mm256_shuffle_epi8(bytes, _mm256_setr_epi8(Layout::control(kHalf, kIndex)...));
  const __m256i shifted = _mm256_srlv_epi64(
      lanes, _mm256_setr_epi64x(Layout::shift(4 * kHalf), Layout::shift(4 * kHalf + 1), Layout::shift(4 * kHalf + 2),
                                Layout::shift(4 * kHalf + 3)));
  return _mm256_and_si256(shifted, _mm256_set1_epi64x(static_cast<int64_t>((uint64_t{1} << kWidth) - 1)));
}

struct VectorScaling {
  __m256d low, step, shift;
};

__attribute__((target("avx2"))) inline void storeValues(__m256i raw, const VectorScaling& scaling, double* out) {
  const __m256i exponent = _mm256_set1_epi64x(0x4330000000000000);  // the bits of 2^52
  __m256d v = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(raw, exponent)), _mm256_set1_pd(4503599627370496.0));
  v = _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(v, scaling.low), scaling.step), scaling.shift);
  _mm256_storeu_pd(out, v);
}

template <unsigned kWidth>
__attribute__((target("avx2"))) void decodeGroupsFourAtATime(const uint8_t* data, size_t groups, uint64_t minimum,
                                                              double scale, double offset, double* out) {
  const VectorScaling scaling = {_mm256_set1_pd(static_cast<double>(static_cast<int64_t>(minimum))),
                                 _mm256_set1_pd(scale), _mm256_set1_pd(offset)};
  for (size_t g = 0; g < groups; ++g, data += kWidth, out += 8) {
    storeValues(fourValues<kWidth, 0>(data, std::make_index_sequence<32>()), scaling, out);
    storeValues(fourValues<kWidth, 1>(data, std::make_index_sequence<32>()), scaling, out + 4);
  }
}

template <size_t... kWidth>
constexpr std::array<GroupDecoder, sizeof...(kWidth)> vectorGroupDecoders(std::index_sequence<kWidth...>) {
  return {&decodeGroupsFourAtATime<static_cast<unsigned>(kWidth) + 1>...};
}
constexpr auto kVectorGroupDecoders = vectorGroupDecoders(std::make_index_sequence<kWidestVectorValue>());
#endif

}  // namespace

void decodeField(const Field& field, const uint8_t* data, uint64_t bit, size_t count, double* out) {
  const unsigned width = field.bits;
  if (field.kind == FieldKind::kFloat) {
    for (size_t i = 0; i < count; ++i, bit += width) {
      const uint64_t raw = fetchBits(data, bit, width);
      if (width == 32) {
        const uint32_t narrow = static_cast<uint32_t>(raw);
        float single;
        std::memcpy(&single, &narrow, sizeof single);
        out[i] = single;
      } else {
        double wide;
        std::memcpy(&wide, &raw, sizeof wide);
        out[i] = wide;
      }
    }
    return;
  }
  const uint64_t minimum = static_cast<uint64_t>(field.minimum);
  const double scale = field.scale, offset = field.offset;
  if (width == 0) {
    std::fill(out, out + count, integerValue(0, minimum, scale, offset));
  } else if (width <= kWidestGroupValue && bit % 8 == 0 && count % 8 == 0) {
#if defined(__x86_64__)
    const bool avx2 = processorHas(__builtin_cpu_supports("avx2"));
    const bool exact_minimum = minimum + kLargestExactMinimum <= 2 * kLargestExactMinimum;  // |minimum| <= 2^53
    if (avx2 && width <= kWidestVectorValue && exact_minimum) {
      kVectorGroupDecoders[width - 1](data + bit / 8, count / 8, minimum, scale, offset, out);
      return;
    }
#endif
    kGroupDecoders[width - 1](data + bit / 8, count / 8, minimum, scale, offset, out);
  } else if (width <= kWidestGroupValue) {
    const uint64_t mask = (uint64_t{1} << width) - 1;
    for (size_t i = 0; i < count; ++i, bit += width)
      out[i] = integerValue(loadU64(data + bit / 8) >> (bit % 8) & mask, minimum, scale, offset);
  } else {
    for (size_t i = 0; i < count; ++i, bit += width)
      out[i] = integerValue(fetchBits(data, bit, width), minimum, scale, offset);
  }
}

namespace {

// Puts the valid points of a batch into `out`, in the common frame, and
// returns how many there are. Every point is written and then kept or
// overwritten, which keeps the loop free of unpredictable branches.
template <bool kSpherical, bool kPose, bool kInvalidState>
size_t placePoints(const ScanDescription& scan, const double* const* values, size_t count, double* out) {
  const double* a = values[0];
  const double* b = values[1];
  const double* c = values[2];
  const double* state = values[3];
  const double(&r)[3][3] = scan.rotation;
  const double* t = scan.translation;
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    double p[3] = {a[i], b[i], c[i]};
    if (kSpherical) {
      const double range = a[i], azimuth = b[i], elevation = c[i];
      p[0] = range * std::cos(elevation) * std::cos(azimuth);
      p[1] = range * std::cos(elevation) * std::sin(azimuth);
      p[2] = range * std::sin(elevation);
    }
    double* point = out + 3 * kept;
    for (int axis = 0; axis < 3; ++axis) {
      point[axis] = kPose ? r[axis][0] * p[0] + r[axis][1] * p[1] + r[axis][2] * p[2] + t[axis] : p[axis];
    }
    // A NaN or an infinity cannot be placed in a map: such points count as invalid.
    bool valid = std::isfinite(point[0]) & std::isfinite(point[1]) & std::isfinite(point[2]);
    if (kInvalidState) valid &= state[i] == 0;
    kept += valid;
  }
  return kept;
}


template <bool kSpherical, bool kPose>
PlacePoints choosePlacement(bool invalid_state) {
  return invalid_state ? &placePoints<kSpherical, kPose, true> : &placePoints<kSpherical, kPose, false>;
}

}  // namespace

PlacePoints choosePlacement(const ScanDescription& scan) {
  const bool invalid_state = scan.invalid_state_field >= 0;
  if (scan.spherical)
    return scan.has_pose ? choosePlacement<true, true>(invalid_state) : choosePlacement<true, false>(invalid_state);
  return scan.has_pose ? choosePlacement<false, true>(invalid_state) : choosePlacement<false, false>(invalid_state);
}

}  // namespace e57

uint64_t unpackBits(const uint8_t* data, uint64_t bit_offset, unsigned width) {
  if (width == 0) return 0;
  const uint8_t* p = data + bit_offset / 8;
  const unsigned shift = static_cast<unsigned>(bit_offset % 8);
  const unsigned spanned = (shift + width + 7) / 8;  // up to 9 bytes for 64 bits not on a byte boundary
  uint64_t value = 0;
  for (unsigned i = 0; i < spanned && i < 8; ++i) value |= uint64_t{p[i]} << (8 * i);
  value >>= shift;
  if (spanned == 9) value |= uint64_t{p[8]} << (64 - shift);
  if (width < 64) value &= (uint64_t{1} << width) - 1;
  return value;
}

}  // namespace korvane_navigation
