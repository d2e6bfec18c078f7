#include "core/voxel_filter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "core/voxel_general.h"
#include "core/voxel_order.h"
#include "core/voxel_records.h"

namespace korvane_navigation {
namespace voxel {
namespace {

// ---------------------------------------------------------------------------
// The packed store, for every cloud whose voxel coordinates are exact integers
// within 2^20 voxels of its first: a voxel is then one 64-bit key, and sorting
// the keys gives voxelDownsample's order.
//
// Points mostly come in scan order, so the voxels being filled at any time are
// few. They are summed in a ring, in the order they were first met, and leave
// it as 24-byte records when the ring comes round to them, each appended to
// its band (BandedRecords): few bands are written at any time, so records go
// to memory a whole cache line at a time, where a table of every voxel costs
// a cache miss per new voxel. A voxel whose points come far apart leaves more
// than one record; those are merged when its band is sorted.

// Sums in double while a voxel fills, however many points it gets.
struct FillingVoxel {
  std::uint64_t key;  // kNoKey: none yet
  std::uint32_t count;
  double sum[3];
};

// The ring holds the voxels of a few scan lines, and its index, eight times
// as many slots, rarely loses one of them to a collision before the ring
// comes round to it: both stay in the processor's cache (290 KiB).
constexpr unsigned kRingBits = 12;
constexpr std::size_t kRingSize = std::size_t{1} << kRingBits;
constexpr unsigned kIndexBits = 15;

// The key fields of n coordinates along one axis, `from` being the voxel of
// field 0; true if any lies where floats are not exact (NaN and infinity
// included) or beyond a field's range.
bool fieldsOf(const float* coordinates, std::size_t n, float inverse, std::int32_t from, std::int32_t* fields) {
  std::size_t i = 0;
  bool outside = false;
#if defined(VOXEL_FILTER_SSE2)
  const __m128 scale = _mm_set1_ps(inverse);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 exact_limit = _mm_set1_ps(kExactVoxel);
  const __m128i first = _mm_set1_epi32(from);
  const __m128i last_field = _mm_set1_epi32(static_cast<std::int32_t>(kAxisMask));
  const __m128i none = _mm_setzero_si128();
  __m128i wrong = none;
  for (; i + 4 <= n; i += 4) {
    const __m128 scaled = _mm_mul_ps(_mm_load_ps(coordinates + i), scale);
    const __m128 exact = _mm_cmplt_ps(_mm_and_ps(scaled, magnitude), exact_limit);
    const __m128 v = _mm_and_ps(scaled, exact);
    const __m128i truncated = _mm_cvttps_epi32(v);
    const __m128i below = _mm_castps_si128(_mm_cmplt_ps(v, _mm_cvtepi32_ps(truncated)));  // -1: round down
    const __m128i field = _mm_sub_epi32(_mm_add_epi32(truncated, below), first);
    _mm_store_si128(reinterpret_cast<__m128i*>(fields + i), field);
    wrong = _mm_or_si128(wrong, _mm_cmpeq_epi32(_mm_castps_si128(exact), none));
    wrong = _mm_or_si128(wrong, _mm_or_si128(_mm_cmplt_epi32(field, none), _mm_cmpgt_epi32(field, last_field)));
  }
  outside = _mm_movemask_epi8(wrong) != 0;
#endif
  for (; i < n; ++i) {
    const float scaled = coordinates[i] * inverse;
    const bool exact = std::fabs(scaled) < kExactVoxel;
    const float v = exact ? scaled : 0.0f;
    const auto truncated = static_cast<std::int32_t>(v);
    fields[i] = truncated - (v < static_cast<float>(truncated)) - from;
    outside = outside || !exact || static_cast<std::uint32_t>(fields[i]) > kAxisMask;
  }
  return outside;
}

// Widens [lo, hi] to hold n finite coordinates.
void widen(const float* coordinates, std::size_t n, float& lo, float& hi) {
  std::size_t i = 0;
#if defined(VOXEL_FILTER_SSE2)
  if (n >= 4) {
    __m128 low = _mm_set1_ps(lo), high = _mm_set1_ps(hi);
    for (; i + 4 <= n; i += 4) {
      const __m128 c = _mm_load_ps(coordinates + i);
      low = _mm_min_ps(low, c);
      high = _mm_max_ps(high, c);
    }
    alignas(16) float lows[4], highs[4];
    _mm_store_ps(lows, low);
    _mm_store_ps(highs, high);
    for (int k = 0; k < 4; ++k) {
      lo = std::min(lo, lows[k]);
      hi = std::max(hi, highs[k]);
    }
  }
#endif
  for (; i < n; ++i) {
    lo = std::min(lo, coordinates[i]);
    hi = std::max(hi, coordinates[i]);
  }
}

struct PackedVoxels {
  double leaf = 0.0;
  float inverse = 0.0f;
  const Extent* extent = nullptr;  // of the points added, for sorting before the end
  std::int64_t origin[3] = {0, 0, 0};  // the voxel whose fields are all kAxisBias
  bool has_origin = false;
  std::unique_ptr<FillingVoxel[], FreeDeleter> ring = uninitialisedArray<FillingVoxel>(kRingSize);
  std::unique_ptr<std::uint32_t[], FreeDeleter> index = uninitialisedArray<std::uint32_t>(kIndexSize);
  std::uint64_t met = 0;  // voxels met: records in the bands and in the ring
  BandedRecords bands;
  DistinctKeys distinct;
  std::uint64_t next_check = kCheckEvery;

