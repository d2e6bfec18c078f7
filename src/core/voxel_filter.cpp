#include "core/voxel_filter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/voxel_order.h"

namespace korvane_navigation {
namespace voxel {
namespace {

bool isFinite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

Extent finiteExtent(const PointVector& points) {
  Extent e;
  for (const auto& p : points) {
    if (isFinite(p)) e.add(p.x, p.y, p.z);
  }
  return e;
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

}  // namespace
}  // namespace voxel

PointVector voxelDownsample(const PointVector& points, float leaf_size, const ProgressCallback& progress) {
  using namespace voxel;
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

}  // namespace korvane_navigation
