#include "core/voxel_thinning.h"

#include <tsl/robin_map.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/joined_threads.h"

namespace korvane_navigation {
namespace {

// A voxel by its indices along each axis, counted from the thinning's origin.
struct VoxelIndex {
  std::int64_t x = 0, y = 0, z = 0;
};

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 32);
}

// Voxels within 2^20 of the origin on every axis (52 km at 5 cm) have a
// 64-bit key, 21 bits an axis, z first: the voxels being filled are known by it.
constexpr unsigned kKeyAxisBits = 21;
constexpr std::int64_t kKeyReach = std::int64_t{1} << (kKeyAxisBits - 1);
constexpr std::uint64_t kKeyAxisMask = (std::uint64_t{1} << kKeyAxisBits) - 1;

std::uint64_t keyOf(std::int64_t x, std::int64_t y, std::int64_t z) {
  return static_cast<std::uint64_t>(z + kKeyReach) << (2 * kKeyAxisBits) |
         static_cast<std::uint64_t>(y + kKeyReach) << kKeyAxisBits | static_cast<std::uint64_t>(x + kKeyReach);
}

VoxelIndex voxelOfKey(std::uint64_t key) {
  const auto axis = [key](unsigned at) { return static_cast<std::int64_t>(key >> at & kKeyAxisMask) - kKeyReach; };
  return {axis(0), axis(kKeyAxisBits), axis(2 * kKeyAxisBits)};
}

constexpr std::uint64_t kNoKey = ~std::uint64_t{0};

// ThreadSanitizer cannot run the resolver that picks a clone: it runs before
// the sanitizer starts.
#if defined(__SANITIZE_THREAD__)
#define MAP_GENERATOR_CLONES_FOR_AVX2
#else
#define MAP_GENERATOR_CLONES_FOR_AVX2 __attribute__((target_clones("avx2", "default")))
#endif

// The keys of a batch of points. Compiled for the processors with AVX2 too,
// where the floors and conversions go four at a time: the same results.
MAP_GENERATOR_CLONES_FOR_AVX2 void keysOf(const double* xyz, std::size_t count,
                                                              const double origin[3], double voxels_per_metre,
                                                              std::uint64_t* keys) {
  for (std::size_t i = 0; i < count; ++i) {
    const double* p = xyz + 3 * i;
    const double x = voxelIndexOf(p[0] - origin[0], voxels_per_metre);
    const double y = voxelIndexOf(p[1] - origin[1], voxels_per_metre);
    const double z = voxelIndexOf(p[2] - origin[2], voxels_per_metre);
    const bool reached = std::fabs(x) < kKeyReach && std::fabs(y) < kKeyReach && std::fabs(z) < kKeyReach;
    // Converted as 32-bit integers, which vectors convert, and only once known to fit.
    const auto ix = static_cast<std::int32_t>(reached ? x : 0.0), iy = static_cast<std::int32_t>(reached ? y : 0.0),
               iz = static_cast<std::int32_t>(reached ? z : 0.0);
    const std::uint64_t key = keyOf(ix, iy, iz);
    keys[i] = reached ? key : kNoKey;
  }
}

// Voxels leave the ring into strips: one layer (z) by 16 rows (y) by 2^28
// columns (x), the first column centred on the origin. A strip is small
// enough to sort within the processor's cache, and a scan fills few strips at
// a time. The strips of one layer and 16 rows, read row by row across their
// columns, hold their voxels in the thinned order.
constexpr unsigned kRowBits = 4;
constexpr unsigned kColumnBits = 28;
constexpr std::int64_t kRowMask = (std::int64_t{1} << kRowBits) - 1;
constexpr std::int64_t kColumnMask = (std::int64_t{1} << kColumnBits) - 1;
constexpr std::int64_t kColumnCentre = std::int64_t{1} << (kColumnBits - 1);

struct StripKey {
  std::int64_t z, y_high, x_high;
};

bool operator==(const StripKey& a, const StripKey& b) {
  return a.z == b.z && a.y_high == b.y_high && a.x_high == b.x_high;
}

bool sameRows(const StripKey& a, const StripKey& b) { return a.z == b.z && a.y_high == b.y_high; }

