#include "core/octree_builder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <cmath>
#include <limits>
#include <cstring>
#include <functional>
#include <istream>
#include <numeric>
#include <streambuf>

#include "core/cell_grid.h"
#include "core/grid_ray_walk.h"
#include "core/ray_walk.h"
#include "support/joined_threads.h"

namespace korvane_navigation {

namespace {

constexpr unsigned kBlockDepth = kTreeDepth - kBlockLevels;  // depth of a block's node

enum class Kind : uint8_t { kEmpty, kFree, kOccupied, kMixedFree, kMixedOccupied };

bool holdsOccupied(Kind kind) { return kind == Kind::kOccupied || kind == Kind::kMixedOccupied; }

// The state of a range of cells of a block: [first, first + count), count a
// power of eight.
Kind rangeKind(const CellBlock& block, unsigned first, unsigned count) {
  uint64_t all_free = ~uint64_t{0}, all_occupied = ~uint64_t{0}, any = 0, any_occupied = 0;
  if (count >= 64) {
    for (unsigned w = first / 64; w < (first + count) / 64; ++w) {
      const uint64_t occupied = block.occupied[w];
      all_free &= block.free[w] & ~occupied;
      all_occupied &= occupied;
      any |= block.free[w] | occupied;
      any_occupied |= occupied;
    }
  } else {
    const unsigned shift = first & 63;
    const uint64_t mask = ((uint64_t{1} << count) - 1) << shift;
    const uint64_t occupied = block.occupied[first / 64] & mask;
    const uint64_t free = block.free[first / 64] & ~occupied & mask;
    all_free = free == mask ? ~uint64_t{0} : 0;
    all_occupied = occupied == mask ? ~uint64_t{0} : 0;
    any = free | occupied;
    any_occupied = occupied;
  }
  if (any == 0) return Kind::kEmpty;
  if (all_free == ~uint64_t{0}) return Kind::kFree;
  if (all_occupied == ~uint64_t{0}) return Kind::kOccupied;
  return any_occupied ? Kind::kMixedOccupied : Kind::kMixedFree;
}

// The blocks in octree order with the kind of each.
struct SortedBlocks {
  explicit SortedBlocks(const CellBlockMap& cells) {
    order.resize(cells.blockCount());
    morton.resize(cells.blockCount());
    for (size_t i = 0; i < order.size(); ++i) morton[i] = blockMortonCode(cells.blockCodeAt(i));
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) { return morton[a] < morton[b]; });
    kinds.resize(order.size());
    for (size_t i = 0; i < order.size(); ++i) kinds[i] = rangeKind(cells.blockAt(order[i]), 0, kBlockCells);
  }

  // True when the blocks [begin, end), all under one octant at `depth`,
  // fill it and are all free or all occupied: octomap prunes it to one leaf.
  bool uniformOctant(unsigned depth, size_t begin, size_t end) const {
    const uint64_t octant_blocks = uint64_t{1} << (3 * (kBlockDepth - depth));
    if (end - begin != octant_blocks) return false;
    const Kind first = kinds[begin];
    return (first == Kind::kFree || first == Kind::kOccupied) &&
           std::all_of(kinds.begin() + begin, kinds.begin() + end, [first](Kind k) { return k == first; });
  }

  // The end of the run of blocks from `begin` that share the child of an
  // octant at `depth`, and that child's number.
  size_t childEnd(unsigned depth, size_t begin, size_t end, unsigned& child) const {
    const unsigned shift = 3 * (kBlockDepth - depth - 1);
    child = (morton[order[begin]] >> shift) & 7;
    size_t child_end = begin + 1;
    while (child_end < end && ((morton[order[child_end]] >> shift) & 7) == child) ++child_end;
    return child_end;
  }

  std::vector<uint32_t> order;   // block indices in octree order
  std::vector<uint64_t> morton;  // by block index
  std::vector<Kind> kinds;       // by position in order
};

// Creates the pruned octree of the marked cells node by node, top down: an
// octant that is wholly free or wholly occupied becomes one leaf, as octomap's
// pruning leaves it, and an inner node takes the largest value below it.
class TreeBuilder {
 public:
  TreeBuilder(const CellBlockMap& cells, octomap::OcTree& tree, const ProgressCallback& progress)
      : cells_(cells), tree_(tree), hit_(tree.getProbHitLog()), miss_(tree.getProbMissLog()),
        progress_(progress), blocks_(cells) {}

