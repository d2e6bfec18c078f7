#include "octree_builder.h"

#include <algorithm>
#include <cstring>
#include <istream>
#include <numeric>
#include <streambuf>

#include "ray_walk.h"

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

// Creates the pruned octree of the marked cells node by node, top down: an
// octant that is wholly free or wholly occupied becomes one leaf, as octomap's
// pruning leaves it, and an inner node takes the largest value below it.
class TreeBuilder {
 public:
  TreeBuilder(const CellBlockMap& cells, octomap::OcTree& tree)
      : cells_(cells), tree_(tree), hit_(tree.getProbHitLog()), miss_(tree.getProbMissLog()) {
    order_.resize(cells.blockCount());
    morton_.resize(cells.blockCount());
    for (size_t i = 0; i < order_.size(); ++i) morton_[i] = blockMortonCode(cells.blockCodeAt(i));
    std::iota(order_.begin(), order_.end(), 0);
    std::sort(order_.begin(), order_.end(),
              [this](uint32_t a, uint32_t b) { return morton_[a] < morton_[b]; });
    kinds_.resize(order_.size());
    for (size_t i = 0; i < order_.size(); ++i) {
      kinds_[i] = rangeKind(cells.blockAt(order_[i]), 0, kBlockCells);
    }
  }

  void build(octomap::OcTreeNode* root) { aboveBlocks(root, 0, 0, order_.size()); }

 private:
  float value(Kind kind) const { return holdsOccupied(kind) ? hit_ : miss_; }

  // Fills `node` at `depth` from the sorted blocks [begin, end), which all
  // lie under it, and returns its kind.
  Kind aboveBlocks(octomap::OcTreeNode* node, unsigned depth, size_t begin, size_t end) {
    if (depth == kBlockDepth) return inBlock(node, cells_.blockAt(order_[begin]), kBlockLevels, 0, kinds_[begin]);
    const uint64_t octant_blocks = uint64_t{1} << (3 * (kBlockDepth - depth));
    if (end - begin == octant_blocks) {
      const Kind first = kinds_[begin];
      if ((first == Kind::kFree || first == Kind::kOccupied) &&
          std::all_of(kinds_.begin() + begin, kinds_.begin() + end, [first](Kind k) { return k == first; })) {
        node->setLogOdds(value(first));
        return first;
      }
    }
    const unsigned shift = 3 * (kBlockDepth - depth - 1);
    bool occupied = false;
    for (size_t child_begin = begin; child_begin < end;) {
      const unsigned child = (morton_[order_[child_begin]] >> shift) & 7;
      size_t child_end = child_begin + 1;
      while (child_end < end && ((morton_[order_[child_end]] >> shift) & 7) == child) ++child_end;
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
  std::vector<uint32_t> order_;   // block indices in octree order
  std::vector<uint64_t> morton_;  // by block index
  std::vector<Kind> kinds_;       // by position in order_
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

}  // namespace

RayCastStats castRays(const PointVector& points, const HeightBand& band, const octomap::point3d& origin,
                      double resolution, CellBlockMap& cells, const ProgressCallback& progress) {
  RayCastStats stats;
  const double inverse_resolution = 1.0 / resolution;
  octomap::OcTreeKey origin_key;
  if (!pointToKey(origin, inverse_resolution, origin_key)) return stats;
  uint64_t visits = 0;
  CellBlockMap::Cursor free_cursor, occupied_cursor;
  constexpr size_t kProgressEvery = 4096;
  for (size_t i = 0; i < points.size(); ++i) {
    if (progress && i % kProgressEvery == 0) progress(i, points.size());
    const pcl::PointXYZ& p = points[i];
    if (!band.contains(p)) continue;
    ++stats.band_points;
    const octomap::point3d end(p.x, p.y, p.z);
    octomap::OcTreeKey end_key;
    if (!pointToKey(end, inverse_resolution, end_key)) {
      ++stats.points_out_of_range;
      continue;
    }
    walkRay(origin, end, origin_key, end_key, resolution, [&](const octomap::OcTreeKey& key) {
      cells.markFree(free_cursor, key);
      ++visits;
    });
    cells.markOccupied(occupied_cursor, end_key);
    ++stats.rays;
  }
  stats.cell_visits = visits;
  return stats;
}

void loadOccupancyTree(const CellBlockMap& cells, octomap::OcTree& tree) {
  tree.clear();
  if (cells.blockCount() == 0) return;
  TreeBuilder(cells, tree).build(createRoot(tree));
}

}  // namespace korvane_navigation
