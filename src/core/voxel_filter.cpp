#include "core/voxel_filter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/sort/spreadsort/integer_sort.hpp>

#include <sys/mman.h>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define VOXEL_FILTER_SSE2 1
#endif

namespace korvane_navigation {
namespace {

// Beyond this a float voxel coordinate no longer converts to int64 safely, and
// the difference of two of them plus one still fits.
constexpr float kMaxVoxelCoordinate = 2305843009213693952.0f;  // 2^61

// How far ahead the centroid pass prefetches the point it will gather: the
// sorted entries visit the input in random order, so each gather is a miss.
constexpr std::size_t kPrefetchDistance = 32;

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Only hints, for buffers about to be written in full. First touches of fresh
// pages dominate this filter's run time on virtual machines (about 10 us per
// 4 KiB page): 2 MiB pages cut their number by 512 (with transparent huge pages
// on "madvise" nothing else gets them), and where those are unavailable,
// populating the range in one call still halves the cost.
void prepareFreshPages(void* data, std::size_t bytes) {
#if defined(__linux__)
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
#if defined(MADV_HUGEPAGE)
  const std::uintptr_t huge_first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t huge_last = (begin + bytes) & ~(kHugePage - 1);
  if (huge_first < huge_last) {
    madvise(reinterpret_cast<void*>(huge_first), huge_last - huge_first, MADV_HUGEPAGE);
  }
#endif
#if defined(MADV_POPULATE_WRITE)
  const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
#else
  (void)data;
  (void)bytes;
#endif
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Uninitialised storage for trivial types: every slot gets written before it
// is read, and value-initialising would cost a pass over the largest buffer.
// Large blocks are aligned on huge pages so that all of them can be one.
template <typename T>
std::unique_ptr<T[], FreeDeleter> uninitialisedArray(std::size_t count) {
  static_assert(std::is_trivial_v<T>);
  const std::size_t bytes = std::max<std::size_t>(count * sizeof(T), 1);
  void* data = nullptr;
  if (bytes >= kHugePage) {
    const std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    data = std::aligned_alloc(kHugePage, rounded);
    if (data != nullptr) prepareFreshPages(data, rounded);
  } else {
    data = std::malloc(bytes);
  }
  if (data == nullptr) throw std::bad_alloc();
  T* array = static_cast<T*>(data);
  std::uninitialized_default_construct_n(array, count);
  return std::unique_ptr<T[], FreeDeleter>(array);
}

bool isFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// std::floor is a libm call on baseline x86-64; this is the same value (as an
// integer) for |v| < 2^62 and keeps the per-point pass free of calls.
std::int64_t floorToInt(float v) {
  const auto t = static_cast<std::int64_t>(v);
  return t - static_cast<std::int64_t>(v < static_cast<float>(t));
}

// floor(v * inverse), the voxel coordinate every ordering below starts from,
// as a float so that it also holds extents beyond any integer (infinity after
// an overflow). NaN, from a zero coordinate times an infinite inverse, becomes 0.
float voxelCoordinate(float v, float inverse) {
  const float scaled = v * inverse;
  // From 2^23 on every float is an integer, and the cast below could overflow.
  if (!(std::fabs(scaled) < 8388608.0f)) return scaled == scaled ? scaled : 0.0f;
  return static_cast<float>(floorToInt(scaled));
}

struct Extent {
  float min[3] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                  std::numeric_limits<float>::max()};
  float max[3] = {std::numeric_limits<float>::lowest(), std::numeric_limits<float>::lowest(),
                  std::numeric_limits<float>::lowest()};
  std::size_t finite_points = 0;

  void add(float x, float y, float z) {
    min[0] = std::min(min[0], x);
    min[1] = std::min(min[1], y);
    min[2] = std::min(min[2], z);
    max[0] = std::max(max[0], x);
    max[1] = std::max(max[1], y);
    max[2] = std::max(max[2], z);
    ++finite_points;
  }
};

Extent finiteExtent(const PointVector& points) {
  Extent e;
  for (const auto& p : points) {
    if (isFinite(p)) e.add(p.x, p.y, p.z);
  }
  return e;
}

// For 32 bits this is pcl's {idx, cloud_point_index} pair, compared on idx only.
// spreadsort is not stable, so only this layout, these keys and this sort give
// pcl's within-voxel summation order, and with it its exact float centroids.
template <typename Index>
struct IndexedEntry {
  Index voxel;
  Index point;
  bool operator<(const IndexedEntry& other) const { return voxel < other.voxel; }
};

// Voxel coordinates kept as floats for extents whose linear index would not fit
// in 64 bits; x * inverse may even have overflowed to +-inf there.
struct VoxelTriple {
  float x, y, z;
  bool operator==(const VoxelTriple& o) const { return x == o.x && y == o.y && z == o.z; }
  // z-major like the linear index, so every path emits voxels in the same order.
  bool operator<(const VoxelTriple& o) const {
    if (z != o.z) return z < o.z;
    if (y != o.y) return y < o.y;
    return x < o.x;
  }
};

struct TripleEntry {
  VoxelTriple voxel;
  std::size_t point;
  bool operator<(const TripleEntry& other) const { return voxel < other.voxel; }
};

template <typename Entry>
void sortEntries(Entry* first, Entry* last) {
  using Index = decltype(first->voxel);
  boost::sort::spreadsort::integer_sort(
      first, last, [](const Entry& e, unsigned offset) -> Index { return e.voxel >> offset; });
}

template <>
void sortEntries<TripleEntry>(TripleEntry* first, TripleEntry* last) {
  std::sort(first, last);
}

// Same float accumulation and division as pcl::CentroidPoint (a zero-initialised
// float sum in entry order, divided by the count as float). A voxel of huge
// coordinates can overflow that sum; it is then redone in double, so finite
// input always gives finite output.
template <typename Entry>
pcl::PointXYZ centroid(const PointVector& points, const Entry* first, const Entry* last) {
  float sx = 0.0f, sy = 0.0f, sz = 0.0f;
  for (const Entry* e = first; e != last; ++e) {
    const auto& p = points[e->point];
    sx += p.x;
    sy += p.y;
    sz += p.z;
  }
  const auto n = static_cast<std::size_t>(last - first);
  if (std::isfinite(sx) && std::isfinite(sy) && std::isfinite(sz)) {
    const auto count = static_cast<float>(n);
    return pcl::PointXYZ(sx / count, sy / count, sz / count);
  }
  double dx = 0.0, dy = 0.0, dz = 0.0;
  for (const Entry* e = first; e != last; ++e) {
    const auto& p = points[e->point];
    dx += p.x;
    dy += p.y;
    dz += p.z;
  }
  const auto count = static_cast<double>(n);
  return pcl::PointXYZ(static_cast<float>(dx / count), static_cast<float>(dy / count),
                       static_cast<float>(dz / count));
}

constexpr std::size_t kProgressEvery = std::size_t{1} << 16;

// Progress counts each point twice: once when it is indexed, once when its
// voxel's centroid is taken.
template <typename Entry, typename VoxelOf>
PointVector thin(const PointVector& points, std::size_t finite_points, VoxelOf voxel_of,
                 const ProgressCallback& progress) {
  const uint64_t total = 2 * uint64_t{finite_points};
  const auto entries = uninitialisedArray<Entry>(finite_points);
  Entry* out = entries.get();
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (progress && i % kProgressEvery == 0) progress(static_cast<uint64_t>(out - entries.get()), total);
    const auto& p = points[i];
    if (!isFinite(p)) continue;
    out->voxel = voxel_of(p);
    out->point = static_cast<decltype(out->point)>(i);
    ++out;
  }
  Entry* const begin = entries.get();
  Entry* const end = begin + finite_points;
  sortEntries(begin, end);

