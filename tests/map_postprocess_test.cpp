// Floor maps: the grid projected from the cells against the projection of
// octomap's own tree, built by its ray insertion, and the exported image and
// description.
#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <tuple>

#include "core/cell_block_map.h"
#include "core/plain_decimal.h"
#include "core/ray_walk.h"
#include "map_postprocess.h"
#include "octomap_oracle.h"
#include "support/test_support.h"
#include "synthetic_building.h"

using namespace test_support;
using korvane_navigation::octomapTreeOfBand;
using korvane_navigation::projectTree;
using korvane_navigation::GridMap;
using korvane_navigation::MapPostProcess;

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

std::shared_ptr<Cloud> makeCloud(const std::vector<Point>& points) {
  auto cloud = std::make_shared<Cloud>();
  for (const Point& p : points) cloud->push_back(pcl::PointXYZ(p[0], p[1], p[2]));
  return cloud;
}

std::vector<Point> randomPoints(size_t n, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<Point> points;
  for (size_t i = 0; i < n; ++i) points.push_back({u(rng), u(rng), u(rng)});
  return points;
}

struct TreeCase {
  std::string name;
  std::vector<Point> points;
  double resolution;
  double min_z, max_z;
  octomath::Vector3 origin;
};

TEST(GenerateNavMap, MatchesTheProjectionOfOctomapsOwnTreeCellForCell) {
  std::vector<Point> wall;  // one wall crossed by many rays
  for (int i = 0; i < 60; ++i)
    for (int k = 0; k < 20; ++k) wall.push_back({3.0f, -1.5f + 0.05f * i, 0.05f * k});
  std::vector<Point> outside = randomPoints(200, -2.0f, 2.0f, 7);
  outside.push_back({2000.0f, 0.0f, 0.5f});   // beyond the key range at 0.05
  outside.push_back({-5000.0f, 1.0f, 0.5f});
  std::vector<Point> origin_cell = {{0.01f, 0.02f, 0.03f}, {0.04f, 0.04f, 0.04f}, {1.0f, 1.0f, 0.0f}};
  std::vector<Point> with_nan = randomPoints(100, -1.0f, 1.0f, 3);
  with_nan.push_back({NAN, 0.0f, 0.5f});
  with_nan.push_back({0.5f, INFINITY, 0.5f});

  std::vector<TreeCase> cases = {
      {"random box", randomPoints(2000, -3.0f, 3.0f, 1), 0.05, -1.0, 1.0, {0, 0, 0}},
      {"coarse resolution", randomPoints(2000, -3.0f, 3.0f, 2), 0.3, -3.0, 3.0, {0, 0, 0}},
      {"wall crossed by many rays", wall, 0.05, 0.0, 0.6, {0, 0, 0.3f}},
      {"points outside the key range", outside, 0.05, -1.0, 1.0, {0, 0, 0}},
      {"points in the origin's cell", origin_cell, 0.05, -1.0, 1.0, {0, 0, 0}},
      {"non-finite points", with_nan, 0.1, -1.0, 1.0, {0, 0, 0}},
      {"origin away from the centre", randomPoints(1000, 10.0f, 14.0f, 4), 0.1, 10.0, 14.0,
       {-7.5f, 3.25f, 11.0f}},
      {"band holds no point", randomPoints(100, 0.0f, 1.0f, 5), 0.05, 5.0, 6.0, {0, 0, 0}},
      {"inverted band", randomPoints(100, 0.0f, 1.0f, 6), 0.05, 1.0, 0.0, {0, 0, 0}},
      // octomap gives up the rays whose walk would step past the key range's last cell.
      {"points in the key range's first and last cells in x",
       {{1638.37f, 3.05f, 0.5f}, {-1638.38f, 2.0f, 0.5f}, {1.0f, 0.0f, 0.5f}}, 0.05, -1.0, 1.0, {0, 0, 0.5f}},
      {"points in the key range's last cell in y", {{1.0f, 1638.36f, 0.5f}, {2.0f, 1638.38f, 0.2f}}, 0.05, -1.0, 1.0,
       {0, 0, 0.5f}},
      // The limits are inclusive, compared in single precision.
      {"points on the band limits", {{1.0f, 0.0f, 0.1f}, {0.0f, 1.0f, 0.3f}, {1, 1, 0.31f}}, 0.05, 0.1, 0.3,
       {0, 0, 0.2f}},
  };
  // The demo building's floors, and one seen from far outside it.
  std::vector<Point> building;
  korvane_navigation::BuildingParameters params = korvane_navigation::demoBuilding();
  params.point_spacing = 0.25;
  korvane_navigation::generateBuilding(params, korvane_navigation::planBuilding(params),
                                       [&](double x, double y, double z) {
                                         building.push_back({static_cast<float>(x), static_cast<float>(y),
                                                             static_cast<float>(z)});
                                       });
  cases.push_back({"demo building, ground floor", building, 0.05, 0.1, 1.8, {10.0f, 6.0f, 1.0f}});
  cases.push_back({"demo building, upper floor", building, 0.1, 3.1, 4.8, {10.0f, 6.0f, 1.0f}});
  cases.push_back({"demo building, coarse", building, 0.25, 0.1, 1.8, {10.0f, 6.0f, 1.0f}});
  cases.push_back({"demo building, far sensor origin", building, 0.2, 0.1, 1.8, {-25.0f, 40.0f, 9.0f}});

  MapPostProcess post;  // one for all cases, as for all floors of a run
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto cloud = makeCloud(c.points);
    post.resolution_ = c.resolution;
    post.min_height_ = c.min_z;
    post.max_height_ = c.max_z;
    post.sensor_origin_ = c.origin;
    const auto reference = octomapTreeOfBand(cloud->points, c.resolution, c.min_z, c.max_z, c.origin);
    const auto expected = projectTree(*reference);
    // The rays shared out among threads, evenly or not, give the same map.
    for (const unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(std::to_string(threads) + " threads");
      post.threads_ = threads;
      ASSERT_TRUE(post.constructOctMap(cloud));
      EXPECT_EQ(cloud->size(), c.points.size()) << "the cloud is left unchanged";
      ASSERT_EQ(post.generateNavMap(), expected != nullptr);
      if (!expected) continue;
      const GridMap& grid = *post.gridMap();
      EXPECT_EQ(grid.width, expected->width);
      EXPECT_EQ(grid.height, expected->height);
      EXPECT_EQ(grid.origin, expected->origin);
      EXPECT_EQ(grid.data, expected->data);
      EXPECT_EQ(post.floorStats().leaves, reference->getNumLeafNodes());
    }
  }
}

