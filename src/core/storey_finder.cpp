#include "core/storey_finder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "core/footprint_parts.h"
#include "core/plain_decimal.h"

namespace korvane_navigation {
namespace {

// Bounds on the working grid of one part of the footprint: a part wider than
// this is not judged, a part taller gets coarser height steps.
constexpr size_t kMaxCells = size_t(1) << 22;
constexpr size_t kMaxHeightBins = size_t(1) << 22;
// A cell sees a horizontal surface where its points lie within the surface
// tolerance of one height with nothing else this close above or below: walls,
// cabinets and vegetation fill their columns and give none. The gap also has to
// bridge the vertical spacing of a thinned wall's points.
constexpr double kMinClearGap = 0.1;
constexpr double kClearGapPerVoxel = 2.0;
// A cell lies inside the building when it holds surfaces at least this far
// apart in height: a floor and the ceiling over it. Outdoor ground has nothing
// flat over it.
constexpr double kRoofedClearance = 2.0;
// A flat level smaller than this cannot be a floor or a ceiling.
constexpr double kMinSurfaceArea = 1.0;
// A floor with no ceiling over it on top of the storeys is a storey only when
// walls, shelves or partitions stand on it; a roof carries little that tall
// (parapets stay lower).
constexpr double kStandingFrom = 1.2;
constexpr double kStandingTo = 2.0;
constexpr double kMinStandingShare = 0.05;
// Coverage at which a surface counts as fully seen in the confidence figure:
// walls, furniture and shadows hide part of every real floor.
constexpr double kFullCoverage = 0.6;
constexpr double kMissingCeilingConfidence = 0.5;
// Share of a wholly covered square's points a square needs to join a part.
constexpr double kDenseSquareShare = 0.25;

struct Grid {
  double min_x = 0, min_y = 0, min_z = 0;
  double cell = 0, step = 0;
  size_t nx = 0, ny = 0, nz = 0;

