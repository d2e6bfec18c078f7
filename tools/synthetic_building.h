// Deterministic synthetic buildings: a floor plan (walls, doors, furniture,
// staircase void, outdoor clutter) and a scan-like point cloud sampled on its
// surfaces. Used by the demo, the end-to-end tests and the benchmarks, which
// check the generated maps against the plan.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvane_navigation {

// What to build. Lengths are metres.
struct BuildingParameters {
  int storeys = 2;
  double width = 20.0;  // footprint along x
  double depth = 12.0;  // footprint along y
  double storey_height = 3.0;  // floor to floor
  double slab_thickness = 0.25;
  // Per-storey floor-to-floor heights and thicknesses of the slab above each
  // storey (the last one is the roof), lowest storey first, for buildings whose
  // storeys differ. Empty: every storey takes storey_height and slab_thickness.
  std::vector<double> storey_heights;
  std::vector<double> slab_thicknesses;
  double exterior_wall_thickness = 0.3;
  double interior_wall_thickness = 0.12;
  double point_spacing = 0.05;  // sampling step on every surface
  // Scanner range noise, applied along the surface normal. The noise is bounded
  // at kNoiseBoundSigmas * noise_sigma, so tests can use hard tolerances.
  double noise_sigma = 0.004;
  uint64_t seed = 1;
  // Width of the ring around the footprint holding outdoor clutter (ground,
  // vegetation, stray returns); 0 for none.
  double clutter_margin = 4.0;
  // Height of the outdoor ground (and of the clutter on and over it) above
  // the ground floor, for sites where the ground lies higher or lower.
  double ground_level = 0.0;
  // Also scan the roof's top face, as an aerial or rooftop scan sees it.
  bool roof_surface = false;
  bool staircase_void = true;
  bool furniture = true;
  // Added to every emitted point, to imitate georeferenced scans. The layout
  // stays in the local frame (footprint corner at the origin, ground floor at z = 0).
  std::array<double, 3> offset = {0.0, 0.0, 0.0};
};

constexpr double kNoiseBoundSigmas = 3.5;
// Smallest footprint planBuilding accepts: enough for a corridor with rooms on both sides.
constexpr double kMinimumBuildingWidth = 6.0;
constexpr double kMinimumBuildingDepth = 8.0;

// Two storeys, about 20 m x 12 m, around a million points: generated in a fraction of a second.
BuildingParameters demoBuilding();
// Three storeys. At scale 1 the footprint is 80 m x 50 m and the cloud holds
// more than 20 million points; `scale` multiplies both footprint sides (so the
// point count grows roughly with scale squared), clamped to the smallest
// footprint planBuilding accepts.
BuildingParameters benchmarkBuilding(double scale = 1.0);

struct Rect {
  double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
  bool contains(double x, double y, double margin = 0.0) const {
    return x >= min_x - margin && x <= max_x + margin && y >= min_y - margin && y <= max_y + margin;
  }
};

struct Box {
  double min_x = 0, min_y = 0, min_z = 0, max_x = 0, max_y = 0, max_z = 0;
  bool contains(double x, double y, double z, double margin = 0.0) const {
    return x >= min_x - margin && x <= max_x + margin && y >= min_y - margin &&
           y <= max_y + margin && z >= min_z - margin && z <= max_z + margin;
  }
};

struct Storey {
  double floor_z = 0;    // top of the floor slab
  double ceiling_z = 0;  // underside of the slab above
};

enum class WallKind { kExterior, kCorridor, kPartition };

// An axis-aligned wall given by its centre line; it fills the storeys
// first_storey..last_storey from floor to ceiling, except for its door gaps.
struct Wall {
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // centre line, x0 <= x1 and y0 <= y1
  double thickness = 0;
  int first_storey = 0;
  int last_storey = 0;  // inclusive
  WallKind kind = WallKind::kPartition;
  bool runsAlongX() const { return y0 == y1; }
  bool existsOn(int storey) const { return storey >= first_storey && storey <= last_storey; }
};

// An opening through a wall on one storey, from the floor up to `height`.
struct Door {
  int wall = 0;  // index into BuildingLayout::walls
  int storey = 0;
  double center_x = 0, center_y = 0;  // on the wall's centre line
  double width = 0;
  double height = 0;
};

enum class FurnitureKind {
  kTable,    // top plate on four legs: the space under it is open
  kCabinet,  // solid box
  kShelf,    // tall solid box standing near a wall
};