  std::size_t voxels = 0;
  for (const Entry* e = begin; e != end; ++voxels) {
    const auto voxel = e->voxel;
    while (++e != end && e->voxel == voxel) {
    }
  }

  PointVector result;
  result.reserve(voxels);
  prepareFreshPages(result.data(), voxels * sizeof(pcl::PointXYZ));
  const Entry* prefetch = begin + std::min(kPrefetchDistance, finite_points);
  for (const Entry* first = begin; first != end;) {
    const Entry* last = first;
    do {
      if (prefetch != end) __builtin_prefetch(&points[(prefetch++)->point]);
      ++last;
    } while (last != end && last->voxel == first->voxel);
    result.push_back(centroid(points, first, last));
    if (progress && result.size() % kProgressEvery == 0) {
      progress(finite_points + static_cast<uint64_t>(last - begin), total);
    }
    first = last;
  }
  return result;
}

// Wraps instead of overflowing; false if a * b does not fit in uint64.
bool multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
  return !__builtin_mul_overflow(a, b, &product);
}

// pcl::VoxelGrid's own refusal test, in its arithmetic: the float extent times
// the inverse leaf, truncated, plus one, multiplied out. It also needs every
// voxel coordinate to fit an int, which it casts them to unchecked.
bool pclAddresses(const Extent& e, float inverse, const float (&lo)[3], const float (&hi)[3]) {
  std::uint64_t cells = 1;
  for (int a = 0; a < 3; ++a) {
    constexpr float kIntRange = 2147483648.0f;  // 2^31
    if (!(lo[a] >= -kIntRange && hi[a] < kIntRange)) return false;
    const float span = (e.max[a] - e.min[a]) * inverse;
    if (!(span < kMaxVoxelCoordinate)) return false;
    if (!multiply(cells, static_cast<std::uint64_t>(span) + 1, cells)) return false;
  }
  return cells <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
}

// Which index tells a cloud's voxels apart and orders them, chosen as
// pcl::VoxelGrid would over the cloud's extent, and computed from voxel
// coordinates (voxelCoordinate).
struct VoxelOrder {
  enum class Kind {
    kPcl,     // pcl's 32-bit index in its float arithmetic
    kLinear,  // the same order computed exactly in 64 bits, where pcl's index falls short
    kTriple,  // (z, y, x) of the float coordinates, where even 64 bits do not hold the extent
  };
  Kind kind = Kind::kTriple;
  std::int64_t min_voxel[3] = {0, 0, 0};
  std::uint64_t row = 0;    // voxels along x
  std::uint64_t plane = 0;  // voxels in an x-y layer

  std::uint32_t pclIndex(float x, float y, float z) const {
    // The offset is a float difference before truncation, and the sum wraps at 32 bits.
    const auto offset = [](float v, std::int64_t first) {
      return static_cast<std::uint32_t>(static_cast<std::int64_t>(v - static_cast<float>(first)));
    };
    return offset(x, min_voxel[0]) + offset(y, min_voxel[1]) * static_cast<std::uint32_t>(row) +
           offset(z, min_voxel[2]) * static_cast<std::uint32_t>(plane);
  }
  std::uint64_t linearIndex(float x, float y, float z) const {
    const auto offset = [](float v, std::int64_t first) {
      return static_cast<std::uint64_t>(static_cast<std::int64_t>(v) - first);
    };
    return offset(x, min_voxel[0]) + offset(y, min_voxel[1]) * row + offset(z, min_voxel[2]) * plane;
  }
};

