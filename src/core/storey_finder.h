// Finds a building's storeys in its point cloud and suggests the height band
// of each floor map, for a configuration's "floors".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/point_vector.h"

namespace korvane_navigation {

struct StoreyFinderOptions {
  // Each suggested band runs from floor_clearance above its floor (so that the
  // slab is no obstacle) to robot_height above it, or to ceiling_clearance
  // under the ceiling when that is lower.
  double robot_height = 1.8;
  double floor_clearance = 0.1;
  double ceiling_clearance = 0.1;
  // The voxel size the cloud was thinned with. A slab thinner than twice
  // this (and than 0.1 m) is seen as one surface, not as a ceiling and a floor.
  double voxel_size = 0.05;
  // Coverage is counted in square cells of this side; heights in steps of height_step.
  double cell_size = 0.25;
  double height_step = 0.01;
  // How far the points of one flat surface may stray from its height: noise,
  // registration error, a slight tilt of the scan.
  double surface_tolerance = 0.04;
  // Share of the building's footprint a floor or a ceiling covers at least;
  // furniture tops and landings cover less.
  double min_surface_share = 0.3;
  // Two surfaces closer than this in height are a slab's underside and top
  // (a suspended ceiling counts as the underside); farther apart they bound a storey.
  double max_slab_thickness = 1.0;
};

// One storey found in the cloud. Heights are map-frame z in metres; shares
// are of the building's footprint, in [0, 1].
struct FoundStorey {
  double floor_height = 0.0;
  std::optional<double> ceiling_height;  // none when no ceiling was scanned
  double floor_coverage = 0.0;
  double ceiling_coverage = 0.0;  // 0 without a ceiling
  // How sure the finder is, in [0, 1]: 1 for a floor and a ceiling that each
  // cover most of the footprint, less for sparse surfaces or a missing ceiling.
  double confidence = 0.0;
  // The suggested band, in whole centimetres.
  double band_min_height = 0.0;
  double band_max_height = 0.0;
};

// The storeys of one part of the footprint (see footprint_parts.h) and the
// box of its squares, in map-frame metres.
struct StoreyPart {
  double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
  size_t points = 0;
  std::vector<FoundStorey> storeys;
};

// The storeys of a cloud, judged part by part of its footprint, so that
// stray points far away neither widen the squares nor decide the floors.
struct StoreySurvey {
  // The building's storeys, lowest first: those of every part, when all
  // parts have the same bands. Empty when no floor is found, when the parts
  // disagree, or when the cloud cannot be judged.
  std::vector<FoundStorey> storeys;
  // The parts that hold storeys, most squares first. Where some part has a
  // floor under a ceiling, parts with only a lone surface (outdoor ground
  // scanned apart) are left out.
  std::vector<StoreyPart> parts;
  // Why the rule cannot judge the cloud, when it cannot; empty otherwise.
  std::string cannot_judge;

  bool partsDisagree() const { return storeys.empty() && parts.size() > 1; }
};

// Points with a non-finite coordinate are ignored. Throws
// std::invalid_argument for options that are not finite and positive or leave
// no room for a band (robot_height <= floor_clearance, max_slab_thickness <=
// floor_clearance + ceiling_clearance).
StoreySurvey surveyStoreys(const PointVector& points, const StoreyFinderOptions& options = {});

// The storeys of the building in `points` (thinned, in the map frame, z up):
// surveyStoreys(points, options).storeys.
std::vector<FoundStorey> findStoreys(const PointVector& points, const StoreyFinderOptions& options = {});

// The bands as a configuration's floors, named L1, L2, ... from the lowest,
// on one line without a trailing newline:
// {"floors": [{"floor_name": "L1", "min_height": 0.1, "max_height": 1.9}, ...]}
std::string suggestedFloorsJson(const std::vector<FoundStorey>& storeys);

// The name of the survey's part at `index`: P1, P2, ...
std::string partName(size_t index);

// The survey's bands: the building's, or, when its parts disagree, each
// part's, named after the part (P1-L1, P1-L2, P2-L1, ...): each is right for
// its own part only.
std::string suggestedFloorsJson(const StoreySurvey& survey);

}  // namespace korvane_navigation
