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

#if defined(__linux__)
#include <sys/mman.h>
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

}  // namespace

// Open addressing with linear probing. Eight bytes a slot at a load of 3/8 to
// 3/4 keep the table at 11 to 21 bytes a voxel beside the voxel's own 40.
struct VoxelAccumulator::Table {
  float inverse = 0.0f;
  Extent extent;
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
};

VoxelAccumulator::VoxelAccumulator(float leaf_size) : table_(new Table) {
  requireUsableLeaf(leaf_size, "VoxelAccumulator");
  table_->inverse = 1.0f / leaf_size;
}

VoxelAccumulator::~VoxelAccumulator() = default;

std::size_t VoxelAccumulator::voxelCount() const { return table_->voxels; }

float VoxelAccumulator::largestCoordinate() const {
  const Extent& e = table_->extent;
  if (e.finite_points == 0) return 0.0f;
  float largest = 0.0f;
  for (int a = 0; a < 3; ++a) largest = std::max({largest, -e.min[a], e.max[a]});
  return largest;
}

void VoxelAccumulator::add(const float* xyz, std::size_t count, std::size_t stride) {
  Table& t = *table_;
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
  const auto fetchVoxel = [&t](const Pending& b) {
    const std::size_t candidate = t.find(b.key, b.hash, false);
    if (candidate != SIZE_MAX) __builtin_prefetch(&t.voxel(candidate));
  };
  const auto sum = [&t](const Pending& b) {
    if (!sameKey(b.key, t.last_key)) {
      t.last_voxel = t.find(b.key, b.hash);
      std::memcpy(t.last_key, b.key, sizeof t.last_key);
    }
    VoxelSums& v = t.voxel(t.last_voxel);
    if (v.count == std::numeric_limits<std::uint32_t>::max()) {
      throw std::length_error("VoxelAccumulator: more than 2^32 - 1 points in one voxel");
    }
    ++v.count;
    for (int a = 0; a < 3; ++a) v.sum[a] += b.point[a];
  };
  for (std::size_t i = 0; i < count; ++i) {
    const float* p = xyz + i * stride;
    if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) {
      ++non_finite_points_;
      continue;
    }
    t.extent.add(p[0], p[1], p[2]);
    Pending& b = ring[accepted++ % kRing];
    b.point = p;
    for (int a = 0; a < 3; ++a) b.key[a] = voxelCoordinate(p[a], t.inverse);
    b.hash = hashKey(b.key);
    __builtin_prefetch(t.homeSlot(b.hash));
    if (accepted - fetched > kToVoxel) fetchVoxel(ring[fetched++ % kRing]);
    if (accepted - summed > kToSum) sum(ring[summed++ % kRing]);
  }
  while (summed < accepted) sum(ring[summed++ % kRing]);
  points_added_ += count;
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
        if (other.count > std::numeric_limits<std::uint32_t>::max() - first.count) {
          throw std::length_error("VoxelAccumulator: more than 2^32 - 1 points in one voxel");
        }
        first.count += other.count;
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

}  // namespace

PointVector VoxelAccumulator::finish() {
  Table& t = *table_;
  t.slots.reset();  // the order comes from the keys alone
  t.slot_count = 0;
  PointVector result;
  const VoxelOrder order = chooseOrder(t.extent, t.inverse, points_added_);
  if (t.voxels == 0) {
  } else if (order.kind == VoxelOrder::Kind::kPcl) {
    result = centroidsInOrder<IndexedEntry<std::uint32_t>>(t, t.voxels, [&order](const float (&k)[3]) {
      return order.pclIndex(k[0], k[1], k[2]);
    });
  } else if (order.kind == VoxelOrder::Kind::kLinear) {
    result = centroidsInOrder<IndexedEntry<std::uint64_t>>(t, t.voxels, [&order](const float (&k)[3]) {
      return order.linearIndex(k[0], k[1], k[2]);
    });
  } else {
    result = centroidsInOrder<TripleEntry>(t, t.voxels, [](const float (&k)[3]) {
      return VoxelTriple{k[0], k[1], k[2]};
    });
  }
  decltype(t.blocks)().swap(t.blocks);
  return result;
}

}  // namespace korvane_navigation