// `point_count` counts the non-finite points too: pcl's point index must hold them.
VoxelOrder chooseOrder(const Extent& extent, float inverse, std::uint64_t point_count) {
  VoxelOrder order;
  float lo[3], hi[3];
  std::uint64_t divisions[3];
  for (int a = 0; a < 3; ++a) {
    lo[a] = std::floor(extent.min[a] * inverse);
    hi[a] = std::floor(extent.max[a] * inverse);
    // Also rejects NaN, from a zero coordinate times an infinite inverse.
    if (!(std::fabs(lo[a]) < kMaxVoxelCoordinate && std::fabs(hi[a]) < kMaxVoxelCoordinate)) return order;
    order.min_voxel[a] = static_cast<std::int64_t>(lo[a]);
    divisions[a] = static_cast<std::uint64_t>(static_cast<std::int64_t>(hi[a]) - order.min_voxel[a] + 1);
  }
  std::uint64_t cells = 0;
  if (!multiply(divisions[0], divisions[1], order.plane) || !multiply(order.plane, divisions[2], cells)) {
    return order;
  }
  order.row = divisions[0];
  constexpr std::uint64_t kIndex32 = std::uint64_t{1} << 32;
  const bool pcl = pclAddresses(extent, inverse, lo, hi) && cells <= kIndex32 && point_count <= kIndex32;
  order.kind = pcl ? VoxelOrder::Kind::kPcl : VoxelOrder::Kind::kLinear;
  return order;
}

void requireUsableLeaf(float leaf_size, const char* who) {
  if (!(leaf_size > 0.0f) || !std::isfinite(leaf_size)) {
    throw std::invalid_argument(std::string(who) + ": leaf size must be positive and finite");
  }
}

}  // namespace

PointVector voxelDownsample(const PointVector& points, float leaf_size, const ProgressCallback& progress) {
  requireUsableLeaf(leaf_size, "voxelDownsample");
  const Extent extent = finiteExtent(points);
  if (extent.finite_points == 0) return {};

  // pcl's inverse: one float division, then multiplications per point.
  const float inverse = 1.0f / leaf_size;
  const VoxelOrder order = chooseOrder(extent, inverse, points.size());
  const std::size_t n = extent.finite_points;
  switch (order.kind) {
    case VoxelOrder::Kind::kPcl:
      return thin<IndexedEntry<std::uint32_t>>(points, n, [&order, inverse](const pcl::PointXYZ& p) {
        return order.pclIndex(voxelCoordinate(p.x, inverse), voxelCoordinate(p.y, inverse),
                              voxelCoordinate(p.z, inverse));
      }, progress);
    case VoxelOrder::Kind::kLinear:
      return thin<IndexedEntry<std::uint64_t>>(points, n, [&order, inverse](const pcl::PointXYZ& p) {
        return order.linearIndex(voxelCoordinate(p.x, inverse), voxelCoordinate(p.y, inverse),
                                 voxelCoordinate(p.z, inverse));
      }, progress);
    case VoxelOrder::Kind::kTriple:
      break;
  }
  return thin<TripleEntry>(points, n, [inverse](const pcl::PointXYZ& p) {
    return VoxelTriple{voxelCoordinate(p.x, inverse), voxelCoordinate(p.y, inverse),
                       voxelCoordinate(p.z, inverse)};
  }, progress);
}

namespace {

// Gives the pages of a range that will not be read again back to the system,
// without freeing the allocation that holds them.
void releasePages(void* data, std::size_t bytes) {
#if defined(__linux__)
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
#else
  (void)data;
  (void)bytes;
#endif
}

// ---------------------------------------------------------------------------
// The general store: any voxel coordinates, even beyond every integer type.

// One occupied voxel while points arrive: its coordinates (voxelCoordinate of
// each axis; the hash table's key) and the count and sums of its points.
struct VoxelSums {
  float key[3];
  std::uint32_t count;
  double sum[3];
};

// Voxels live in fixed blocks so that they never move: growing copies nothing,
// and the table's slots can hold plain indices. 2^18 of them fill whole huge
// pages (10 MiB), which spare the random accesses a TLB miss each.
constexpr unsigned kBlockBits = 18;
constexpr std::size_t kBlockSize = std::size_t{1} << kBlockBits;
static_assert(kBlockSize * sizeof(VoxelSums) % kHugePage == 0, "blocks must fill whole huge pages");

constexpr unsigned kFirstSlotBits = 16;

std::uint32_t bitsOf(float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// The keys are whole numbers as floats, whose low mantissa bits are mostly
// zero: only a full mix spreads them over the table.
std::uint64_t hashKey(const float (&key)[3]) {
  std::uint64_t h = (bitsOf(key[0]) | std::uint64_t{bitsOf(key[1])} << 32) * 0x9E3779B97F4A7C15ull;
  h ^= bitsOf(key[2]) + (h >> 29);
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 29);
}

bool sameKey(const float (&a)[3], const float (&b)[3]) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

// A voxel's index plus one (0: empty) and 32 bits of its key's hash, which
// spare most probes a look at a voxel that is not the one sought.
struct Slot {
  std::uint32_t voxel;
  std::uint32_t tag;
};

std::unique_ptr<Slot[], FreeDeleter> emptySlots(std::size_t count) {
  auto slots = uninitialisedArray<Slot>(count);
  std::memset(slots.get(), 0, count * sizeof(Slot));
  return slots;
}

void addCount(std::uint32_t& count, std::uint64_t more) {
  if (more > std::numeric_limits<std::uint32_t>::max() - count) {
    throw std::length_error("VoxelAccumulator: more than 2^32 - 1 points in one voxel");
  }
  count += static_cast<std::uint32_t>(more);
}

// Open addressing with linear probing. Eight bytes a slot at a load of 3/8 to
// 3/4 keep the table at 11 to 21 bytes a voxel beside the voxel's own 40.
struct GeneralVoxels {
  std::vector<std::unique_ptr<VoxelSums[], FreeDeleter>> blocks;
  std::size_t voxels = 0;
  std::unique_ptr<Slot[], FreeDeleter> slots = emptySlots(std::size_t{1} << kFirstSlotBits);
  std::size_t slot_count = std::size_t{1} << kFirstSlotBits;
  unsigned shift = 64 - kFirstSlotBits;
  // Scans put runs of points into one voxel: those skip the table.
  float last_key[3] = {std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f};
  std::size_t last_voxel = 0;

