#include "core/voxel_filter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>

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

struct Extent {
  float min[3] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                  std::numeric_limits<float>::max()};
  float max[3] = {std::numeric_limits<float>::lowest(), std::numeric_limits<float>::lowest(),
                  std::numeric_limits<float>::lowest()};
  std::size_t finite_points = 0;
};

Extent finiteExtent(const PointVector& points) {
  Extent e;
  for (const auto& p : points) {
    if (!isFinite(p)) continue;
    e.min[0] = std::min(e.min[0], p.x);
    e.min[1] = std::min(e.min[1], p.y);
    e.min[2] = std::min(e.min[2], p.z);
    e.max[0] = std::max(e.max[0], p.x);
    e.max[1] = std::max(e.max[1], p.y);
    e.max[2] = std::max(e.max[2], p.z);
    ++e.finite_points;
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

}  // namespace

PointVector voxelDownsample(const PointVector& points, float leaf_size, const ProgressCallback& progress) {
  if (!(leaf_size > 0.0f) || !std::isfinite(leaf_size)) {
    throw std::invalid_argument("voxelDownsample: leaf size must be positive and finite");
  }
  const Extent extent = finiteExtent(points);
  if (extent.finite_points == 0) return {};

  // pcl's inverse: one float division, then multiplications per point.
  const float inverse = 1.0f / leaf_size;

  float lo[3], hi[3];
  std::int64_t min_voxel[3];
  std::uint64_t divisions[3];
  bool linear = true;
  for (int a = 0; a < 3; ++a) {
    lo[a] = std::floor(extent.min[a] * inverse);
    hi[a] = std::floor(extent.max[a] * inverse);
    // Also rejects NaN, from a zero coordinate times an infinite inverse.
    if (!(std::fabs(lo[a]) < kMaxVoxelCoordinate && std::fabs(hi[a]) < kMaxVoxelCoordinate)) {
      linear = false;
      continue;
    }
    min_voxel[a] = static_cast<std::int64_t>(lo[a]);
    divisions[a] = static_cast<std::uint64_t>(static_cast<std::int64_t>(hi[a]) - min_voxel[a] + 1);
  }

  std::uint64_t cells = 0;
  std::uint64_t plane = 0;
  linear = linear && multiply(divisions[0], divisions[1], plane) &&
           multiply(plane, divisions[2], cells);

  if (!linear) {
    return thin<TripleEntry>(points, extent.finite_points, [inverse](const pcl::PointXYZ& p) {
      const auto voxel = [inverse](float v) {
        const float scaled = v * inverse;
        return scaled == scaled ? std::floor(scaled) : 0.0f;
      };
      return VoxelTriple{voxel(p.x), voxel(p.y), voxel(p.z)};
    }, progress);
  }

  constexpr std::uint64_t kIndex32 = std::uint64_t{1} << 32;
  if (pclAddresses(extent, inverse, lo, hi) && cells <= kIndex32 && points.size() <= kIndex32) {
    // pcl's arithmetic: the voxel offset is taken as a float difference before
    // truncation, and the linear index wraps at 32 bits.
    const float min[3] = {static_cast<float>(min_voxel[0]), static_cast<float>(min_voxel[1]),
                          static_cast<float>(min_voxel[2])};
    const std::uint32_t row = static_cast<std::uint32_t>(divisions[0]);
    const std::uint32_t layer = static_cast<std::uint32_t>(plane);
    return thin<IndexedEntry<std::uint32_t>>(
        points, extent.finite_points, [inverse, min, row, layer](const pcl::PointXYZ& p) {
          const auto offset = [inverse](float v, float first) {
            return static_cast<std::uint32_t>(
                static_cast<std::int64_t>(static_cast<float>(floorToInt(v * inverse)) - first));
          };
          return offset(p.x, min[0]) + offset(p.y, min[1]) * row + offset(p.z, min[2]) * layer;
        },
        progress);
  }

  // Too many voxels for pcl's index: same alignment and order, computed exactly
  // in 64 bits.
  const std::uint64_t row = divisions[0];
  return thin<IndexedEntry<std::uint64_t>>(
      points, extent.finite_points,
      [inverse, min_voxel, row, plane](const pcl::PointXYZ& p) {
        const auto offset = [inverse](float v, std::int64_t min) {
          return static_cast<std::uint64_t>(floorToInt(v * inverse) - min);
        };
        return offset(p.x, min_voxel[0]) + offset(p.y, min_voxel[1]) * row +
               offset(p.z, min_voxel[2]) * plane;
      },
      progress);
}

}  // namespace korvane_navigation