  size_t cellOf(const pcl::PointXYZ& p) const {
    const size_t ix = std::min(nx - 1, static_cast<size_t>((p.x - min_x) / cell));
    const size_t iy = std::min(ny - 1, static_cast<size_t>((p.y - min_y) / cell));
    return ix * ny + iy;
  }
  uint32_t binOf(double z) const { return static_cast<uint32_t>(std::min<double>(nz - 1, (z - min_z) / step)); }
  double heightOf(double bin) const { return min_z + (bin + 0.5) * step; }
};

enum class GridOutcome { kMade, kNoPoint, kTooWide };

// Where the squares of every part are laid from, so that a part is cut into
// the same squares as the whole cloud would be.
struct SquareAnchor {
  double x = 0, y = 0;
};

SquareAnchor lowestCorner(const PointVector& points) {
  SquareAnchor anchor{std::numeric_limits<double>::max(), std::numeric_limits<double>::max()};
  for (const pcl::PointXYZ& p : points) {
    if (!isFinite(p)) continue;
    anchor.x = std::min<double>(anchor.x, p.x);
    anchor.y = std::min<double>(anchor.y, p.y);
  }
  return anchor;
}

GridOutcome makeGrid(const PointVector& points, const StoreyFinderOptions& options, const SquareAnchor& anchor,
                     Grid& grid) {
  const PointBounds bounds = finiteBounds(points);
  if (bounds.empty()) return GridOutcome::kNoPoint;
  const double lo[3] = {bounds.lo[0], bounds.lo[1], bounds.lo[2]};
  const double hi[3] = {bounds.hi[0], bounds.hi[1], bounds.hi[2]};
  grid.cell = options.cell_size;
  grid.min_x = anchor.x + std::floor((lo[0] - anchor.x) / grid.cell) * grid.cell;
  grid.min_y = anchor.y + std::floor((lo[1] - anchor.y) / grid.cell) * grid.cell;
  // Rounding must not leave the lowest point below its square.
  if (grid.min_x > lo[0]) grid.min_x -= grid.cell;
  if (grid.min_y > lo[1]) grid.min_y -= grid.cell;
  grid.min_z = lo[2];
  grid.step = options.height_step;
  // Coarser squares would judge the rule on something else than floors; a
  // part this wide is left unjudged instead.
  const double nx = std::floor((hi[0] - grid.min_x) / grid.cell) + 1;
  const double ny = std::floor((hi[1] - grid.min_y) / grid.cell) + 1;
  if (nx * ny > static_cast<double>(kMaxCells)) return GridOutcome::kTooWide;
  grid.nx = static_cast<size_t>(nx);
  grid.ny = static_cast<size_t>(ny);
  for (;;) {
    grid.nz = static_cast<size_t>((hi[2] - lo[2]) / grid.step) + 1;
    if (grid.nz <= kMaxHeightBins) break;
    grid.step *= 1.5;
  }
  return GridOutcome::kMade;
}

// A height at which one cell sees a horizontal surface.
struct Level {
  uint32_t cell;
  uint32_t bin;
};

// Per cell, its points' distinct height bins in ascending order, and the
// levels they make. Levels come out grouped by cell, cells ascending.
struct CellColumns {
  std::vector<size_t> offsets;  // bins of cell c: bins[offsets[c] .. offsets[c + 1])
  std::vector<uint32_t> bins;
  std::vector<Level> levels;
};

uint32_t meanBin(const uint32_t* first, const uint32_t* last) {
  double sum = 0;
  for (const uint32_t* b = first; b != last; ++b) sum += *b;
  return static_cast<uint32_t>(std::lround(sum / (last - first)));
}

CellColumns buildColumns(const PointVector& points, const Grid& grid, uint32_t tolerance_bins, double clear_gap) {
  const size_t cells = grid.nx * grid.ny;
  CellColumns columns;
  std::vector<size_t>& offsets = columns.offsets;
  offsets.assign(cells + 1, 0);
  for (const pcl::PointXYZ& p : points)
    if (isFinite(p)) ++offsets[grid.cellOf(p) + 1];
  for (size_t c = 0; c < cells; ++c) offsets[c + 1] += offsets[c];
  std::vector<uint32_t>& bins = columns.bins;
  bins.resize(offsets[cells]);
  {
    std::vector<size_t> fill(offsets.begin(), offsets.end() - 1);
    for (const pcl::PointXYZ& p : points)
      if (isFinite(p)) bins[fill[grid.cellOf(p)]++] = grid.binOf(p.z);
  }

  const uint32_t gap_bins = static_cast<uint32_t>(std::lround(clear_gap / grid.step));
  size_t kept = 0;
  for (size_t c = 0; c < cells; ++c) {
    uint32_t* first = bins.data() + offsets[c];
    uint32_t* last = bins.data() + offsets[c + 1];
    std::sort(first, last);
    last = std::unique(first, last);
    offsets[c] = kept;
    uint32_t* column = bins.data() + kept;
    const uint32_t* end = std::copy(first, last, column);
    kept += end - column;
    for (const uint32_t* piece = column; piece != end;) {
      const uint32_t* next = piece + 1;
      while (next != end && *next - *(next - 1) <= gap_bins) ++next;
      if (*(next - 1) - *piece <= 2 * tolerance_bins)
        columns.levels.push_back({static_cast<uint32_t>(c), meanBin(piece, next)});
      piece = next;
    }
  }
  offsets[cells] = kept;
  bins.resize(kept);
  bins.shrink_to_fit();
  return columns;
}

// A height where many cells have a level: a candidate horizontal surface.
struct Candidate {
  double bin = 0;      // weighted mean of the levels around it
  int64_t centre = 0;  // bin nearest to it
  uint64_t cells = 0;  // levels within tolerance of the centre, over the whole cloud
};

std::vector<Candidate> findCandidates(const std::vector<uint64_t>& levels_per_bin, int64_t tolerance_bins,
                                      uint64_t min_cells) {
  const int64_t n = static_cast<int64_t>(levels_per_bin.size());
  std::vector<uint64_t> prefix(n + 1, 0);
  for (int64_t b = 0; b < n; ++b) prefix[b + 1] = prefix[b] + levels_per_bin[b];
  const auto around = [&](int64_t b) {
    return prefix[std::min(n, b + tolerance_bins + 1)] - prefix[std::max<int64_t>(0, b - tolerance_bins)];
  };
  std::vector<Candidate> candidates;
  for (int64_t b = 0; b < n; ++b) {
    const uint64_t here = around(b);
    if (here < min_cells) continue;
    // Strictly above the left neighbours, not below the right ones: one bin per plateau.
    bool peak = true;
    for (int64_t d = 1; d <= 2 * tolerance_bins && peak; ++d)
      peak = (b - d < 0 || here > around(b - d)) && (b + d >= n || here >= around(b + d));
    if (!peak) continue;
    // The plateau's first bin may sit off the surface; settle on the levels' mean.
    Candidate c;
    c.centre = b;
    for (int pass = 0; pass < 3; ++pass) {
      double sum = 0, weight = 0;
      for (int64_t k = std::max<int64_t>(0, c.centre - tolerance_bins);
           k <= std::min(n - 1, c.centre + tolerance_bins); ++k) {
        sum += static_cast<double>(k) * levels_per_bin[k];
        weight += levels_per_bin[k];
      }
      c.bin = sum / weight;
      c.centre = std::llround(c.bin);
    }
    c.cells = around(c.centre);
    if (!candidates.empty() && c.centre - candidates.back().centre <= tolerance_bins) {
      if (c.cells > candidates.back().cells) candidates.back() = c;
    } else {
      candidates.push_back(c);
    }
  }
  return candidates;
}

// Share of the cells with points at `floor_bin` that also hold something
// standing tall on it. Every such cell counts, not only the footprint's: walls
// leave no flat surface in their cells, so the footprint misses them.
double standingShare(const CellColumns& columns, const Grid& grid, double floor_bin, int64_t tolerance_bins) {
  const double floor = grid.heightOf(floor_bin);
  const uint32_t floor_from = grid.binOf(floor - tolerance_bins * grid.step);
  const uint32_t floor_to = grid.binOf(floor + tolerance_bins * grid.step);
  // Clamped to the top bin, the band would find the floor itself when it is the highest thing scanned.
  if (floor + kStandingFrom >= grid.heightOf(grid.nz - 1)) return 0.0;
  const uint32_t from = grid.binOf(floor + kStandingFrom), to = grid.binOf(floor + kStandingTo);
  const auto holds = [&](size_t cell, uint32_t lo, uint32_t hi) {
    const auto first = columns.bins.begin() + columns.offsets[cell];
    const auto last = columns.bins.begin() + columns.offsets[cell + 1];
    const auto at = std::lower_bound(first, last, lo);
    return at != last && *at <= hi;
  };
  uint64_t on_floor = 0, standing = 0;
  for (size_t cell = 0; cell + 1 < columns.offsets.size(); ++cell) {
    if (!holds(cell, floor_from, floor_to)) continue;
    ++on_floor;
    if (holds(cell, from, to)) ++standing;
  }
  return on_floor ? static_cast<double>(standing) / on_floor : 0.0;
}

void requireOption(bool condition, const char* message) {
  if (!condition) throw std::invalid_argument(std::string("storey finder: ") + message);
}

void validate(const StoreyFinderOptions& o) {
  for (double v : {o.robot_height, o.voxel_size, o.cell_size, o.height_step, o.surface_tolerance,
                   o.min_surface_share, o.max_slab_thickness})
    requireOption(std::isfinite(v) && v > 0, "sizes and shares must be finite and positive");
  for (double v : {o.floor_clearance, o.ceiling_clearance})
    requireOption(std::isfinite(v) && v >= 0, "clearances must be finite and not negative");
  requireOption(o.robot_height > o.floor_clearance, "the robot height must exceed the floor clearance");
  // Floor and ceiling are at least a slab's thickness apart: the band must fit in there.
  requireOption(o.max_slab_thickness > o.floor_clearance + o.ceiling_clearance,
                "the slab thickness must exceed the floor and ceiling clearances together");
  requireOption(o.min_surface_share <= 1, "the surface share must be at most 1");
}

double toCentimetres(double metres) { return std::round(metres * 100.0) / 100.0; }

// What one part of the footprint holds.
struct PartFinding {
  std::vector<FoundStorey> storeys;
  bool roofed = false;  // a floor and a ceiling over it were seen, not a lone surface
  bool too_wide = false;
};

PartFinding judgePart(const PointVector& points, const StoreyFinderOptions& options,
                      const SquareAnchor& anchor) {
  PartFinding finding;
  Grid grid;
  switch (makeGrid(points, options, anchor, grid)) {
    case GridOutcome::kMade:
      break;
    case GridOutcome::kNoPoint:
      return finding;
    case GridOutcome::kTooWide:
      finding.too_wide = true;
      return finding;
  }
  const int64_t tolerance_bins = std::max<int64_t>(1, std::llround(options.surface_tolerance / grid.step));
  const double clear_gap = std::max(kMinClearGap, kClearGapPerVoxel * options.voxel_size);
  const CellColumns columns = buildColumns(points, grid, static_cast<uint32_t>(tolerance_bins), clear_gap);

  std::vector<uint64_t> levels_per_bin(grid.nz, 0);
  for (const Level& level : columns.levels) ++levels_per_bin[level.bin];
  const uint64_t min_cells =
      std::max<uint64_t>(1, static_cast<uint64_t>(kMinSurfaceArea / (grid.cell * grid.cell)));
  const std::vector<Candidate> candidates = findCandidates(levels_per_bin, tolerance_bins, min_cells);
  if (candidates.empty()) return finding;

  // Each bin belongs to the nearest candidate within tolerance, if any.
  std::vector<int32_t> label(grid.nz, -1);
  for (size_t i = 0; i < candidates.size(); ++i) {
    const int64_t centre = candidates[i].centre;
    for (int64_t b = std::max<int64_t>(0, centre - tolerance_bins);
         b <= std::min<int64_t>(grid.nz - 1, centre + tolerance_bins); ++b)
      if (label[b] < 0 || std::abs(b - centre) < std::abs(b - candidates[label[b]].centre))
        label[b] = static_cast<int32_t>(i);
  }

  // The footprint: cells with candidate surfaces far enough apart to be a floor
  // and a ceiling, which keeps outdoor ground out whatever its height.
  const size_t cells = grid.nx * grid.ny;
  const double roofed_bins = kRoofedClearance / grid.step;
  std::vector<uint8_t> footprint(cells, 0);
  uint64_t footprint_cells = 0;
  for (size_t i = 0; i < columns.levels.size();) {
    const uint32_t cell = columns.levels[i].cell;
    double lowest = std::numeric_limits<double>::max(), highest = std::numeric_limits<double>::lowest();
    for (; i < columns.levels.size() && columns.levels[i].cell == cell; ++i) {
      const int32_t l = label[columns.levels[i].bin];
      if (l < 0) continue;
      lowest = std::min(lowest, candidates[l].bin);
      highest = std::max(highest, candidates[l].bin);
    }
    if (highest - lowest >= roofed_bins) footprint[cell] = 1, ++footprint_cells;
  }
  finding.roofed = footprint_cells >= min_cells;
  if (!finding.roofed) {
    // Nothing is roofed (a floor scanned without its ceiling): the largest surface stands in.
    const auto largest = std::max_element(candidates.begin(), candidates.end(),
                                          [](const Candidate& a, const Candidate& b) { return a.cells < b.cells; });
    const int32_t wanted = static_cast<int32_t>(largest - candidates.begin());
    std::fill(footprint.begin(), footprint.end(), 0);
    footprint_cells = 0;
    for (const Level& level : columns.levels)
      if (label[level.bin] == wanted && !footprint[level.cell]) footprint[level.cell] = 1, ++footprint_cells;
  }

  // Each candidate's coverage of the footprint; a cell counts once per candidate
  // (its levels ascend, so repeats are neighbours).
  std::vector<uint64_t> covered(candidates.size(), 0);
  for (size_t i = 0; i < columns.levels.size(); ++i) {
    const Level& level = columns.levels[i];
    const int32_t l = label[level.bin];
    if (l < 0 || !footprint[level.cell]) continue;
    if (i > 0 && columns.levels[i - 1].cell == level.cell && label[columns.levels[i - 1].bin] == l) continue;
    ++covered[l];
  }
  struct Surface {
    int32_t candidate;
    double height;
    double share;
  };
  std::vector<Surface> surfaces;  // ascending, as the candidates are
  for (size_t i = 0; i < candidates.size(); ++i) {
    const double share = static_cast<double>(covered[i]) / footprint_cells;
    if (share >= options.min_surface_share)
      surfaces.push_back({static_cast<int32_t>(i), grid.heightOf(candidates[i].bin), share});
  }

  // Surfaces a slab's thickness apart are its underside (the ceiling below) and
  // its top (the floor above); a lone surface closes the open storey as its
  // ceiling or, with none open, opens one as its floor.
  struct Pending {
    const Surface* floor;
    const Surface* ceiling;
  };
  std::vector<Pending> found;
  const Surface* open = nullptr;
  for (size_t first = 0; first < surfaces.size();) {
    size_t last = first;
    while (last + 1 < surfaces.size() && surfaces[last + 1].height - surfaces[last].height < options.max_slab_thickness)
      ++last;
    const Surface* low = &surfaces[first];
    if (last > first) {
      if (open) found.push_back({open, low});
      open = &surfaces[last];
    } else if (open) {
      found.push_back({open, low});
      open = nullptr;
    } else {
      open = low;
    }
    first = last + 1;
  }
  if (open) {
    const bool roof = !found.empty() && standingShare(columns, grid, candidates[open->candidate].bin,
                                                     tolerance_bins) < kMinStandingShare;
    if (!roof) found.push_back({open, nullptr});
  }

  std::vector<FoundStorey>& storeys = finding.storeys;
  for (const Pending& p : found) {
    FoundStorey s;
    s.floor_height = p.floor->height;
    s.floor_coverage = p.floor->share;
    double top = s.floor_height + options.robot_height;
    double ceiling_term = kMissingCeilingConfidence;
    if (p.ceiling) {
      s.ceiling_height = p.ceiling->height;
      s.ceiling_coverage = p.ceiling->share;
      top = std::min(top, p.ceiling->height - options.ceiling_clearance);
      ceiling_term = std::min(1.0, p.ceiling->share / kFullCoverage);
    }
    s.confidence = std::min(1.0, p.floor->share / kFullCoverage) * ceiling_term;
    s.band_min_height = toCentimetres(s.floor_height + options.floor_clearance);
    s.band_max_height = toCentimetres(top);
    storeys.push_back(s);
  }
  return finding;
}

// Two parts agree when they have as many storeys and each band of one lies
// within the surface tolerance, both ways, of the other's.
bool sameBands(const std::vector<FoundStorey>& a, const std::vector<FoundStorey>& b, double tolerance) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::fabs(a[i].band_min_height - b[i].band_min_height) > tolerance ||
        std::fabs(a[i].band_max_height - b[i].band_max_height) > tolerance)
      return false;
  }
  return true;
}