  VoxelSums& voxel(std::size_t index) { return blocks[index >> kBlockBits][index & (kBlockSize - 1)]; }
  Slot* homeSlot(std::uint64_t hash) { return &slots[hash >> shift]; }

  // The voxel of `key`, added if new; without `insert`, the voxel that may be
  // it (for prefetching) or none (SIZE_MAX).
  std::size_t find(const float (&key)[3], std::uint64_t hash, bool insert = true) {
    const std::size_t mask = slot_count - 1;
    const auto tag = static_cast<std::uint32_t>(hash);
    for (std::size_t s = hash >> shift;; s = (s + 1) & mask) {
      const Slot slot = slots[s];
      if (slot.voxel == 0) {
        if (!insert) return SIZE_MAX;
        if ((voxels + 1) * 4 > slot_count * 3) {
          grow();
          return find(key, hash);
        }
        return add(key, tag, s);
      }
      if (slot.tag == tag && (!insert || sameKey(voxel(slot.voxel - 1).key, key))) return slot.voxel - 1;
    }
  }

  std::size_t add(const float (&key)[3], std::uint32_t tag, std::size_t s) {
    if (voxels % kBlockSize == 0) blocks.push_back(uninitialisedArray<VoxelSums>(kBlockSize));
    VoxelSums& v = voxel(voxels);
    std::memcpy(v.key, key, sizeof v.key);
    v.count = 0;
    v.sum[0] = v.sum[1] = v.sum[2] = 0.0;
    slots[s] = {static_cast<std::uint32_t>(++voxels), tag};
    return voxels - 1;
  }

  void grow() {
    if (slot_count >= (std::size_t{1} << 32)) throw std::length_error("VoxelAccumulator: too many voxels");
    slots.reset();  // rebuilt from the voxels' keys
    slot_count *= 2;
    --shift;
    slots = emptySlots(slot_count);
    const std::size_t mask = slot_count - 1;
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < voxels; ++i) {
      if (i + kAhead < voxels) __builtin_prefetch(homeSlot(hashKey(voxel(i + kAhead).key)));
      const std::uint64_t hash = hashKey(voxel(i).key);
      std::size_t s = hash >> shift;
      while (slots[s].voxel != 0) s = (s + 1) & mask;
      slots[s] = {static_cast<std::uint32_t>(i + 1), static_cast<std::uint32_t>(hash)};
    }
  }

  // Points counted and summed elsewhere, folded into the voxel of `key`.
  void merge(const float (&key)[3], std::uint64_t count, const double (&sum)[3]) {
    VoxelSums& v = voxel(find(key, hashKey(key)));
    addCount(v.count, count);
    for (int a = 0; a < 3; ++a) v.sum[a] += sum[a];
    last_key[0] = std::numeric_limits<float>::quiet_NaN();
  }

  void add(const float* xyz, std::size_t count, std::size_t stride, float inverse, Extent& extent,
           std::uint64_t& non_finite);
};

void GeneralVoxels::add(const float* xyz, std::size_t count, std::size_t stride, float inverse, Extent& extent,
                        std::uint64_t& non_finite) {
  // A software pipeline over the block: a point's slot is fetched kToVoxel
  // points, and its voxel kToSum points, before it is summed, so that the
  // cache misses of many points overlap instead of following one another.
  constexpr std::size_t kToVoxel = 16;
  constexpr std::size_t kToSum = 32;
  constexpr std::size_t kRing = 64;
  static_assert(kToSum < kRing && (kRing & (kRing - 1)) == 0, "the ring holds every point in flight");
  struct Pending {
    const float* point;
    float key[3];
    std::uint64_t hash;
  };
  Pending ring[kRing];
  std::size_t accepted = 0, fetched = 0, summed = 0;
  const auto fetchVoxel = [this](const Pending& b) {
    const std::size_t candidate = find(b.key, b.hash, false);
    if (candidate != SIZE_MAX) __builtin_prefetch(&voxel(candidate));
  };
  const auto sum = [this](const Pending& b) {
    if (!sameKey(b.key, last_key)) {
      last_voxel = find(b.key, b.hash);
      std::memcpy(last_key, b.key, sizeof last_key);
    }
    VoxelSums& v = voxel(last_voxel);
    addCount(v.count, 1);
    for (int a = 0; a < 3; ++a) v.sum[a] += b.point[a];
  };
  for (std::size_t i = 0; i < count; ++i) {
    const float* p = xyz + i * stride;
    if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) {
      ++non_finite;
      continue;
    }
    extent.add(p[0], p[1], p[2]);
    Pending& b = ring[accepted++ % kRing];
    b.point = p;
    for (int a = 0; a < 3; ++a) b.key[a] = voxelCoordinate(p[a], inverse);
    b.hash = hashKey(b.key);
    __builtin_prefetch(homeSlot(b.hash));
    if (accepted - fetched > kToVoxel) fetchVoxel(ring[fetched++ % kRing]);
    if (accepted - summed > kToSum) sum(ring[summed++ % kRing]);
  }
  while (summed < accepted) sum(ring[summed++ % kRing]);
}

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

