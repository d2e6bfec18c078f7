// Floor maps: the band of one floor entered into an occupancy octree by ray
// casting, projected straight down onto a 2D grid, and exported as a PNG
// image with a YAML description. The octree is never made: its cells are
// projected as they are, onto the grid its metric bounds span.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <octomap/OcTree.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <string>
#include <vector>

namespace korvane_navigation {

class CellBlockMap;
struct BlockColumns;
class StagedOutputs;
struct CastEstimate;
struct MemoryBudget;

// One floor's occupancy grid. Row 0 is the row of smallest y; cell (col, row)
// is data[row * width + col]; origin is the lower corner of cell (0, 0) and the
// grid's rotation about z (always 0).
struct GridMap {
  static constexpr int32_t kUnknown = -1;
  static constexpr int32_t kFree = 0;
  static constexpr int32_t kOccupied = 100;

  GridMap(uint64_t width, uint64_t height, double resolution)
      : width(width), height(height), resolution(resolution), data(width * height, kUnknown) {}

  uint64_t width;
  uint64_t height;
  double resolution;
  std::vector<int32_t> data;
  std::array<double, 3> origin{0.0, 0.0, 0.0};
};

// Pixel of a cell value in the exported image: free 254, occupied 0, unknown 205.
uint8_t occupancyPixel(int32_t cell_value);

// The image rows top to bottom: the grid mirrored so that the top row holds
// the largest y.
std::vector<uint8_t> gridImagePixels(const GridMap& grid);

// The YAML map description written beside the image; empty, with the
// emitter's error in `emitter_error`, when it cannot be emitted.
std::string navMapDescription(const std::string& image_name, const GridMap& grid,
                              std::string* emitter_error = nullptr);

// Folds one octree leaf, given by the key of its lower corner and the number
// of finest cells along its edge, into the grid: every cell under its
// footprint becomes occupied, or free where it is still unknown.
void projectLeaf(GridMap& grid, const octomap::OcTreeKey& min_key,
                 const octomap::OcTreeKey& leaf_lower_key, unsigned leaf_cells, bool occupied);

// Folds one block's columns into the grid, as projectLeaf folds the leaves
// over them.
void projectColumns(GridMap& grid, const octomap::OcTreeKey& min_key, const BlockColumns& columns);

// The cells of a grid over an octree's metric bounds along one axis: the key
// of the first cell and how many follow. The last cell of the key range maps
// like any other.
struct GridKeyRange {
  uint16_t first = 0;
  uint64_t count = 0;
};
GridKeyRange gridKeyRange(double metric_min, double metric_max, double resolution);

// What the last floor's stages saw and made, for the run summary.
struct FloorStats {
  size_t band_points = 0;
  size_t leaves = 0;
  uint64_t occupied_cells = 0;
  uint64_t free_cells = 0;
  uint64_t unknown_cells = 0;
};

class MapPostProcess {
 public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;

  MapPostProcess();
  ~MapPostProcess();
  MapPostProcess(const MapPostProcess&) = delete;
  MapPostProcess& operator=(const MapPostProcess&) = delete;

  bool constructOctMap(const std::shared_ptr<Cloud>& cloud);
  bool generateNavMap();
  // Writes <name>.png and <name>.yaml into `output_path`; with `outputs`,
  // only stages them there for the run to put in place with its other files.
  bool saveNavMaps(const std::string& output_path, const std::string& name,
                   StagedOutputs* outputs = nullptr);

  // The marked cells of the floor's octree, at resolution_: from the rays
  // after constructOctMap, or set by hand before generateNavMap.
  CellBlockMap& cells() { return *cells_; }
  const CellBlockMap& cells() const { return *cells_; }
  const std::shared_ptr<GridMap>& gridMap() const { return grid_map_; }
  const FloorStats& floorStats() const { return stats_; }

  // Written by the run sequence before every floor.
  double resolution_ = 0.05;
  double max_height_ = 1.0;
  double min_height_ = 0.0;
  // Every ray starts here, in the map frame.
  octomath::Vector3 sensor_origin_{0.0f, 0.0f, 0.0f};
  // Threads the rays are shared out among; 0 for as many as the reading uses.
  unsigned threads_ = 0;
  // The floor's name, which the stage's own records then begin with, as
  // several floors may be made at once.
  std::string name_;

  // What the floor's octree stage, grid and image will take at most, judged
  // from its band before any of it is allocated.
  uint64_t memoryNeeded(const std::shared_ptr<Cloud>& cloud) const;

 private:
  unsigned threadCount() const;
  // `floor "NAME": ` when the floor has a name.
  std::string floorTag() const;

  // Warns of a sensor origin far outside the band; false, after an ERROR
  // naming what to change, when the floor's octree, grid and image would need
  // more memory than `budget` leaves.
  bool fitsInMemory(const CastEstimate& estimate, const MemoryBudget& budget) const;

  std::unique_ptr<CellBlockMap> cells_;
  octomap::OcTreeKey min_key_;
  std::shared_ptr<GridMap> grid_map_;
  FloorStats stats_;
};

}  // namespace korvane_navigation