  void build(octomap::OcTreeNode* root) { aboveBlocks(root, 0, 0, blocks_.order.size()); }

 private:
  float value(Kind kind) const { return holdsOccupied(kind) ? hit_ : miss_; }

  // Fills `node` at `depth` from the sorted blocks [begin, end), which all
  // lie under it, and returns its kind.
  Kind aboveBlocks(octomap::OcTreeNode* node, unsigned depth, size_t begin, size_t end) {
    if (depth == kBlockDepth) {
      if (progress_ && begin % 64 == 0) progress_(begin, blocks_.order.size());
      return inBlock(node, cells_.blockAt(blocks_.order[begin]), kBlockLevels, 0, blocks_.kinds[begin]);
    }
    if (blocks_.uniformOctant(depth, begin, end)) {
      node->setLogOdds(value(blocks_.kinds[begin]));
      return blocks_.kinds[begin];
    }
    bool occupied = false;
    for (size_t child_begin = begin; child_begin < end;) {
      unsigned child = 0;
      const size_t child_end = blocks_.childEnd(depth, child_begin, end, child);
      octomap::OcTreeNode* child_node = tree_.createNodeChild(node, child);
      occupied |= holdsOccupied(aboveBlocks(child_node, depth + 1, child_begin, child_end));
      child_begin = child_end;
    }
    const Kind kind = occupied ? Kind::kMixedOccupied : Kind::kMixedFree;
    node->setLogOdds(value(kind));
    return kind;
  }

  // Fills `node`, the octant over cells [first, first + 8^levels) of a block,
  // whose kind is known and not empty.
  Kind inBlock(octomap::OcTreeNode* node, const CellBlock& block, unsigned levels, unsigned first,
               Kind kind) {
    node->setLogOdds(value(kind));
    if (kind == Kind::kFree || kind == Kind::kOccupied) return kind;
    const unsigned child_cells = 1u << (3 * (levels - 1));
    for (unsigned child = 0; child < 8; ++child) {
      const unsigned child_first = first + child * child_cells;
      const Kind child_kind = rangeKind(block, child_first, child_cells);
      if (child_kind == Kind::kEmpty) continue;
      inBlock(tree_.createNodeChild(node, child), block, levels - 1, child_first, child_kind);
    }
    return kind;
  }

  const CellBlockMap& cells_;
  octomap::OcTree& tree_;
  const float hit_;
  const float miss_;
  const ProgressCallback& progress_;
  const SortedBlocks blocks_;
};

// One axis of a block's index within its block: every third bit, from `axis`.
unsigned cellOffset(unsigned index, unsigned axis) {
  unsigned offset = 0;
  for (unsigned bit = 0; bit < kBlockLevels; ++bit) offset |= ((index >> (3 * bit + axis)) & 1u) << bit;
  return offset;
}

// Visits the leaves of the pruned tree of the marked cells, the tree
// TreeBuilder makes, without making it: the lower key of each, its depth and
// whether it is occupied.
class LeafWalk {
 public:
  using Visit = std::function<void(const uint16_t lower[3], unsigned depth, bool occupied)>;

  explicit LeafWalk(const CellBlockMap& cells) : cells_(cells), blocks_(cells) {}

  // Visits the leaves above the blocks and lists the blocks whose own
  // leaves are left to walkBlock, by their position in octree order.
  void walkAboveBlocks(const Visit& visit, std::vector<size_t>& blocks) const {
    if (!blocks_.order.empty()) aboveBlocks(visit, blocks, 0, 0, blocks_.order.size());
  }

  void walkBlock(size_t position, const Visit& visit) const {
    const size_t index = blocks_.order[position];
    inBlock(visit, cells_.blockAt(index), cells_.blockCodeAt(index), kBlockLevels, 0, blocks_.kinds[position]);
  }