constexpr unsigned kAxisBits = 21;
constexpr std::uint64_t kAxisMask = (std::uint64_t{1} << kAxisBits) - 1;
constexpr std::int64_t kAxisBias = std::int64_t{1} << (kAxisBits - 1);
// Below 2^23 voxelCoordinate is an exact floor and two of them subtract
// exactly in float, so pcl's index neither folds nor reorders neighbours.
constexpr float kExactVoxel = 8388608.0f;
constexpr std::uint64_t kNoKey = ~std::uint64_t{0};

std::int64_t axisOf(std::uint64_t key, int axis) {
  return static_cast<std::int64_t>((key >> (kAxisBits * axis)) & kAxisMask);
}

// Sums in double while a voxel fills, however many points it gets.
struct FillingVoxel {
  std::uint64_t key;  // kNoKey: none yet
  std::uint32_t count;
  double sum[3];
};

// A band is one layer of voxels (one z) by 16 rows (y): bands in the order of
// their ids are voxelDownsample's order of the voxels, and a band is small
// enough to be sorted within the processor's cache.
constexpr unsigned kBandRowBits = 4;
constexpr unsigned kBandShift = kAxisBits + kBandRowBits;
constexpr std::uint64_t kInBandMask = (std::uint64_t{1} << kBandShift) - 1;

std::uint64_t bandOf(std::uint64_t key) { return key >> kBandShift; }

// A voxel's points as kept in its band, whose id completes the key. The sums
// are taken from the voxel's corner: they stay near the leaf size, so float
// keeps them to a few units in the last place of the centroid.
struct VoxelRecord {
  std::uint32_t in_band;  // the key's bits below the band's: row and x
  std::uint32_t count;
  float offset_sum[3];
};
static_assert(sizeof(VoxelRecord) == 20, "records are packed");

// The ring holds the voxels of a few scan lines, and its index, eight times
// as many slots, rarely loses one of them to a collision before the ring
// comes round to it: both stay in the processor's cache (290 KiB).
constexpr unsigned kRingBits = 12;
constexpr std::size_t kRingSize = std::size_t{1} << kRingBits;
constexpr unsigned kIndexBits = 15;

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 32);
}

// How many different voxels the records hold, within a few percent
// (HyperLogLog): when records repeat voxels too often, as points in no
// spatial order make them do, they are merged before they outgrow them.
class DistinctKeys {
 public:
  void add(std::uint64_t key) {
    const std::uint64_t h = mix(key);
    const std::size_t bucket = h >> (64 - kBits);
    const auto rank = static_cast<std::uint8_t>(__builtin_clzll((h << kBits) | (std::uint64_t{1} << (kBits - 1))) + 1);
    rank_[bucket] = std::max(rank_[bucket], rank);
  }

  double estimate() const {
    constexpr double m = std::size_t{1} << kBits;
    double sum = 0.0;
    std::size_t empty = 0;
    for (const std::uint8_t r : rank_) {
      sum += std::ldexp(1.0, -r);
      empty += r == 0;
    }
    const double raw = 0.7213 / (1.0 + 1.079 / m) * m * m / sum;
    return raw <= 2.5 * m && empty > 0 ? m * std::log(m / static_cast<double>(empty)) : raw;
  }

 private:
  static constexpr unsigned kBits = 12;
  std::uint8_t rank_[std::size_t{1} << kBits] = {};
};

