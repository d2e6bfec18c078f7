// A whole run on a generated two-storey building, checked against its plan
// through the written PNG and YAML, read back the way map servers read them.
#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <sstream>

#include "support/test_support.h"
#include "synthetic_building.h"

using namespace korvane_navigation;
using namespace test_support;

namespace {

// The map frame of the run: a quarter turn about z, then a shift.
struct MapFrame {
  double tx = 3.0, ty = -4.0;
  // (x, y) of the building plan -> (x, y) in the map frame.
  std::pair<double, double> operator()(double x, double y) const { return {-y + tx, x + ty}; }
};

class BuildingRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const BuildingParameters params = demoBuilding();
    layout_ = planBuilding(params);
    ASSERT_TRUE(writeBuildingLas(dir_->file("building.las"), params, layout_).ok);

    // One sensor origin for both floors: in the ground floor's corridor.
    const auto corridor = std::find_if(layout_.rooms.begin(), layout_.rooms.end(), [](const Room& room) {
      return room.kind == RoomKind::kCorridor && room.storey == 0;
    });
    ASSERT_NE(corridor, layout_.rooms.end());
    const auto origin = frame_((corridor->area.min_x + corridor->area.max_x) / 2,
                               (corridor->area.min_y + corridor->area.max_y) / 2);
    std::ostringstream floors, translation, sensor;
    for (size_t s = 0; s < layout_.storeys.size(); ++s) {
      floors << (s ? ", " : "[") << "{\"floor_name\": \"L" << s + 1 << "\", \"min_height\": "
             << layout_.storeys[s].floor_z + 0.1 << ", \"max_height\": " << layout_.storeys[s].floor_z + 1.8 << "}";
    }
    floors << "]";
    translation << "[" << frame_.tx << ", " << frame_.ty << ", 0]";
    sensor << "[" << origin.first << ", " << origin.second << ", " << layout_.storeys[0].floor_z + 1.0 << "]";
    writeFile(dir_->file("config.json"), configJson("maps", "building.las", 0.05, 0.05, floors.str(),
                                                    "[0.70710678, 0, 0, 0.70710678]", translation.str(),
                                                    sensor.str()));
    result_ = new CommandResult(runMapGenerator({"config.json"}, dir_->path()));
  }
  static void TearDownTestSuite() {
    delete result_;
    delete dir_;
  }

  GridMap floor(int storey) const { return loadMap(dir_->file("maps/L" + std::to_string(storey + 1) + ".yaml")); }

  // Samples on both faces of a wall (a scan sees faces, not the inside of a
  // wall), `margin` metres clear of its ends and of door gaps.
  std::vector<std::pair<double, double>> wallSamples(const Wall& wall, int storey, double margin) const {
    std::vector<std::pair<double, double>> samples;
    const double length = wall.runsAlongX() ? wall.x1 - wall.x0 : wall.y1 - wall.y0;
    for (double s = margin; s <= length - margin; s += 0.1) {
      for (const double face : {-wall.thickness / 2, wall.thickness / 2}) {
        const double x = wall.runsAlongX() ? wall.x0 + s : wall.x0 + face;
        const double y = wall.runsAlongX() ? wall.y0 + face : wall.y0 + s;
        bool in_door = false;
        for (const Door& door : layout_.doors) {
          if (door.storey != storey || &layout_.walls[door.wall] != &wall) continue;
          const double along = wall.runsAlongX() ? x - door.center_x : y - door.center_y;
          in_door |= std::fabs(along) < door.width / 2 + margin;
        }
        if (!in_door) samples.push_back(frame_(x, y));
      }
    }
    return samples;
  }

  bool underFurniture(int storey, double x, double y, double margin) const {
    return std::any_of(layout_.furniture.begin(), layout_.furniture.end(), [&](const Furniture& piece) {
      return piece.storey == storey && piece.box.contains(x, y, piece.box.min_z, margin);
    });
  }

  static TempDir* dir_;
  static BuildingLayout layout_;
  static CommandResult* result_;
  static MapFrame frame_;
};

