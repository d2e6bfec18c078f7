#include "synthetic_building.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>
#include <exception>
#include <limits>
#include <random>
#include <stdexcept>

#include "e57_writer.h"
#include "las_writer.h"
#include "laz_writer.h"

namespace korvane_navigation {
namespace {

constexpr double kDoorHeight = 2.0;
constexpr double kDoorWidth = 0.9;
constexpr double kEntranceWidth = 1.2;
constexpr double kCorridorWidth = 2.0;
constexpr double kDoorMargin = 0.2;  // from a door gap to the nearest partition
constexpr double kFurnitureWallGap = 0.05;
constexpr double kClutterGap = 0.15;
constexpr double kGroundSpacing = 0.25;
constexpr double kGroundRoughness = 0.02;
constexpr double kTableTopThickness = 0.04;
constexpr double kTableLeg = 0.05;
// Layout and points draw from separate streams, so that a change in how many
// numbers the planner consumes cannot shift every point.
constexpr uint64_t kLayoutStream = 0x6c61796f75743031ULL;
constexpr uint64_t kPointStream = 0x706f696e74733031ULL;

uint64_t mixSeed(uint64_t seed, uint64_t stream) {
  uint64_t z = seed ^ stream;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// mt19937_64's sequence is fixed by the C++ standard, but the std distributions
// are not, so the numbers are shaped here from the raw words with plain
// arithmetic, which IEEE 754 rounds identically everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}
  uint64_t next() { return engine_(); }
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1p-53; }  // [0, 1)
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  // Two independent values in [0, 1) from one draw.
  void uniformPair(double& a, double& b) {
    const uint64_t r = engine_();
    a = static_cast<double>(r >> 32) * 0x1p-32;
    b = static_cast<double>(r & 0xffffffffULL) * 0x1p-32;
  }
  // Zero mean, unit variance, bounded by +-2*sqrt(3): the sum of four uniforms
  // (Irwin-Hall) is close enough to a Gaussian for range noise and, unlike one,
  // never throws a point centimetres off its surface.
  double boundedNormal() {
    const uint64_t r = engine_();
    const double sum = static_cast<double>((r & 0xffff) + ((r >> 16) & 0xffff) +
                                           ((r >> 32) & 0xffff) + (r >> 48));
    return ((sum + 2.0) * 0x1p-16 - 2.0) * 1.7320508075688772;
  }
  // A value in [-1, 1) with 21 bits of resolution; three come from one draw.
  static double signedPart(uint64_t r, int index) {
    return static_cast<double>((r >> (21 * index)) & 0x1fffff) * 0x1p-20 - 1.0;
  }

 private:
  std::mt19937_64 engine_;
};

// An axis-aligned rectangle of surface, sampled on a jittered grid. `normal` is the
// axis it faces along, `at` its coordinate on that axis; lo/hi give the extent on
// the other two axes (the normal axis entries are unused).
struct Patch {
  int normal = 2;
  double at = 0;
  double lo[3] = {0, 0, 0};
  double hi[3] = {0, 0, 0};
  double step = 0;
  double sigma = 0;
};

uint64_t cellsAlong(double length, double step) {
  if (!(length > 1e-9)) return 0;
  return std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(length / step - 1e-9)));
}

void tangentAxes(int normal, int& u, int& v) {
  u = normal == 0 ? 1 : 0;
  v = normal == 2 ? 1 : 2;
}

uint64_t patchPoints(const Patch& p) {
  int u, v;
  tangentAxes(p.normal, u, v);
  return cellsAlong(p.hi[u] - p.lo[u], p.step) * cellsAlong(p.hi[v] - p.lo[v], p.step);
}

class PatchList {
 public:
  PatchList(double step, double sigma) : step_(step), sigma_(sigma) {}

  // The face of `box` on the low or high side of `normal`.
  void face(const Box& box, int normal, bool high) {
    const double lo[3] = {box.min_x, box.min_y, box.min_z};
    const double hi[3] = {box.max_x, box.max_y, box.max_z};
    Patch p;
    p.normal = normal;
    p.at = high ? hi[normal] : lo[normal];
    for (int axis = 0; axis < 3; ++axis) {
      p.lo[axis] = lo[axis];
      p.hi[axis] = hi[axis];
    }
    p.step = step_;
    p.sigma = sigma_;
    if (patchPoints(p) > 0) patches_.push_back(p);
  }
  void horizontal(const Rect& r, double z) { face({r.min_x, r.min_y, z, r.max_x, r.max_y, z}, 2, false); }
  // Vertical sides and top of a box standing on the floor.
  void standingBox(const Box& b) {
    for (int axis = 0; axis < 2; ++axis) {
      face(b, axis, false);
      face(b, axis, true);
    }
    face(b, 2, true);
  }
  void setSurface(double step, double sigma) {
    step_ = step;
    sigma_ = sigma;
  }
  const std::vector<Patch>& patches() const { return patches_; }

 private:
  double step_;
  double sigma_;
  std::vector<Patch> patches_;
};

// `box` cut to [from, to] along the horizontal `axis` (0 for x, 1 for y).
Box sliceAlong(Box box, int axis, double from, double to) {
  (axis == 0 ? box.min_x : box.min_y) = from;
  (axis == 0 ? box.max_x : box.max_y) = to;
  return box;
}

// `outer` minus `hole` (which lies inside it) as up to four rectangles.
std::vector<Rect> subtract(const Rect& outer, const Rect& hole) {
  std::vector<Rect> parts;
  auto keep = [&](Rect r) {
    if (r.max_x - r.min_x > 1e-9 && r.max_y - r.min_y > 1e-9) parts.push_back(r);
  };
  keep({outer.min_x, outer.min_y, outer.max_x, hole.min_y});
  keep({outer.min_x, hole.max_y, outer.max_x, outer.max_y});
  keep({outer.min_x, hole.min_y, hole.min_x, hole.max_y});
  keep({hole.max_x, hole.min_y, outer.max_x, hole.max_y});
  return parts;
}

Rect innerRect(const BuildingLayout& layout, double exterior_thickness) {
  return {exterior_thickness, exterior_thickness, layout.width - exterior_thickness,
          layout.depth - exterior_thickness};
}