// Across the key range in x, half of it in z and some way in y: about
// 100650 cells, more than the 100000 keys octomap's ray buffer holds, over a
// grid narrow enough for the floor stage to take on.
TEST(ConstructOctMap, RaysLongerThanOctomapsRayBufferAreTracedInFull) {
  MapPostProcess post;
  post.resolution_ = 0.01;
  const octomath::Vector3 origin(-320.0f, -20.0f, -326.0f), end(320.0f, 20.0f, 0.5f);
  post.sensor_origin_ = origin;
  ASSERT_TRUE(post.constructOctMap(makeCloud({{end.x(), end.y(), end.z()}})));
  const auto marks = [&](const octomath::Vector3& at) {
    octomap::OcTreeKey key;
    EXPECT_TRUE(korvane_navigation::pointToKey(at, 1.0 / post.resolution_, key));
    for (size_t i = 0; i < post.cells().blockCount(); ++i) {
      if (post.cells().blockCodeAt(i) != korvane_navigation::blockCode(key)) continue;
      const korvane_navigation::CellBlock& block = post.cells().blockAt(i);
      const unsigned index = korvane_navigation::cellIndexInBlock(key);
      const auto bit = [&](const auto& words) { return words[index / 64] >> (index % 64) & 1u; };
      return bit(block.occupied) ? 2 : bit(block.free) ? 1 : 0;
    }
    return 0;
  };
  for (const double along : {0.01, 0.5, 0.99}) {
    EXPECT_EQ(marks(origin + (end - origin) * static_cast<float>(along)), 1) << along << ": free";
  }
  EXPECT_EQ(marks(end), 2) << "occupied";
}

// A post-processor whose floor holds exactly the given finest cells.
void setCells(MapPostProcess& post, const std::vector<std::pair<octomap::OcTreeKey, bool>>& cells,
              double resolution = 0.05) {
  post.cells() = korvane_navigation::CellBlockMap();
  post.resolution_ = resolution;
  korvane_navigation::CellBlockMap::Cursor cursor;
  for (const auto& [key, occupied] : cells) {
    if (occupied) {
      post.cells().markOccupied(cursor, key);
    } else {
      post.cells().markFree(cursor, key);
    }
  }
}

octomap::OcTreeKey key(int x, int y, int z = 32768) {
  return octomap::OcTreeKey(static_cast<uint16_t>(x), static_cast<uint16_t>(y), static_cast<uint16_t>(z));
}

