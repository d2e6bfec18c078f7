// The accumulator's general store, for voxel coordinates of any size, even
// beyond every integer type: a hash table of voxel sums. Internal to the
// voxel filter; the table's probes are inline here because the accumulator
// also folds records into it one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "core/point_vector.h"
#include "core/voxel_order.h"

namespace korvane_navigation {
namespace voxel {

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

inline std::uint32_t bitsOf(float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// The keys are whole numbers as floats, whose low mantissa bits are mostly
// zero: only a full mix spreads them over the table.
inline std::uint64_t hashKey(const float (&key)[3]) {
  std::uint64_t h = (bitsOf(key[0]) | std::uint64_t{bitsOf(key[1])} << 32) * 0x9E3779B97F4A7C15ull;
  h ^= bitsOf(key[2]) + (h >> 29);
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 29);
}

inline bool sameKey(const float (&a)[3], const float (&b)[3]) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

// A voxel's index plus one (0: empty) and 32 bits of its key's hash, which
// spare most probes a look at a voxel that is not the one sought.
struct Slot {
  std::uint32_t voxel;
  std::uint32_t tag;
};

inline std::unique_ptr<Slot[], FreeDeleter> emptySlots(std::size_t count) {
  auto slots = uninitialisedArray<Slot>(count);
  std::memset(slots.get(), 0, count * sizeof(Slot));
  return slots;
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

  // Every voxel of `other` folded in.
  void absorb(GeneralVoxels& other) {
    for (std::size_t i = 0; i < other.voxels; ++i) {
      const VoxelSums& v = other.voxel(i);
      merge(v.key, v.count, v.sum);
    }
  }

  void add(const float* xyz, std::size_t count, std::size_t stride, float inverse, Extent& extent,
           std::uint64_t& non_finite);
};

// The centroids of the table's voxels in voxelDownsample's order over
// `extent`; frees the table as it goes.
PointVector generalCentroids(GeneralVoxels& g, const Extent& extent, float inverse, std::uint64_t points_added);

}  // namespace voxel
}  // namespace korvane_navigation