  static constexpr std::size_t kIndexSize = std::size_t{1} << kIndexBits;
  static constexpr std::uint64_t kCheckEvery = std::uint64_t{1} << 20;

  PackedVoxels(float leaf_size, float inverse_leaf, const Extent& points)
      : leaf(leaf_size), inverse(inverse_leaf), extent(&points) {
    for (std::size_t i = 0; i < kRingSize; ++i) ring[i].key = kNoKey;
    std::memset(index.get(), 0, kIndexSize * sizeof(std::uint32_t));
  }

  static std::size_t indexSlot(std::uint64_t key) { return (key * 0x9E3779B97F4A7C15ull) >> (64 - kIndexBits); }

  std::int64_t voxelOf(std::uint64_t key, int axis) const { return axisOf(key, axis) - kAxisBias + origin[axis]; }
  double corner(std::uint64_t key, int axis) const { return static_cast<double>(voxelOf(key, axis)) * leaf; }

  std::size_t add(const float* xyz, std::size_t count, std::size_t stride, Extent& extent, std::uint64_t& non_finite);
  // Counts and sums points into their voxels in the ring.
  void sum(const std::uint64_t* keys, const std::uint32_t* slots, const float* const* points, std::size_t n);

  void retire(const FillingVoxel& f) {
    float offset_sum[3];
    for (int a = 0; a < 3; ++a) offset_sum[a] = static_cast<float>(f.sum[a] - f.count * corner(f.key, a));
    bands.append(f.key, f.count, offset_sum);
    distinct.add(f.key);
    if (bands.records() >= next_check) {
      next_check = bands.records() + kCheckEvery;
      if (static_cast<double>(bands.records()) > 1.5 * distinct.estimate()) compact();
    }
  }

  // The ring's voxels to the bands, oldest first.
  void retireRing() {
    if (!ring) return;
    const std::uint64_t first = met > kRingSize ? met - kRingSize : 0;
    for (std::uint64_t i = first; i < met; ++i) retire(ring[i & (kRingSize - 1)]);
    ring.reset();
    index.reset();
  }

  // From the extent: the voxel of the smallest coordinate is the smallest voxel.
  BandSorter sorter() const {
    const auto field = [this](float v) {
      return static_cast<std::int64_t>(voxelCoordinate(v, inverse)) - origin[0] + kAxisBias;
    };
    const std::int64_t span = field(extent->max[0]) - field(extent->min[0]);
    return BandSorter(field(extent->min[0]), span <= 0 ? 0 : 64 - __builtin_clzll(static_cast<std::uint64_t>(span)));
  }