// The ground ring around the building where clutter goes.
std::vector<Rect> clutterRing(const BuildingLayout& layout) {
  const Rect& a = layout.clutter_area;
  const double g = layout.clutter_gap;
  if (a.min_x > -g || a.min_y > -g) return {};
  return {{a.min_x, a.min_y, a.max_x, -g},
          {a.min_x, layout.depth + g, a.max_x, a.max_y},
          {a.min_x, -g, -g, layout.depth + g},
          {layout.width + g, -g, a.max_x, layout.depth + g}};
}

void addWall(PatchList& out, const BuildingLayout& layout, int wall_index, int s) {
  const Wall& wall = layout.walls[wall_index];
  const Storey& storey = layout.storeys[s];
  const int along = wall.runsAlongX() ? 0 : 1;
  const int across = 1 - along;
  const Box box = wallBox(layout, wall, s);
  const double lo[3] = {box.min_x, box.min_y, box.min_z};
  const double hi[3] = {box.max_x, box.max_y, box.max_z};
  const double extent = along == 0 ? layout.depth : layout.width;

  // Seen from outside, the facade also covers the slab edge above the storey
  // (and the roof edge on the top storey).
  const int last = static_cast<int>(layout.storeys.size()) - 1;
  const double facade_top = s < last ? layout.storeys[s + 1].floor_z : storey.ceiling_z + layout.slab_thickness;
  double top[2] = {storey.ceiling_z, storey.ceiling_z};  // low side, high side
  if (wall.kind == WallKind::kExterior) {
    if (lo[across] <= 1e-9) top[0] = facade_top;
    if (hi[across] >= extent - 1e-9) top[1] = facade_top;
  }

  auto section = [&](double from, double to, double bottom, int side) {
    Box b = sliceAlong(box, along, from, to);
    b.min_z = bottom;
    b.max_z = top[side];
    out.face(b, across, side == 1);
  };

  std::vector<const Door*> doors;
  for (const Door& d : layout.doors)
    if (d.wall == wall_index && d.storey == s) doors.push_back(&d);
  std::sort(doors.begin(), doors.end(), [&](const Door* a, const Door* b) {
    return along == 0 ? a->center_x < b->center_x : a->center_y < b->center_y;
  });

  double pos = lo[along];
  for (const Door* d : doors) {
    // The opening's jambs are its sides along the wall, its lintel its top.
    const Box gap = doorBox(layout, *d);
    const double g0 = along == 0 ? gap.min_x : gap.min_y, g1 = along == 0 ? gap.max_x : gap.max_y;
    for (int side = 0; side < 2; ++side) {
      section(pos, g0, storey.floor_z, side);
      section(g0, g1, gap.max_z, side);
    }
    Box lintel = gap;
    lintel.min_z = gap.max_z;
    out.face(lintel, 2, false);
    out.face(gap, along, false);
    out.face(gap, along, true);
    pos = g1;
  }
  for (int side = 0; side < 2; ++side) section(pos, hi[along], storey.floor_z, side);

  // The ends of the long facades are the building's corners.
  if (wall.kind == WallKind::kExterior && along == 0) {
    Box corner = box;
    corner.max_z = facade_top;
    out.face(corner, 0, false);
    out.face(corner, 0, true);
  }
}

void addFurniture(PatchList& out, const Furniture& f) {
  if (f.kind != FurnitureKind::kTable) {
    out.standingBox(f.box);
    return;
  }
  Box top = f.box;
  top.min_z = f.box.max_z - kTableTopThickness;
  for (int axis = 0; axis < 3; ++axis) {
    out.face(top, axis, false);
    out.face(top, axis, true);
  }
  for (int corner = 0; corner < 4; ++corner) {
    Box leg = f.box;
    leg.max_z = top.min_z;
    if (corner & 1) leg.min_x = leg.max_x - kTableLeg; else leg.max_x = leg.min_x + kTableLeg;
    if (corner & 2) leg.min_y = leg.max_y - kTableLeg; else leg.max_y = leg.min_y + kTableLeg;
    for (int axis = 0; axis < 2; ++axis) {
      out.face(leg, axis, false);
      out.face(leg, axis, true);
    }
  }
}

std::vector<Patch> collectPatches(const BuildingParameters& params, const BuildingLayout& layout) {
  PatchList out(params.point_spacing, params.noise_sigma);
  const int n = static_cast<int>(layout.storeys.size());
  const Rect inner = innerRect(layout, params.exterior_wall_thickness);
  for (int s = 0; s < n; ++s) {
    const Storey& storey = layout.storeys[s];
    const bool void_below = layout.has_stair_void && s > 0;
    const bool void_above = layout.has_stair_void && s < n - 1;
    for (const Rect& r : void_below ? subtract(inner, layout.stair_void) : std::vector<Rect>{inner})
      out.horizontal(r, storey.floor_z);
    for (const Rect& r : void_above ? subtract(inner, layout.stair_void) : std::vector<Rect>{inner})
      out.horizontal(r, storey.ceiling_z);
    if (void_above) {
      const Rect& v = layout.stair_void;
      const Box edge{v.min_x, v.min_y, storey.ceiling_z, v.max_x, v.max_y, layout.storeys[s + 1].floor_z};
      for (int axis = 0; axis < 2; ++axis) {
        out.face(edge, axis, false);
        out.face(edge, axis, true);
      }
    }
    for (size_t w = 0; w < layout.walls.size(); ++w)
      if (layout.walls[w].existsOn(s)) addWall(out, layout, static_cast<int>(w), s);
    for (const Furniture& f : layout.furniture)
      if (f.storey == s) addFurniture(out, f);
  }
  if (params.roof_surface) out.horizontal(layout.footprint(), layout.roofTop());
  out.setSurface(layout.ground_spacing, std::max(params.noise_sigma, kGroundRoughness));
  for (const Rect& r : clutterRing(layout)) out.horizontal(r, params.ground_level);
  return out.patches();
}

void requireThat(bool condition, const std::string& message) {
  if (!condition) throw std::invalid_argument("building: " + message);
}

