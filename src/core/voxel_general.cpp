#include "core/voxel_general.h"

#include <algorithm>
#include <cmath>

namespace korvane_navigation {
namespace voxel {

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

}  // namespace

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

}  // namespace voxel
}  // namespace korvane_navigation