bool operator<(const StripKey& a, const StripKey& b) {
  if (a.z != b.z) return a.z < b.z;
  if (a.y_high != b.y_high) return a.y_high < b.y_high;
  return a.x_high < b.x_high;
}

// Arithmetic shifts: floor division, also for negative indices.
StripKey stripOf(const VoxelIndex& v) { return {v.z, v.y >> kRowBits, (v.x + kColumnCentre) >> kColumnBits}; }

// The voxel's place in its strip: row, then column.
std::uint32_t placeInStrip(const VoxelIndex& v) {
  return static_cast<std::uint32_t>((v.y & kRowMask) << kColumnBits | ((v.x + kColumnCentre) & kColumnMask));
}

struct StripKeyHash {
  std::size_t operator()(const StripKey& k) const {
    return mix(static_cast<std::uint64_t>(k.z) * 0x9E3779B97F4A7C15ull ^
               static_cast<std::uint64_t>(k.y_high) * 0xC2B2AE3D27D4EB4Full ^ static_cast<std::uint64_t>(k.x_high));
  }
};

// A voxel's points as kept once it leaves the ring; its strip says the rest
// of its index. Sums are of the points' coordinates from the origin.
struct Record {
  std::uint32_t place;
  std::uint32_t count;
  double sum[3];
};
static_assert(sizeof(Record) == 32, "records are packed");

constexpr std::uint32_t kMostPointsARecord = std::numeric_limits<std::uint32_t>::max();

// Room for records, 16 to a block, handed out from slabs of 1 MiB: a strip
// is a chain of blocks, so it grows without ever being copied and wastes
// less than a block.
class RecordPool {
 public:
  static constexpr std::uint32_t kPerBlock = 16;
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  std::uint32_t allocate() {
    if (!free_.empty()) {
      const std::uint32_t block = free_.back();
      free_.pop_back();
      return block;
    }
    if (next_.size() % kBlocksPerSlab == 0) slabs_.push_back(std::make_unique<Record[]>(kBlocksPerSlab * kPerBlock));
    next_.push_back(kNone);
    return static_cast<std::uint32_t>(next_.size() - 1);
  }
  void release(std::uint32_t block) { free_.push_back(block); }
  Record* at(std::uint32_t block) { return slabs_[block / kBlocksPerSlab].get() + block % kBlocksPerSlab * kPerBlock; }
  std::uint32_t& next(std::uint32_t block) { return next_[block]; }

 private:
  static constexpr std::uint32_t kBlocksPerSlab = 2048;
  std::vector<std::unique_ptr<Record[]>> slabs_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> free_;
};

struct Strip {
  StripKey key;
  std::uint32_t first = RecordPool::kNone, last = RecordPool::kNone;
  std::uint64_t size = 0;
  std::uint64_t merged = 0;  // records left by the last merge
};

// The sums of a voxel being filled; count 0 marks a free slot.
struct alignas(32) Sums {
  std::uint32_t count;
  double sum[3];
};

// Voxels being filled, one slot per hash of the key: their keys (32 KiB) and
// their sums (128 KiB) stay in the processor's caches while a scan sweeps
// through their neighbourhood.
constexpr unsigned kRingBits = 12;
// A strip's records are merged when they have doubled since the last merge:
// records of voxels met again (points in no spatial order) never outgrow the
// voxels by more than that, and a strip of distinct voxels is sorted only a
// few times on its way.
constexpr std::size_t kFirstMerge = 1024;

std::size_t slotOf(std::uint64_t key) { return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kRingBits)); }