 private:
  void aboveBlocks(const Visit& visit, std::vector<size_t>& blocks, unsigned depth, size_t begin,
                   size_t end) const {
    if (depth == kBlockDepth) {
      blocks.push_back(begin);
      return;
    }
    if (blocks_.uniformOctant(depth, begin, end)) {
      const uint64_t code = cells_.blockCodeAt(blocks_.order[begin]);
      const unsigned clear = kTreeDepth - depth;
      uint16_t lower[3];
      for (unsigned i = 0; i < 3; ++i) {
        const unsigned key = static_cast<unsigned>((code >> (12 * i)) & 0xFFF) << kBlockLevels;
        lower[i] = static_cast<uint16_t>(clear >= 16 ? 0 : key >> clear << clear);
      }
      visit(lower, depth, blocks_.kinds[begin] == Kind::kOccupied);
      return;
    }
    for (size_t child_begin = begin; child_begin < end;) {
      unsigned child = 0;
      const size_t child_end = blocks_.childEnd(depth, child_begin, end, child);
      aboveBlocks(visit, blocks, depth + 1, child_begin, child_end);
      child_begin = child_end;
    }
  }

  void inBlock(const Visit& visit, const CellBlock& block, uint64_t code, unsigned levels, unsigned first,
               Kind kind) const {
    if (kind == Kind::kFree || kind == Kind::kOccupied) {
      uint16_t lower[3];
      for (unsigned i = 0; i < 3; ++i) {
        lower[i] = static_cast<uint16_t>((((code >> (12 * i)) & 0xFFF) << kBlockLevels) | cellOffset(first, i));
      }
      visit(lower, kTreeDepth - levels, kind == Kind::kOccupied);
      return;
    }
    const unsigned child_cells = 1u << (3 * (levels - 1));
    for (unsigned child = 0; child < 8; ++child) {
      const unsigned child_first = first + child * child_cells;
      const Kind child_kind = rangeKind(block, child_first, child_cells);
      if (child_kind != Kind::kEmpty) inBlock(visit, block, code, levels - 1, child_first, child_kind);
    }
  }

  const CellBlockMap& cells_;
  const SortedBlocks blocks_;
};

// An istream over bytes already in memory, without copying them.
class MemoryBuffer : public std::streambuf {
 public:
  explicit MemoryBuffer(std::string& bytes) { setg(&bytes[0], &bytes[0], &bytes[0] + bytes.size()); }
};

// octomap creates a tree's root only while inserting or reading; reading a
// lone childless node is the public way to get one.
octomap::OcTreeNode* createRoot(octomap::OcTree& tree) {
  std::string node(sizeof(float) + 1, '\0');
  MemoryBuffer buffer(node);
  std::istream in(&buffer);
  tree.readData(in);
  return tree.getRoot();
}

// What the parts of a cast share: how far they have read, for the progress
// callback, which one part at a time may call, and whether a part has failed
// and the others can stop.
class CastProgress {
 public:
  CastProgress(const ProgressCallback& callback, uint64_t total) : callback_(callback), total_(total) {}

  // False once any part has failed.
  bool advance(uint64_t points) {
    const uint64_t done = done_.fetch_add(points, std::memory_order_relaxed) + points;
    if (callback_ && reporting_.try_lock()) {
      std::lock_guard<std::mutex> unlock(reporting_, std::adopt_lock);
      try {
        callback_(std::min(done, total_), total_);
      } catch (...) {
        failed_.store(true, std::memory_order_relaxed);
        throw;
      }
    }
    return !failed_.load(std::memory_order_relaxed);
  }
  void fail() { failed_.store(true, std::memory_order_relaxed); }

 private:
  const ProgressCallback& callback_;
  const uint64_t total_;
  std::atomic<uint64_t> done_{0};
  std::atomic<bool> failed_{false};
  std::mutex reporting_;
};

// The points not yet claimed by a part, handed out a chunk at a time: the
// band's points bunch up in the cloud's order (it runs by height), so fixed
// shares of the cloud would leave one part with all of a floor's rays.
class ChunkQueue {
 public:
  // Chunks small enough for every part to get several, even of few points.
  ChunkQueue(size_t points, unsigned parts)
      : points_(points), chunk_points_(std::clamp<size_t>(points / (8 * size_t{parts}), 1, 4096)) {}

  // The next chunk [begin, end); false when none is left.
  bool claim(size_t& begin, size_t& end) {
    const size_t first = next_.fetch_add(chunk_points_, std::memory_order_relaxed);
    if (first >= points_) return false;
    begin = first;
    end = std::min(first + chunk_points_, points_);
    return true;
  }

