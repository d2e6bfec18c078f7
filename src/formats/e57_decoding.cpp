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
size_t placePoints(const ScanDescription& scan, const double* const* values, size_t count, float* out) {
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
    float world[3];
    for (int axis = 0; axis < 3; ++axis) {
      world[axis] = static_cast<float>(
          kPose ? r[axis][0] * p[0] + r[axis][1] * p[1] + r[axis][2] * p[2] + t[axis] : p[axis]);
    }
    float* point = out + 3 * kept;
    point[0] = world[0];
    point[1] = world[1];
    point[2] = world[2];
    // A NaN or a value beyond float cannot be placed in a map: such points count as invalid.
    bool valid = std::isfinite(world[0]) & std::isfinite(world[1]) & std::isfinite(world[2]);
    if (kInvalidState) valid &= state[i] == 0;
    kept += valid;
  }
  return kept;
}

#if defined(__x86_64__)
// Four cartesian points at a time. Multiplications and additions stay apart
// and in the scalar order (no fused multiply-add), so every float is the one
// placePoints gives; groups with a point to leave out go through placePoints.
template <bool kPose, bool kInvalidState>
__attribute__((target("avx2"))) size_t placeFourAtATime(const ScanDescription& scan, const double* const* values,
                                                         size_t count, float* out) {
  const double* a = values[0];
  const double* b = values[1];
  const double* c = values[2];
  const double* state = values[3];
  __m256d r[3][3], t[3];
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) r[row][column] = _mm256_set1_pd(scan.rotation[row][column]);
    t[row] = _mm256_set1_pd(scan.translation[row]);
  }
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 infinity = _mm_set1_ps(std::numeric_limits<float>::infinity());
  size_t kept = 0, i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m256d p[3] = {_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), _mm256_loadu_pd(c + i)};
    __m128 world[3];
    for (int axis = 0; axis < 3; ++axis) {
      __m256d w = p[axis];
      if (kPose) {
        w = _mm256_add_pd(_mm256_mul_pd(r[axis][0], p[0]), _mm256_mul_pd(r[axis][1], p[1]));
        w = _mm256_add_pd(_mm256_add_pd(w, _mm256_mul_pd(r[axis][2], p[2])), t[axis]);
      }
      world[axis] = _mm256_cvtpd_ps(w);
    }
    // |v| < infinity is false for infinities and NaN alike.
    __m128 finite = _mm_cmplt_ps(_mm_and_ps(world[0], magnitude), infinity);
    finite = _mm_and_ps(finite, _mm_cmplt_ps(_mm_and_ps(world[1], magnitude), infinity));
    finite = _mm_and_ps(finite, _mm_cmplt_ps(_mm_and_ps(world[2], magnitude), infinity));
    int valid = _mm_movemask_ps(finite);
    if (kInvalidState)
      valid &= _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(state + i), _mm256_setzero_pd(), _CMP_EQ_OQ));
    if (valid != 0xF) {
      const double* const group[4] = {a + i, b + i, c + i, kInvalidState ? state + i : nullptr};
      kept += placePoints<false, kPose, kInvalidState>(scan, group, 4, out + 3 * kept);
      continue;
    }
    // x0..x3, y0..y3, z0..z3 into x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3.
    const __m128 x = world[0], y = world[1], z = world[2];
    const __m128 first = _mm_shuffle_ps(_mm_unpacklo_ps(x, y), _mm_shuffle_ps(z, x, _MM_SHUFFLE(1, 1, 0, 0)),
                                        _MM_SHUFFLE(2, 0, 1, 0));
    const __m128 second = _mm_shuffle_ps(_mm_shuffle_ps(y, z, _MM_SHUFFLE(1, 1, 1, 1)), _mm_unpackhi_ps(x, y),
                                         _MM_SHUFFLE(1, 0, 2, 0));
    const __m128 third = _mm_shuffle_ps(_mm_shuffle_ps(z, x, _MM_SHUFFLE(3, 3, 2, 2)),
                                        _mm_shuffle_ps(y, z, _MM_SHUFFLE(3, 3, 3, 3)), _MM_SHUFFLE(2, 0, 2, 0));
    float* point = out + 3 * kept;
    _mm_storeu_ps(point, first);
    _mm_storeu_ps(point + 4, second);
    _mm_storeu_ps(point + 8, third);
    kept += 4;
  }
  const double* const rest[4] = {a + i, b + i, c + i, kInvalidState ? state + i : nullptr};
  return kept + placePoints<false, kPose, kInvalidState>(scan, rest, count - i, out + 3 * kept);
}
#endif

template <bool kSpherical, bool kPose>
PlacePoints choosePlacement(bool invalid_state) {
#if defined(__x86_64__)
  if (!kSpherical && processorHas(__builtin_cpu_supports("avx2")))
    return invalid_state ? &placeFourAtATime<kPose, true> : &placeFourAtATime<kPose, false>;
#endif
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
