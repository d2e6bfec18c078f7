#include "core/voxel_filter.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/voxel_general.h"
#include "core/voxel_order.h"
#include "core/voxel_records.h"
#include "formats/joined_threads.h"

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
// it as 20-byte records when the ring comes round to them, each appended to
// its band (BandedRecords): few bands are written at any time, so records go
// to memory a whole cache line at a time, where a table of every voxel costs
// a cache miss per new voxel. A voxel whose points come far apart, or on more
// than one lane, leaves more than one record; those are merged when its band
// is sorted.

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

// The voxel whose key fields are all kAxisBias, shared by every lane so that
// their keys compare: fixed by the first point that fits a key, on whichever
// lane meets one first.
class KeyOrigin {
 public:
  // False until fixed; then the origin in `voxel`.
  bool get(std::int64_t (&voxel)[3]) const {
    if (!fixed_.load(std::memory_order_acquire)) return false;
    std::memcpy(voxel, voxel_, sizeof voxel_);
    return true;
  }

  // Fixes the origin at `candidate` unless another lane has; the origin in `voxel`.
  void fix(const std::int64_t (&candidate)[3], std::int64_t (&voxel)[3]) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!fixed_.load(std::memory_order_relaxed)) {
      std::memcpy(voxel_, candidate, sizeof voxel_);
      fixed_.store(true, std::memory_order_release);
    }
    std::memcpy(voxel, voxel_, sizeof voxel_);
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> fixed_{false};
  std::int64_t voxel_[3] = {0, 0, 0};
};

// What turns a packed key back into space.
struct KeyFrame {
  double leaf = 0.0;
  float inverse = 0.0f;
  std::int64_t origin[3] = {0, 0, 0};

  std::int64_t voxelOf(std::uint64_t key, int axis) const { return axisOf(key, axis) - kAxisBias + origin[axis]; }
  double corner(std::uint64_t key, int axis) const { return static_cast<double>(voxelOf(key, axis)) * leaf; }

  // From the extent: the voxel of the smallest coordinate is the smallest voxel.
  BandSorter sorter(const Extent& extent) const {
    const auto field = [this](float v) {
      return static_cast<std::int64_t>(voxelCoordinate(v, inverse)) - origin[0] + kAxisBias;
    };
    const std::int64_t span = field(extent.max[0]) - field(extent.min[0]);
    return BandSorter(field(extent.min[0]), span <= 0 ? 0 : 64 - __builtin_clzll(static_cast<std::uint64_t>(span)));
  }
};

// A band of one lane's records. A voxel's records lie in the bands of its
// band's id, at most one a lane.
struct BandPiece {
  std::uint64_t id;
  BandedRecords* store;
  std::uint32_t band;
};

// Calls `each(piece, key, count, offset sums)` for every voxel of the pieces,
// which come grouped by id: group after group, each group's records gathered,
// sorted and merged voxel by voxel, in order within the group; `piece` is the
// group's first.
template <typename Each>
void sortedVoxels(const BandPiece* first, const BandPiece* last, BandSorter& sort, Each&& each) {
  while (first != last) {
    const BandPiece* end = first;
    std::size_t n = 0;
    for (; end != last && end->id == first->id; ++end) n += end->store->bands()[end->band].records;
    sort.sort(n, [&](VoxelRecord* to) {
      for (const BandPiece* p = first; p != end; ++p) {
        p->store->forEachRun(p->store->bands()[p->band], [&to](const VoxelRecord* run, std::size_t k) {
          std::memcpy(to, run, k * sizeof(VoxelRecord));
          to += k;
        });
      }
    });
    for (std::size_t i = 0; i < n;) {
      const std::uint32_t in_band = sort.record(i).in_band;
      const std::uint64_t key = first->id << kBandShift | in_band;
      std::uint64_t count = 0;
      double sum[3] = {0.0, 0.0, 0.0};
      for (; i < n && sort.record(i).in_band == in_band; ++i) {
        const VoxelRecord& r = sort.record(i);
        count += r.count;
        for (int a = 0; a < 3; ++a) sum[a] += r.offset_sum[a];
      }
      each(*first, key, count, sum);
    }
    first = end;
  }
}

// One lane's packed store.
struct PackedVoxels {
  KeyFrame frame;
  KeyOrigin* shared_origin;
  bool has_origin = false;
  const Extent* extent;  // the lane's points', for sorting before the end
  std::unique_ptr<FillingVoxel[], FreeDeleter> ring = uninitialisedArray<FillingVoxel>(kRingSize);
  std::unique_ptr<std::uint32_t[], FreeDeleter> index = uninitialisedArray<std::uint32_t>(kIndexSize);
  std::uint64_t met = 0;  // voxels met: records in the bands and in the ring
  BandedRecords bands;
  DistinctKeys distinct;
  std::uint64_t next_check = kCheckEvery;