 private:
  const size_t points_;
  const size_t chunk_points_;
  std::atomic<size_t> next_{0};
};

// The band's points of the chunks a part claims as rays, one after the other:
// counts them, marks each end cell occupied and skips the points without a key.
class BandRays {
 public:
  BandRays(const PointVector& points, ChunkQueue& chunks, const HeightBand& band, double resolution,
           CellBlockMap& cells, RayCastStats& stats, CastProgress& progress)
      : points_(points), chunks_(chunks), band_(band), inverse_resolution_(1.0 / resolution), cells_(cells),
        stats_(stats), progress_(progress) {}

  bool next(octomap::point3d& end, octomap::OcTreeKey& end_key) {
    while (true) {
      if (next_ == end_ && !nextChunk()) return false;
      const size_t index = next_++;
      const pcl::PointXYZ& p = points_[index];
      if (!band_.contains(p)) continue;
      ++stats_.band_points;
      end = octomap::point3d(p.x, p.y, p.z);
      if (!pointToKey(end, inverse_resolution_, end_key)) {
        ++stats_.points_out_of_range;
        continue;
      }
      cells_.markOccupied(occupied_cursor_, end_key);
      ++stats_.rays;
      return true;
    }
  }

 private:
  // Reports the chunk just read and claims the next one.
  bool nextChunk() {
    const size_t finished = end_ - chunk_begin_;
    chunk_begin_ = end_;
    if (finished > 0 && !progress_.advance(finished)) return false;
    if (!chunks_.claim(chunk_begin_, end_)) return false;
    next_ = chunk_begin_;
    return true;
  }

  const PointVector& points_;
  ChunkQueue& chunks_;
  const HeightBand band_;
  const double inverse_resolution_;
  CellBlockMap& cells_;
  RayCastStats& stats_;
  CastProgress& progress_;
  size_t chunk_begin_ = 0;
  size_t next_ = 0;
  size_t end_ = 0;
  CellBlockMap::Cursor occupied_cursor_;
};

// octomap's walk stops at most one cell past a ray's end cell: with three
// cells of margin walkStaysInBox passes every ray.
constexpr int kGridMargin = 3;
// Beyond this one walk grid (a bit a cell) costs more memory than the block
// store saves time.
constexpr uint64_t kMaxWalkGridCells = uint64_t{1} << 31;  // 256 MiB
// And the walk grids of all parts of a cast together, one per part.
constexpr uint64_t kMaxWalkGridCellsOfACast = uint64_t{1} << 32;

// How many parts a cast over `grid_cells` may split into, each with a grid of
// its own; 0 when not even one grid fits.
unsigned gridParts(double grid_cells, unsigned threads) {
  if (grid_cells > static_cast<double>(kMaxWalkGridCells)) return 0;
  const double fitting = std::floor(static_cast<double>(kMaxWalkGridCellsOfACast) / std::max(grid_cells, 1.0));
  return static_cast<unsigned>(std::clamp(fitting, 1.0, static_cast<double>(std::max(threads, 1u))));
}

// The box of the origin's and the band's end cells with the margin, false
// when it reaches the ends of the key range, where a walk's key can wrap.
bool rayBox(const PointVector& points, const HeightBand& band, const octomap::OcTreeKey& origin_key,
            double inverse_resolution, KeyBox& box) {
  for (unsigned i = 0; i < 3; ++i) box.lo[i] = box.hi[i] = origin_key[i];
  octomap::OcTreeKey key;
  for (const pcl::PointXYZ& p : points) {
    if (!band.contains(p) || !pointToKey(octomap::point3d(p.x, p.y, p.z), inverse_resolution, key)) continue;
    for (unsigned i = 0; i < 3; ++i) {
      box.lo[i] = std::min<int>(box.lo[i], key[i]);
      box.hi[i] = std::max<int>(box.hi[i], key[i]);
    }
  }
  for (unsigned i = 0; i < 3; ++i) {
    box.lo[i] -= kGridMargin;
    box.hi[i] += kGridMargin;
    if (box.lo[i] < 0 || box.hi[i] > 0xFFFF) return false;
  }
  return true;
}