TEST(GenerateNavMap, GridExtentAndOriginFollowTheOctreesMetricBounds) {
  MapPostProcess post;
  setCells(post, {{key(32768, 32768), true}});
  ASSERT_TRUE(post.generateNavMap());
  EXPECT_EQ(post.gridMap()->data, (std::vector<int32_t>{100, -1, -1, -1}));  // 2 x 2: the bounds reach the next cell
  EXPECT_NEAR(post.gridMap()->origin[0], 0.0, 1e-6);
  // 0.35 narrows to just below a cell boundary, 1.05 does not: a column more, no row.
  setCells(post, {{key(32768 + 7, 32768 + 20), true}});
  ASSERT_TRUE(post.generateNavMap());
  const GridMap& grid = *post.gridMap();
  EXPECT_EQ(grid.width, 3u);
  EXPECT_EQ(grid.data, (std::vector<int32_t>{-1, 100, -1}));
  EXPECT_NEAR(grid.origin[0], 0.3, 1e-6);
  EXPECT_NEAR(grid.origin[1], 1.0, 1e-6);
  // The origin is the first cell's centre in double precision less half a
  // cell, never narrowed to single precision (-5.07499980926513671875).
  setCells(post, {{key(32768 - 102, 32768 - 54), true}});
  ASSERT_TRUE(post.generateNavMap());
  EXPECT_EQ(post.gridMap()->origin[0], (-102 + 0.5) * 0.05 - 0.5 * 0.05);
}

// The key range at 0.05 m runs from -1638.4 m to 1638.4 m; the tree's metric
// bounds around its last cell lie on or past the range's end.
TEST(GenerateNavMap, PointsInTheLastCellsOfTheKeyRangeAreMapped) {
  struct Case {
    const char* name;
    std::vector<Point> points;
    octomath::Vector3 origin;
  };
  const std::vector<Case> cases = {
      {"last cell in x", {{1638.37f, 3.05f, 1.8f}, {1, 0, 0.5f}}, {0, 0, 1}},
      {"first cell in x", {{-1638.38f, 2.0f, 1.0f}, {1, 0, 0.5f}}, {0, 0, 1}},
      {"last cell in y", {{3.0f, 1638.36f, 1.0f}, {0, 1, 0.5f}}, {0, 0, 1}},
      {"first cell in y", {{3.0f, -1638.39f, 1.0f}, {0, 1, 0.5f}}, {0, 0, 1}},
      {"both ends of x", {{1638.37f, 1, 1}, {-1638.38f, 2, 1}}, {0, 0, 1}},
      {"origin in the last cell", {{1630.0f, 0, 1}}, {1638.37f, 0, 1}},
  };
  MapPostProcess post;
  post.min_height_ = 0.0;
  post.max_height_ = 2.0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    post.sensor_origin_ = c.origin;
    ASSERT_TRUE(post.constructOctMap(makeCloud(c.points)));
    ASSERT_TRUE(post.generateNavMap());
    for (const Point& p : c.points) {
      EXPECT_EQ(test_support::cellAt(*post.gridMap(), p[0], p[1]), GridMap::kOccupied) << p[0] << " " << p[1];
    }
  }
}

TEST(GridKeyRange, CoversTheBoundsCellsAsOctomapKeysThem) {
  struct Case {
    double min, max, resolution;
    uint16_t first;
    uint64_t count;
  };
  const Case cases[] = {
      {0.0, 0.05, 0.05, 32768, 2},         // the bounds reach into the next cell
      {0.3, 0.35, 0.05, 32774, 1},         // 0.35 narrows to just below a border
      {1638.375, 1638.4, 0.05, 65535, 2},  // the far side of the range's last cell
      {-1638.4, -1638.375, 0.05, 0, 1},    // narrows to just below the range's first cell
      {-1.0, 1.0, 0.25, 32764, 9},
  };
  for (const Case& c : cases) {
    const korvane_navigation::GridKeyRange range = korvane_navigation::gridKeyRange(c.min, c.max, c.resolution);
    EXPECT_EQ(range.first, c.first) << c.min;
    EXPECT_EQ(range.count, c.count) << c.min;
  }
}