  static constexpr std::size_t kIndexSize = std::size_t{1} << kIndexBits;
  static constexpr std::uint64_t kCheckEvery = std::uint64_t{1} << 20;

  PackedVoxels(float leaf_size, float inverse_leaf, KeyOrigin& origin, const Extent& points)
      : shared_origin(&origin), extent(&points) {
    frame.leaf = leaf_size;
    frame.inverse = inverse_leaf;
    for (std::size_t i = 0; i < kRingSize; ++i) ring[i].key = kNoKey;
    std::memset(index.get(), 0, kIndexSize * sizeof(std::uint32_t));
  }

  static std::size_t indexSlot(std::uint64_t key) { return (key * 0x9E3779B97F4A7C15ull) >> (64 - kIndexBits); }

  std::size_t add(const float* xyz, std::size_t count, std::size_t stride, Extent& extent, std::uint64_t& non_finite);
  // Counts and sums points into their voxels in the ring.
  void sum(const std::uint64_t* keys, const std::uint32_t* slots, const float* const* points, std::size_t n);

  std::size_t voxelCount() const { return bands.records() + std::min<std::uint64_t>(met, kRingSize); }

  void retire(const FillingVoxel& f) {
    float offset_sum[3];
    for (int a = 0; a < 3; ++a) offset_sum[a] = static_cast<float>(f.sum[a] - f.count * frame.corner(f.key, a));
    bands.append(f.key, f.count, offset_sum);
    distinct.add(f.key);
    if (bands.records() >= next_check) {
      next_check = bands.records() + kCheckEvery;
      if (static_cast<double>(bands.records()) > 1.5 * distinct.estimate()) compact();
    }
  }

  // The ring's voxels to the bands, oldest first; then every record is in the pool.
  void retireRing() {
    if (ring) {
      const std::uint64_t first = met > kRingSize ? met - kRingSize : 0;
      for (std::uint64_t i = first; i < met; ++i) retire(ring[i & (kRingSize - 1)]);
      ring.reset();
      index.reset();
    }
    bands.settle();
  }

  // Merges the records of each voxel into one, each band in place.
  void compact() {
    bands.settle();
    std::vector<BandPiece> pieces;
    pieces.reserve(bands.bands().size());
    for (std::size_t i = 0; i < bands.bands().size(); ++i) {
      pieces.push_back({bands.bands()[i].id, &bands, static_cast<std::uint32_t>(i)});
    }
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
    BandSorter sort = frame.sorter(*extent);
    sortedVoxels(pieces.data(), pieces.data() + pieces.size(), sort,
                 [&](const BandPiece& piece, std::uint64_t key, std::uint64_t count, const double (&sum)[3]) {
                   if (piece.band != current) {
                     writeBack();
                     current = piece.band;
                   }
                   std::uint32_t n = 0;
                   addCount(n, count);
                   merged.push_back({static_cast<std::uint32_t>(key & kInBandMask), n,
                                     {static_cast<float>(sum[0]), static_cast<float>(sum[1]),
                                      static_cast<float>(sum[2])}});
                 });
    writeBack();
  }

