// Where the accumulator's packed store keeps its voxels once they leave the
// ring of voxels being filled: 20-byte records in bands, each band a chain of
// blocks in one pool, and the sorter that puts a band's records in
// voxelDownsample's order. Internal to the voxel filter; what runs once per
// record is inline here so that the accumulator's loops keep it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define VOXEL_FILTER_SSE2 1
#endif

namespace korvane_navigation {
namespace voxel {

constexpr unsigned kAxisBits = 21;
constexpr std::uint64_t kAxisMask = (std::uint64_t{1} << kAxisBits) - 1;
constexpr std::int64_t kAxisBias = std::int64_t{1} << (kAxisBits - 1);
// Below 2^23 voxelCoordinate is an exact floor and two of them subtract
// exactly in float, so pcl's index neither folds nor reorders neighbours.
constexpr float kExactVoxel = 8388608.0f;
constexpr std::uint64_t kNoKey = ~std::uint64_t{0};

inline std::int64_t axisOf(std::uint64_t key, int axis) {
  return static_cast<std::int64_t>((key >> (kAxisBits * axis)) & kAxisMask);
}

// A band is one layer of voxels (one z) by 16 rows (y): bands in the order of
// their ids are voxelDownsample's order of the voxels, and a band is small
// enough to be sorted within the processor's cache.
constexpr unsigned kBandRowBits = 4;
constexpr unsigned kBandShift = kAxisBits + kBandRowBits;
constexpr std::uint64_t kInBandMask = (std::uint64_t{1} << kBandShift) - 1;

inline std::uint64_t bandOf(std::uint64_t key) { return key >> kBandShift; }

// A voxel's points as kept in its band, whose id completes the key. The sums
// are taken from the voxel's corner: they stay near the leaf size, so float
// keeps them to a few units in the last place of the centroid.
struct VoxelRecord {
  std::uint32_t in_band;  // the key's bits below the band's: row and x
  std::uint32_t count;
  float offset_sum[3];
};
static_assert(sizeof(VoxelRecord) == 20, "records are packed");

inline std::uint64_t mix(std::uint64_t h) {
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

  double estimate() const;

 private:
  static constexpr unsigned kBits = 12;
  std::uint8_t rank_[std::size_t{1} << kBits] = {};
};

// Room for records, handed out from one range of address space reserved up
// front and committed a step at a time as it fills. Blocks are known by
// their offset, so the rare move to a larger range leaves them valid.
class RecordPool {
 public:
  RecordPool() = default;
  RecordPool(const RecordPool&) = delete;
  RecordPool& operator=(const RecordPool&) = delete;
  ~RecordPool();

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

  void grow();
  // Address space only: nothing is committed until made writable. Where less
  // is to be had, the records move to a larger range when they outgrow it.
  void reserve(std::size_t at_least);

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
  void settle();

  // Calls `each(record, n)` for each run of the band's records.
  template <typename Each>
  void forEachRun(const Band& b, Each&& each) const {
    for (std::uint32_t k = b.first; k != kNone; k = blocks_[k].next) {
      each(pool_.data() + blocks_[k].at, k == b.last ? b.fill : blocks_[k].capacity);
    }
  }

  // Makes the band hold `n` records, already written over its first ones in
  // chain order; its blocks past them are kept for reuse.
  void shrink(std::size_t band, std::uint64_t n);

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

  void rehash();

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

}  // namespace voxel
}  // namespace korvane_navigation