  // Calls `each(band, key, count, offset sums)` for every voxel of every band
  // in `order` (indices into bands.bands()), its records merged, in order
  // within the band.
  template <typename Each>
  void sortedVoxels(const std::vector<std::uint32_t>& order, Each&& each) {
    bands.settle();
    BandSorter sort = sorter();
    for (const std::uint32_t band : order) {
      const BandedRecords::Band& b = bands.bands()[band];
      const auto n = static_cast<std::size_t>(b.records);
      sort.sort(n, [&](VoxelRecord* to) {
        bands.forEachRun(b, [&to](const VoxelRecord* run, std::size_t k) {
          std::memcpy(to, run, k * sizeof(VoxelRecord));
          to += k;
        });
      });
      for (std::size_t i = 0; i < n;) {
        const std::uint32_t in_band = sort.record(i).in_band;
        const std::uint64_t key = b.id << kBandShift | in_band;
        std::uint64_t count = 0;
        double sum[3] = {0.0, 0.0, 0.0};
        for (; i < n && sort.record(i).in_band == in_band; ++i) {
          const VoxelRecord& r = sort.record(i);
          count += r.count;
          for (int a = 0; a < 3; ++a) sum[a] += r.offset_sum[a];
        }
        each(band, key, count, sum);
      }
    }
  }

