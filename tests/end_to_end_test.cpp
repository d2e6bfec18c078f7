// A whole run on a generated two-storey building, checked against its plan
// through the written PNG and YAML, read back the way map servers read them.
#include <cmath>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <yaml-cpp/yaml.h>

#include "support/test_support.h"
#include "synthetic_building.h"

using namespace korvane_navigation;
using namespace test_support;

namespace {

constexpr uint8_t kOccupiedPixel = 0;
constexpr uint8_t kFreePixel = 254;
constexpr uint8_t kUnknownPixel = 205;

// The map frame of the run: a quarter turn about z, then a shift.
struct MapFrame {
  double tx = 3.0, ty = -4.0;
  // (x, y) of the building plan -> (x, y) in the map frame.
  std::pair<double, double> operator()(double x, double y) const { return {-y + tx, x + ty}; }
};

struct FloorMap {
  cv::Mat image;
  double resolution = 0;
  double origin_x = 0, origin_y = 0;

  // The pixel under a map-frame point, or -1 outside the image.
  int at(double x, double y) const {
    const int col = static_cast<int>(std::floor((x - origin_x) / resolution));
    const int row_from_bottom = static_cast<int>(std::floor((y - origin_y) / resolution));
    const int row = image.rows - 1 - row_from_bottom;
    if (col < 0 || row < 0 || col >= image.cols || row >= image.rows) return -1;
    return image.at<uint8_t>(row, col);
  }
};

FloorMap loadFloor(const std::string& directory, const std::string& name) {
  const YAML::Node yaml = YAML::LoadFile(directory + "/" + name + ".yaml");
  FloorMap map;
  map.image = cv::imread(directory + "/" + yaml["image"].as<std::string>(), cv::IMREAD_UNCHANGED);
  map.resolution = yaml["resolution"].as<double>();
  map.origin_x = yaml["origin"][0].as<double>();
  map.origin_y = yaml["origin"][1].as<double>();
  return map;
}

class BuildingRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const BuildingParameters params = demoBuilding();
    layout_ = planBuilding(params);
    ASSERT_TRUE(writeBuildingLas(dir_->file("building.las"), params, layout_).ok);