// Fresh pages for a buffer written from start to end: faulted in one call.
// Not huge pages: on virtual machines a fresh 2 MiB page can cost far more
// than 512 small ones, and sequential passes gain little from them.
void populate(void* data, std::size_t bytes) {
#if defined(MADV_POPULATE_WRITE)
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

// Room for records, handed out from one range of address space reserved up
// front and committed a step at a time as it fills. Blocks are known by
// their offset, so the rare move to a larger range leaves them valid.
class RecordPool {
 public:
  RecordPool() = default;
  RecordPool(const RecordPool&) = delete;
  RecordPool& operator=(const RecordPool&) = delete;
  ~RecordPool() {
    if (data_ != nullptr) munmap(data_, reserved_bytes_);
  }

  VoxelRecord* data() { return data_; }
  const VoxelRecord* data() const { return data_; }

  std::uint64_t allocate(std::size_t n) {
    while (used_ + n > usable_) grow();
    const std::uint64_t at = used_;
    used_ += n;
    return at;
  }

 private:
  static constexpr std::size_t kStep = std::size_t{1} << 19;  // records: 10 MiB
  static constexpr std::size_t kReserve = std::size_t{64} << 30;

  void grow() {
    const std::size_t usable = usable_ + kStep;
    if (usable * sizeof(VoxelRecord) > reserved_bytes_) reserve(usable * sizeof(VoxelRecord));
    auto* from = reinterpret_cast<unsigned char*>(data_ + usable_);
    const std::size_t bytes = kStep * sizeof(VoxelRecord);
    if (mprotect(from, bytes, PROT_READ | PROT_WRITE) != 0) throw std::bad_alloc();
    populate(from, bytes);
    usable_ = usable;
  }

  // Address space only: nothing is committed until made writable. Where less
  // is to be had, the records move to a larger range when they outgrow it.
  void reserve(std::size_t at_least) {
    for (std::size_t bytes = std::max(kReserve, 2 * at_least);; bytes /= 2) {
      if (bytes < at_least) throw std::bad_alloc();
      void* range = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (range == MAP_FAILED) continue;
      auto* data = static_cast<VoxelRecord*>(range);
      if (usable_ > 0) {
        if (mprotect(data, usable_ * sizeof(VoxelRecord), PROT_READ | PROT_WRITE) != 0) {
          munmap(range, bytes);
          throw std::bad_alloc();
        }
        std::memcpy(data, data_, used_ * sizeof(VoxelRecord));
        munmap(data_, reserved_bytes_);
      }
      data_ = data;
      reserved_bytes_ = bytes;
      return;
    }
  }

  VoxelRecord* data_ = nullptr;
  std::size_t reserved_bytes_ = 0;
  std::size_t used_ = 0;
  std::size_t usable_ = 0;
};

// Records go to their band's chain of blocks as they leave the ring; in scan
// order, few bands are being written at any time.
class BandedRecords {
 public:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  // Records wait in their band until they fill five whole cache lines, which
  // then go to memory in one go, past the caches: writing a record straight
  // to one of thousands of band tails would first read its line.
  static constexpr std::uint32_t kStaged = 16;
  static_assert(kStaged * sizeof(VoxelRecord) % 64 == 0, "staged records fill whole cache lines");

  struct Block {
    std::uint64_t at;  // offset in the pool, a multiple of kStaged
    std::uint32_t capacity;
    std::uint32_t next;
  };
  struct alignas(64) Band {
    std::uint64_t id;
    std::uint64_t tail;         // where the next record goes, in the pool
    std::uint32_t first, last;  // blocks
    std::uint32_t fill;         // records in the last block, those staged not counted
    std::uint32_t capacity;     // of the last block
    std::uint64_t records;      // those staged counted
    std::uint32_t staged;
    alignas(16) VoxelRecord stage[kStaged];
  };
  static_assert(offsetof(Band, stage) % 16 == 0, "staged records are read 16 bytes at a time");

  std::uint64_t records() const { return records_; }
  const std::vector<Band>& bands() const { return bands_; }
  const std::vector<Block>& blocks() const { return blocks_; }

  void append(std::uint64_t key, std::uint32_t count, const float (&offset_sum)[3]) {
    const std::uint64_t id = bandOf(key);
    Recent& recent = recent_[(id * 0x9E3779B97F4A7C15ull) >> (64 - kRecentBits)];
    if (recent.id != id) {
      recent.band = static_cast<std::uint32_t>(find(id));
      recent.id = id;
    }
    Band& b = bands_[recent.band];
    if (b.fill + b.staged == b.capacity) extend(b);
    VoxelRecord& r = b.stage[b.staged++];
    r.in_band = static_cast<std::uint32_t>(key & kInBandMask);
    r.count = count;
    std::memcpy(r.offset_sum, offset_sum, sizeof r.offset_sum);
    ++b.records;
    ++records_;
    if (((b.tail + b.staged) & (kStaged - 1)) == 0) write(b);
  }

  // Writes every band's staged records, for reading the pool.
  void settle() {
    for (Band& b : bands_) write(b);
#if defined(VOXEL_FILTER_SSE2)
    _mm_sfence();
#endif
  }

  // Calls `each(record, n)` for each run of the band's records.
  template <typename Each>
  void forEachRun(const Band& b, Each&& each) const {
    for (std::uint32_t k = b.first; k != kNone; k = blocks_[k].next) {
      each(pool_.data() + blocks_[k].at, k == b.last ? b.fill : blocks_[k].capacity);
    }
  }

  // Makes the band hold `n` records, already written over its first ones in
  // chain order; its blocks past them are kept for reuse.
  void shrink(std::size_t band, std::uint64_t n) {
    Band& b = bands_[band];
    records_ -= b.records - n;
    b.records = n;
    std::uint32_t k = b.first;
    while (n > blocks_[k].capacity && blocks_[k].next != kNone) {
      n -= blocks_[k].capacity;
      k = blocks_[k].next;
    }
    b.last = k;
    b.fill = static_cast<std::uint32_t>(n);
    b.capacity = blocks_[k].capacity;
    b.tail = blocks_[k].at + n;
    for (std::uint32_t spare = blocks_[k].next; spare != kNone;) {
      const std::uint32_t next = blocks_[spare].next;
      spare_[classOf(blocks_[spare].capacity)].push_back(spare);
      spare = next;
    }
    blocks_[k].next = kNone;
  }

  VoxelRecord* at(const Block& block) { return pool_.data() + block.at; }

 private:
  // Blocks grow from 16 records to 64 along a band: small bands waste little,
  // large ones are read in runs of 1.25 KiB.
  static constexpr unsigned kFirstBlockBits = 4;
  static constexpr unsigned kLastBlockBits = 6;

  static unsigned classOf(std::uint32_t capacity) { return __builtin_ctz(capacity) - kFirstBlockBits; }

  void write(Band& b) {
    VoxelRecord* to = pool_.data() + b.tail;
#if defined(VOXEL_FILTER_SSE2)
    if (b.staged == kStaged && (b.tail & (kStaged - 1)) == 0) {
      const auto* from = reinterpret_cast<const __m128i*>(b.stage);
      auto* lines = reinterpret_cast<__m128i*>(to);
      for (std::size_t i = 0; i < kStaged * sizeof(VoxelRecord) / sizeof(__m128i); ++i) {
        _mm_stream_si128(lines + i, _mm_load_si128(from + i));
      }
    } else
#endif
    {
      std::memcpy(to, b.stage, b.staged * sizeof(VoxelRecord));
    }
    b.tail += b.staged;
    b.fill += b.staged;
    b.staged = 0;
  }

  std::uint32_t newBlock(std::uint32_t capacity) {
    std::vector<std::uint32_t>& spare = spare_[classOf(capacity)];
    if (!spare.empty()) {
      const std::uint32_t k = spare.back();
      spare.pop_back();
      blocks_[k].next = kNone;
      return k;
    }
    if (blocks_.size() >= kNone) throw std::length_error("VoxelAccumulator: too many voxels");
    blocks_.push_back({pool_.allocate(capacity), capacity, kNone});
    return static_cast<std::uint32_t>(blocks_.size() - 1);
  }

  void extend(Band& b) {
    write(b);
    const std::uint32_t k = newBlock(std::min(2 * b.capacity, std::uint32_t{1} << kLastBlockBits));
    blocks_[b.last].next = k;
    b.last = k;
    b.fill = 0;
    b.capacity = blocks_[k].capacity;
    b.tail = blocks_[k].at;
  }

  std::size_t find(std::uint64_t id) {
    if (4 * (bands_.size() + 1) > 3 * slots_.size()) rehash();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = mix(id) & mask;; s = (s + 1) & mask) {
      if (slots_[s] == 0) {
        const std::uint32_t k = newBlock(std::uint32_t{1} << kFirstBlockBits);
        Band& b = bands_.emplace_back();
        b.id = id;
        b.tail = blocks_[k].at;
        b.first = b.last = k;
        b.fill = 0;
        b.capacity = blocks_[k].capacity;
        b.records = 0;
        b.staged = 0;
        slots_[s] = static_cast<std::uint32_t>(bands_.size());
        return bands_.size() - 1;
      }
      if (bands_[slots_[s] - 1].id == id) return slots_[s] - 1;
    }
  }

  void rehash() {
    std::vector<std::uint32_t> slots(std::max<std::size_t>(1024, 2 * slots_.size()), 0);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = 0; i < bands_.size(); ++i) {
      std::size_t s = mix(bands_[i].id) & mask;
      while (slots[s] != 0) s = (s + 1) & mask;
      slots[s] = static_cast<std::uint32_t>(i + 1);
    }
    slots_.swap(slots);
  }

  RecordPool pool_;
  std::vector<Block> blocks_;
  std::vector<Band> bands_;
  std::vector<std::uint32_t> slots_;  // band index + 1; 0: free
  std::vector<std::uint32_t> spare_[kLastBlockBits - kFirstBlockBits + 1];
  // The bands written last, by id: a scan goes back and forth between a few
  // hundred bands, which this finds without the directory.
  static constexpr unsigned kRecentBits = 9;
  struct Recent {
    std::uint64_t id = kNoKey;
    std::uint32_t band = 0;
  };
  Recent recent_[std::size_t{1} << kRecentBits];
  std::uint64_t records_ = 0;
};