struct Furniture {
  FurnitureKind kind = FurnitureKind::kCabinet;
  int storey = 0;
  Box box;  // bounds of every surface of the piece, legs included
};

enum class RoomKind { kRoom, kCorridor, kOpenPlan, kStairwell };

// Clear floor area between wall faces.
struct Room {
  RoomKind kind = RoomKind::kRoom;
  int storey = 0;
  Rect area;
};

// A vegetation-like cluster of points outside the building.
struct VegetationBlob {
  double x = 0, y = 0, z = 0;  // centre
  double radius = 0;
  uint32_t points = 0;
};

struct BuildingLayout {
  double width = 0;  // footprint [0, width] x [0, depth]
  double depth = 0;
  double slab_thickness = 0;  // the roof's, which is every slab's unless they differ
  std::vector<Storey> storeys;
  std::vector<Wall> walls;
  std::vector<Door> doors;
  std::vector<Room> rooms;
  std::vector<Furniture> furniture;
  // Opening through every slab between two storeys (not the ground slab nor the roof).
  bool has_stair_void = false;
  Rect stair_void;
  // Outdoor clutter lies in `clutter_area` but outside `footprint()` grown by `clutter_gap`.
  Rect clutter_area;
  double clutter_gap = 0;
  double ground_spacing = 0;  // step of the sparse outdoor ground points
  std::vector<VegetationBlob> vegetation;
  uint32_t stray_points = 0;

  Rect footprint() const { return {0.0, 0.0, width, depth}; }
  double roofTop() const { return storeys.empty() ? 0.0 : storeys.back().ceiling_z + slab_thickness; }
};

// The solid part of `wall` on `storey` (ignoring its doors), floor to ceiling.
Box wallBox(const BuildingLayout& layout, const Wall& wall, int storey);
// The empty gap a door leaves in its wall.
Box doorBox(const BuildingLayout& layout, const Door& door);

// Plans the building; the same BuildingParameters always gives the same layout. Throws
// std::invalid_argument when the footprint cannot hold a corridor with rooms (see
// kMinimumBuilding*) or a size is out of range.
BuildingLayout planBuilding(const BuildingParameters& params);

// Streams the scan points (params.offset added) to `emit`: both faces of every
// wall, the door reveals, floors and ceilings with the staircase void cut out,
// the exterior facade over the slab edges, the furniture and the outdoor clutter.
// Nothing is buffered, so the cloud may be far larger than memory. The same
// BuildingParameters and layout always give the same points in the same order.
void generateBuilding(const BuildingParameters& params, const BuildingLayout& layout,
                      const std::function<void(double x, double y, double z)>& emit);

// Exactly the number of points generateBuilding emits.
uint64_t estimatePointCount(const BuildingParameters& params, const BuildingLayout& layout);

struct BuildingLasResult {
  bool ok = false;
  uint64_t points = 0;
  std::string error;  // set unless ok
};

// Writes the building as LAS 1.2 (1.4 beyond 2^32 points), point format 0, 1 mm
// resolution, with the LAS offset at the building's corner, point by point as
// generated. A partly written file is removed on failure.
BuildingLasResult writeBuildingLas(const std::string& path, const BuildingParameters& params,
                                   const BuildingLayout& layout);

// The same as writeBuildingLas, compressed as LAZ (point format 0, chunks of
// 50,000 points, with a chunk table): the same points in the same order.
BuildingLasResult writeBuildingLaz(const std::string& path, const BuildingParameters& params,
                                   const BuildingLayout& layout);

// Writes the building's points as a SLAM map would be written: binary PCD
// (fields x y z intensity, 4-byte floats) when `path` ends in .pcd, binary
// little-endian PLY (double x y z, then a float intensity) when it ends in
// .ply. The points are generated twice, once to count them for the header,
// never held. A partly written file is removed on failure.
BuildingLasResult writeBuildingCloud(const std::string& path, const BuildingParameters& params,
                                     const BuildingLayout& layout);

// Writes the building as E57 in four scans, one per scanner station spread
// over the footprint: each point goes to its nearest station (in plan) and is
// stored in that station's frame as 0.1 mm scaled integers, with the
// station's pose (a turn about z and its position) mapping it back. The points
// are generated once per station and once more for the bounds, never held. A
// partly written file is removed on failure.
BuildingLasResult writeBuildingE57(const std::string& path, const BuildingParameters& params,
                                   const BuildingLayout& layout);

// A human-readable JSON description of the building and its layout.
std::string layoutJson(const BuildingParameters& params, const BuildingLayout& layout);

}  // namespace korvane_navigation
