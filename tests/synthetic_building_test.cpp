#include "synthetic_building.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/e57_reader.h"
#include "formats/las_reader.h"

using namespace korvane_navigation;

namespace {

using Point = std::array<double, 3>;

// Three storeys on a footprint deep enough for two corridor bands joined by a
// cross corridor, sampled coarsely so that every point can be checked.
BuildingParameters deepBuilding() {
  BuildingParameters params;
  params.storeys = 3;
  params.width = 16.0;
  params.depth = 26.0;
  params.point_spacing = 0.1;
  params.clutter_margin = 3.0;
  params.seed = 11;
  return params;
}

// Storeys of different heights on slabs of different thicknesses, ground
// outside higher than the ground floor, and the roof's top face scanned.
BuildingParameters unevenBuilding() {
  BuildingParameters params = deepBuilding();
  params.storey_heights = {3.6, 2.7, 4.1};
  params.slab_thicknesses = {0.35, 0.18, 0.3};
  params.ground_level = 0.5;
  params.roof_surface = true;
  return params;
}

// Reads a LAS file's points as x, y, z after each other.
LasReadResult readXyz(const std::string& path, std::vector<float>& xyz) {
  return readLasFile(path, [&](uint64_t n) {
    xyz.resize(n * 3);
    return xyz.data();
  }, 3);
}

std::vector<Point> generateAll(const BuildingParameters& params, const BuildingLayout& layout) {
  std::vector<Point> points;
  generateBuilding(params, layout, [&](double x, double y, double z) { points.push_back({x, y, z}); });
  return points;
}

// FNV-1a over the bit patterns of the first `limit` points.
uint64_t hashPoints(const BuildingParameters& params, const BuildingLayout& layout, size_t limit, uint64_t* count) {
  uint64_t hash = 1469598103934665603ULL;
  uint64_t n = 0;
  generateBuilding(params, layout, [&](double x, double y, double z) {
    if (n++ >= limit) return;
    for (double v : {x, y, z}) {
      uint64_t bits;
      std::memcpy(&bits, &v, sizeof bits);
      for (int i = 0; i < 8; ++i) hash = (hash ^ ((bits >> (8 * i)) & 0xff)) * 1099511628211ULL;
    }
  });
  if (count) *count = n;
  return hash;
}

constexpr uint64_t kRecordedDemoPoints = 982324;
constexpr uint64_t kRecordedDemoHash = 14102725479681346899ULL;

double noiseTolerance(const BuildingParameters& params) { return kNoiseBoundSigmas * params.noise_sigma + 1e-9; }

Box grow(Box b, double by) {
  b.min_x -= by, b.min_y -= by, b.min_z -= by;
  b.max_x += by, b.max_y += by, b.max_z += by;
  return b;
}

// Within `tol` of the surface of `b`: inside it grown by tol, not inside it shrunk by tol.
bool onBoxSurface(const Box& b, const Point& p, double tol) {
  return b.contains(p[0], p[1], p[2], tol) && !grow(b, -tol).contains(p[0], p[1], p[2]);
}

// A part of a wall as a slab through it: grown by `tol` across the wall, so that
// points on either face fall inside, and shrunk by `tol` along it and in z, so
// that the faces of neighbouring walls, the floor and the ceiling stay out.
Box throughWall(const Wall& wall, Box b, double tol) {
  const double along_x = wall.runsAlongX() ? tol : -tol;
  b.min_x += along_x, b.max_x -= along_x;
  b.min_y -= along_x, b.max_y += along_x;
  b.min_z += tol, b.max_z -= tol;
  return b;
}

bool overlapsXY(const Box& a, const Box& b) {
  return a.min_x < b.max_x && b.min_x < a.max_x && a.min_y < b.max_y && b.min_y < a.max_y;
}

Box slabBox(const BuildingLayout& layout, double z0, double z1) { return {0, 0, z0, layout.width, layout.depth, z1}; }

// Every solid part of the building as boxes whose surfaces carry the points:
// walls and door gaps (the gap's faces are the reveals), and the slabs.
struct Surfaces {
  std::vector<Box> walls;  // one per wall and storey it stands on
  std::vector<Box> doors;
  std::vector<Box> slabs;
};

Surfaces surfacesOf(const BuildingLayout& layout) {
  Surfaces s;
  const int n = static_cast<int>(layout.storeys.size());
  for (int k = 0; k < n; ++k)
    for (const Wall& w : layout.walls)
      if (w.existsOn(k)) s.walls.push_back(wallBox(layout, w, k));
  for (const Door& d : layout.doors) s.doors.push_back(doorBox(layout, d));
  s.slabs.push_back(slabBox(layout, -layout.slab_thickness, 0.0));
  for (int k = 0; k < n; ++k)
    s.slabs.push_back(slabBox(layout, layout.storeys[k].ceiling_z,
                              k + 1 < n ? layout.storeys[k + 1].floor_z : layout.roofTop()));
  // The void's edges are faces of the slabs too.
  const Rect& v = layout.stair_void;
  if (layout.has_stair_void)
    for (int k = 0; k + 1 < n; ++k)
      s.slabs.push_back({v.min_x, v.min_y, layout.storeys[k].ceiling_z, v.max_x, v.max_y, layout.storeys[k + 1].floor_z});
  return s;
}

std::string describe(const Point& p) {
  return "(" + std::to_string(p[0]) + ", " + std::to_string(p[1]) + ", " + std::to_string(p[2]) + ")";
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/synthetic_building_test.XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct NamedBuilding {
  const char* name;
  BuildingParameters params;
};

// Names the parameter in test output instead of dumping its bytes.
void PrintTo(const NamedBuilding& building, std::ostream* out) { *out << building.name; }

std::vector<NamedBuilding> plannedBuildings() {
  std::vector<NamedBuilding> buildings = {{"demo", demoBuilding()},
                                          {"deep", deepBuilding()},
                                          {"bench_small", benchmarkBuilding(0.2)},
                                          {"bench_full", benchmarkBuilding(1.0)}};
  BuildingParameters narrow = demoBuilding();
  narrow.width = kMinimumBuildingWidth;
  narrow.depth = kMinimumBuildingDepth;
  buildings.push_back({"smallest", narrow});
  buildings.push_back({"uneven", unevenBuilding()});
  for (uint64_t seed : {2, 3, 4, 5}) {
    BuildingParameters s = demoBuilding();
    s.seed = seed;
    s.storeys = 3;
    buildings.push_back({seed == 2 ? "seed2" : seed == 3 ? "seed3" : seed == 4 ? "seed4" : "seed5", s});
  }
  return buildings;
}

// ---------------------------------------------------------------------------
// The floor plan: the properties the map tests rely on, over several sizes and seeds.

class PlannedBuilding : public ::testing::TestWithParam<NamedBuilding> {
 protected:
  void SetUp() override {
    params_ = GetParam().params;
    layout_ = planBuilding(params_);
  }
  int storeyCount() const { return static_cast<int>(layout_.storeys.size()); }
  BuildingParameters params_;
  BuildingLayout layout_;
};

TEST_P(PlannedBuilding, WallsAndDoorsFitTheFootprint) {
  ASSERT_EQ(storeyCount(), params_.storeys);
  const Rect footprint = layout_.footprint();
  for (const Wall& w : layout_.walls) {
    EXPECT_TRUE(w.x0 == w.x1 || w.y0 == w.y1) << "wall not axis-aligned";
    EXPECT_GT(w.thickness, 0.0);
    EXPECT_LE(0, w.first_storey);
    EXPECT_LE(w.first_storey, w.last_storey);
    EXPECT_LT(w.last_storey, storeyCount());
    const Box b = wallBox(layout_, w, w.first_storey);
    EXPECT_TRUE(footprint.contains(b.min_x, b.min_y, 1e-9) && footprint.contains(b.max_x, b.max_y, 1e-9));
  }
  for (size_t i = 0; i < layout_.doors.size(); ++i) {
    const Door& d = layout_.doors[i];
    ASSERT_GE(d.wall, 0);
    ASSERT_LT(d.wall, static_cast<int>(layout_.walls.size()));
    const Wall& w = layout_.walls[d.wall];
    EXPECT_TRUE(w.existsOn(d.storey)) << "door " << i << " in a wall missing on its storey";
    const Box wall = wallBox(layout_, w, d.storey);
    const Box gap = doorBox(layout_, d);
    EXPECT_TRUE(wall.contains(gap.min_x, gap.min_y, gap.min_z, 1e-9) && wall.contains(gap.max_x, gap.max_y, gap.max_z, 1e-9))
        << "door " << i << " sticks out of its wall";
    EXPECT_NEAR(d.height, 2.0, 0.2);
    EXPECT_LT(gap.max_z, wall.max_z) << "door " << i << " leaves no lintel";
    for (size_t j = 0; j < i; ++j) {
      const Door& e = layout_.doors[j];
      if (e.wall == d.wall && e.storey == d.storey) {
        EXPECT_FALSE(overlapsXY(gap, doorBox(layout_, e))) << "doors " << j << " and " << i << " overlap";
      }
    }
  }
  for (const Storey& s : layout_.storeys) EXPECT_GE(s.ceiling_z - s.floor_z, 2.2);
}

TEST_P(PlannedBuilding, HasTheFeaturesTheMapTestsNeed) {
  bool lower_only = false, corridor = false, table = false, shelf = false;
  for (const Wall& w : layout_.walls)
    lower_only |= w.kind != WallKind::kExterior && w.first_storey == 0 && w.last_storey == 0;
  for (const Room& r : layout_.rooms) corridor |= r.kind == RoomKind::kCorridor;
  for (const Furniture& f : layout_.furniture) {
    table |= f.kind == FurnitureKind::kTable;
    shelf |= f.kind == FurnitureKind::kShelf;
  }
  EXPECT_TRUE(lower_only || storeyCount() == 1) << "no interior wall on the lower storey only";
  EXPECT_TRUE(corridor);
  EXPECT_TRUE(table);
  EXPECT_TRUE(shelf);
  EXPECT_TRUE(layout_.has_stair_void);
  EXPECT_GE(layout_.stair_void.max_x - layout_.stair_void.min_x, 1.0);
  EXPECT_GE(layout_.stair_void.max_y - layout_.stair_void.min_y, 1.0);
}

// Rasterizes each storey (walls solid, door gaps open) and floods from the
// corridor: every room must be reachable through doors and corridors.
TEST_P(PlannedBuilding, EveryRoomIsReachableFromTheCorridor) {
  const double cell = 0.05;
  const int nx = static_cast<int>(std::ceil(layout_.width / cell));
  const int ny = static_cast<int>(std::ceil(layout_.depth / cell));
  for (int s = 0; s < storeyCount(); ++s) {
    std::vector<uint8_t> blocked(static_cast<size_t>(nx) * ny, 0);
    auto paint = [&](const Box& b, uint8_t value) {
      for (int iy = 0; iy < ny; ++iy)
        for (int ix = 0; ix < nx; ++ix) {
          const double x = (ix + 0.5) * cell, y = (iy + 0.5) * cell;
          if (x >= b.min_x && x <= b.max_x && y >= b.min_y && y <= b.max_y) blocked[iy * nx + ix] = value;
        }
    };
    for (const Wall& w : layout_.walls)
      if (w.existsOn(s)) paint(wallBox(layout_, w, s), 1);
    // The entrance would let the flood walk round the outside; leave it shut.
    for (const Door& d : layout_.doors)
      if (d.storey == s && layout_.walls[d.wall].kind != WallKind::kExterior) paint(doorBox(layout_, d), 0);

    const Room* start = nullptr;
    for (const Room& r : layout_.rooms)
      if (r.storey == s && r.kind == RoomKind::kCorridor && !start) start = &r;
    ASSERT_NE(start, nullptr) << "storey " << s << " has no corridor";
    std::vector<uint8_t> reached(blocked.size(), 0);
    std::vector<int> stack = {static_cast<int>((start->area.min_y + start->area.max_y) / 2 / cell) * nx +
                              static_cast<int>((start->area.min_x + start->area.max_x) / 2 / cell)};
    while (!stack.empty()) {
      const int i = stack.back();
      stack.pop_back();
      if (blocked[i] || reached[i]) continue;
      reached[i] = 1;
      const int ix = i % nx, iy = i / nx;
      if (ix > 0) stack.push_back(i - 1);
      if (ix + 1 < nx) stack.push_back(i + 1);
      if (iy > 0) stack.push_back(i - nx);
      if (iy + 1 < ny) stack.push_back(i + nx);
    }
    for (const Room& r : layout_.rooms) {
      if (r.storey != s) continue;
      const int ix = static_cast<int>((r.area.min_x + r.area.max_x) / 2 / cell);
      const int iy = static_cast<int>((r.area.min_y + r.area.max_y) / 2 / cell);
      EXPECT_TRUE(reached[iy * nx + ix]) << "room at (" << r.area.min_x << ", " << r.area.min_y << ") on storey " << s
                                         << " cannot be reached";
    }
  }
}

TEST_P(PlannedBuilding, FurnitureStandsFreeInsideRooms) {
  for (size_t i = 0; i < layout_.furniture.size(); ++i) {
    const Furniture& f = layout_.furniture[i];
    ASSERT_GE(f.storey, 0);
    ASSERT_LT(f.storey, storeyCount());
    const Storey& storey = layout_.storeys[f.storey];
    EXPECT_DOUBLE_EQ(f.box.min_z, storey.floor_z);
    EXPECT_LT(f.box.max_z, storey.ceiling_z);
    bool in_room = false;
    for (const Room& r : layout_.rooms)
      in_room |= r.storey == f.storey && (r.kind == RoomKind::kRoom || r.kind == RoomKind::kOpenPlan) &&
                 r.area.contains(f.box.min_x, f.box.min_y) && r.area.contains(f.box.max_x, f.box.max_y);
    EXPECT_TRUE(in_room) << "furniture " << i << " is not inside a furnished room";
    for (const Wall& w : layout_.walls)
      if (w.existsOn(f.storey)) {
        EXPECT_FALSE(overlapsXY(f.box, wallBox(layout_, w, f.storey))) << "furniture " << i;
      }
    for (const Door& d : layout_.doors) {
      if (d.storey != f.storey) continue;
      // The floor just in front of and behind a door stays clear.
      Box approach = doorBox(layout_, d);
      if (layout_.walls[d.wall].runsAlongX()) {
        approach.min_y -= 1.0;
        approach.max_y += 1.0;
      } else {
        approach.min_x -= 1.0;
        approach.max_x += 1.0;
      }
      EXPECT_FALSE(overlapsXY(f.box, approach)) << "furniture " << i << " blocks a door";
    }
    if (layout_.has_stair_void) {
      const Rect& v = layout_.stair_void;
      EXPECT_FALSE(overlapsXY(f.box, {v.min_x, v.min_y, 0, v.max_x, v.max_y, 0})) << "furniture " << i << " over the void";
    }
    for (size_t j = 0; j < i; ++j)
      if (layout_.furniture[j].storey == f.storey) {
        EXPECT_FALSE(overlapsXY(f.box, layout_.furniture[j].box)) << "furniture " << j << " and " << i;
      }
  }
}

TEST_P(PlannedBuilding, StairVoidAndClutterAvoidEverythingElse) {
  const Rect& v = layout_.stair_void;
  const Box void_box{v.min_x, v.min_y, 0, v.max_x, v.max_y, 0};
  for (int s = 0; s < storeyCount(); ++s) {
    for (const Wall& w : layout_.walls)
      if (w.existsOn(s)) {
        EXPECT_FALSE(overlapsXY(void_box, wallBox(layout_, w, s))) << "wall over the void";
      }
    bool in_stairwell = false;
    for (const Room& r : layout_.rooms)
      in_stairwell |= r.storey == s && r.kind == RoomKind::kStairwell && r.area.contains(v.min_x, v.min_y) &&
                      r.area.contains(v.max_x, v.max_y);
    EXPECT_TRUE(in_stairwell) << "void not inside a stairwell on storey " << s;
  }
  const Rect area = layout_.clutter_area;
  const Rect keep_out{-layout_.clutter_gap, -layout_.clutter_gap, layout_.width + layout_.clutter_gap,
                      layout_.depth + layout_.clutter_gap};
  EXPECT_FALSE(layout_.vegetation.empty());
  EXPECT_GT(layout_.stray_points, 0u);
  for (const VegetationBlob& b : layout_.vegetation) {
    const Box blob{b.x - b.radius, b.y - b.radius, b.z - b.radius, b.x + b.radius, b.y + b.radius, b.z + b.radius};
    EXPECT_FALSE(overlapsXY(blob, {keep_out.min_x, keep_out.min_y, 0, keep_out.max_x, keep_out.max_y, 0}));
    EXPECT_TRUE(area.contains(blob.min_x, blob.min_y) && area.contains(blob.max_x, blob.max_y));
    EXPECT_GE(blob.min_z, 0.0);
  }
}

TEST_P(PlannedBuilding, IsDeterministicInTheSeed) {
  EXPECT_EQ(layoutJson(params_, planBuilding(params_)), layoutJson(params_, layout_));
  BuildingParameters other = params_;
  other.seed += 1000;
  EXPECT_NE(layoutJson(other, planBuilding(other)), layoutJson(params_, layout_));
}

INSTANTIATE_TEST_SUITE_P(SizesAndSeeds, PlannedBuilding, ::testing::ValuesIn(plannedBuildings()),
                         [](const ::testing::TestParamInfo<NamedBuilding>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Presets and impossible buildings.

TEST(BuildingPresets, HaveTheAdvertisedSizes) {
  const BuildingParameters demo = demoBuilding();
  const uint64_t demo_points = estimatePointCount(demo, planBuilding(demo));
  EXPECT_EQ(demo.storeys, 2);
  EXPECT_GE(demo_points, 300000u);
  EXPECT_LE(demo_points, 2000000u);

  // The full benchmark building is only planned here, never generated.
  const BuildingParameters bench = benchmarkBuilding(1.0);
  const BuildingLayout bench_layout = planBuilding(bench);
  EXPECT_EQ(bench.storeys, 3);
  EXPECT_GE(bench_layout.width, 80.0);
  EXPECT_GE(bench_layout.depth, 50.0);
  const uint64_t bench_points = estimatePointCount(bench, bench_layout);
  EXPECT_GE(bench_points, 20000000u);

  const BuildingParameters quarter = benchmarkBuilding(0.25);
  EXPECT_DOUBLE_EQ(quarter.width, bench.width * 0.25);
  EXPECT_DOUBLE_EQ(quarter.depth, bench.depth * 0.25);
  EXPECT_LT(estimatePointCount(quarter, planBuilding(quarter)), bench_points / 8);

  const BuildingParameters tiny = benchmarkBuilding(0.01);
  EXPECT_GE(tiny.width, kMinimumBuildingWidth);
  EXPECT_GE(tiny.depth, kMinimumBuildingDepth);
  EXPECT_NO_THROW(planBuilding(tiny));
  EXPECT_THROW(benchmarkBuilding(0.0), std::invalid_argument);
}

TEST(BuildingPresets, UnevenStoreysStackTheirOwnHeightsAndSlabs) {
  const BuildingParameters params = unevenBuilding();
  const BuildingLayout layout = planBuilding(params);
  const double floors[] = {0.0, 3.6, 6.3}, ceilings[] = {3.25, 6.12, 10.1};
  ASSERT_EQ(layout.storeys.size(), 3u);
  for (int s = 0; s < 3; ++s) {
    EXPECT_NEAR(layout.storeys[s].floor_z, floors[s], 1e-9) << "storey " << s;
    EXPECT_NEAR(layout.storeys[s].ceiling_z, ceilings[s], 1e-9) << "storey " << s;
  }
  EXPECT_NEAR(layout.roofTop(), 10.4, 1e-9);
  // Outdoors nothing lies below the raised ground; the roof's face is scanned.
  double lowest_outside = 1e9;
  uint64_t on_roof = 0;
  generateBuilding(params, layout, [&](double x, double y, double z) {
    if (!layout.footprint().contains(x, y, layout.clutter_gap)) lowest_outside = std::min(lowest_outside, z);
    if (std::abs(z - layout.roofTop()) <= noiseTolerance(params)) ++on_roof;
  });
  const double ground_roughness_bound = kNoiseBoundSigmas * 0.02;
  EXPECT_NEAR(lowest_outside, params.ground_level, ground_roughness_bound);
  EXPECT_GT(on_roof, 0.9 * layout.width * layout.depth / (params.point_spacing * params.point_spacing));
}

TEST(BuildingPresets, ImpossibleBuildingsAreRejected) {
  std::vector<BuildingParameters> bad(10, demoBuilding());
  bad[0].storeys = 0;
  bad[1].width = kMinimumBuildingWidth - 0.5;
  bad[2].depth = kMinimumBuildingDepth - 0.5;
  bad[3].point_spacing = 0.0;
  bad[4].storey_height = 2.2;  // no room for a door under the slab
  bad[5].noise_sigma = -0.001;
  bad[6].width = std::nan("");
  bad[7].clutter_margin = -1.0;
  bad[8].storey_heights = {3.0, 3.0, 3.0};  // one more than there are storeys
  bad[9].storey_heights = {3.0, 2.4};       // the upper storey has no room for a door
  for (size_t i = 0; i < bad.size(); ++i) EXPECT_THROW(planBuilding(bad[i]), std::invalid_argument) << "building " << i;
}

// ---------------------------------------------------------------------------
// The points.

TEST(BuildingPoints, AreDeterministicAndCountedExactly) {
  const BuildingParameters params = demoBuilding();
  const BuildingLayout layout = planBuilding(params);
  uint64_t first_count = 0, second_count = 0;
  const uint64_t first = hashPoints(params, layout, 100000, &first_count);
  EXPECT_EQ(hashPoints(params, layout, 100000, &second_count), first);
  EXPECT_EQ(first_count, second_count);
  EXPECT_EQ(first_count, estimatePointCount(params, layout));

  BuildingParameters reseeded = params;
  reseeded.seed = 99;
  EXPECT_NE(hashPoints(reseeded, planBuilding(reseeded), 100000, nullptr), first);

  // The offset moves the points and nothing else.
  BuildingParameters moved = params;
  moved.offset = {1000.0, -2000.0, 50.0};
  std::vector<Point> local, shifted;
  generateBuilding(params, layout, [&](double x, double y, double z) {
    if (local.size() < 50000) local.push_back({x, y, z});
  });
  generateBuilding(moved, layout, [&](double x, double y, double z) {
    if (shifted.size() < 50000) shifted.push_back({x, y, z});
  });
  ASSERT_EQ(local.size(), shifted.size());
  for (size_t i = 0; i < local.size(); ++i)
    for (int a = 0; a < 3; ++a) ASSERT_NEAR(shifted[i][a] - local[i][a], moved.offset[a], 1e-6) << "point " << i;
}

// Benchmark results and saved maps are compared across builds and machines, so the
// demo cloud must not drift. Coordinates are hashed at 0.1 mm, which hides
// last-bit differences from fused multiply-add on other CPUs. When the generator
// is changed on purpose, record the new values here.
TEST(BuildingPoints, DemoBuildingMatchesTheRecordedOne) {
  const BuildingParameters params = demoBuilding();
  const BuildingLayout layout = planBuilding(params);
  uint64_t hash = 1469598103934665603ULL, count = 0;
  generateBuilding(params, layout, [&](double x, double y, double z) {
    ++count;
    for (double v : {x, y, z}) {
      const uint64_t q = static_cast<uint64_t>(std::llround(v * 1e4));
      for (int i = 0; i < 8; ++i) hash = (hash ^ ((q >> (8 * i)) & 0xff)) * 1099511628211ULL;
    }
  });
  EXPECT_EQ(count, kRecordedDemoPoints);
  EXPECT_EQ(hash, kRecordedDemoHash);
}

class BuildingCloud : public ::testing::TestWithParam<NamedBuilding> {
 protected:
  void SetUp() override {
    params_ = GetParam().params;
    layout_ = planBuilding(params_);
    points_ = generateAll(params_, layout_);
    tol_ = noiseTolerance(params_);
  }
  int storeyCount() const { return static_cast<int>(layout_.storeys.size()); }
  bool inFurniture(const Point& p, int storey) const {
    for (const Furniture& f : layout_.furniture)
      if (f.storey == storey && f.box.contains(p[0], p[1], p[2], tol_)) return true;
    return false;
  }
  BuildingParameters params_;
  BuildingLayout layout_;
  std::vector<Point> points_;
  double tol_ = 0;
};

// Each point is on the surface of a wall, a door reveal or a slab, on a piece of
// furniture, or outdoor clutter well clear of the building. Each wall and piece of
// furniture also carries about as many points as its area calls for.
TEST_P(BuildingCloud, EveryPointIsOnASurfaceAndEverySurfaceHasPoints) {
  const Surfaces surfaces = surfacesOf(layout_);
  const Rect keep_out{-layout_.clutter_gap + 1e-6, -layout_.clutter_gap + 1e-6,
                      layout_.width + layout_.clutter_gap - 1e-6, layout_.depth + layout_.clutter_gap - 1e-6};
  const Rect& area = layout_.clutter_area;
  // Per wall box, its two long faces: the points on each and their lowest and highest z.
  struct FaceStats {
    uint64_t hits = 0;
    double low = 1e9, high = -1e9;
  };
  std::vector<std::array<FaceStats, 2>> faces(surfaces.walls.size());
  std::vector<uint64_t> furniture_hits(layout_.furniture.size(), 0);
  size_t stray = 0;
  for (const Point& p : points_) {
    bool placed = false;
    for (size_t i = 0; i < surfaces.walls.size(); ++i) {
      const Box& b = surfaces.walls[i];
      if (!onBoxSurface(b, p, tol_)) continue;
      placed = true;
      // Floor and ceiling points lie on the box too; only the faces tell whether the wall is there.
      if (p[2] < b.min_z + tol_ || p[2] > b.max_z - tol_) continue;
      const bool across_y = b.max_x - b.min_x > b.max_y - b.min_y;
      const double lo = across_y ? b.min_y : b.min_x, hi = across_y ? b.max_y : b.max_x;
      const double c = across_y ? p[1] : p[0];
      const int side = std::abs(c - lo) <= tol_ ? 0 : std::abs(c - hi) <= tol_ ? 1 : -1;
      if (side < 0) continue;
      FaceStats& f = faces[i][side];
      ++f.hits;
      f.low = std::min(f.low, p[2]);
      f.high = std::max(f.high, p[2]);
    }
    for (size_t i = 0; i < layout_.furniture.size(); ++i)
      if (layout_.furniture[i].box.contains(p[0], p[1], p[2], tol_)) placed = true, ++furniture_hits[i];
    for (const Box& b : surfaces.doors) placed = placed || onBoxSurface(b, p, tol_);
    for (const Box& b : surfaces.slabs) placed = placed || onBoxSurface(b, p, tol_);
    if (!placed) {
      const bool clutter = area.contains(p[0], p[1]) && !keep_out.contains(p[0], p[1]) && p[2] > -0.1 &&
                           p[2] < layout_.roofTop() + 2.0;
      if (!clutter && ++stray <= 5) ADD_FAILURE() << "point " << describe(p) << " is on no surface";
    }
  }
  EXPECT_EQ(stray, 0u);

  const double per_square_metre = 1.0 / (params_.point_spacing * params_.point_spacing);
  for (size_t i = 0; i < surfaces.walls.size(); ++i) {
    const Box& b = surfaces.walls[i];
    const double length = std::max(b.max_x - b.min_x, b.max_y - b.min_y);
    for (int side = 0; side < 2; ++side) {
      const FaceStats& f = faces[i][side];
      // Door gaps take well under a quarter of any wall here.
      EXPECT_GT(f.hits, 0.75 * length * (b.max_z - b.min_z) * per_square_metre) << "wall box " << i << " side " << side;
      EXPECT_LT(f.low, b.min_z + 0.1) << "wall box " << i << " side " << side << " does not reach the floor";
      EXPECT_GT(f.high, b.max_z - 0.1) << "wall box " << i << " side " << side << " does not reach the ceiling";
    }
  }
  for (size_t i = 0; i < layout_.furniture.size(); ++i) {
    const Box& b = layout_.furniture[i].box;
    EXPECT_GT(furniture_hits[i], 0.5 * (b.max_x - b.min_x) * (b.max_y - b.min_y) * per_square_metre)
        << "furniture " << i;
  }
}

TEST_P(BuildingCloud, FloorsAndCeilingsAreCoveredExceptOverTheVoid) {
  const double per_square_metre = 1.0 / (params_.point_spacing * params_.point_spacing);
  const double t = params_.exterior_wall_thickness;
  const double inner_area = (layout_.width - 2 * t) * (layout_.depth - 2 * t);
  const Rect& v = layout_.stair_void;
  const double void_area = (v.max_x - v.min_x) * (v.max_y - v.min_y);
  const int n = storeyCount();
  std::vector<uint64_t> floor_hits(n, 0), ceiling_hits(n, 0), under_void(n, 0), over_void(n, 0);
  for (const Point& p : points_) {
    for (int s = 0; s < n; ++s) {
      const bool in_void = v.contains(p[0], p[1], -tol_);
      if (std::abs(p[2] - layout_.storeys[s].floor_z) <= tol_ && layout_.footprint().contains(p[0], p[1], -t)) {
        ++floor_hits[s];
        if (in_void) ++under_void[s];
      }
      if (std::abs(p[2] - layout_.storeys[s].ceiling_z) <= tol_ && layout_.footprint().contains(p[0], p[1], -t)) {
        ++ceiling_hits[s];
        if (in_void) ++over_void[s];
      }
    }
  }
  for (int s = 0; s < n; ++s) {
    const double floor_area = inner_area - (s > 0 ? void_area : 0.0);
    const double ceiling_area = inner_area - (s + 1 < n ? void_area : 0.0);
    EXPECT_GT(floor_hits[s], 0.95 * floor_area * per_square_metre) << "storey " << s;
    EXPECT_GT(ceiling_hits[s], 0.95 * ceiling_area * per_square_metre) << "storey " << s;
  }
  // The void cuts the slabs between storeys only: the ground floor under it and
  // the roof over it are whole.
  EXPECT_GT(under_void[0], 0.9 * void_area * per_square_metre);
  EXPECT_GT(over_void[n - 1], 0.9 * void_area * per_square_metre);
  for (int s = 1; s < n; ++s) EXPECT_EQ(under_void[s], 0u) << "floor points in the void on storey " << s;
  for (int s = 0; s + 1 < n; ++s) EXPECT_EQ(over_void[s], 0u) << "ceiling points in the void on storey " << s;
  // Nothing at all inside the opening through the slab.
  for (const Point& p : points_)
    for (int s = 0; s + 1 < n; ++s)
      if (v.contains(p[0], p[1], -tol_) && p[2] > layout_.storeys[s].ceiling_z - tol_ &&
          p[2] < layout_.storeys[s + 1].floor_z + tol_)
        ADD_FAILURE() << "point " << describe(p) << " in the staircase void";
}

TEST_P(BuildingCloud, DoorGapsAreOpenBelowTheLintel) {
  std::vector<uint64_t> inside(layout_.doors.size(), 0), lintel(layout_.doors.size(), 0);
  for (const Point& p : points_) {
    for (size_t i = 0; i < layout_.doors.size(); ++i) {
      const Door& d = layout_.doors[i];
      const Box gap = doorBox(layout_, d);
      if (throughWall(layout_.walls[d.wall], gap, tol_).contains(p[0], p[1], p[2])) ++inside[i];
      Box above = gap;
      above.min_z = gap.max_z;
      above.max_z = gap.max_z + 0.3;
      if (above.contains(p[0], p[1], p[2], tol_)) ++lintel[i];
    }
  }
  for (size_t i = 0; i < layout_.doors.size(); ++i) {
    EXPECT_EQ(inside[i], 0u) << "points in door gap " << i;
    EXPECT_GT(lintel[i], 0u) << "no wall above door " << i;
  }
}

TEST_P(BuildingCloud, LowerStoreyWallsAreAbsentUpstairs) {
  int checked = 0;
  for (const Wall& w : layout_.walls) {
    if (w.last_storey + 1 >= storeyCount()) continue;
    ++checked;
    for (int s = w.last_storey + 1; s < storeyCount(); ++s) {
      const Box gone = throughWall(w, wallBox(layout_, w, s), tol_ + 1e-6);
      uint64_t found = 0;
      for (const Point& p : points_)
        if (gone.contains(p[0], p[1], p[2]) && !inFurniture(p, s)) ++found;
      EXPECT_EQ(found, 0u) << "wall from (" << w.x0 << ", " << w.y0 << ") has points on storey " << s;
    }
  }
  EXPECT_GT(checked, 0) << "no wall stops below the top storey";
}

TEST_P(BuildingCloud, SwitchesRemoveTheirFeatures) {
  BuildingParameters bare = params_;
  bare.furniture = false;
  bare.staircase_void = false;
  bare.clutter_margin = 0.0;
  const BuildingLayout layout = planBuilding(bare);
  EXPECT_TRUE(layout.furniture.empty());
  EXPECT_FALSE(layout.has_stair_void);
  EXPECT_TRUE(layout.vegetation.empty());
  uint64_t outside = 0, count = 0;
  const Rect& v = layout_.stair_void;
  uint64_t in_slab_opening = 0;
  generateBuilding(bare, layout, [&](double x, double y, double z) {
    ++count;
    if (!layout.footprint().contains(x, y, tol_)) ++outside;
    if (v.contains(x, y, -tol_) && std::abs(z - layout.storeys[1].floor_z) <= tol_) ++in_slab_opening;
  });
  EXPECT_EQ(outside, 0u);
  EXPECT_GT(in_slab_opening, 0u) << "without the void the slab should be whole";
  EXPECT_EQ(count, estimatePointCount(bare, layout));
  EXPECT_LT(count, points_.size());
}

INSTANTIATE_TEST_SUITE_P(Buildings, BuildingCloud,
                         ::testing::Values(NamedBuilding{"demo", demoBuilding()}, NamedBuilding{"deep", deepBuilding()},
                                           NamedBuilding{"uneven", unevenBuilding()}),
                         [](const ::testing::TestParamInfo<NamedBuilding>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// LAS output.

TEST(BuildingLas, ReadsBackWithTheSameCountAndPoints) {
  TempDir dir;
  const std::string path = dir.file("building.las");
  const BuildingParameters params = deepBuilding();
  const BuildingLayout layout = planBuilding(params);
  const BuildingLasResult written = writeBuildingLas(path, params, layout);
  ASSERT_TRUE(written.ok) << written.error;
  EXPECT_EQ(written.points, estimatePointCount(params, layout));

  std::vector<float> read;
  const LasReadResult result = readXyz(path, read);
  ASSERT_EQ(result.status, LasReadStatus::kOk) << result.error;
  EXPECT_EQ(result.header.version_major, 1);
  EXPECT_EQ(result.header.version_minor, 2);
  EXPECT_EQ(result.header.point_format, 0);
  EXPECT_DOUBLE_EQ(result.header.scale[0], 0.001);
  EXPECT_EQ(result.points_read, written.points);
  ASSERT_EQ(read.size(), written.points * 3);
  const std::vector<Point> expected = generateAll(params, layout);
  for (size_t i = 0; i < expected.size(); i += 997)
    for (int a = 0; a < 3; ++a) ASSERT_NEAR(read[i * 3 + a], expected[i][a], 0.0006) << "point " << i;
}

TEST(BuildingLas, OffsetSitsAtTheBuildingSoGeoreferencedPointsKeepMillimetres) {
  TempDir dir;
  const std::string path = dir.file("georeferenced.las");
  BuildingParameters params = deepBuilding();
  params.offset = {512345.25, 5412345.75, 310.5};
  const BuildingLayout layout = planBuilding(params);
  const BuildingLasResult written = writeBuildingLas(path, params, layout);
  ASSERT_TRUE(written.ok) << written.error;
  std::vector<float> read;
  const LasReadResult result = readXyz(path, read);
  ASSERT_EQ(result.status, LasReadStatus::kOk) << result.error;
  for (int a = 0; a < 3; ++a) {
    EXPECT_NEAR(result.header.offset[a], params.offset[a], 1.0);
    EXPECT_LE(result.header.min[a], params.offset[a] + 1.0);
    EXPECT_GE(result.header.max[a], params.offset[a]);
  }
  EXPECT_NEAR(result.header.max[0] - result.header.min[0], layout.clutter_area.max_x - layout.clutter_area.min_x, 0.5);
  EXPECT_EQ(result.points_read, written.points);
}

// ---------------------------------------------------------------------------
// E57 output.

TEST(BuildingE57, ScansPutEveryPointBackWhereItWasGenerated) {
  TempDir dir;
  const std::string path = dir.file("building.e57");
  const BuildingParameters params = deepBuilding();
  const BuildingLayout layout = planBuilding(params);
  const BuildingLasResult written = writeBuildingE57(path, params, layout);
  ASSERT_TRUE(written.ok) << written.error;
  EXPECT_EQ(written.points, estimatePointCount(params, layout));

  std::vector<Point> read;
  const E57ReadResult result = readE57File(path, [&](const float* xyz, size_t count) {
    for (size_t i = 0; i < count; ++i) read.push_back({xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]});
  });
  ASSERT_EQ(result.status, E57ReadStatus::kOk) << result.error;
  EXPECT_EQ(result.scans, 4u);
  ASSERT_EQ(read.size(), written.points);

  // Each scan holds a subsequence of the generated points, in generation
  // order: matched greedily, the read points must fall into at most four runs.
  // 0.1 mm steps in the station frame, turned back: within 0.1 mm per axis.
  const std::vector<Point> generated = generateAll(params, layout);
  const auto near = [](const Point& a, const Point& b) {
    return std::abs(a[0] - b[0]) < 1e-4 && std::abs(a[1] - b[1]) < 1e-4 && std::abs(a[2] - b[2]) < 1e-4;
  };
  size_t runs = 1, next = 0;
  for (size_t i = 0; i < read.size();) {
    while (next < generated.size() && !near(read[i], generated[next])) ++next;
    if (next < generated.size()) {
      ++next;
      ++i;
      continue;
    }
    ASSERT_LT(runs, 4u) << "read point " << i << " is not near the generated points that follow the last one matched";
    ++runs;
    next = 0;
  }
}

TEST(BuildingLas, UnwritablePathIsReported) {
  TempDir dir;
  const BuildingParameters params = deepBuilding();
  for (const auto& write : {writeBuildingLas, writeBuildingE57}) {
    const std::string path = dir.file("missing/dir/building.e57");
    const BuildingLasResult written = write(path, params, planBuilding(params));
    EXPECT_FALSE(written.ok);
    EXPECT_NE(written.error.find(path), std::string::npos) << written.error;
  }
}

}  // namespace