TEST(GenerateNavMap, CoarseLeavesCoverTheirWholeFootprintAndOccupiedWins) {
  MapPostProcess post;
  std::vector<std::pair<octomap::OcTreeKey, bool>> cells;
  // 64 free cells merge into one leaf of 4 x 4 x 4.
  for (int x = 0; x < 4; ++x)
    for (int y = 0; y < 4; ++y)
      for (int z = 0; z < 4; ++z) cells.push_back({key(32768 + x, 32768 + y, 32768 + z), false});
  cells.push_back({key(32768 + 5, 32768 + 1), true});
  setCells(post, cells);
  ASSERT_TRUE(post.generateNavMap());
  ASSERT_LT(post.floorStats().leaves, 10u) << "the free block must be pruned";
  const GridMap& grid = *post.gridMap();
  for (uint64_t row = 0; row < grid.height; ++row) {
    for (uint64_t col = 0; col < grid.width; ++col) {
      const int32_t expected = col < 4 && row < 4 ? GridMap::kFree
                               : col == 5 && row == 1 ? GridMap::kOccupied
                                                      : GridMap::kUnknown;
      EXPECT_EQ(grid.data[row * grid.width + col], expected) << col << "," << row;
    }
  }
  GridMap two(2, 1, 0.05);
  for (const auto& [col, occupied] : std::vector<std::pair<int, bool>>{{0, true}, {0, false}, {1, false}, {1, true}}) {
    korvane_navigation::projectLeaf(two, key(0, 0), key(col, 0), 1, occupied);
  }
  EXPECT_EQ(two.data, (std::vector<int32_t>{100, 100})) << "occupied wins whatever the order";
}

TEST(MapExport, PixelsNumbersAndDescription) {
  using namespace korvane_navigation;
  const std::vector<std::pair<int32_t, int>> pixels = {{-1, 205}, {0, 254}, {25, 254}, {26, 205},
                                                       {64, 205}, {65, 0},  {100, 0},  {101, 205}};
  for (const auto& [value, pixel] : pixels) EXPECT_EQ(occupancyPixel(value), pixel) << value;
  GridMap grid(2, 2, 0.05);
  grid.data = {100, -1, -1, -1};  // the image's top row is the grid's last
  EXPECT_EQ(gridImagePixels(grid), (std::vector<uint8_t>{205, 205, 0, 205}));

  const std::vector<std::pair<double, std::string>> numbers = {
      {0.05, "0.05"},     {0.65, "0.65"},     {0.0, "0"},       {-12.34, "-12.34"}, {-1234.5, "-1234.5"},
      {0.1234, "0.1234"}, {-0.975, "-0.975"}, {-1e-9, "0"},     {3.7e-10, "0"}};
  for (const auto& [number, text] : numbers) EXPECT_EQ(plainDecimal(number), text);

  grid.origin = {-12.34, 3.2, 0.0};
  EXPECT_EQ(navMapDescription("L1.png", grid),
            "image: L1.png\nmode: trinary\nresolution: 0.05\norigin: [-12.34, 3.2, 0]\n"
            "negate: 0\noccupied_thresh: 0.65\nfree_thresh: 0.196");
}

TEST(MapExport, WrittenMapLoadsBackCellForCell) {
  TempDir dir;
  MapPostProcess post;
  std::mt19937 rng(11);
  std::vector<std::pair<octomap::OcTreeKey, bool>> cells;
  for (int i = 0; i < 300; ++i) {
    cells.push_back({key(30000 + rng() % 40, 20000 + rng() % 25, 32768 + rng() % 3), rng() % 3 == 0});
  }
  setCells(post, cells, 0.1234);
  ASSERT_TRUE(post.generateNavMap());
  // Origins far from zero must survive the round trip exactly.
  ASSERT_TRUE(post.saveNavMaps(dir.file("maps/site/"), "L1"));
  const GridMap& written = *post.gridMap();
  const GridMap loaded = loadMap(dir.file("maps/site/L1.yaml"));
  EXPECT_EQ(loaded.width, written.width);
  EXPECT_EQ(loaded.height, written.height);
  EXPECT_EQ(loaded.data, written.data);
  EXPECT_EQ(loaded.resolution, 0.1234);
  EXPECT_NEAR(loaded.origin[0], (30000 - 32768) * 0.1234, 1e-3);
  EXPECT_NEAR(loaded.origin[1], (20000 - 32768) * 0.1234, 1e-3);

  // A description that cannot be written fails the save.
  LogCapture log;
  ASSERT_EQ(::mkdir(dir.file("maps/site/L2.yaml").c_str(), 0755), 0);
  EXPECT_FALSE(post.saveNavMaps(dir.file("maps/site"), "L2"));
  EXPECT_TRUE(log.has(google::GLOG_ERROR, "Failed to save map description: " + dir.file("maps/site/L2.yaml")));
}

}  // namespace