  // Every record into `general`, as a voxel's coordinates and sums.
  void moveInto(GeneralVoxels& general) {
    retireRing();
    for (const BandedRecords::Band& b : bands.bands()) {
      bands.forEachRun(b, [&](const VoxelRecord* run, std::size_t n) {
        for (const VoxelRecord* r = run; r != run + n; ++r) {
          const std::uint64_t full = b.id << kBandShift | r->in_band;
          float key[3];
          double sum[3];
          for (int a = 0; a < 3; ++a) {
            key[a] = static_cast<float>(frame.voxelOf(full, a));
            sum[a] = r->offset_sum[a] + r->count * frame.corner(full, a);
          }
          general.merge(key, r->count, sum);
        }
      });
    }
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
  const float inv = frame.inverse;
  std::int64_t (&origin)[3] = frame.origin;
  if (!has_origin) has_origin = shared_origin->get(origin);
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
          const std::int64_t here[3] = {static_cast<std::int64_t>(v[0]), static_cast<std::int64_t>(v[1]),
                                        static_cast<std::int64_t>(v[2])};
          shared_origin->fix(here, origin);
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

// Below this many records finishing is not worth a second thread.
constexpr std::uint64_t kRecordsForParallelFinish = std::uint64_t{1} << 20;

// The centroids of every lane's voxels, band after band in voxelDownsample's
// order, each band's records (of all lanes) sorted and merged as its centroids
// go to the result. With `threads` above one, consecutive runs of bands go to
// as many threads, each into its own part of the result.
PointVector packedCentroids(const std::vector<PackedVoxels*>& lanes, const KeyFrame& frame, const Extent& extent,
                            unsigned threads) {
  std::vector<BandPiece> pieces;
  std::uint64_t records = 0;
  for (PackedVoxels* lane : lanes) {
    lane->retireRing();
    const auto& bands = lane->bands.bands();
    for (std::size_t i = 0; i < bands.size(); ++i) {
      pieces.push_back({bands[i].id, &lane->bands, static_cast<std::uint32_t>(i)});
    }
    records += lane->bands.records();
  }
  PointVector result;
  if (records == 0) return result;
  // Stable: a voxel's records are merged lane by lane, whatever the timing.
  std::stable_sort(pieces.begin(), pieces.end(), [](const BandPiece& a, const BandPiece& b) { return a.id < b.id; });

  // Parts end between groups of one id, at about equal shares of the records.
  const unsigned parts = records >= kRecordsForParallelFinish ? std::max(1u, threads) : 1u;
  std::vector<const BandPiece*> bounds = {pieces.data()};
  std::uint64_t seen = 0;
  for (const BandPiece* p = pieces.data(); p != pieces.data() + pieces.size(); ++p) {
    const bool new_group = p != pieces.data() && p->id != p[-1].id;
    if (new_group && bounds.size() < parts && seen * parts >= records * bounds.size()) bounds.push_back(p);
    seen += p->store->bands()[p->band].records;
  }
  bounds.push_back(pieces.data() + pieces.size());

  const auto centroidsOf = [&frame, &extent](const BandPiece* first, const BandPiece* last, PointVector& out) {
    BandSorter sort = frame.sorter(extent);
    sortedVoxels(first, last, sort, [&](const BandPiece&, std::uint64_t key, std::uint64_t count, const double (&sum)[3]) {
      if (count > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("VoxelAccumulator: more than 2^32 - 1 points in one voxel");
      }
      const double share = 1.0 / static_cast<double>(count);
      out.emplace_back(static_cast<float>(frame.corner(key, 0) + sum[0] * share),
                       static_cast<float>(frame.corner(key, 1) + sum[1] * share),
                       static_cast<float>(frame.corner(key, 2) + sum[2] * share));
    });
  };
  const auto recordsIn = [](const BandPiece* first, const BandPiece* last) {
    std::uint64_t n = 0;
    for (; first != last; ++first) n += first->store->bands()[first->band].records;
    return n;
  };

  std::vector<PointVector> later(bounds.size() - 2);
  JoinedThreads helpers;
  for (std::size_t k = 0; k < later.size(); ++k) {
    helpers.start([&, k]() {
      const std::uint64_t n = recordsIn(bounds[k + 1], bounds[k + 2]);
      later[k].reserve(n);
      populate(later[k].data(), n * sizeof(pcl::PointXYZ));
      centroidsOf(bounds[k + 1], bounds[k + 2], later[k]);
    });
  }
  result.reserve(records);  // at most a voxel a record
  populate(result.data(), recordsIn(bounds[0], bounds[1]) * sizeof(pcl::PointXYZ));
  centroidsOf(bounds[0], bounds[1], result);
  helpers.joinAndRethrow();
  // A slice at a time, each slice's pages given back once copied: the parts
  // never take more than a slice beside the result.
  constexpr std::size_t kSlice = kHugePage / sizeof(pcl::PointXYZ);
  for (PointVector& part : later) {
    for (std::size_t first = 0; first < part.size(); first += kSlice) {
      const std::size_t n = std::min(kSlice, part.size() - first);
      result.insert(result.end(), part.begin() + first, part.begin() + first + n);
      releasePages(part.data() + first, n * sizeof(pcl::PointXYZ));
    }
    PointVector().swap(part);
  }
  return result;
}

}  // namespace
}  // namespace voxel

// One thread's share of the points: its own ring, records and extent, so that
// lanes never wait for each other while adding.
struct VoxelAccumulator::Lane {
  voxel::Extent extent;
  std::uint64_t points_added = 0;
  std::uint64_t non_finite = 0;
  // Packed while every voxel fits a key; from the first point that does not,
  // the general table, with the packed records moved into it.
  std::unique_ptr<voxel::PackedVoxels> packed;
  std::unique_ptr<voxel::GeneralVoxels> general;
  // The counts as of the lane's last add(), for readers on other threads.
  std::atomic<std::uint64_t> shown_points{0};
  std::atomic<std::uint64_t> shown_non_finite{0};
  std::atomic<std::uint64_t> shown_voxels{0};
};

struct VoxelAccumulator::Table {
  float leaf = 0.0f;
  float inverse = 0.0f;
  voxel::KeyOrigin origin;
  std::vector<std::unique_ptr<Lane>> lanes;
};

