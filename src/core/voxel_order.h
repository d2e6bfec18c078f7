// What the whole-cloud filter and the streaming accumulator share: voxel
// coordinates, the cloud's extent, pcl::VoxelGrid's index and its choice of
// order, and page-level buffer helpers. Internal to the voxel filter; the
// helpers run once per point are inline here so that each caller keeps them
// in its own loops.
#pragma once

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

namespace korvane_navigation {
namespace voxel {

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
void prepareFreshPages(void* data, std::size_t bytes);

// Fresh pages for a buffer written from start to end: faulted in one call.
// Not huge pages: on virtual machines a fresh 2 MiB page can cost far more
// than 512 small ones, and sequential passes gain little from them.
void populate(void* data, std::size_t bytes);

// Gives the pages of a range that will not be read again back to the system,
// without freeing the allocation that holds them.
void releasePages(void* data, std::size_t bytes);

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

// std::floor is a libm call on baseline x86-64; this is the same value (as an
// integer) for |v| < 2^62 and keeps the per-point pass free of calls.
inline std::int64_t floorToInt(float v) {
  const auto t = static_cast<std::int64_t>(v);
  return t - static_cast<std::int64_t>(v < static_cast<float>(t));
}

// floor(v * inverse), the voxel coordinate every ordering below starts from,
// as a float so that it also holds extents beyond any integer (infinity after
// an overflow). NaN, from a zero coordinate times an infinite inverse, becomes 0.
inline float voxelCoordinate(float v, float inverse) {
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
inline void sortEntries<TripleEntry>(TripleEntry* first, TripleEntry* last) {
  std::sort(first, last);
}

inline void addCount(std::uint32_t& count, std::uint64_t more) {
  if (more > std::numeric_limits<std::uint32_t>::max() - count) {
    throw std::length_error("VoxelAccumulator: more than 2^32 - 1 points in one voxel");
  }
  count += static_cast<std::uint32_t>(more);
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
VoxelOrder chooseOrder(const Extent& extent, float inverse, std::uint64_t point_count);

// Throws std::invalid_argument, naming `who`, unless the leaf is positive and finite.
void requireUsableLeaf(float leaf_size, const char* who);

}  // namespace voxel
}  // namespace korvane_navigation