// Sorts a band's records, gathered into one array, by row and then by x:
// their places, each with the record's index, least significant digit first
// through a second array, all within the processor's cache.
class BandSorter {
 public:
  // `x_min` and `x_bits`: the smallest x field and the width of the x span.
  BandSorter(std::int64_t x_min, unsigned x_bits) : x_min_(x_min), x_bits_(x_bits) {}

  // Gathers `n` records with `gather(to)` and sorts them; record(i) is then
  // the i-th in order.
  template <typename Gather>
  void sort(std::size_t n, Gather&& gather) {
    if (records_.size() < n) {
      records_.resize(std::max(n, 2 * records_.size()));
      order_.resize(records_.size());
      other_.resize(records_.size());
    }
    gather(records_.data());
    const unsigned bits = kBandRowBits + x_bits_;
    const unsigned passes = (bits + kDigitBits - 1) / kDigitBits;
    const unsigned width = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << width;
    counts_.assign(passes * buckets, 0);
    std::uint64_t* from = order_.data();
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t p = place(records_[i].in_band);
      from[i] = p << 32 | i;
      for (unsigned d = 0; d < passes; ++d) ++counts_[d * buckets + ((p >> (d * width)) & (buckets - 1))];
    }
    std::uint64_t* to = other_.data();
    for (unsigned d = 0; d < passes; ++d) {
      std::size_t* heads = counts_.data() + d * buckets;
      std::size_t sum = 0;
      for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t c = heads[b];
        heads[b] = sum;
        sum += c;
      }
      const unsigned shift = 32 + d * width;
      for (std::size_t i = 0; i < n; ++i) to[heads[(from[i] >> shift) & (buckets - 1)]++] = from[i];
      std::swap(from, to);
    }
    sorted_ = from;
  }

  const VoxelRecord& record(std::size_t i) const { return records_[sorted_[i] & 0xFFFFFFFFu]; }

 private:
  static constexpr unsigned kDigitBits = 8;

  std::uint64_t place(std::uint32_t in_band) const {
    return std::uint64_t{in_band >> kAxisBits} << x_bits_ | static_cast<std::uint64_t>(axisOf(in_band, 0) - x_min_);
  }

  std::int64_t x_min_;
  unsigned x_bits_;
  std::vector<VoxelRecord> records_;
  std::vector<std::uint64_t> order_, other_;
  const std::uint64_t* sorted_ = nullptr;
  std::vector<std::size_t> counts_;
};

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

}  // namespace

// Packed while every voxel fits a key; otherwise, from the first point that
// does not, the general table.
struct VoxelAccumulator::Table {
  float inverse = 0.0f;
  Extent extent;
  std::unique_ptr<PackedVoxels> packed;
  std::unique_ptr<GeneralVoxels> general;

