#include "map_postprocess.h"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <glog/logging.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <yaml-cpp/yaml.h>

#include "core/cell_block_map.h"
#include "core/cell_columns.h"
#include "core/octree_builder.h"
#include "core/plain_decimal.h"
#include "core/point_vector.h"
#include "core/progress.h"
#include "core/ray_walk.h"
#include "support/atomic_file.h"
#include "support/joined_threads.h"
#include "support/memory_limits.h"

namespace korvane_navigation {

namespace {

// A grid larger than this (4 GiB of cells plus 1 GiB of image) is refused
// rather than allocated.
constexpr uint64_t kMaxGridMapCells = uint64_t{1} << 30;

// Occupancy read back by map loaders is (255 - pixel) / 255, so the unknown
// grey 205 reads as 0.196: it must not fall below the free threshold.
constexpr double kOccupiedThreshold = 0.65;
constexpr double kFreeThreshold = 0.196;

// What a grid cell costs while the floor is projected and exported: the
// cell, its pixel and room for the encoded image.
constexpr double kBytesPerGridCell = 6.0;

double gridCellsOf(const CastEstimate& estimate) {
  return static_cast<double>(estimate.grid_columns) * static_cast<double>(estimate.grid_rows);
}

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

// A sensor origin this far outside the band's points is likely a typo: every
// ray crosses the gap, and the tree grows with it.
constexpr double kFarOrigin = 5.0;

// The centre of a cell in double precision, as octomap's keyToCoord of one
// key gives it. The maps have always placed their origin from this value:
// the single-precision centre the tree's point form would give was never
// what the compiled program used, as the optimiser dropped its narrowing.
double cellCentre(uint16_t key, double resolution) {
  return (double(int{key} - kTreeCentreKey) + 0.5) * resolution;
}

}  // namespace

uint8_t occupancyPixel(int32_t cell_value) {
  const int8_t v = static_cast<int8_t>(cell_value);
  if (v >= 0 && v <= 25) return 254;
  if (v >= 65 && v <= 100) return 0;
  return 205;
}

std::vector<uint8_t> gridImagePixels(const GridMap& grid) {
  std::vector<uint8_t> pixels(grid.width * grid.height);
  for (uint64_t image_row = 0; image_row < grid.height; ++image_row) {
    const int32_t* cells = grid.data.data() + (grid.height - 1 - image_row) * grid.width;
    uint8_t* out = pixels.data() + image_row * grid.width;
    for (uint64_t col = 0; col < grid.width; ++col) out[col] = occupancyPixel(cells[col]);
  }
  return pixels;
}

std::string navMapDescription(const std::string& image_name, const GridMap& grid,
                              std::string* emitter_error) {
  YAML::Emitter out;
  out.SetFloatPrecision(3);
  out.SetDoublePrecision(3);
  out << YAML::BeginMap;
  out << YAML::Key << "image" << YAML::Value << image_name;
  out << YAML::Key << "mode" << YAML::Value << "trinary";
  // Numbers that place and scale the map are written exactly, not to three digits.
  out << YAML::Key << "resolution" << YAML::Value << plainDecimal(grid.resolution);
  out << YAML::Key << "origin" << YAML::Value << YAML::Flow << YAML::BeginSeq
      << plainDecimal(grid.origin[0]) << plainDecimal(grid.origin[1])
      << plainDecimal(grid.origin[2]) << YAML::EndSeq;
  out << YAML::Key << "negate" << YAML::Value << 0;
  out << YAML::Key << "occupied_thresh" << YAML::Value << plainDecimal(kOccupiedThreshold);
  out << YAML::Key << "free_thresh" << YAML::Value << plainDecimal(kFreeThreshold);
  if (!out.good()) {
    if (emitter_error) *emitter_error = out.GetLastError();
    return std::string();
  }
  return out.c_str();
}

void projectLeaf(GridMap& grid, const octomap::OcTreeKey& min_key,
                 const octomap::OcTreeKey& leaf_lower_key, unsigned leaf_cells, bool occupied) {
  const int64_t col0 = int64_t{leaf_lower_key[0]} - min_key[0];
  const int64_t row0 = int64_t{leaf_lower_key[1]} - min_key[1];
  const int64_t col_begin = std::max<int64_t>(col0, 0);
  const int64_t row_begin = std::max<int64_t>(row0, 0);
  const int64_t col_end = std::min<int64_t>(col0 + leaf_cells, static_cast<int64_t>(grid.width));
  const int64_t row_end = std::min<int64_t>(row0 + leaf_cells, static_cast<int64_t>(grid.height));
  for (int64_t row = row_begin; row < row_end; ++row) {
    int32_t* cells = grid.data.data() + row * grid.width;
    for (int64_t col = col_begin; col < col_end; ++col) {
      if (occupied) {
        cells[col] = GridMap::kOccupied;
      } else if (cells[col] == GridMap::kUnknown) {
        cells[col] = GridMap::kFree;
      }
    }
  }
}

void projectColumns(GridMap& grid, const octomap::OcTreeKey& min_key, const BlockColumns& columns) {
  const int64_t col0 = int64_t{columns.first_x} - min_key[0];
  const int64_t row0 = int64_t{columns.first_y} - min_key[1];
  for (unsigned y = 0; y < 16; ++y) {
    const int64_t row = row0 + y;
    if (columns.marked[y] == 0 || row < 0 || row >= static_cast<int64_t>(grid.height)) continue;
    int32_t* cells = grid.data.data() + row * grid.width;
    for (unsigned x = 0; x < 16; ++x) {
      const int64_t col = col0 + x;
      if (!(columns.marked[y] >> x & 1u) || col < 0 || col >= static_cast<int64_t>(grid.width)) continue;
      if (columns.occupied[y] >> x & 1u) {
        cells[col] = GridMap::kOccupied;
      } else if (cells[col] == GridMap::kUnknown) {
        cells[col] = GridMap::kFree;
      }
    }
  }
}

MapPostProcess::MapPostProcess() : cells_(std::make_unique<CellBlockMap>()) {}

MapPostProcess::~MapPostProcess() = default;

bool MapPostProcess::constructOctMap(const std::shared_ptr<Cloud>& cloud) {
  if (!isCellSize(resolution_)) {
    LOG(ERROR) << floorTag() << "invalid map_resolution: " << resolution_ << " (must be positive and finite)";
    return false;
  }
  *cells_ = CellBlockMap();

  octomap::OcTreeKey origin_key;
  if (!pointToKey(sensor_origin_, 1.0 / resolution_, origin_key)) {
    LOG(WARNING) << "could not generate key for sensor_origin_" << sensor_origin_;
    return false;
  }

  // The band is read in place: a copy of it would cost more memory than the tree.
  const HeightBand band{static_cast<float>(min_height_), static_cast<float>(max_height_)};
  const MemoryBudget budget = memoryBudget();
  const unsigned threads = threadCount();
  if (!fitsInMemory(estimateCast(cloud->points, band, sensor_origin_, resolution_, threads), budget)) return false;
  // The estimate can miss; the stage's resident memory is watched as it grows.
  const uint64_t limit = budget.bytes > 0 ? residentBytes() + budget.bytes / 20 * 19 : 0;
  const auto watch = [&](ProgressLog& log) -> ProgressCallback {
    return [&log, limit](uint64_t done, uint64_t total) {
      log.update(done, total);
      if (limit > 0 && residentBytes() > limit) throw std::length_error("memory");
    };
  };
  ProgressLog progress(floorTag() + "casting rays", "points");
  const auto give_up = [&] {
    *cells_ = CellBlockMap();
    LOG(ERROR) << floorTag() << "the octree of the band from " << min_height_ << " m to " << max_height_
               << " m outgrew the " << std::fixed << std::setprecision(1) << budget.bytes / kGiB
               << " GiB of memory available (" << budget.bound
               << ") and was given up: choose a coarser map_resolution than " << plainDecimal(resolution_) << " m";
    return false;
  };
  RayCastStats stats;
  try {
    stats = castRays(cloud->points, band, sensor_origin_, resolution_, *cells_, watch(progress),
                     RayCastMethod::kFastest, threads);
  } catch (const std::length_error&) {
    return give_up();
  } catch (const std::bad_alloc&) {
    // Under a bound the watch cannot see, such as the address-space limit.
    return give_up();
  }
  stats_ = FloorStats();
  stats_.band_points = stats.band_points;
  if (stats.points_out_of_range > 0) {
    LOG(WARNING) << floorTag() << stats.points_out_of_range << " of " << stats.band_points
                 << " points in the band lie outside the octree's key range at resolution "
                 << resolution_ << " and were left out";
  }
  return true;
}

std::string MapPostProcess::floorTag() const { return name_.empty() ? std::string() : "floor \"" + name_ + "\": "; }

uint64_t MapPostProcess::memoryNeeded(const std::shared_ptr<Cloud>& cloud) const {
  const HeightBand band{static_cast<float>(min_height_), static_cast<float>(max_height_)};
  const CastEstimate estimate = estimateCast(cloud->points, band, sensor_origin_, resolution_, threadCount());
  const double grid_bytes = gridCellsOf(estimate) * kBytesPerGridCell;
  return static_cast<uint64_t>(std::min(static_cast<double>(estimate.bytes) + grid_bytes, 1e19));
}

unsigned MapPostProcess::threadCount() const { return threads_ > 0 ? threads_ : readingThreads(); }

bool MapPostProcess::fitsInMemory(const CastEstimate& estimate, const MemoryBudget& budget) const {
  if (estimate.origin_outside > kFarOrigin) {
    LOG(WARNING) << floorTag() << "sensor_origin " << sensor_origin_ << " lies " << std::fixed << std::setprecision(1)
                 << estimate.origin_outside << " m outside the bounding box of the band's points ("
                 << estimate.band.lo[0] << " " << estimate.band.lo[1] << " " << estimate.band.lo[2]
                 << " to " << estimate.band.hi[0] << " " << estimate.band.hi[1] << " "
                 << estimate.band.hi[2] << "): every ray crosses that distance; is it a typo?";
  }
  const uint64_t columns = estimate.grid_columns, rows = estimate.grid_rows;
  const double grid_cells = gridCellsOf(estimate);
  const double grid_bytes = grid_cells * kBytesPerGridCell;
  const bool grid_dominates = grid_bytes > static_cast<double>(estimate.bytes);
  // Whichever costs more is named: a grid too large for any machine, or the octree.
  const auto refuseGrid = [&] {
    LOG(ERROR) << floorTag() << "grid map of " << columns << " x " << rows << " cells is too large for memory, refusing it";
    return false;
  };
  if (grid_cells > kMaxGridMapCells && grid_dominates) return refuseGrid();
  LOG(INFO) << floorTag() << "the band's octree will take about " << estimate.bytes / (1024 * 1024) << " MiB ("
            << estimate.band_points << " rays, " << estimate.box_cells << " cells in their box, "
            << estimate.ray_cells << " cell steps), its grid and image about "
            << static_cast<uint64_t>(grid_bytes) / (1024 * 1024) << " MiB (" << columns << " x " << rows
            << " cells)";
  const double needed = static_cast<double>(estimate.bytes) + grid_bytes;
  if (budget.bytes == 0 || needed <= static_cast<double>(budget.bytes)) {
    return grid_cells > kMaxGridMapCells ? refuseGrid() : true;
  }
  const bool far_origin = estimate.origin_outside > kFarOrigin;
  LOG(ERROR) << floorTag() << "the octree of the band from " << min_height_ << " m to " << max_height_
             << " m would take about " << std::fixed << std::setprecision(1) << estimate.bytes / kGiB
             << " GiB (" << estimate.band_points << " rays through up to "
             << std::min(estimate.box_cells, estimate.ray_cells) << " cells) and its grid and image about "
             << grid_bytes / kGiB << " GiB (" << columns << " x " << rows << " cells), more than the "
             << budget.bytes / kGiB << " GiB of memory available (" << budget.bound << "): "
             << (far_origin       ? std::string("move sensor_origin into the building")
                 : grid_dominates ? "crop the far points or choose a coarser map_resolution than " +
                                        plainDecimal(resolution_) + " m"
                                  : "choose a coarser map_resolution than " + plainDecimal(resolution_) + " m");
  return false;
}

bool MapPostProcess::generateNavMap() {
  if (!cells_) {
    LOG(WARNING) << "Failed to generate girdmap,please generate manually";
    return false;
  }
  const double resolution = resolution_;
  const unsigned threads = threadCount();
  const OccupancyLeaves leaves = summarizeLeaves(*cells_, resolution, threads);
  // A tree of no node or of its root alone.
  if (leaves.count == 0 || leaves.root_only) {
    LOG(WARNING) << "octotree map is empty.";
    return false;
  }
  const GridKeyRange columns = gridKeyRange(leaves.min[0], leaves.max[0], resolution);
  const GridKeyRange rows = gridKeyRange(leaves.min[1], leaves.max[1], resolution);
  min_key_ = octomap::OcTreeKey(columns.first, rows.first, 0);
  const uint64_t width = columns.count;
  const uint64_t height = rows.count;
  if (width * height > kMaxGridMapCells) {
    LOG(ERROR) << floorTag() << "grid map of " << width << " x " << height
               << " cells is too large for memory, refusing it";
    return false;
  }
  // Checked again on the exact extent, with the tree now taken from the budget.
  const MemoryBudget budget = memoryBudget();
  const double grid_bytes = static_cast<double>(width * height) * kBytesPerGridCell;
  const auto refuse = [&] {
    LOG(ERROR) << floorTag() << "grid map of " << width << " x " << height << " cells would take about " << std::fixed
               << std::setprecision(1) << grid_bytes / kGiB << " GiB with its image, more than the "
               << budget.bytes / kGiB << " GiB of memory available (" << budget.bound
               << "): crop the far points or choose a coarser map_resolution than " << plainDecimal(resolution)
               << " m";
    return false;
  };
  if (budget.bytes > 0 && grid_bytes > static_cast<double>(budget.bytes)) return refuse();
  try {
    grid_map_ = std::make_shared<GridMap>(width, height, resolution);
  } catch (const std::bad_alloc&) {
    return refuse();
  }

  grid_map_->origin[0] = cellCentre(min_key_[0], resolution) - 0.5 * resolution;
  grid_map_->origin[1] = cellCentre(min_key_[1], resolution) - 0.5 * resolution;
  grid_map_->origin[2] = 0.0;

  ProgressLog progress(floorTag() + "projecting the octree", "cell blocks");
  const size_t blocks = cells_->blockCount();
  // Blocks of different rows of blocks never share a grid row: each thread
  // takes every n-th row of blocks, so that no two write the same cell.
  const unsigned parts = std::max<unsigned>(1, std::min<size_t>(threads, blocks / 16 + 1));
  const auto project = [&](unsigned part) {
    for (size_t i = 0; i < blocks; ++i) {
      const uint64_t code = cells_->blockCodeAt(i);
      if (((code >> 12) & 0xFFF) % parts != part) continue;
      projectColumns(*grid_map_, min_key_, blockColumns(cells_->blockAt(i), code));
      if (part == 0 && (i + 1) % 65536 == 0) progress.update(i + 1, blocks);
    }
  };
  runParts(parts, project);
  stats_.leaves = leaves.count;
  stats_.occupied_cells = stats_.free_cells = stats_.unknown_cells = 0;
  for (const int32_t cell : grid_map_->data) {
    if (cell == GridMap::kOccupied) {
      ++stats_.occupied_cells;
    } else if (cell == GridMap::kFree) {
      ++stats_.free_cells;
    } else {
      ++stats_.unknown_cells;
    }
  }
  return true;
}

GridKeyRange gridKeyRange(double metric_min, double metric_max, double resolution) {
  // octomap's key arithmetic: the bound narrowed to single precision, scaled
  // by the inverse resolution and floored, but without its range test. The
  // upper bound is the far side of the last cell, which lies past the key
  // range when that cell is the range's last; the lower bound can round
  // below the first cell.
  const double inverse = 1.0 / resolution;
  const auto key = [inverse](double coordinate) {
    return static_cast<int64_t>(std::floor(inverse * static_cast<float>(coordinate))) + kTreeCentreKey;
  };
  const int64_t first = std::clamp<int64_t>(key(metric_min), 0, 0xFFFF);
  const int64_t last = std::max(first, key(metric_max));
  return {static_cast<uint16_t>(first), static_cast<uint64_t>(last - first + 1)};
}

bool MapPostProcess::saveNavMaps(const std::string& output_path, const std::string& name,
                                 StagedOutputs* outputs) {
  const GridMap& grid = *grid_map_;
  const std::string image_name = name + ".png";
  const std::string description_name = name + ".yaml";
  boost::filesystem::path image_path(output_path);
  image_path /= image_name;
  boost::filesystem::path description_path(output_path);
  description_path /= description_name;

  if (!ensureDirectory(output_path)) {
    LOG(ERROR) << "Failed to create directory: " << output_path;
    return false;
  }
  StagedOutputs own_outputs;
  StagedOutputs& staged = outputs ? *outputs : own_outputs;

  std::string error = "the image cannot be encoded as PNG";
  bool image_written = false;
  try {
    std::vector<uint8_t> pixels = gridImagePixels(grid);
    const cv::Mat image(static_cast<int>(grid.height), static_cast<int>(grid.width), CV_8UC1,
                        pixels.data());
    std::vector<uint8_t> png;
    image_written = cv::imencode(".png", image, png) &&
                    staged.stage(image_path.string(), png.data(), png.size(), &error);
  } catch (const cv::Exception& e) {
    error = e.what();
  } catch (const std::bad_alloc&) {
    error = "out of memory for the image of " + std::to_string(grid.width) + " x " + std::to_string(grid.height) +
            " cells";
  }
  if (!image_written) {
    LOG(ERROR) << "Failed to save grid map image: " << image_path.string() << ": " << error;
    return false;
  }

  std::string emitter_error;
  const std::string description = navMapDescription(image_name, grid, &emitter_error);
  if (description.empty()) {
    LOG(ERROR) << "YAML emitter failed with error: " << emitter_error;
    return false;
  }
  if (!staged.stage(description_path.string(), description.data(), description.size(), &error)) {
    LOG(ERROR) << "Failed to save map description: " << description_path.string() << ": " << error;
    return false;
  }
  if (!outputs && !own_outputs.commit(&error)) {
    LOG(ERROR) << "Failed to save nav map: " << error;
    return false;
  }
  LOG(INFO) << "Save grid map image: " << image_path.string();
  LOG(INFO) << "save yaml file: " << description_path.string();
  return true;
}

}  // namespace korvane_navigation