void validate(const BuildingParameters& params) {
  const double values[] = {params.width, params.depth, params.storey_height, params.slab_thickness,
                           params.exterior_wall_thickness, params.interior_wall_thickness,
                           params.point_spacing, params.noise_sigma, params.clutter_margin,
                           params.offset[0], params.offset[1], params.offset[2]};
  for (double v : values) requireThat(std::isfinite(v), "sizes and offset must be finite");
  requireThat(params.storeys >= 1 && params.storeys <= 200, "storeys must be 1..200");
  requireThat(params.width >= kMinimumBuildingWidth && params.depth >= kMinimumBuildingDepth,
              "footprint must be at least " + std::to_string(kMinimumBuildingWidth) + " x " +
                  std::to_string(kMinimumBuildingDepth) + " m");
  requireThat(params.slab_thickness > 0 && params.storey_height - params.slab_thickness >= kDoorHeight + 0.2,
              "storey height must leave at least 2.2 m between slabs");
  requireThat(std::isfinite(params.ground_level) && std::abs(params.ground_level) <= 100,
              "ground level must be within 100 m of the ground floor");
  for (const std::vector<double>* sizes : {&params.storey_heights, &params.slab_thicknesses})
    requireThat(sizes->empty() || sizes->size() == static_cast<size_t>(params.storeys),
                "per-storey heights and slab thicknesses need one value per storey");
  for (int s = 0; s < params.storeys; ++s) {
    const double height = params.storey_heights.empty() ? params.storey_height : params.storey_heights[s];
    const double slab = params.slab_thicknesses.empty() ? params.slab_thickness : params.slab_thicknesses[s];
    requireThat(std::isfinite(height) && std::isfinite(slab) && slab > 0 && height - slab >= kDoorHeight + 0.2,
                "every storey's height must leave at least 2.2 m under its slab");
  }
  requireThat(params.exterior_wall_thickness > 0 && params.exterior_wall_thickness <= 1.0,
              "exterior wall thickness must be in (0, 1] m");
  requireThat(params.interior_wall_thickness > 0 && params.interior_wall_thickness <= 0.5,
              "interior wall thickness must be in (0, 0.5] m");
  requireThat(params.point_spacing > 0, "point spacing must be positive");
  requireThat(params.noise_sigma >= 0 && params.noise_sigma <= 0.05, "noise sigma must be in [0, 0.05] m");
  requireThat(params.clutter_margin >= 0 && params.clutter_margin <= 100, "clutter margin must be in [0, 100] m");
}

// Random widths of two or more rooms sharing `length`, with walls `wall` thick between them.
std::vector<double> roomWidths(Random& rng, double length, double wall) {
  const double target = rng.uniform(4.0, 5.5);
  int count = std::max(2, static_cast<int>(std::lround(length / target)));
  while (count > 2 && (length - (count - 1) * wall) / count < 3.0) --count;
  std::vector<double> weights(count);
  double total = 0;
  for (double& w : weights) total += (w = rng.uniform(0.85, 1.15));
  const double usable = length - (count - 1) * wall;
  for (double& w : weights) w = usable * w / total;
  return weights;
}

class FurniturePlanner {
 public:
  FurniturePlanner(Random& rng, BuildingLayout& layout) : rng_(rng), layout_(layout) {}

  // Keeps the swing of every door on the storey (both sides) and the stair void free.
  void startStorey(int storey) {
    storey_ = storey;
    keepouts_.clear();
    if (layout_.has_stair_void) keepouts_.push_back(layout_.stair_void);
    for (const Door& d : layout_.doors) {
      if (d.storey != storey) continue;
      const bool along_x = layout_.walls[d.wall].runsAlongX();
      const double half_along = d.width / 2 + 0.4, half_across = 1.3;
      keepouts_.push_back({d.center_x - (along_x ? half_along : half_across),
                           d.center_y - (along_x ? half_across : half_along),
                           d.center_x + (along_x ? half_along : half_across),
                           d.center_y + (along_x ? half_across : half_along)});
    }
  }

  // Tries a few random spots in `area` (shrunk by `margin`); false when none is clear.
  bool place(FurnitureKind kind, const Rect& area, double size_x, double size_y, double height,
             double margin) {
    const double x_room = area.max_x - area.min_x - 2 * margin - size_x;
    const double y_room = area.max_y - area.min_y - 2 * margin - size_y;
    if (x_room < 0 || y_room < 0) return false;
    for (int attempt = 0; attempt < 25; ++attempt) {
      const double x = area.min_x + margin + rng_.uniform() * x_room;
      const double y = area.min_y + margin + rng_.uniform() * y_room;
      if (tryAt(kind, {x, y, x + size_x, y + size_y}, height)) return true;
    }
    return false;
  }

  bool tryAt(FurnitureKind kind, const Rect& r, double height) {
    const auto overlaps = [&](const Rect& a, double clearance) {
      return r.min_x < a.max_x + clearance && a.min_x - clearance < r.max_x &&
             r.min_y < a.max_y + clearance && a.min_y - clearance < r.max_y;
    };
    for (const Rect& k : keepouts_)
      if (overlaps(k, 0.0)) return false;
    for (const Furniture& f : layout_.furniture)
      if (f.storey == storey_ && overlaps({f.box.min_x, f.box.min_y, f.box.max_x, f.box.max_y}, 0.6))
        return false;
    const double floor = layout_.storeys[storey_].floor_z;
    layout_.furniture.push_back({kind, storey_, {r.min_x, r.min_y, floor, r.max_x, r.max_y, floor + height}});
    return true;
  }

  // A shelf against the low-y or high-y wall, a table, maybe turned, and sometimes a cabinet.
  void furnishRoom(const Rect& area, bool shelf_low) {
    const double shelf_depth = rng_.uniform(0.35, 0.45);
    const double shelf_length = std::min(rng_.uniform(0.8, 2.0), area.max_x - area.min_x - 0.6);
    if (shelf_length >= 0.6) {
      const double x = area.min_x + 0.3 + rng_.uniform() * (area.max_x - area.min_x - 0.6 - shelf_length);
      const double y0 = shelf_low ? area.min_y + kFurnitureWallGap : area.max_y - kFurnitureWallGap - shelf_depth;
      tryAt(FurnitureKind::kShelf, {x, y0, x + shelf_length, y0 + shelf_depth}, rng_.uniform(1.8, 2.2));
    }
    double tx = rng_.uniform(1.2, 1.6), ty = rng_.uniform(0.7, 0.9);
    if (rng_.uniform() < 0.5) std::swap(tx, ty);
    place(FurnitureKind::kTable, area, tx, ty, rng_.uniform(0.72, 0.76), 0.3);
    if (rng_.uniform() < 0.5)
      place(FurnitureKind::kCabinet, area, rng_.uniform(0.5, 1.0), rng_.uniform(0.45, 0.6),
            rng_.uniform(0.8, 1.1), 0.1);
  }