// Sorts by place, keeping the order of records of one place: a radix sort
// over the place's bytes (those that differ at all) of 8-byte keys that
// point at the records, which then move once.
void sortByPlace(std::vector<Record>& records) {
  thread_local std::vector<std::uint64_t> keys, spare;
  thread_local std::vector<Record> sorted;
  const std::size_t n = records.size();
  keys.resize(n);
  spare.resize(n);
  std::size_t counts[4][256] = {};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t place = records[i].place;
    keys[i] = std::uint64_t{place} << 32 | i;
    for (int digit = 0; digit < 4; ++digit) ++counts[digit][place >> (8 * digit) & 0xFF];
  }
  for (int digit = 0; digit < 4; ++digit) {
    std::size_t* count = counts[digit];
    if (std::count(count, count + 256, std::size_t{0}) == 255) continue;  // one value: nothing to sort
    std::size_t at = 0;
    for (int value = 0; value < 256; ++value) at += std::exchange(count[value], at);
    for (std::size_t i = 0; i < n; ++i) spare[count[keys[i] >> (32 + 8 * digit) & 0xFF]++] = keys[i];
    keys.swap(spare);
  }
  sorted.resize(n);
  for (std::size_t i = 0; i < n; ++i) sorted[i] = records[keys[i] & 0xFFFFFFFFu];
  std::copy(sorted.begin(), sorted.end(), records.begin());
}

// Calls each(sum, count) for every voxel of the strips of one layer and 16
// rows, given by column, each sorted by place: row by row, each row across
// the columns.
template <typename Each>
void forEachVoxel(const std::vector<std::vector<Record>>& columns, Each&& each) {
  std::vector<std::size_t> at(columns.size(), 0);
  for (std::uint32_t row = 0; row <= kRowMask; ++row) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const std::vector<Record>& records = columns[c];
      std::size_t& i = at[c];
      while (i < records.size() && records[i].place >> kColumnBits == row) {
        const std::uint32_t place = records[i].place;
        double sum[3] = {0.0, 0.0, 0.0};
        std::uint64_t count = 0;
        for (; i < records.size() && records[i].place == place; ++i) {
          for (int axis = 0; axis < 3; ++axis) sum[axis] += records[i].sum[axis];
          count += records[i].count;
        }
        each(sum, count);
      }
    }
  }
}

}  // namespace

// One reading thread's voxels.
class VoxelAccumulator::Part {
 public:
  Part() : ring_keys_(std::size_t{1} << kRingBits, 0), ring_(std::size_t{1} << kRingBits, Sums{0, {0.0, 0.0, 0.0}}) {}