TempDir* BuildingRun::dir_ = nullptr;
BuildingLayout BuildingRun::layout_;
CommandResult* BuildingRun::result_ = nullptr;
MapFrame BuildingRun::frame_;

TEST_F(BuildingRun, WallsStandWhereThePlanPutsThemWithTheirDoorsOpen) {
  ASSERT_EQ(result_->status, 0) << result_->output;
  for (const char* file : {"map.pcd", "L1.png", "L1.yaml", "L2.png", "L2.yaml"}) {
    EXPECT_TRUE(fileExists(dir_->file(std::string("maps/") + file))) << file;
  }
  for (int storey = 0; storey < 2; ++storey) {
    SCOPED_TRACE("storey " + std::to_string(storey));
    const GridMap map = floor(storey);
    int samples = 0, occupied = 0, doors = 0;
    for (const Wall& wall : layout_.walls) {
      if (!wall.existsOn(storey)) continue;
      for (const auto& p : wallSamples(wall, storey, 0.15)) {
        ++samples;
        occupied += cellAt(map, p.first, p.second) == GridMap::kOccupied;
      }
    }
    EXPECT_GT(samples, 500);
    EXPECT_EQ(occupied, samples);
    for (const Door& door : layout_.doors) {
      if (door.storey != storey) continue;
      ++doors;
      const auto p = frame_(door.center_x, door.center_y);
      const int32_t cell = cellAt(map, p.first, p.second);
      EXPECT_NE(cell, GridMap::kOccupied) << "door at " << door.center_x << ", " << door.center_y;
      // Inside the building rays cross every door; the entrance may see none.
      if (layout_.walls[door.wall].kind != WallKind::kExterior) {
        EXPECT_EQ(cell, GridMap::kFree) << "door at " << door.center_x << ", " << door.center_y;
      }
    }
    EXPECT_GT(doors, 3);
  }
  // The upper floor lacks the walls that stand on the lower floor only.
  const GridMap upper = floor(1);
  int lower_only = 0;
  for (const Wall& wall : layout_.walls) {
    if (wall.existsOn(1) || !wall.existsOn(0)) continue;
    ++lower_only;
    int samples = 0, occupied = 0;
    for (const auto& p : wallSamples(wall, 0, 0.4)) {
      if (underFurniture(1, p.second - frame_.ty, frame_.tx - p.first, 0.1)) continue;
      ++samples;
      occupied += cellAt(upper, p.first, p.second) == GridMap::kOccupied;
    }
    EXPECT_GT(samples, 10);
    EXPECT_EQ(occupied, 0) << "wall from " << wall.x0 << ", " << wall.y0;
  }
  EXPECT_GT(lower_only, 0);
}

TEST_F(BuildingRun, RoomsAreFreeWallToWall) {
  ASSERT_EQ(result_->status, 0) << result_->output;
  for (int storey = 0; storey < 2; ++storey) {
    SCOPED_TRACE("storey " + std::to_string(storey));
    const GridMap map = floor(storey);
    for (const Room& room : layout_.rooms) {
      // A corridor that ends in the open entrance keeps a wedge no ray crosses.
      if (room.storey != storey || room.kind == RoomKind::kCorridor) continue;
      int cells = 0, free = 0;
      for (double x = room.area.min_x + 0.15; x < room.area.max_x - 0.15; x += 0.05) {
        for (double y = room.area.min_y + 0.15; y < room.area.max_y - 0.15; y += 0.05) {
          if (underFurniture(storey, x, y, 0.15)) continue;
          if (layout_.has_stair_void && layout_.stair_void.contains(x, y, 0.15)) continue;
          const auto p = frame_(x, y);
          ++cells;
          free += cellAt(map, p.first, p.second) == GridMap::kFree;
        }
      }
      EXPECT_EQ(free, cells) << "room at " << room.area.min_x << ", " << room.area.min_y;
    }
  }
}

}  // namespace