  void furnishOpenPlan(const Rect& area) {
    const double size = (area.max_x - area.min_x) * (area.max_y - area.min_y);
    const int tables = std::max(1, static_cast<int>(size / 14.0));
    for (int i = 0; i < tables; ++i)
      place(FurnitureKind::kTable, area, rng_.uniform(1.4, 1.8), rng_.uniform(0.7, 0.9), 0.74, 0.4);
    const int cabinets = static_cast<int>(size / 40.0);
    for (int i = 0; i < cabinets; ++i)
      place(FurnitureKind::kCabinet, area, rng_.uniform(0.8, 1.2), 0.5, rng_.uniform(0.9, 1.2), 0.1);
  }

 private:
  Random& rng_;
  BuildingLayout& layout_;
  int storey_ = 0;
  std::vector<Rect> keepouts_;
};

void planClutter(const BuildingParameters& params, Random& rng, BuildingLayout& layout) {
  const double m = params.clutter_margin;
  layout.clutter_gap = kClutterGap;
  layout.ground_spacing = kGroundSpacing;
  if (m <= kClutterGap + 1e-6) {
    layout.clutter_area = layout.footprint();
    return;
  }
  layout.clutter_area = {-m, -m, layout.width + m, layout.depth + m};
  const double perimeter = 2 * (layout.width + layout.depth);
  layout.stray_points = static_cast<uint32_t>(std::ceil(perimeter / 3.0));

  const double max_radius = std::min(1.2, (m - kClutterGap) / 2);
  if (max_radius < 0.2) return;
  const int blobs = static_cast<int>(perimeter / 8.0);
  for (int i = 0; i < blobs; ++i) {
    VegetationBlob b;
    b.radius = rng.uniform(std::min(0.4, max_radius), max_radius);
    const double out = rng.uniform(kClutterGap + b.radius, m - b.radius);
    const double side = rng.uniform() * perimeter;
    if (side < layout.width) {
      b.x = rng.uniform(-m + b.radius, layout.width + m - b.radius);
      b.y = -out;
    } else if (side < 2 * layout.width) {
      b.x = rng.uniform(-m + b.radius, layout.width + m - b.radius);
      b.y = layout.depth + out;
    } else if (side < 2 * layout.width + layout.depth) {
      b.x = -out;
      b.y = rng.uniform(-m + b.radius, layout.depth + m - b.radius);
    } else {
      b.x = layout.width + out;
      b.y = rng.uniform(-m + b.radius, layout.depth + m - b.radius);
    }
    b.z = params.ground_level + b.radius + rng.uniform(0.0, 1.0);
    b.points = 200 + static_cast<uint32_t>(1500.0 * b.radius * b.radius);
    layout.vegetation.push_back(b);
  }
}

}  // namespace

BuildingParameters demoBuilding() {
  BuildingParameters params;
  params.storeys = 2;
  params.width = 20.0;
  params.depth = 12.0;
  params.point_spacing = 0.05;
  params.seed = 1;
  return params;
}

BuildingParameters benchmarkBuilding(double scale) {
  if (!(scale > 0) || !std::isfinite(scale)) throw std::invalid_argument("building: scale must be positive");
  BuildingParameters params;
  params.storeys = 3;
  params.width = std::max(80.0 * scale, kMinimumBuildingWidth);
  params.depth = std::max(50.0 * scale, kMinimumBuildingDepth);
  params.point_spacing = 0.04;
  params.seed = 7;
  params.clutter_margin = 6.0;
  return params;
}

Box wallBox(const BuildingLayout& layout, const Wall& wall, int storey) {
  const double h = wall.thickness / 2;
  const Storey& s = layout.storeys.at(storey);
  if (wall.runsAlongX()) return {wall.x0, wall.y0 - h, s.floor_z, wall.x1, wall.y1 + h, s.ceiling_z};
  return {wall.x0 - h, wall.y0, s.floor_z, wall.x1 + h, wall.y1, s.ceiling_z};
}

Box doorBox(const BuildingLayout& layout, const Door& door) {
  const Wall& wall = layout.walls.at(door.wall);
  const double centre = wall.runsAlongX() ? door.center_x : door.center_y;
  Box b = sliceAlong(wallBox(layout, wall, door.storey), wall.runsAlongX() ? 0 : 1,
                     centre - door.width / 2, centre + door.width / 2);
  b.max_z = b.min_z + door.height;
  return b;
}