  void add(const double* xyz, std::size_t count, const double origin[3], double voxels_per_metre) {
    // Keys a batch at a time, so that each point's slot can be fetched from
    // memory while the points before it are added.
    constexpr std::size_t kBatch = 256, kAhead = 8;
    std::uint64_t keys[kBatch];
    std::uint64_t new_voxels = 0;
    Sums* last = nullptr;
    std::uint64_t last_key = kNoKey;
    for (std::size_t first = 0; first < count; first += kBatch) {
      const double* batch = xyz + 3 * first;
      const std::size_t n = std::min(kBatch, count - first);
      keysOf(batch, n, origin, voxels_per_metre, keys);
      for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) __builtin_prefetch(&ring_[slotOf(keys[i + kAhead])]);
        const double* p = batch + 3 * i;
        const double offset[3] = {p[0] - origin[0], p[1] - origin[1], p[2] - origin[2]};
        const std::uint64_t key = keys[i];
        if (key == kNoKey) {
          new_voxels += addFar(p, offset, voxels_per_metre);
          continue;
        }
        Sums* sums = last;
        if (key != last_key || sums->count == kMostPointsARecord) {
          const std::size_t slot = slotOf(key);
          sums = &ring_[slot];
          if (sums->count == 0 || ring_keys_[slot] != key || sums->count == kMostPointsARecord) {
            if (sums->count != 0) leave(voxelOfKey(ring_keys_[slot]), sums->count, sums->sum);
            ring_keys_[slot] = key;
            *sums = Sums{0, {0.0, 0.0, 0.0}};
            ++new_voxels;
          }
          last = sums;
          last_key = key;
        }
        for (int axis = 0; axis < 3; ++axis) sums->sum[axis] += offset[axis];
        ++sums->count;
      }
    }
    points_ += count;
    voxels_ += new_voxels;
    voxels_ -= merged_away_;
    merged_away_ = 0;
  }

  // Empties the ring into the strips.
  void settle() {
    for (std::size_t slot = 0; slot < ring_.size(); ++slot) {
      if (ring_[slot].count != 0) leave(voxelOfKey(ring_keys_[slot]), ring_[slot].count, ring_[slot].sum);
    }
    ring_keys_ = {};
    ring_ = {};
    voxels_ -= merged_away_;
    merged_away_ = 0;
  }

  std::vector<Strip>& strips() { return strips_; }

  // Appends the strip's records, in the order they came, to `out`.
  void appendRecords(const Strip& strip, std::vector<Record>& out) {
    std::uint64_t left = strip.size;
    for (std::uint32_t block = strip.first; left > 0; block = blocks_.next(block)) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, RecordPool::kPerBlock));
      out.insert(out.end(), blocks_.at(block), blocks_.at(block) + n);
      left -= n;
    }
  }

  // Gives the memory of every strip back.
  void clear() {
    strips_ = {};
    blocks_ = {};
    strip_index_ = {};
  }
  std::uint64_t points() const { return points_; }
  std::uint64_t nonFinite() const { return non_finite_; }
  std::uint64_t unreachable() const { return unreachable_; }
  std::uint64_t voxels() const { return voxels_; }

 private:
  // A point without a key: not finite, beyond every voxel index, or beyond
  // the keys and so a record of its own, merged later. Returns the voxels it
  // added.
  std::uint64_t addFar(const double* p, const double (&offset)[3], double voxels_per_metre) {
    if (!isFinite(p)) {
      ++non_finite_;
      return 0;
    }
    double index[3];
    for (int axis = 0; axis < 3; ++axis) index[axis] = voxelIndexOf(offset[axis], voxels_per_metre);
    if (!(std::fabs(index[0]) < kVoxelIndexReach && std::fabs(index[1]) < kVoxelIndexReach &&
          std::fabs(index[2]) < kVoxelIndexReach)) {
      ++unreachable_;
      return 0;
    }
    const VoxelIndex voxel{static_cast<std::int64_t>(index[0]), static_cast<std::int64_t>(index[1]),
                           static_cast<std::int64_t>(index[2])};
    leave(voxel, 1, offset);
    return 1;
  }

  void leave(const VoxelIndex& voxel, std::uint32_t count, const double (&sum)[3]) {
    Strip& strip = stripFor(stripOf(voxel));
    const auto in_block = static_cast<std::uint32_t>(strip.size % RecordPool::kPerBlock);
    if (in_block == 0) {
      const std::uint32_t block = blocks_.allocate();
      (strip.first == RecordPool::kNone ? strip.first : blocks_.next(strip.last)) = block;
      strip.last = block;
    }
    blocks_.at(strip.last)[in_block] = {placeInStrip(voxel), count, {sum[0], sum[1], sum[2]}};
    if (++strip.size >= 2 * strip.merged + kFirstMerge) merge(strip);
  }

  // Sorts the strip's records and merges those of one voxel.
  void merge(Strip& strip) {
    thread_local std::vector<Record> records;
    records.clear();
    appendRecords(strip, records);
    sortByPlace(records);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
      Record& into = records[kept > 0 ? kept - 1 : 0];
      if (kept > 0 && into.place == records[i].place &&
          std::uint64_t{into.count} + records[i].count <= kMostPointsARecord) {
        for (int axis = 0; axis < 3; ++axis) into.sum[axis] += records[i].sum[axis];
        into.count += records[i].count;
      } else {
        records[kept++] = records[i];
      }
    }
    merged_away_ += records.size() - kept;
    // Back into the chain's first blocks; the rest are freed.
    std::uint32_t block = strip.first;
    for (std::size_t at = 0; at < kept; at += RecordPool::kPerBlock) {
      std::copy_n(records.begin() + at, std::min<std::size_t>(RecordPool::kPerBlock, kept - at), blocks_.at(block));
      strip.last = block;
      block = blocks_.next(block);
    }
    blocks_.next(strip.last) = RecordPool::kNone;
    for (std::uint32_t spare = block; spare != RecordPool::kNone;) {
      const std::uint32_t following = blocks_.next(spare);
      blocks_.next(spare) = RecordPool::kNone;
      blocks_.release(spare);
      spare = following;
    }
    strip.size = strip.merged = kept;
  }

  // The strips a scan is filling are few: a small cache of them spares most
  // look-ups in the table of every strip.
  Strip& stripFor(const StripKey& key) {
    Recent& recent = recent_[StripKeyHash()(key) & (kRecent - 1)];
    if (recent.strip < strips_.size() && recent.key == key) return strips_[recent.strip];
    const auto found = strip_index_.try_emplace(key, static_cast<std::uint32_t>(strips_.size()));
    if (found.second) strips_.push_back(Strip{key});
    recent = {key, found.first->second};
    return strips_[recent.strip];
  }

  struct Recent {
    StripKey key;
    std::uint32_t strip = std::numeric_limits<std::uint32_t>::max();
  };
  static constexpr std::size_t kRecent = 1024;

  std::vector<std::uint64_t> ring_keys_;
  std::vector<Sums> ring_;
  RecordPool blocks_;
  tsl::robin_map<StripKey, std::uint32_t, StripKeyHash> strip_index_;
  std::vector<Strip> strips_;
  std::vector<Recent> recent_ = std::vector<Recent>(kRecent);
  std::uint64_t merged_away_ = 0;
  std::atomic<std::uint64_t> points_{0}, non_finite_{0}, unreachable_{0}, voxels_{0};
};