  // The bands in voxelDownsample's order.
  std::vector<std::uint32_t> bandOrder() const {
    std::vector<std::uint32_t> order(bands.bands().size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    const auto& all = bands.bands();
    std::sort(order.begin(), order.end(), [&all](std::uint32_t a, std::uint32_t b) { return all[a].id < all[b].id; });
    return order;
  }

  // Merges the records of each voxel into one, each band in place.
  void compact() {
    std::vector<std::uint32_t> all(bands.bands().size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint32_t>(i);
    std::vector<VoxelRecord> merged;
    std::uint32_t current = BandedRecords::kNone;
    const auto writeBack = [&]() {
      if (current == BandedRecords::kNone) return;
      const BandedRecords::Band& b = bands.bands()[current];
      std::size_t done = 0;
      for (std::uint32_t k = b.first; done < merged.size(); k = bands.blocks()[k].next) {
        const BandedRecords::Block& block = bands.blocks()[k];
        const std::size_t n = std::min<std::size_t>(block.capacity, merged.size() - done);
        std::memcpy(bands.at(block), merged.data() + done, n * sizeof(VoxelRecord));
        done += n;
      }
      bands.shrink(current, merged.size());
      merged.clear();
    };
    sortedVoxels(all, [&](std::uint32_t band, std::uint64_t key, std::uint64_t count, const double (&sum)[3]) {
      if (band != current) {
        writeBack();
        current = band;
      }
      std::uint32_t n = 0;
      addCount(n, count);
      merged.push_back({static_cast<std::uint32_t>(key & kInBandMask), n,
                        {static_cast<float>(sum[0]), static_cast<float>(sum[1]), static_cast<float>(sum[2])}});
    });
    writeBack();
  }
};

std::size_t PackedVoxels::add(const float* xyz, std::size_t count, std::size_t stride, Extent& extent,
                              std::uint64_t& non_finite) {
  // A batch at a time: the keys in plain loops the compiler turns into vector
  // code, then each point's index slot and place in the ring prefetched, so
  // that by the time the points are summed both have arrived. A batch with a
  // point that is not finite, or that no key holds, goes point by point.
  constexpr std::size_t kBatch = 256;
  alignas(16) float coordinates[3][kBatch];
  alignas(16) std::int32_t fields[3][kBatch];
  std::uint64_t keys[kBatch];
  std::uint32_t slots[kBatch];
  const float* points[kBatch];
  const float inv = inverse;
  for (std::size_t begin = 0; begin < count;) {
    const std::size_t batch = std::min(kBatch, count - begin);
    const float* const first = xyz + begin * stride;
    std::size_t n = 0;
    bool packable = true;
    std::int32_t outside = !has_origin;
    if (!outside) {
      for (std::size_t i = 0; i < batch; ++i) {
        for (int a = 0; a < 3; ++a) coordinates[a][i] = first[i * stride + a];
      }
      for (int a = 0; a < 3; ++a) {
        outside |= fieldsOf(coordinates[a], batch, inv, static_cast<std::int32_t>(origin[a] - kAxisBias), fields[a]);
      }
    }
    if (!outside) {
      for (int a = 0; a < 3; ++a) widen(coordinates[a], batch, extent.min[a], extent.max[a]);
      extent.finite_points += batch;
      for (std::size_t i = 0; i < batch; ++i) {
        keys[i] = static_cast<std::uint64_t>(fields[0][i]) | static_cast<std::uint64_t>(fields[1][i]) << kAxisBits |
                  static_cast<std::uint64_t>(fields[2][i]) << (2 * kAxisBits);
      }
      for (std::size_t i = 0; i < batch; ++i) {
        slots[i] = static_cast<std::uint32_t>(indexSlot(keys[i]));
        points[i] = first + i * stride;
      }
      n = batch;
      begin += batch;
    } else {
      for (; begin < count && n < kBatch; ++begin) {
        const float* p = xyz + begin * stride;
        if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) {
          ++non_finite;
          continue;
        }
        float v[3];
        for (int a = 0; a < 3; ++a) v[a] = voxelCoordinate(p[a], inv);
        if (!(std::fabs(v[0]) < kExactVoxel && std::fabs(v[1]) < kExactVoxel && std::fabs(v[2]) < kExactVoxel)) {
          packable = false;
          break;
        }
        if (!has_origin) {
          for (int a = 0; a < 3; ++a) origin[a] = static_cast<std::int64_t>(v[a]);
          has_origin = true;
        }
        std::uint64_t key = 0;
        for (int a = 0; a < 3; ++a) {
          const auto field = static_cast<std::uint64_t>(static_cast<std::int64_t>(v[a]) - origin[a] + kAxisBias);
          packable = packable && field <= kAxisMask;
          key |= field << (kAxisBits * a);
        }
        if (!packable) break;
        extent.add(p[0], p[1], p[2]);
        keys[n] = key;
        slots[n] = static_cast<std::uint32_t>(indexSlot(key));
        points[n++] = p;
      }
    }
    sum(keys, slots, points, n);
    if (!packable) return begin;
  }
  return count;
}

void PackedVoxels::sum(const std::uint64_t* keys, const std::uint32_t* slots, const float* const* points,
                       std::size_t n) {
  FillingVoxel* const filling = ring.get();
  std::uint32_t* const places = index.get();
  for (std::size_t j = 0; j < n; ++j) __builtin_prefetch(&filling[places[slots[j]]], 1);
  for (std::size_t j = 0; j < n; ++j) {
    std::uint32_t& place = places[slots[j]];
    FillingVoxel* f = &filling[place];
    if (f->key != keys[j] || f->count == std::numeric_limits<std::uint32_t>::max()) {
      place = static_cast<std::uint32_t>(met & (kRingSize - 1));
      f = &filling[place];
      ++met;
      if (f->key != kNoKey) retire(*f);
      f->key = keys[j];
      f->count = 0;
      f->sum[0] = f->sum[1] = f->sum[2] = 0.0;
    }
    ++f->count;
    for (int a = 0; a < 3; ++a) f->sum[a] += points[j][a];
  }
}

// Band after band in voxelDownsample's order, each sorted and its records
// merged as its centroids go to the result. The records are kept to the end:
// a page of them holds blocks of many bands.
PointVector packedCentroids(PackedVoxels& p) {
  p.retireRing();
  PointVector result;
  const std::uint64_t records = p.bands.records();
  if (records == 0) return result;
  result.reserve(records);  // at most a voxel a record
  populate(result.data(), records * sizeof(pcl::PointXYZ));
  p.sortedVoxels(p.bandOrder(), [&](std::uint32_t, std::uint64_t key, std::uint64_t count, const double (&sum)[3]) {
    if (count > std::numeric_limits<std::uint32_t>::max()) {
      throw std::length_error("VoxelAccumulator: more than 2^32 - 1 points in one voxel");
    }
    const double share = 1.0 / static_cast<double>(count);
    result.emplace_back(static_cast<float>(p.corner(key, 0) + sum[0] * share),
                        static_cast<float>(p.corner(key, 1) + sum[1] * share),
                        static_cast<float>(p.corner(key, 2) + sum[2] * share));
  });
  return result;
}

}  // namespace
}  // namespace voxel

// Packed while every voxel fits a key; otherwise, from the first point that
// does not, the general table.
struct VoxelAccumulator::Table {
  float inverse = 0.0f;
  voxel::Extent extent;
  std::unique_ptr<voxel::PackedVoxels> packed;
  std::unique_ptr<voxel::GeneralVoxels> general;