BuildingLayout planBuilding(const BuildingParameters& params) {
  validate(params);
  Random rng(mixSeed(params.seed, kLayoutStream));
  BuildingLayout layout;
  const double W = params.width, D = params.depth;
  const double te = params.exterior_wall_thickness, ti = params.interior_wall_thickness;
  const int n = params.storeys;
  layout.width = W;
  layout.depth = D;
  const auto slabAbove = [&](int s) {
    return params.slab_thicknesses.empty() ? params.slab_thickness : params.slab_thicknesses[s];
  };
  // Uniform storeys keep the product, so that their points stay bit for bit as they were.
  const auto floorOf = [&](int s) {
    if (params.storey_heights.empty()) return s * params.storey_height;
    double z = 0.0;
    for (int below = 0; below < s; ++below) z += params.storey_heights[below];
    return z;
  };
  layout.slab_thickness = slabAbove(n - 1);
  for (int s = 0; s < n; ++s) layout.storeys.push_back({floorOf(s), floorOf(s + 1) - slabAbove(s)});
  const int top = n - 1;

  // Facades: the walls along x run the full width, so they own the corners.
  layout.walls.push_back({0, te / 2, W, te / 2, te, 0, top, WallKind::kExterior});
  layout.walls.push_back({0, D - te / 2, W, D - te / 2, te, 0, top, WallKind::kExterior});
  const int west = static_cast<int>(layout.walls.size());
  layout.walls.push_back({te / 2, te, te / 2, D - te, te, 0, top, WallKind::kExterior});
  layout.walls.push_back({W - te / 2, te, W - te / 2, D - te, te, 0, top, WallKind::kExterior});

  // Deep footprints are cut into bands along y, each a corridor along x with rooms
  // on both sides; back-to-back rooms of neighbouring bands share a spine wall, and
  // a cross corridor at the west end joins the corridors.
  const Rect inner{te, te, W - te, D - te};
  const int bands = W >= 12.0 ? std::max(1, static_cast<int>((inner.max_y - inner.min_y + ti) / 12.0)) : 1;
  const double band_depth = (inner.max_y - inner.min_y - (bands - 1) * ti) / bands;
  double rows_x0 = inner.min_x;
  int cross_wall = -1;
  if (bands > 1) {
    rows_x0 = inner.min_x + kCorridorWidth + ti;
    cross_wall = static_cast<int>(layout.walls.size());
    layout.walls.push_back({rows_x0 - ti / 2, inner.min_y, rows_x0 - ti / 2, inner.max_y, ti, 0, top, WallKind::kCorridor});
    for (int s = 0; s < n; ++s)
      layout.rooms.push_back({RoomKind::kCorridor, s, {inner.min_x, inner.min_y, inner.min_x + kCorridorWidth, inner.max_y}});
  }

  // Rooms along one side of a corridor; their partitions exist on storeys first..last.
  // Each room gets a door to the corridor, at the same place on every storey.
  auto roomRow = [&](const Rect& zone, int door_wall, int first, int last) {
    const std::vector<double> widths = roomWidths(rng, zone.max_x - zone.min_x, ti);
    std::vector<Rect> rooms;
    double x = zone.min_x;
    for (size_t i = 0; i < widths.size(); ++i) {
      const Rect room{x, zone.min_y, x + widths[i], zone.max_y};
      rooms.push_back(room);
      const double span = widths[i] - 2 * kDoorMargin - kDoorWidth;
      const double door_x = room.min_x + kDoorMargin + kDoorWidth / 2 + rng.uniform() * span;
      const double door_y = layout.walls[door_wall].y0;
      for (int s = first; s <= last; ++s) layout.doors.push_back({door_wall, s, door_x, door_y, kDoorWidth, kDoorHeight});
      x += widths[i];
      if (i + 1 < widths.size()) {
        layout.walls.push_back({x + ti / 2, zone.min_y, x + ti / 2, zone.max_y, ti, first, last, WallKind::kPartition});
        x += ti;
      }
    }
    return rooms;
  };

  struct PlannedRoom {
    Room room;
    bool shelf_low;  // the shelf stands against the room's low-y wall
  };
  std::vector<PlannedRoom> planned;
  Rect stair_room;
  for (int b = 0; b < bands; ++b) {
    const double y0 = inner.min_y + b * (band_depth + ti), y1 = y0 + band_depth;
    if (b > 0)
      layout.walls.push_back({rows_x0, y0 - ti / 2, inner.max_x, y0 - ti / 2, ti, 0, top, WallKind::kPartition});
    // The corridor sits a little off the band's centre line.
    const double room_depth = (band_depth - 2 * ti - kCorridorWidth) / 2;
    const double shift = std::max(0.0, std::min(0.5, room_depth - 2.5));
    const double yc = (y0 + y1) / 2 + rng.uniform(-shift, shift);
    const double corridor_lo = yc - kCorridorWidth / 2, corridor_hi = yc + kCorridorWidth / 2;
    const int south_wall = static_cast<int>(layout.walls.size());
    layout.walls.push_back({rows_x0, corridor_lo - ti / 2, inner.max_x, corridor_lo - ti / 2, ti, 0, top, WallKind::kCorridor});
    const int north_wall = static_cast<int>(layout.walls.size());
    layout.walls.push_back({rows_x0, corridor_hi + ti / 2, inner.max_x, corridor_hi + ti / 2, ti, 0, top, WallKind::kCorridor});
    for (int s = 0; s < n; ++s)
      layout.rooms.push_back({RoomKind::kCorridor, s, {rows_x0, corridor_lo, inner.max_x, corridor_hi}});
    if (cross_wall >= 0)
      for (int s = 0; s < n; ++s) layout.doors.push_back({cross_wall, s, layout.walls[cross_wall].x0, yc, kCorridorWidth, kDoorHeight});
    if (b == 0) layout.doors.push_back({west, 0, te / 2, yc, kEntranceWidth, kDoorHeight});

    const Rect south_zone{rows_x0, y0, inner.max_x, corridor_lo - ti};
    const Rect north_zone{rows_x0, corridor_hi + ti, inner.max_x, y1};
    const std::vector<Rect> south_rooms = roomRow(south_zone, south_wall, 0, top);
    if (b == 0) stair_room = south_rooms.back();
    for (int s = 0; s < n; ++s)
      for (const Rect& r : south_rooms) planned.push_back({{RoomKind::kRoom, s, r}, true});
    // In every other band the north side is open plan upstairs: its partitions
    // stand on the ground floor only.
    const bool open_upstairs = b % 2 == 0 && n > 1;
    for (const Rect& r : roomRow(north_zone, north_wall, 0, open_upstairs ? 0 : top))
      for (int s = 0; s <= (open_upstairs ? 0 : top); ++s) planned.push_back({{RoomKind::kRoom, s, r}, false});
    if (open_upstairs) {
      const double length = north_zone.max_x - north_zone.min_x;
      const int doors = std::max(1, static_cast<int>(std::lround(length / 12.0)));
      const double segment = length / doors;
      std::vector<double> door_x;
      for (int i = 0; i < doors; ++i)
        door_x.push_back(north_zone.min_x + segment * i + kDoorMargin + kDoorWidth / 2 +
                         rng.uniform() * (segment - 2 * kDoorMargin - kDoorWidth));
      for (int s = 1; s <= top; ++s) {
        planned.push_back({{RoomKind::kOpenPlan, s, north_zone}, false});
        for (double x : door_x) layout.doors.push_back({north_wall, s, x, layout.walls[north_wall].y0, kDoorWidth, kDoorHeight});
      }
    }
  }

  // The staircase void sits in the first band's east-most south room, against
  // its far side, leaving the strip in front of the door as a landing.
  if (params.staircase_void && n > 1) {
    const double void_x = std::min(2.6, stair_room.max_x - stair_room.min_x - 0.6);
    const double void_y = std::min(4.0, stair_room.max_y - stair_room.min_y - 1.3);
    if (void_x >= 1.0 && void_y >= 1.0) {
      layout.has_stair_void = true;
      layout.stair_void = {stair_room.max_x - 0.3 - void_x, stair_room.min_y + 0.3, stair_room.max_x - 0.3,
                           stair_room.min_y + 0.3 + void_y};
      for (PlannedRoom& p : planned)
        if (p.room.area.min_x == stair_room.min_x && p.room.area.min_y == stair_room.min_y)
          p.room.kind = RoomKind::kStairwell;
    }
  }
  std::stable_sort(planned.begin(), planned.end(),
                   [](const PlannedRoom& a, const PlannedRoom& b) { return a.room.storey < b.room.storey; });
  for (const PlannedRoom& p : planned) layout.rooms.push_back(p.room);

  if (params.furniture) {
    FurniturePlanner planner(rng, layout);
    for (int s = 0; s < n; ++s) {
      planner.startStorey(s);
      for (const PlannedRoom& p : planned) {
        if (p.room.storey != s) continue;
        if (p.room.kind == RoomKind::kRoom) planner.furnishRoom(p.room.area, p.shelf_low);
        else if (p.room.kind == RoomKind::kOpenPlan) planner.furnishOpenPlan(p.room.area);
      }
    }
  }
  planClutter(params, rng, layout);
  return layout;
}

