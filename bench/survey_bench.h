// Benchmark items on reading surveys: E57 against the bytes' read(), LAZ
// against its LAS twin.
#pragma once

#include <string>
#include <vector>

#include "bench_table.h"
#include "core/point_vector.h"
#include "formats/las_reader.h"
#include "synthetic_building.h"

namespace bench {

// A LAS or LAZ file read and thinned in one pass, as the loader does.
struct ThinnedLas {
  korvane_navigation::LasReadResult las;
  korvane_navigation::PointVector points;
  uint64_t points_read = 0;
};

ThinnedLas readAndThinLas(const std::string& path, double leaf, unsigned threads);

// Writes the building as E57 (one scan per scanner station, scaled integer
// coordinates) and reads it `repeat` times with a warm page cache, against
// read() of the same bytes. False when the file cannot be written or read.
bool e57Loading(const korvane_navigation::BuildingParameters& params,
                const korvane_navigation::BuildingLayout& layout, const std::string& dir, int repeat,
                std::vector<Row>& rows, std::string& details);

// Writes the building as LAZ and reads and thins it `repeat` times on two
// threads and on one, against the same of its LAS twin at `las_path`, at
// `leaf`. False when the file cannot be written or read, or when the two
// thin to different voxels.
bool lazReading(const korvane_navigation::BuildingParameters& params,
                const korvane_navigation::BuildingLayout& layout, const std::string& las_path,
                const std::string& dir, float leaf, int repeat, std::vector<Row>& rows, std::string& details);

}  // namespace bench