  // Moves every voxel counted so far to the general table, once.
  void unpack() {
    general = std::make_unique<voxel::GeneralVoxels>();
    if (!packed) return;
    voxel::PackedVoxels& p = *packed;
    p.retireRing();
    p.bands.settle();
    for (const voxel::BandedRecords::Band& b : p.bands.bands()) {
      p.bands.forEachRun(b, [&](const voxel::VoxelRecord* run, std::size_t n) {
        for (const voxel::VoxelRecord* r = run; r != run + n; ++r) {
          const std::uint64_t full = b.id << voxel::kBandShift | r->in_band;
          float key[3];
          double sum[3];
          for (int a = 0; a < 3; ++a) {
            key[a] = static_cast<float>(p.voxelOf(full, a));
            sum[a] = r->offset_sum[a] + r->count * p.corner(full, a);
          }
          general->merge(key, r->count, sum);
        }
      });
    }
    packed.reset();
  }
};

VoxelAccumulator::VoxelAccumulator(float leaf_size) : table_(new Table) {
  voxel::requireUsableLeaf(leaf_size, "VoxelAccumulator");
  table_->inverse = 1.0f / leaf_size;
  table_->packed = std::make_unique<voxel::PackedVoxels>(leaf_size, table_->inverse, table_->extent);
}

VoxelAccumulator::~VoxelAccumulator() = default;

std::size_t VoxelAccumulator::voxelCount() const {
  const Table& t = *table_;
  if (t.packed) return t.packed->bands.records() + std::min<std::uint64_t>(t.packed->met, voxel::kRingSize);
  return t.general ? t.general->voxels : 0;
}

float VoxelAccumulator::largestCoordinate() const {
  const voxel::Extent& e = table_->extent;
  if (e.finite_points == 0) return 0.0f;
  float largest = 0.0f;
  for (int a = 0; a < 3; ++a) largest = std::max({largest, -e.min[a], e.max[a]});
  return largest;
}

void VoxelAccumulator::add(const float* xyz, std::size_t count, std::size_t stride) {
  Table& t = *table_;
  std::size_t done = 0;
  if (t.packed) done = t.packed->add(xyz, count, stride, t.extent, non_finite_points_);
  if (done < count) {
    if (!t.general) t.unpack();
    t.general->add(xyz + done * stride, count - done, stride, t.inverse, t.extent, non_finite_points_);
  }
  points_added_ += count;
}

PointVector VoxelAccumulator::finish() {
  Table& t = *table_;
  PointVector result;
  if (t.packed) {
    result = voxel::packedCentroids(*t.packed);
    t.packed.reset();
  } else if (t.general) {
    result = voxel::generalCentroids(*t.general, t.extent, t.inverse, points_added_);
    t.general.reset();
  }
  return result;
}

}  // namespace korvane_navigation