uint64_t estimatePointCount(const BuildingParameters& params, const BuildingLayout& layout) {
  uint64_t total = layout.stray_points;
  for (const Patch& p : collectPatches(params, layout)) total += patchPoints(p);
  for (const VegetationBlob& b : layout.vegetation) total += b.points;
  return total;
}

void generateBuilding(const BuildingParameters& params, const BuildingLayout& layout,
                      const std::function<void(double x, double y, double z)>& emit) {
  Random rng(mixSeed(params.seed, kPointStream));
  const double ox = params.offset[0], oy = params.offset[1], oz = params.offset[2];
  double point[3];
  for (const Patch& p : collectPatches(params, layout)) {
    int u, v;
    tangentAxes(p.normal, u, v);
    const uint64_t nu = cellsAlong(p.hi[u] - p.lo[u], p.step);
    const uint64_t nv = cellsAlong(p.hi[v] - p.lo[v], p.step);
    const double du = (p.hi[u] - p.lo[u]) / nu, dv = (p.hi[v] - p.lo[v]) / nv;
    for (uint64_t i = 0; i < nu; ++i) {
      for (uint64_t j = 0; j < nv; ++j) {
        double ju, jv;
        rng.uniformPair(ju, jv);
        point[u] = p.lo[u] + (i + ju) * du;
        point[v] = p.lo[v] + (j + jv) * dv;
        point[p.normal] = p.at + p.sigma * rng.boundedNormal();
        emit(point[0] + ox, point[1] + oy, point[2] + oz);
      }
    }
  }
  for (const VegetationBlob& b : layout.vegetation) {
    for (uint32_t k = 0; k < b.points;) {
      const uint64_t r = rng.next();
      const double x = Random::signedPart(r, 0), y = Random::signedPart(r, 1), z = Random::signedPart(r, 2);
      if (x * x + y * y + z * z > 1.0) continue;
      emit(b.x + b.radius * x + ox, b.y + b.radius * y + oy, b.z + b.radius * z + oz);
      ++k;
    }
  }
  const std::vector<Rect> ring = clutterRing(layout);
  if (ring.empty()) return;
  double total_area = 0;
  for (const Rect& r : ring) total_area += (r.max_x - r.min_x) * (r.max_y - r.min_y);
  const double top = layout.roofTop() + 2.0;
  for (uint32_t k = 0; k < layout.stray_points; ++k) {
    double pick = rng.uniform() * total_area;
    size_t i = 0;
    while (i + 1 < ring.size() && pick >= (ring[i].max_x - ring[i].min_x) * (ring[i].max_y - ring[i].min_y)) {
      pick -= (ring[i].max_x - ring[i].min_x) * (ring[i].max_y - ring[i].min_y);
      ++i;
    }
    const Rect& r = ring[i];
    emit(rng.uniform(r.min_x, r.max_x) + ox, rng.uniform(r.min_y, r.max_y) + oy, rng.uniform(params.ground_level, top) + oz);
  }
}

namespace {

LasWriteOptions& lasPart(LasWriteOptions& options) { return options; }
LasWriteOptions& lasPart(LazWriteOptions& options) { return options.las; }

// Writes the building point by point through `Writer` (LasFileWriter or
// LazFileWriter), as writeBuildingLas describes.
template <typename Writer, typename Options>
BuildingLasResult writeBuildingThrough(const std::string& path, const BuildingParameters& params,
                                       const BuildingLayout& layout) {
  BuildingLasResult result;
  Options options;
  LasWriteOptions& las = lasPart(options);
  // Fail before generating millions of points when the path is unusable.
  if (std::FILE* probe = std::fopen(path.c_str(), "wb")) {
    std::fclose(probe);
  } else {
    result.error = "cannot write " + path + ": " + std::strerror(errno);
    return result;
  }
  // LAS 1.2 counts points in 32 bits.
  las.version_minor = estimatePointCount(params, layout) > std::numeric_limits<uint32_t>::max() ? 4 : 2;
  las.point_format = 0;
  las.scale = {0.001, 0.001, 0.001};
  las.offset = {std::round(params.offset[0]), std::round(params.offset[1]), std::round(params.offset[2])};
  // Each point is rounded to its millimetre around the header's offset before
  // the offset is added, so that a building moved by whole metres holds the
  // integers of the unmoved one: georeferenced as an exporter does it, by the
  // header alone.
  BuildingParameters around_offset = params;
  for (int axis = 0; axis < 3; ++axis) around_offset.offset[axis] -= las.offset[axis];
  try {
    Writer writer(path, options);
    uint64_t count = 0;
    const auto stored = [&las](double v, int axis) {
      return std::round(v / las.scale[axis]) * las.scale[axis] + las.offset[axis];
    };
    generateBuilding(around_offset, layout, [&](double x, double y, double z) {
      writer.add(stored(x, 0), stored(y, 1), stored(z, 2));
      ++count;
    });
    if (!writer.close()) {
      result.error = "cannot write " + path + " (disk full?)";
    } else {
      result.ok = true;
      result.points = count;
    }
  } catch (const std::exception& e) {
    result.error = "cannot write " + path + ": " + e.what();
  }
  if (!result.ok) std::remove(path.c_str());
  return result;
}

}  // namespace