VoxelAccumulator::VoxelAccumulator(double leaf_size, unsigned threads) : leaf_size_(leaf_size) {
  if (!isCellSize(leaf_size)) {
    throw std::invalid_argument("voxel size must be positive and finite, not " + std::to_string(leaf_size));
  }
  for (unsigned i = 0; i < std::max(1u, threads); ++i) parts_.push_back(std::make_unique<Part>());
}

VoxelAccumulator::~VoxelAccumulator() = default;

void VoxelAccumulator::takeOriginFrom(const double* xyz, std::size_t count) {
  const std::lock_guard<std::mutex> lock(origin_mutex_);
  if (has_origin_.load(std::memory_order_relaxed)) return;
  for (std::size_t i = 0; i < count; ++i) {
    const double* p = xyz + 3 * i;
    if (isFinite(p)) {
      for (int axis = 0; axis < 3; ++axis) origin_[axis] = voxelOriginNear(p[axis], leaf_size_);
      has_origin_.store(true, std::memory_order_release);
      return;
    }
  }
}

void VoxelAccumulator::add(const double* xyz, std::size_t count, unsigned thread) {
  if (thread >= parts_.size()) {
    throw std::out_of_range("thread " + std::to_string(thread) + " of " + std::to_string(parts_.size()));
  }
  if (!has_origin_.load(std::memory_order_acquire)) takeOriginFrom(xyz, count);
  parts_[thread]->add(xyz, count, origin_, 1.0 / leaf_size_);
}

std::uint64_t VoxelAccumulator::pointsAdded() const {
  std::uint64_t n = 0;
  for (const auto& part : parts_) n += part->points();
  return n;
}

std::uint64_t VoxelAccumulator::nonFinitePoints() const {
  std::uint64_t n = 0;
  for (const auto& part : parts_) n += part->nonFinite();
  return n;
}

std::uint64_t VoxelAccumulator::unreachablePoints() const {
  std::uint64_t n = 0;
  for (const auto& part : parts_) n += part->unreachable();
  return n;
}

std::uint64_t VoxelAccumulator::voxelCount() const {
  std::uint64_t n = 0;
  for (const auto& part : parts_) n += part->voxels();
  return n;
}

Eigen::Vector3d VoxelAccumulator::origin() const { return {origin_[0], origin_[1], origin_[2]}; }