std::string metres(double value) { return plainDecimal(toCentimetres(value)); }

// The survey on the parts made of the squares holding at least
// `min_points_per_square` points.
StoreySurvey surveyParts(const PointVector& points, const StoreyFinderOptions& options,
                         size_t min_points_per_square) {
  StoreySurvey survey;
  const SquareAnchor anchor = lowestCorner(points);
  // A part smaller than the smallest surface holds no storey.
  const size_t min_squares =
      std::max<size_t>(1, static_cast<size_t>(kMinSurfaceArea / (options.cell_size * options.cell_size)));
  std::vector<StoreyPart> roofed, unroofed;
  for (FootprintPart& part : footprintParts(points, options.cell_size, min_squares, min_points_per_square)) {
    const PartFinding finding = judgePart(part.points, options, anchor);
    if (finding.too_wide) {
      survey.cannot_judge = "its points from (" + metres(part.min_x) + ", " + metres(part.min_y) + ") to (" +
                            metres(part.max_x) + ", " + metres(part.max_y) +
                            ") m touch each other over more than " +
                            std::to_string(static_cast<uint64_t>(kMaxCells * options.cell_size * options.cell_size)) +
                            " square metres of bounding box, too wide to judge in " + metres(options.cell_size) +
                            " m squares: crop the cloud to the building";
      survey.parts.clear();
      return survey;
    }
    if (finding.storeys.empty()) continue;
    StoreyPart found{part.min_x, part.min_y, part.max_x, part.max_y, part.points.size(), finding.storeys};
    (finding.roofed ? roofed : unroofed).push_back(std::move(found));
  }
  // Outdoor ground and clutter scanned apart from the building show a floor
  // with nothing over it: where any part is roofed, only roofed parts count.
  survey.parts = roofed.empty() ? std::move(unroofed) : std::move(roofed);
  if (survey.parts.empty()) return survey;
  const double tolerance = 2 * options.surface_tolerance;
  for (const StoreyPart& part : survey.parts)
    if (!sameBands(part.storeys, survey.parts.front().storeys, tolerance)) return survey;
  survey.storeys = survey.parts.front().storeys;
  return survey;
}

}  // namespace