BuildingLasResult writeBuildingLas(const std::string& path, const BuildingParameters& params,
                                   const BuildingLayout& layout) {
  return writeBuildingThrough<LasFileWriter, LasWriteOptions>(path, params, layout);
}

BuildingLasResult writeBuildingLaz(const std::string& path, const BuildingParameters& params,
                                   const BuildingLayout& layout) {
  return writeBuildingThrough<LazFileWriter, LazWriteOptions>(path, params, layout);
}

BuildingLasResult writeBuildingCloud(const std::string& path, const BuildingParameters& params,
                                     const BuildingLayout& layout) {
  BuildingLasResult result;
  const bool ply = path.size() >= 4 && path.compare(path.size() - 4, 4, ".ply") == 0;
  uint64_t count = 0;
  generateBuilding(params, layout, [&count](double, double, double) { ++count; });
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    result.error = "cannot write " + path + ": " + std::strerror(errno);
    return result;
  }
  const std::string n = std::to_string(count);
  const std::string header =
      ply ? "ply\nformat binary_little_endian 1.0\ncomment synthetic building\nelement vertex " + n +
                "\nproperty double x\nproperty double y\nproperty double z\nproperty float intensity\nend_header\n"
          : "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z intensity\nSIZE 4 4 4 4\n"
            "TYPE F F F F\nCOUNT 1 1 1 1\nWIDTH " + n + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + n +
                "\nDATA binary\n";
  bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size();
  std::vector<uint8_t> buffer;
  buffer.reserve(1 << 20);
  const auto flush = [&]() {
    ok = ok && std::fwrite(buffer.data(), 1, buffer.size(), file) == buffer.size();
    buffer.clear();
  };
  const auto put = [&buffer](const auto value) {
    uint8_t bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);  // written on little-endian hosts
    buffer.insert(buffer.end(), bytes, bytes + sizeof value);
  };
  generateBuilding(params, layout, [&](double x, double y, double z) {
    if (ply) {
      put(x), put(y), put(z);
    } else {
      put(static_cast<float>(x)), put(static_cast<float>(y)), put(static_cast<float>(z));
    }
    put(1.0f);
    if (buffer.size() >= (1u << 20) - 32) flush();
  });
  flush();
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    result.error = "cannot write " + path + " (disk full?)";
    std::remove(path.c_str());
    return result;
  }
  result.ok = true;
  result.points = count;
  return result;
}

namespace {

// A scanner set up in the building: points are stored relative to it.
struct ScanStation {
  double position[3];
  double yaw;  // turn about z from the station's frame to the building's
  double cos_yaw, sin_yaw;

  void toLocal(double x, double y, double z, double (&local)[3]) const {
    const double dx = x - position[0], dy = y - position[1];
    local[0] = cos_yaw * dx + sin_yaw * dy;
    local[1] = -sin_yaw * dx + cos_yaw * dy;
    local[2] = z - position[2];
  }
};

constexpr double kStationHeight = 1.5;  // above the ground floor
constexpr double kE57Scale = 0.0001;

// Four stations over the quarters of the footprint, each turned differently
// (and not by right angles), so that a reader that mishandles poses shows it.
std::vector<ScanStation> scanStations(const BuildingParameters& params, const BuildingLayout& layout) {
  std::vector<ScanStation> stations;
  const double z = (layout.storeys.empty() ? 0.0 : layout.storeys[0].floor_z) + kStationHeight;
  for (int k = 0; k < 4; ++k) {
    const double yaw = 0.3 + 1.7 * k;
    stations.push_back({{layout.width * (1 + 2 * (k % 2)) / 4 + params.offset[0],
                         layout.depth * (1 + 2 * (k / 2)) / 4 + params.offset[1], z + params.offset[2]},
                        yaw, std::cos(yaw), std::sin(yaw)});
  }
  return stations;
}

size_t nearestStation(const std::vector<ScanStation>& stations, double x, double y) {
  size_t best = 0;
  double best_distance = 0;
  for (size_t k = 0; k < stations.size(); ++k) {
    const double dx = x - stations[k].position[0], dy = y - stations[k].position[1];
    const double distance = dx * dx + dy * dy;
    if (k == 0 || distance < best_distance) {
      best = k;
      best_distance = distance;
    }
  }
  return best;
}

}  // namespace

BuildingLasResult writeBuildingE57(const std::string& path, const BuildingParameters& params,
                                   const BuildingLayout& layout) {
  BuildingLasResult result;
  if (std::FILE* probe = std::fopen(path.c_str(), "wb")) {
    std::fclose(probe);
  } else {
    result.error = "cannot write " + path + ": " + std::strerror(errno);
    return result;
  }
  // Points are generated unmoved and stored relative to their station; the
  // offset goes into the poses alone, as a registered survey carries it.
  BuildingParameters unmoved = params;
  unmoved.offset = {0.0, 0.0, 0.0};
  const std::vector<ScanStation> stations = scanStations(unmoved, layout);
  // The scaled integer widths need each scan's bounds before its first point,
  // and the points are not kept: one pass for the bounds, then one per station.
  std::vector<E57Bounds> bounds(stations.size());
  std::vector<uint64_t> counts(stations.size(), 0);
  generateBuilding(unmoved, layout, [&](double x, double y, double z) {
    const size_t k = nearestStation(stations, x, y);
    double local[3];
    stations[k].toLocal(x, y, z, local);
    for (int axis = 0; axis < 3; ++axis) {
      bounds[k].min[axis] = counts[k] == 0 ? local[axis] : std::min(bounds[k].min[axis], local[axis]);
      bounds[k].max[axis] = counts[k] == 0 ? local[axis] : std::max(bounds[k].max[axis], local[axis]);
    }
    ++counts[k];
  });
  E57WriteOptions options;
  options.encoding = E57CoordinateEncoding::kScaledInteger;
  options.scale = kE57Scale;
  try {
    E57FileWriter writer(path, options);
    for (size_t k = 0; k < stations.size(); ++k) {
      const ScanStation& station = stations[k];
      E57Pose pose;
      pose.rotation = std::array<double, 4>{std::cos(station.yaw / 2), 0, 0, std::sin(station.yaw / 2)};
      pose.translation = std::array<double, 3>{station.position[0] + params.offset[0],
                                               station.position[1] + params.offset[1],
                                               station.position[2] + params.offset[2]};
      writer.beginScan(pose, bounds[k]);
      generateBuilding(unmoved, layout, [&](double x, double y, double z) {
        if (nearestStation(stations, x, y) != k) return;
        double local[3];
        station.toLocal(x, y, z, local);
        writer.add(local[0], local[1], local[2]);
      });
      writer.endScan();
      result.points += counts[k];
    }
    result.ok = writer.close();
    if (!result.ok) result.error = writer.error();
  } catch (const std::exception& e) {
    result.ok = false;
    result.error = "cannot write " + path + ": " + e.what();
  }
  if (!result.ok) std::remove(path.c_str());
  return result;
}