  // Moves every voxel counted so far to the general table, once.
  void unpack() {
    general = std::make_unique<GeneralVoxels>();
    if (!packed) return;
    PackedVoxels& p = *packed;
    p.retireRing();
    p.bands.settle();
    for (const BandedRecords::Band& b : p.bands.bands()) {
      p.bands.forEachRun(b, [&](const VoxelRecord* run, std::size_t n) {
        for (const VoxelRecord* r = run; r != run + n; ++r) {
          const std::uint64_t full = b.id << kBandShift | r->in_band;
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
  requireUsableLeaf(leaf_size, "VoxelAccumulator");
  table_->inverse = 1.0f / leaf_size;
  table_->packed = std::make_unique<PackedVoxels>(leaf_size, table_->inverse, table_->extent);
}

VoxelAccumulator::~VoxelAccumulator() = default;

std::size_t VoxelAccumulator::voxelCount() const {
  const Table& t = *table_;
  if (t.packed) return t.packed->bands.records() + std::min<std::uint64_t>(t.packed->met, kRingSize);
  return t.general ? t.general->voxels : 0;
}

float VoxelAccumulator::largestCoordinate() const {
  const Extent& e = table_->extent;
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

namespace {

// A voxel's centroid and its place in the result: 16 bytes, written over the
// 40 of the voxel's sums.
struct PlacedCentroid {
  float xyz[3];
  std::uint32_t place;
};
constexpr std::uint32_t kFoldedAway = std::numeric_limits<std::uint32_t>::max();

// The voxels sorted by `order_of` their key, as voxelDownsample sorts its
// points; voxels whose keys give one index (pcl's float arithmetic can fold
// neighbours far from the origin) become one centroid, as there. The peak
// stays below the table's: the sort's array goes before the voxels shrink to
// placed centroids, which go block by block into the result.
template <typename Entry, typename Store, typename OrderOf>
PointVector centroidsInOrder(Store& store, std::size_t voxels, OrderOf order_of) {
  std::uint32_t places = 0;
  {
    const auto entries = uninitialisedArray<Entry>(voxels);
    for (std::size_t i = 0; i < voxels; ++i) {
      entries[i].voxel = order_of(store.voxel(i).key);
      entries[i].point = static_cast<decltype(entries[i].point)>(i);
    }
    Entry* const begin = entries.get();
    Entry* const end = begin + voxels;
    sortEntries(begin, end);
    // The key's first float holds the voxel's place from here on.
    const Entry* prefetch = begin + std::min(kPrefetchDistance, voxels);
    for (const Entry* e = begin; e != end; ++places) {
      VoxelSums& first = store.voxel(e->point);
      const auto index = e->voxel;
      while (++e != end && e->voxel == index) {
        VoxelSums& other = store.voxel(e->point);
        for (int a = 0; a < 3; ++a) first.sum[a] += other.sum[a];
        addCount(first.count, other.count);
        other.count = 0;
      }
      std::memcpy(&first.key[0], &places, sizeof places);
      for (; prefetch != end && static_cast<std::size_t>(prefetch - e) < kPrefetchDistance; ++prefetch) {
        __builtin_prefetch(&store.voxel(prefetch->point));
      }
    }
  }

  // Records are written through bytes: a record overlaps only sums already read.
  const std::size_t blocks = store.blocks.size();
  const auto blockVoxels = [&](std::size_t b) { return std::min(kBlockSize, voxels - b * kBlockSize); };
  for (std::size_t b = 0; b < blocks; ++b) {
    VoxelSums* block = store.blocks[b].get();
    auto* bytes = reinterpret_cast<unsigned char*>(block);
    const std::size_t n = blockVoxels(b);
    for (std::size_t i = 0; i < n; ++i) {
      const VoxelSums v = block[i];
      PlacedCentroid placed;
      if (v.count == 0) {
        placed.place = kFoldedAway;
      } else {
        std::memcpy(&placed.place, &v.key[0], sizeof placed.place);
        for (int a = 0; a < 3; ++a) placed.xyz[a] = static_cast<float>(v.sum[a] / static_cast<double>(v.count));
      }
      std::memcpy(bytes + i * sizeof placed, &placed, sizeof placed);
    }
    releasePages(bytes + n * sizeof(PlacedCentroid), kBlockSize * sizeof(VoxelSums) - n * sizeof(PlacedCentroid));
  }

  PointVector result(places);
  for (std::size_t b = 0; b < blocks; ++b) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(store.blocks[b].get());
    for (std::size_t i = 0, n = blockVoxels(b); i < n; ++i) {
      PlacedCentroid placed;
      std::memcpy(&placed, bytes + i * sizeof placed, sizeof placed);
      if (placed.place != kFoldedAway) {
        result[placed.place].x = placed.xyz[0];
        result[placed.place].y = placed.xyz[1];
        result[placed.place].z = placed.xyz[2];
      }
    }
    store.blocks[b].reset();
  }
  return result;
}

PointVector generalCentroids(GeneralVoxels& g, const Extent& extent, float inverse, std::uint64_t points_added) {
  g.slots.reset();  // the order comes from the keys alone
  g.slot_count = 0;
  PointVector result;
  const VoxelOrder order = chooseOrder(extent, inverse, points_added);
  if (g.voxels == 0) {
  } else if (order.kind == VoxelOrder::Kind::kPcl) {
    result = centroidsInOrder<IndexedEntry<std::uint32_t>>(g, g.voxels, [&order](const float (&k)[3]) {
      return order.pclIndex(k[0], k[1], k[2]);
    });
  } else if (order.kind == VoxelOrder::Kind::kLinear) {
    result = centroidsInOrder<IndexedEntry<std::uint64_t>>(g, g.voxels, [&order](const float (&k)[3]) {
      return order.linearIndex(k[0], k[1], k[2]);
    });
  } else {
    result = centroidsInOrder<TripleEntry>(g, g.voxels, [](const float (&k)[3]) {
      return VoxelTriple{k[0], k[1], k[2]};
    });
  }
  decltype(g.blocks)().swap(g.blocks);
  return result;
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

PointVector VoxelAccumulator::finish() {
  Table& t = *table_;
  PointVector result;
  if (t.packed) {
    result = packedCentroids(*t.packed);
    t.packed.reset();
  } else if (t.general) {
    result = generalCentroids(*t.general, t.extent, t.inverse, points_added_);
    t.general.reset();
  }
  return result;
}

}  // namespace korvane_navigation