PointVector VoxelAccumulator::finish(const Eigen::Affine3d& to_map) {
  for (auto& part : parts_) part->settle();

  // Every strip of every part, in the thinned order; the strips of one layer
  // and 16 rows stand together, by column and then thread.
  struct StripRef {
    StripKey key;
    std::uint32_t part, strip;
  };
  std::vector<StripRef> refs;
  for (std::uint32_t p = 0; p < parts_.size(); ++p) {
    const std::vector<Strip>& strips = parts_[p]->strips();
    for (std::uint32_t s = 0; s < strips.size(); ++s) refs.push_back({strips[s].key, p, s});
  }
  std::sort(refs.begin(), refs.end(), [](const StripRef& a, const StripRef& b) {
    return a.key < b.key || (a.key == b.key && a.part < b.part);
  });
  const auto stripAt = [this, &refs](std::size_t i) -> Strip& { return parts_[refs[i].part]->strips()[refs[i].strip]; };

  // Groups of the strips of one layer and 16 rows, and the threads' shares
  // of them, split at roughly equal numbers of records.
  std::vector<std::size_t> groups;
  std::vector<std::uint64_t> records_before(1, 0);  // in the groups before each
  for (std::size_t i = 0; i < refs.size(); ++i) {
    if (i == 0 || !sameRows(refs[i].key, refs[i - 1].key)) {
      groups.push_back(i);
      records_before.push_back(records_before.back());
    }
    records_before.back() += stripAt(i).size;
  }
  const std::size_t group_count = groups.size();
  groups.push_back(refs.size());
  const std::uint64_t records = records_before.back();
  const auto threads = static_cast<unsigned>(std::min<std::size_t>(parts_.size(), std::max<std::size_t>(1, group_count)));
  std::vector<std::size_t> share_first(threads + 1, group_count);
  share_first[0] = 0;
  for (std::size_t g = 0, share = 1; g < group_count && share < threads; ++g) {
    while (share < threads && records_before[g + 1] * threads >= records * share) share_first[share++] = g + 1;
  }

  // Each share's voxels go where its records would begin, which is never
  // beyond where its voxels belong; the shares then close up.
  PointVector centroids(records);
  std::vector<std::size_t> share_voxels(threads, 0), share_beyond(threads, 0);
  const Eigen::Vector3d base = to_map * origin();
  const Eigen::Matrix3d linear = to_map.linear();
  const auto thin = [&](unsigned s) {
    pcl::PointXYZ* out = centroids.data() + records_before[share_first[s]];
    std::vector<std::vector<Record>> columns;
    for (std::size_t g = share_first[s]; g < share_first[s + 1]; ++g) {
      columns.clear();
      for (std::size_t i = groups[g]; i < groups[g + 1]; ++i) {
        if (i == groups[g] || !(refs[i].key == refs[i - 1].key)) columns.emplace_back();
        parts_[refs[i].part]->appendRecords(stripAt(i), columns.back());
      }
      for (std::vector<Record>& column : columns) sortByPlace(column);
      forEachVoxel(columns, [&](const double* sum, std::uint64_t count) {
        const Eigen::Vector3d mean(sum[0] / count, sum[1] / count, sum[2] / count);
        const Eigen::Vector3f p = (base + linear * mean).cast<float>();
        if (p.allFinite()) {
          *out++ = pcl::PointXYZ(p.x(), p.y(), p.z());
        } else {
          ++share_beyond[s];
        }
      });
    }
    share_voxels[s] = static_cast<std::size_t>(out - (centroids.data() + records_before[share_first[s]]));
  };
  runParts(threads, thin);
  for (auto& part : parts_) part->clear();
  std::size_t kept = share_voxels[0];
  for (unsigned s = 1; s < threads; ++s) {
    const auto from = centroids.begin() + static_cast<std::ptrdiff_t>(records_before[share_first[s]]);
    std::copy(from, from + static_cast<std::ptrdiff_t>(share_voxels[s]), centroids.begin() + static_cast<std::ptrdiff_t>(kept));
    kept += share_voxels[s];
  }
  centroids.resize(kept);
  for (const std::size_t n : share_beyond) beyond_single_precision_ += n;
  return centroids;
}

PointVector voxelDownsample(const PointVector& points, double leaf_size) {
  VoxelAccumulator voxels(leaf_size);
  constexpr std::size_t kBlock = 65536;
  std::vector<double> block(3 * kBlock);
  for (std::size_t first = 0; first < points.size(); first += kBlock) {
    const std::size_t n = std::min(kBlock, points.size() - first);
    for (std::size_t i = 0; i < n; ++i) {
      for (int axis = 0; axis < 3; ++axis) block[3 * i + axis] = points[first + i].data[axis];
    }
    voxels.add(block.data(), n);
  }
  return voxels.finish();
}

}  // namespace korvane_navigation
