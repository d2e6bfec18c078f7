#include "core/octree_builder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstring>
#include <istream>
#include <numeric>
#include <streambuf>

#include "core/cell_grid.h"
#include "core/grid_ray_walk.h"
#include "core/ray_walk.h"

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
  TreeBuilder(const CellBlockMap& cells, octomap::OcTree& tree, const ProgressCallback& progress)
      : cells_(cells), tree_(tree), hit_(tree.getProbHitLog()), miss_(tree.getProbMissLog()),
        progress_(progress) {
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
    if (depth == kBlockDepth) {
      if (progress_ && begin % 64 == 0) progress_(begin, order_.size());
      return inBlock(node, cells_.blockAt(order_[begin]), kBlockLevels, 0, kinds_[begin]);
    }
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
  const ProgressCallback& progress_;
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

// The band's points as rays, one after the other: counts them, marks each end
// cell occupied and skips the points without a key.
class BandRays {
 public:
  BandRays(const PointVector& points, const HeightBand& band, double resolution, CellBlockMap& cells,
           RayCastStats& stats, const ProgressCallback& progress)
      : points_(points), band_(band), inverse_resolution_(1.0 / resolution), cells_(cells), stats_(stats),
        progress_(progress) {}

  bool next(octomap::point3d& end, octomap::OcTreeKey& end_key) {
    constexpr size_t kProgressEvery = 4096;
    while (next_ < points_.size()) {
      const size_t index = next_++;
      if (progress_ && index % kProgressEvery == 0) progress_(index, points_.size());
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
    return false;
  }

 private:
  const PointVector& points_;
  const HeightBand band_;
  const double inverse_resolution_;
  CellBlockMap& cells_;
  RayCastStats& stats_;
  const ProgressCallback& progress_;
  size_t next_ = 0;
  CellBlockMap::Cursor occupied_cursor_;
};

// octomap's walk stops at most one cell past a ray's end cell: with three
// cells of margin walkStaysInBox passes every ray.
constexpr int kGridMargin = 3;
// Beyond this the grid costs more memory than the block store saves time.
constexpr uint64_t kMaxGridCells = uint64_t{1} << 31;  // 256 MiB

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
                  double resolution, const KeyBox& box, bool vector_lanes, CellBlockMap& cells, uint64_t& visits) {
  CellGrid grid(box);
  const int64_t origin_address = grid.address(origin_key);
  CellBlockMap::Cursor free_cursor;
  const auto next_ray = [&](GridRay& ray) {
    octomap::point3d end;
    octomap::OcTreeKey end_key;
    while (rays.next(end, end_key)) {
      if (!startRay(origin, end, origin_key, end_key, resolution, ray.start)) continue;
      if (!rayIsRegular(ray.start) || !walkStaysInBox(ray.start, origin_key, box)) {
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
  grid.markFreeIn(cells);
}

}  // namespace

RayCastStats castRays(const PointVector& points, const HeightBand& band, const octomap::point3d& origin,
                      double resolution, CellBlockMap& cells, const ProgressCallback& progress,
                      RayCastMethod method) {
  RayCastStats stats;
  const double inverse_resolution = 1.0 / resolution;
  octomap::OcTreeKey origin_key;
  if (!pointToKey(origin, inverse_resolution, origin_key)) return stats;
  BandRays rays(points, band, resolution, cells, stats, progress);
  uint64_t visits = 0;
  KeyBox box;
  if (method != RayCastMethod::kBlocksRayByRay && rayBox(points, band, origin_key, inverse_resolution, box) &&
      CellGrid::cellCount(box) <= kMaxGridCells) {
    castIntoGrid(rays, origin, origin_key, resolution, box, method == RayCastMethod::kFastest, cells, visits);
  } else {
    castIntoBlocks(rays, origin, origin_key, resolution, cells, visits);
  }
  stats.cell_visits = visits;
  return stats;
}

void loadOccupancyTree(const CellBlockMap& cells, octomap::OcTree& tree, const ProgressCallback& progress) {
  tree.clear();
  if (cells.blockCount() == 0) return;
  TreeBuilder(cells, tree, progress).build(createRoot(tree));
}

CastEstimate estimateCast(const PointVector& points, const HeightBand& band,
                          const octomap::point3d& origin, double resolution) {
  CastEstimate estimate;
  const double inverse = 1.0 / resolution;
  double lo[3] = {origin.x(), origin.y(), origin.z()};
  double hi[3] = {lo[0], lo[1], lo[2]};
  float band_lo[3] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                      std::numeric_limits<float>::max()};
  float band_hi[3] = {std::numeric_limits<float>::lowest(), std::numeric_limits<float>::lowest(),
                      std::numeric_limits<float>::lowest()};
  double ray_cells = 0.0;
  octomap::OcTreeKey key;
  for (const pcl::PointXYZ& p : points) {
    if (!band.contains(p) || !pointToKey(octomap::point3d(p.x, p.y, p.z), inverse, key)) continue;
    ++estimate.band_points;
    const float c[3] = {p.x, p.y, p.z};
    double steps = 1.0;
    for (int i = 0; i < 3; ++i) {
      band_lo[i] = std::min(band_lo[i], c[i]);
      band_hi[i] = std::max(band_hi[i], c[i]);
      steps += std::fabs(c[i] - double{origin(i)}) * inverse;
    }
    ray_cells += steps;
  }
  if (estimate.band_points == 0) return estimate;
  constexpr double kCountLimit = 1e19;
  double box_cells = 1.0, walk_grid_cells = 1.0, outside_squared = 0.0;
  for (int i = 0; i < 3; ++i) {
    estimate.band_lo[i] = band_lo[i];
    estimate.band_hi[i] = band_hi[i];
    lo[i] = std::min(lo[i], double{band_lo[i]});
    hi[i] = std::max(hi[i], double{band_hi[i]});
    const double cells = std::floor((hi[i] - lo[i]) * inverse) + 1.0;
    box_cells *= cells;
    walk_grid_cells *= cells + 2 * kGridMargin;
    if (i == 0) estimate.grid_columns = static_cast<uint64_t>(std::min(cells + 1.0, kCountLimit));
    if (i == 1) estimate.grid_rows = static_cast<uint64_t>(std::min(cells + 1.0, kCountLimit));
    if (i == 2) continue;
    const double outside = std::max({0.0, band_lo[i] - double{origin(i)}, double{origin(i)} - band_hi[i]});
    outside_squared += outside * outside;
  }
  estimate.origin_outside = std::sqrt(outside_squared);
  estimate.box_cells = static_cast<uint64_t>(std::min(box_cells, kCountLimit));
  estimate.ray_cells = static_cast<uint64_t>(std::min(ray_cells, kCountLimit));
  double bytes = box_cells <= ray_cells ? box_cells * kBytesPerCellOfAFilledBox
                                        : ray_cells * kBytesPerCellOfASparseRay;
  // castRays walks in a dense grid of one bit per cell of the box when it fits.
  if (walk_grid_cells <= static_cast<double>(kMaxGridCells)) bytes += walk_grid_cells / 8;
  estimate.bytes = static_cast<uint64_t>(std::min(bytes, kCountLimit));
  return estimate;
}

}  // namespace korvane_navigation