    // One sensor origin for both floors: in the ground floor's corridor.
    const Room* corridor = nullptr;
    for (const Room& room : layout_.rooms) {
      if (room.kind == RoomKind::kCorridor && room.storey == 0) corridor = &room;
    }
    ASSERT_NE(corridor, nullptr);
    const auto origin = frame_((corridor->area.min_x + corridor->area.max_x) / 2,
                               (corridor->area.min_y + corridor->area.max_y) / 2);
    std::string floors = "[";
    for (size_t s = 0; s < layout_.storeys.size(); ++s) {
      const double floor_z = layout_.storeys[s].floor_z;
      floors += (s ? ", " : "") + std::string("{\"floor_name\": \"L") + std::to_string(s + 1) +
                "\", \"min_height\": " + std::to_string(floor_z + 0.1) +
                ", \"max_height\": " + std::to_string(floor_z + 1.8) + "}";
    }
    floors += "]";
    const std::string translation =
        "[" + std::to_string(frame_.tx) + ", " + std::to_string(frame_.ty) + ", 0]";
    const std::string sensor = "[" + std::to_string(origin.first) + ", " +
                               std::to_string(origin.second) + ", " +
                               std::to_string(layout_.storeys[0].floor_z + 1.0) + "]";
    writeFile(dir_->file("config.json"),
              configJson("maps", "building.las", 0.05, 0.05, floors, "[0.70710678, 0, 0, 0.70710678]",
                         translation, sensor));
    result_ = new CommandResult(runMapGenerator({"config.json"}, dir_->path()));
  }
  static void TearDownTestSuite() {
    delete result_;
    delete dir_;
  }

  FloorMap floor(int storey) const { return loadFloor(dir_->file("maps"), "L" + std::to_string(storey + 1)); }

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
    for (const Furniture& piece : layout_.furniture) {
      if (piece.storey == storey && x > piece.box.min_x - margin && x < piece.box.max_x + margin &&
          y > piece.box.min_y - margin && y < piece.box.max_y + margin) {
        return true;
      }
    }
    return false;
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
    const FloorMap map = floor(storey);
    int samples = 0, occupied = 0, doors = 0;
    for (const Wall& wall : layout_.walls) {
      if (!wall.existsOn(storey)) continue;
      for (const auto& p : wallSamples(wall, storey, 0.15)) {
        ++samples;
        occupied += map.at(p.first, p.second) == kOccupiedPixel;
      }
    }
    EXPECT_GT(samples, 500);
    EXPECT_EQ(occupied, samples);
    for (const Door& door : layout_.doors) {
      if (door.storey != storey) continue;
      ++doors;
      const auto p = frame_(door.center_x, door.center_y);
      const int pixel = map.at(p.first, p.second);
      EXPECT_NE(pixel, kOccupiedPixel) << "door at " << door.center_x << ", " << door.center_y;
      // Inside the building rays cross every door; the entrance may see none.
      if (layout_.walls[door.wall].kind != WallKind::kExterior) {
        EXPECT_EQ(pixel, kFreePixel) << "door at " << door.center_x << ", " << door.center_y;
      }
    }
    EXPECT_GT(doors, 3);
  }
  // The upper floor lacks the walls that stand on the lower floor only.
  const FloorMap upper = floor(1);
  int lower_only = 0;
  for (const Wall& wall : layout_.walls) {
    if (wall.existsOn(1) || !wall.existsOn(0)) continue;
    ++lower_only;
    int samples = 0, occupied = 0;
    for (const auto& p : wallSamples(wall, 0, 0.4)) {
      if (underFurniture(1, p.second - frame_.ty, frame_.tx - p.first, 0.1)) continue;
      ++samples;
      occupied += upper.at(p.first, p.second) == kOccupiedPixel;
    }
    EXPECT_GT(samples, 10);
    EXPECT_EQ(occupied, 0) << "wall from " << wall.x0 << ", " << wall.y0;
  }
  EXPECT_GT(lower_only, 0);
}

TEST_F(BuildingRun, RoomsAreFreeAndTheOutsideMostlyUnknown) {
  ASSERT_EQ(result_->status, 0) << result_->output;
  for (int storey = 0; storey < 2; ++storey) {
    SCOPED_TRACE("storey " + std::to_string(storey));
    const FloorMap map = floor(storey);
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
          free += map.at(p.first, p.second) == kFreePixel;
        }
      }
      EXPECT_EQ(free, cells) << "room at " << room.area.min_x << ", " << room.area.min_y;
    }
    // No unknown cell is scattered in free space.
    int scattered = 0;
    for (int row = 1; row + 1 < map.image.rows; ++row) {
      for (int col = 1; col + 1 < map.image.cols; ++col) {
        if (map.image.at<uint8_t>(row, col) != kUnknownPixel) continue;
        int free_neighbours = 0;
        for (int dr = -1; dr <= 1; ++dr)
          for (int dc = -1; dc <= 1; ++dc) free_neighbours += map.image.at<uint8_t>(row + dr, col + dc) == kFreePixel;
        scattered += free_neighbours == 8;
      }
    }
    EXPECT_EQ(scattered, 0);
  }
  const FloorMap map = floor(0);
  int outside = 0, unknown = 0;
  for (int row = 0; row < map.image.rows; ++row) {
    for (int col = 0; col < map.image.cols; ++col) {
      // Back from the map frame to the plan: x = y_map - ty, y = -(x_map - tx).
      const double x_map = map.origin_x + (col + 0.5) * map.resolution;
      const double y_map = map.origin_y + (map.image.rows - 1 - row + 0.5) * map.resolution;
      if (layout_.footprint().contains(y_map - frame_.ty, frame_.tx - x_map, 1.0)) continue;
      ++outside;
      unknown += map.image.at<uint8_t>(row, col) == kUnknownPixel;
    }
  }
  ASSERT_GT(outside, 1000);
  EXPECT_GT(unknown, outside / 2) << unknown << " of " << outside;
}

}  // namespace