void castIntoBlocks(BandRays& rays, const octomap::point3d& origin, const octomap::OcTreeKey& origin_key,
                    double resolution, CellBlockMap& cells, uint64_t& visits) {
  CellBlockMap::Cursor free_cursor;
  octomap::point3d end;
  octomap::OcTreeKey end_key;
  while (rays.next(end, end_key)) {
    walkRay(origin, end, origin_key, end_key, resolution, [&](const octomap::OcTreeKey& key) {
      cells.markFree(free_cursor, key);
      ++visits;
    });
  }
}

void castIntoGrid(BandRays& rays, const octomap::point3d& origin, const octomap::OcTreeKey& origin_key,
                  double resolution, CellGrid& grid, bool vector_lanes, CellBlockMap& cells, uint64_t& visits) {
  const int64_t origin_address = grid.address(origin_key);
  CellBlockMap::Cursor free_cursor;
  const auto next_ray = [&](GridRay& ray) {
    octomap::point3d end;
    octomap::OcTreeKey end_key;
    while (rays.next(end, end_key)) {
      if (!startRay(origin, end, origin_key, end_key, resolution, ray.start)) continue;
      if (!rayIsRegular(ray.start) || !walkStaysInBox(ray.start, origin_key, grid.box())) {
        // Degenerate rays, and (not expected with the grid's margin) rays that
        // could leave the grid, are walked one by one.
        walkRay(origin, end, origin_key, end_key, resolution, [&](const octomap::OcTreeKey& key) {
          cells.markFree(free_cursor, key);
          ++visits;
        });
        continue;
      }
      grid.set(origin_address);
      ++visits;
      ray.address = origin_address;
      ray.end_address = grid.address(end_key);
      return true;
    }
    return false;
  };
  visits += walkGridRays(grid, next_ray, vector_lanes);
}

// One part's share of the band's rays and what it marks.
struct CastPart {
  CellBlockMap cells;  // end cells, and the free cells of rays outside a grid
  std::unique_ptr<CellGrid> grid;
  RayCastStats stats;
};

}  // namespace

RayCastStats castRays(const PointVector& points, const HeightBand& band, const octomap::point3d& origin,
                      double resolution, CellBlockMap& cells, const ProgressCallback& progress,
                      RayCastMethod method, unsigned threads) {
  RayCastStats stats;
  const double inverse_resolution = 1.0 / resolution;
  octomap::OcTreeKey origin_key;
  if (!pointToKey(origin, inverse_resolution, origin_key)) return stats;
  threads = std::max(threads, 1u);
  KeyBox box;
  const bool grid = method != RayCastMethod::kBlocksRayByRay &&
                    rayBox(points, band, origin_key, inverse_resolution, box) &&
                    gridParts(static_cast<double>(CellGrid::cellCount(box)), threads) > 0;
  // Each part marks into stores of its own, which are then merged; a cell's
  // marks are the same whichever part's rays made them, so the cells do not
  // depend on how the rays were shared out.
  const unsigned part_count = static_cast<unsigned>(std::clamp<size_t>(
      points.size(), 1, grid ? gridParts(static_cast<double>(CellGrid::cellCount(box)), threads) : threads));
  std::vector<CastPart> parts(part_count);
  CastProgress shared_progress(progress, points.size());
  ChunkQueue chunks(points.size(), part_count);
  runParts(part_count, [&](unsigned i) {
    CastPart& part = parts[i];
    try {
      BandRays rays(points, chunks, band, resolution, part.cells, part.stats, shared_progress);
      if (grid) {
        part.grid = std::make_unique<CellGrid>(box);
        castIntoGrid(rays, origin, origin_key, resolution, *part.grid, method == RayCastMethod::kFastest,
                     part.cells, part.stats.cell_visits);
      } else {
        castIntoBlocks(rays, origin, origin_key, resolution, part.cells, part.stats.cell_visits);
      }
    } catch (...) {
      shared_progress.fail();
      throw;
    }
  });

  // The grids' cells move into block stores of their own, one per slab of
  // whole blocks in z, so that no two parts ever share a block.
  std::vector<CellBlockMap> slabs(grid ? part_count : 0);
  if (grid) {
    const size_t words = parts[0].grid->wordCount();
    runParts(part_count, [&](unsigned i) {
      const size_t first = words * i / part_count, end = words * (i + 1) / part_count;
      for (unsigned other = 1; other < part_count; ++other) parts[0].grid->addCellsOf(*parts[other].grid, first, end);
    });
    for (unsigned i = 1; i < part_count; ++i) parts[i].grid.reset();
    const int first_block = box.lo[2] >> kBlockLevels, blocks = (box.hi[2] >> kBlockLevels) - first_block + 1;
    runParts(part_count, [&](unsigned i) {
      const int slab_begin = first_block + blocks * static_cast<int>(i) / static_cast<int>(part_count);
      const int slab_end = first_block + blocks * static_cast<int>(i + 1) / static_cast<int>(part_count);
      if (slab_begin < slab_end) {
        parts[0].grid->markFreeIn(slabs[i], slab_begin << kBlockLevels, (slab_end << kBlockLevels) - 1);
      }
    });
    parts[0].grid.reset();
  }
  for (CellBlockMap& slab : slabs) {
    if (cells.blockCount() == 0) {
      cells = std::move(slab);
    } else {
      cells.addCellsOf(slab);
    }
    slab = CellBlockMap();
  }
  for (CastPart& part : parts) {
    cells.addCellsOf(part.cells);
    part.cells = CellBlockMap();
    stats.band_points += part.stats.band_points;
    stats.rays += part.stats.rays;
    stats.points_out_of_range += part.stats.points_out_of_range;
    stats.cell_visits += part.stats.cell_visits;
  }
  return stats;
}