StoreySurvey surveyStoreys(const PointVector& points, const StoreyFinderOptions& options) {
  validate(options);
  // A square wholly covered by one surface holds about (square / voxel)^2
  // thinned points; outdoor ground is scanned far more sparsely, and squares
  // with under a quarter of that join no part, so that ground between two
  // buildings does not make them one. A scan sparse everywhere is judged on
  // all its squares.
  const double per_surface = std::pow(options.cell_size / options.voxel_size, 2);
  const size_t sparse_below =
      static_cast<size_t>(std::min(1e6, std::max(1.0, std::floor(kDenseSquareShare * per_surface))));
  StoreySurvey survey = surveyParts(points, options, sparse_below);
  if (sparse_below > 1 && survey.parts.empty() && survey.cannot_judge.empty()) {
    survey = surveyParts(points, options, 1);
  }
  return survey;
}

std::vector<FoundStorey> findStoreys(const PointVector& points, const StoreyFinderOptions& options) {
  return surveyStoreys(points, options).storeys;
}

namespace {

void appendFloors(const std::vector<FoundStorey>& storeys, const std::string& prefix, std::string& json) {
  for (size_t i = 0; i < storeys.size(); ++i) {
    json += (json.back() == '[' ? "" : ", ");
    json += "{\"floor_name\": \"" + prefix + "L" + std::to_string(i + 1) + "\", \"min_height\": " +
            plainDecimal(toCentimetres(storeys[i].band_min_height)) +
            ", \"max_height\": " + plainDecimal(toCentimetres(storeys[i].band_max_height)) + "}";
  }
}

}  // namespace

std::string suggestedFloorsJson(const std::vector<FoundStorey>& storeys) {
  std::string json = "{\"floors\": [";
  appendFloors(storeys, "", json);
  return json + "]}";
}

std::string suggestedFloorsJson(const StoreySurvey& survey) {
  if (!survey.partsDisagree()) return suggestedFloorsJson(survey.storeys);
  std::string json = "{\"floors\": [";
  for (size_t i = 0; i < survey.parts.size(); ++i) appendFloors(survey.parts[i].storeys, partName(i) + "-", json);
  return json + "]}";
}

std::string partName(size_t index) { return "P" + std::to_string(index + 1); }

}  // namespace korvane_navigation