VoxelAccumulator::VoxelAccumulator(float leaf_size, unsigned lanes) : table_(new Table) {
  voxel::requireUsableLeaf(leaf_size, "VoxelAccumulator");
  Table& t = *table_;
  t.leaf = leaf_size;
  t.inverse = 1.0f / leaf_size;
  for (unsigned i = 0; i < std::max(1u, lanes); ++i) {
    auto lane = std::make_unique<Lane>();
    lane->packed = std::make_unique<voxel::PackedVoxels>(t.leaf, t.inverse, t.origin, lane->extent);
    t.lanes.push_back(std::move(lane));
  }
}

VoxelAccumulator::~VoxelAccumulator() = default;

unsigned VoxelAccumulator::lanes() const { return static_cast<unsigned>(table_->lanes.size()); }

std::uint64_t VoxelAccumulator::pointsAdded() const {
  std::uint64_t n = 0;
  for (const auto& lane : table_->lanes) n += lane->shown_points.load(std::memory_order_relaxed);
  return n;
}

std::uint64_t VoxelAccumulator::nonFinitePoints() const {
  std::uint64_t n = 0;
  for (const auto& lane : table_->lanes) n += lane->shown_non_finite.load(std::memory_order_relaxed);
  return n;
}

std::size_t VoxelAccumulator::voxelCount() const {
  std::uint64_t n = 0;
  for (const auto& lane : table_->lanes) n += lane->shown_voxels.load(std::memory_order_relaxed);
  return static_cast<std::size_t>(n);
}

float VoxelAccumulator::largestCoordinate() const {
  float largest = 0.0f;
  for (const auto& lane : table_->lanes) {
    const voxel::Extent& e = lane->extent;
    if (e.finite_points == 0) continue;
    for (int a = 0; a < 3; ++a) largest = std::max({largest, -e.min[a], e.max[a]});
  }
  return largest;
}

void VoxelAccumulator::add(const float* xyz, std::size_t count, std::size_t stride, unsigned lane) {
  Table& t = *table_;
  if (lane >= t.lanes.size()) throw std::out_of_range("VoxelAccumulator: no lane " + std::to_string(lane));
  Lane& l = *t.lanes[lane];
  std::size_t done = 0;
  if (l.packed) done = l.packed->add(xyz, count, stride, l.extent, l.non_finite);
  if (done < count) {
    if (!l.general) {
      l.general = std::make_unique<voxel::GeneralVoxels>();
      l.packed->moveInto(*l.general);
      l.packed.reset();
    }
    l.general->add(xyz + done * stride, count - done, stride, t.inverse, l.extent, l.non_finite);
  }
  l.points_added += count;
  l.shown_points.store(l.points_added, std::memory_order_relaxed);
  l.shown_non_finite.store(l.non_finite, std::memory_order_relaxed);
  l.shown_voxels.store(l.packed ? l.packed->voxelCount() : l.general->voxels, std::memory_order_relaxed);
}

PointVector VoxelAccumulator::finish() {
  Table& t = *table_;
  voxel::Extent extent;
  std::uint64_t points_added = 0;
  bool packed = true;
  for (const auto& lane : t.lanes) {
    const voxel::Extent& e = lane->extent;
    for (int a = 0; a < 3; ++a) {
      extent.min[a] = std::min(extent.min[a], e.min[a]);
      extent.max[a] = std::max(extent.max[a], e.max[a]);
    }
    extent.finite_points += e.finite_points;
    points_added += lane->points_added;
    packed = packed && lane->packed;
  }
  PointVector result;
  if (packed) {
    if (!t.lanes[0]->packed) return result;  // finished before
    voxel::KeyFrame frame = t.lanes[0]->packed->frame;
    if (!t.origin.get(frame.origin)) return result;  // no point fitted a key: none at all
    std::vector<voxel::PackedVoxels*> stores;
    for (const auto& lane : t.lanes) stores.push_back(lane->packed.get());
    result = voxel::packedCentroids(stores, frame, extent, lanes());
  } else {
    // Every lane's voxels into the first general table, lane by lane.
    std::unique_ptr<voxel::GeneralVoxels> general;
    for (const auto& lane : t.lanes) {
      if (lane->general && !general) general = std::move(lane->general);
    }
    if (!general) return result;  // finished before
    for (const auto& lane : t.lanes) {
      if (lane->packed) lane->packed->moveInto(*general);
      if (lane->general) general->absorb(*lane->general);
    }
    result = voxel::generalCentroids(*general, extent, t.inverse, points_added);
  }
  for (const auto& lane : t.lanes) {
    lane->packed.reset();
    lane->general.reset();
  }
  return result;
}

}  // namespace korvane_navigation