void loadOccupancyTree(const CellBlockMap& cells, octomap::OcTree& tree, const ProgressCallback& progress) {
  tree.clear();
  if (cells.blockCount() == 0) return;
  TreeBuilder(cells, tree, progress).build(createRoot(tree));
}

OccupancyLeaves summarizeLeaves(const CellBlockMap& cells, double resolution, unsigned threads) {
  OccupancyLeaves leaves;
  // For leaves of one depth the bounds grow with the key, so only the
  // lowest and highest lower key of each depth can hold the tree's bounds.
  static constexpr int kNone = -1;
  struct Tally {
    uint64_t count = 0, occupied = 0;
    std::array<std::array<int, 2>, kTreeDepth + 1> lowest, highest;
    Tally() {
      for (auto& depth : lowest) depth.fill(kNone);
      for (auto& depth : highest) depth.fill(kNone);
    }
    void add(const uint16_t lower[3], unsigned depth, bool is_occupied) {
      ++count;
      if (is_occupied) ++occupied;
      for (unsigned i = 0; i < 2; ++i) {
        if (lowest[depth][i] == kNone || lower[i] < lowest[depth][i]) lowest[depth][i] = lower[i];
        if (highest[depth][i] == kNone || lower[i] > highest[depth][i]) highest[depth][i] = lower[i];
      }
    }
    void add(const Tally& other) {
      count += other.count;
      occupied += other.occupied;
      for (unsigned depth = 0; depth <= kTreeDepth; ++depth) {
        for (unsigned i = 0; i < 2; ++i) {
          if (other.lowest[depth][i] == kNone) continue;
          if (lowest[depth][i] == kNone || other.lowest[depth][i] < lowest[depth][i])
            lowest[depth][i] = other.lowest[depth][i];
          if (highest[depth][i] == kNone || other.highest[depth][i] > highest[depth][i])
            highest[depth][i] = other.highest[depth][i];
        }
      }
    }
  };
  const LeafWalk walk(cells);
  Tally tally;
  std::vector<size_t> blocks;
  walk.walkAboveBlocks([&](const uint16_t lower[3], unsigned depth, bool occupied) { tally.add(lower, depth, occupied); },
                       blocks);
  // The blocks' own leaves, on threads of their own, each with its tally.
  const unsigned parts = static_cast<unsigned>(std::clamp<size_t>(blocks.size() / 8, 1, std::max(threads, 1u)));
  std::vector<Tally> tallies(parts);
  const auto walkPart = [&](unsigned part) {
    Tally& own = tallies[part];
    const LeafWalk::Visit visit = [&own](const uint16_t lower[3], unsigned depth, bool occupied) {
      own.add(lower, depth, occupied);
    };
    for (size_t i = blocks.size() * part / parts; i < blocks.size() * (part + 1) / parts; ++i) {
      walk.walkBlock(blocks[i], visit);
    }
  };
  runParts(parts, walkPart);
  for (const Tally& part : tallies) tally.add(part);
  leaves.count = tally.count;
  leaves.occupied = tally.occupied;
  leaves.root_only = tally.count == 1 && tally.lowest[0][0] != kNone;
  const auto& lowest = tally.lowest;
  const auto& highest = tally.highest;
  if (leaves.count == 0) return leaves;
  for (unsigned i = 0; i < 2; ++i) {
    leaves.min[i] = std::numeric_limits<double>::max();
    leaves.max[i] = -std::numeric_limits<double>::max();
  }
  for (unsigned depth = 0; depth <= kTreeDepth; ++depth) {
    if (lowest[depth][0] == kNone) continue;
    // octomap's calcMinMax: the centre at the leaf's depth less half its
    // size, and that plus its size, in its order of operations, as the
    // rounding differs between leaf sizes.
    const unsigned shift = kTreeDepth - depth;
    const double size = resolution * static_cast<double>(1u << shift);
    const double half = size / 2.0;
    const auto centre = [&](int key) {
      return depth == 0 ? 0.0
                        : (std::floor((double(key) - double(kTreeCentreKey)) / double(1u << shift)) + 0.5) * size;
    };
    for (unsigned i = 0; i < 2; ++i) {
      leaves.min[i] = std::min(leaves.min[i], centre(lowest[depth][i]) - half);
      leaves.max[i] = std::max(leaves.max[i], centre(highest[depth][i]) - half + size);
    }
  }
  return leaves;
}

