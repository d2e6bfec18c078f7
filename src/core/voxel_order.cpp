#include "core/voxel_order.h"

#include <string>

#include <sys/mman.h>

namespace korvane_navigation {
namespace voxel {
namespace {

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

namespace {

// Gives `advice` for the whole pages of `page` bytes within the range.
void adviseWholePages(void* data, std::size_t bytes, std::uintptr_t page, int advice) {
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t last = (begin + bytes) & ~(page - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, advice);
}

constexpr std::uintptr_t kPage = 4096;

}  // namespace

void prepareFreshPages(void* data, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  adviseWholePages(data, bytes, kHugePage, MADV_HUGEPAGE);
#endif
  populate(data, bytes);
}

void populate(void* data, std::size_t bytes) {
#if defined(MADV_POPULATE_WRITE)
  adviseWholePages(data, bytes, kPage, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

void releasePages(void* data, std::size_t bytes) { adviseWholePages(data, bytes, kPage, MADV_DONTNEED); }

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

}  // namespace voxel
}  // namespace korvane_navigation