namespace {

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", v);
  return text;
}

std::string rectJson(const Rect& r) {
  return "[" + number(r.min_x) + ", " + number(r.min_y) + ", " + number(r.max_x) + ", " + number(r.max_y) + "]";
}

std::string boxJson(const Box& b) {
  return "[" + number(b.min_x) + ", " + number(b.min_y) + ", " + number(b.min_z) + ", " + number(b.max_x) +
         ", " + number(b.max_y) + ", " + number(b.max_z) + "]";
}

const char* wallKindName(WallKind k) {
  switch (k) {
    case WallKind::kExterior: return "exterior";
    case WallKind::kCorridor: return "corridor";
    case WallKind::kPartition: return "partition";
  }
  return "?";
}

const char* furnitureKindName(FurnitureKind k) {
  switch (k) {
    case FurnitureKind::kTable: return "table";
    case FurnitureKind::kCabinet: return "cabinet";
    case FurnitureKind::kShelf: return "shelf";
  }
  return "?";
}

const char* roomKindName(RoomKind k) {
  switch (k) {
    case RoomKind::kRoom: return "room";
    case RoomKind::kCorridor: return "corridor";
    case RoomKind::kOpenPlan: return "open_plan";
    case RoomKind::kStairwell: return "stairwell";
  }
  return "?";
}

// Joins items as a JSON array, one per line.
template <typename T, typename F>
std::string jsonArray(const std::vector<T>& items, F format) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ",\n    " : "\n    ") + format(items[i]);
  return out + (items.empty() ? "]" : "\n  ]");
}

}  // namespace

std::string layoutJson(const BuildingParameters& params, const BuildingLayout& layout) {
  std::string j = "{\n";
  j += "  \"units\": \"metres; layout in the local frame, add offset for the point cloud\",\n";
  j += "  \"seed\": " + std::to_string(params.seed) + ",\n";
  j += "  \"offset\": [" + number(params.offset[0]) + ", " + number(params.offset[1]) + ", " + number(params.offset[2]) + "],\n";
  j += "  \"footprint\": " + rectJson(layout.footprint()) + ",\n";
  j += "  \"point_spacing\": " + number(params.point_spacing) + ",\n";
  j += "  \"noise_sigma\": " + number(params.noise_sigma) + ",\n";
  j += "  \"estimated_points\": " + std::to_string(estimatePointCount(params, layout)) + ",\n";
  j += "  \"storeys\": " + jsonArray(layout.storeys, [](const Storey& s) {
         return "{\"floor_z\": " + number(s.floor_z) + ", \"ceiling_z\": " + number(s.ceiling_z) + "}";
       }) + ",\n";
  j += "  \"walls\": " + jsonArray(layout.walls, [](const Wall& w) {
         return std::string("{\"kind\": \"") + wallKindName(w.kind) + "\", \"from\": [" + number(w.x0) + ", " +
                number(w.y0) + "], \"to\": [" + number(w.x1) + ", " + number(w.y1) + "], \"thickness\": " +
                number(w.thickness) + ", \"storeys\": [" + std::to_string(w.first_storey) + ", " +
                std::to_string(w.last_storey) + "]}";
       }) + ",\n";
  j += "  \"doors\": " + jsonArray(layout.doors, [](const Door& d) {
         return "{\"wall\": " + std::to_string(d.wall) + ", \"storey\": " + std::to_string(d.storey) +
                ", \"center\": [" + number(d.center_x) + ", " + number(d.center_y) + "], \"width\": " +
                number(d.width) + ", \"height\": " + number(d.height) + "}";
       }) + ",\n";
  j += "  \"rooms\": " + jsonArray(layout.rooms, [](const Room& r) {
         return std::string("{\"kind\": \"") + roomKindName(r.kind) + "\", \"storey\": " + std::to_string(r.storey) +
                ", \"area\": " + rectJson(r.area) + "}";
       }) + ",\n";
  j += "  \"furniture\": " + jsonArray(layout.furniture, [](const Furniture& f) {
         return std::string("{\"kind\": \"") + furnitureKindName(f.kind) + "\", \"storey\": " +
                std::to_string(f.storey) + ", \"box\": " + boxJson(f.box) + "}";
       }) + ",\n";
  j += "  \"stair_void\": " + (layout.has_stair_void ? rectJson(layout.stair_void) : std::string("null")) + ",\n";
  j += "  \"clutter_area\": " + rectJson(layout.clutter_area) + ",\n";
  j += "  \"vegetation\": " + jsonArray(layout.vegetation, [](const VegetationBlob& b) {
         return "{\"center\": [" + number(b.x) + ", " + number(b.y) + ", " + number(b.z) + "], \"radius\": " +
                number(b.radius) + ", \"points\": " + std::to_string(b.points) + "}";
       }) + ",\n";
  j += "  \"stray_points\": " + std::to_string(layout.stray_points) + "\n";
  j += "}\n";
  return j;
}

}  // namespace korvane_navigation