CastEstimate estimateCast(const PointVector& points, const HeightBand& band,
                          const octomap::point3d& origin, double resolution, unsigned threads) {
  CastEstimate estimate;
  const double inverse = 1.0 / resolution;
  double lo[3] = {origin.x(), origin.y(), origin.z()};
  double hi[3] = {lo[0], lo[1], lo[2]};
  double ray_cells = 0.0;
  octomap::OcTreeKey key;
  for (const pcl::PointXYZ& p : points) {
    if (!band.contains(p) || !pointToKey(octomap::point3d(p.x, p.y, p.z), inverse, key)) continue;
    ++estimate.band_points;
    estimate.band.add(p);
    ray_cells += 1.0 + (std::fabs(p.x - double{origin(0)}) + std::fabs(p.y - double{origin(1)}) +
                        std::fabs(p.z - double{origin(2)})) * inverse;
  }
  if (estimate.band_points == 0) return estimate;
  constexpr double kCountLimit = 1e19;
  double box_cells = 1.0, walk_grid_cells = 1.0, outside_squared = 0.0;
  for (int i = 0; i < 3; ++i) {
    const double band_lo = estimate.band.lo[i], band_hi = estimate.band.hi[i];
    lo[i] = std::min(lo[i], band_lo);
    hi[i] = std::max(hi[i], band_hi);
    const double cells = std::floor((hi[i] - lo[i]) * inverse) + 1.0;
    box_cells *= cells;
    walk_grid_cells *= cells + 2 * kGridMargin;
    if (i == 0) estimate.grid_columns = static_cast<uint64_t>(std::min(cells + 1.0, kCountLimit));
    if (i == 1) estimate.grid_rows = static_cast<uint64_t>(std::min(cells + 1.0, kCountLimit));
    if (i == 2) continue;
    const double outside = std::max({0.0, band_lo - double{origin(i)}, double{origin(i)} - band_hi});
    outside_squared += outside * outside;
  }
  estimate.origin_outside = std::sqrt(outside_squared);
  estimate.box_cells = static_cast<uint64_t>(std::min(box_cells, kCountLimit));
  estimate.ray_cells = static_cast<uint64_t>(std::min(ray_cells, kCountLimit));
  double bytes = std::min(box_cells * kBytesPerCellOfAFilledBox, ray_cells * kBytesPerCellOfASparseRay);
  // castRays walks in a dense grid of one bit per cell of the box when it fits.
  // castRays walks in dense grids of one bit per cell of the box when they
  // fit, one for each thread.
  bytes += walk_grid_cells / 8 * gridParts(walk_grid_cells, threads);
  estimate.bytes = static_cast<uint64_t>(std::min(bytes, kCountLimit));
  return estimate;
}

}  // namespace korvane_navigation
