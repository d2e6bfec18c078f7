#include "core/storey_finder.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/coordinates.h"
#include "support/test_support.h"
#include "synthetic_building.h"
#include "core/voxel_thinning.h"

using namespace korvane_navigation;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHeightTolerance = 0.05;
constexpr float kVoxelSize = 0.05f;

// A configuration's map transform: a turn about z and a shift.
struct Placement {
  double yaw_degrees = 0;
  float x = 0, y = 0, z = 0;
};

// The cloud as a run prepares it: thinned, then moved into the map frame.
PointVector inMapFrame(const PointVector& raw, const Placement& at) {
  const double half = at.yaw_degrees * kPi / 360.0;
  const Eigen::Affine3d transform =
      rigidTransform(std::cos(half), 0.0, 0.0, std::sin(half), Eigen::Vector3d(at.x, at.y, at.z));
  PointVector points = voxelDownsample(raw, kVoxelSize);
  for (pcl::PointXYZ& p : points) p.getVector3fMap() = (transform * p.getVector3fMap().cast<double>()).cast<float>();
  return points;
}

PointVector scanOf(const BuildingParameters& params, const BuildingLayout& layout, bool top_ceiling_unscanned) {
  const double top_ceiling = layout.storeys.back().ceiling_z;
  PointVector raw;
  generateBuilding(params, layout, [&](double x, double y, double z) {
    if (top_ceiling_unscanned && std::abs(z - top_ceiling) < 0.02) return;
    raw.emplace_back(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
  });
  return raw;
}

struct BuildingCase {
  const char* name;
  BuildingParameters params;
  Placement at;
  // Drops the top storey's ceiling from the scan, as when it was out of the scanner's reach.
  bool top_ceiling_unscanned = false;
};

void PrintTo(const BuildingCase& c, std::ostream* out) { *out << c.name; }

BuildingParameters building(std::vector<double> heights, std::vector<double> slabs) {
  BuildingParameters params;
  params.storeys = static_cast<int>(heights.size());
  params.storey_heights = std::move(heights);
  params.slab_thicknesses = std::move(slabs);
  return params;
}

std::vector<BuildingCase> buildingCases() {
  std::vector<BuildingCase> cases;
  cases.push_back({"one_tall_storey", building({4.2}, {0.3}), {30, 5, -3, 1.5f}});

  // Ground outside above the ground floor, over an area far larger than the building.
  BuildingParameters raised = building({3.2, 4.0}, {0.2, 0.35});
  raised.ground_level = 0.8;
  raised.clutter_margin = 12.0;
  cases.push_back({"two_storeys_in_raised_ground", raised, {90, -4, 7, -2}});

  BuildingParameters sunken = building({4.5, 2.9, 3.6}, {0.4, 0.16, 0.3});
  sunken.ground_level = -1.5;
  sunken.furniture = false;
  sunken.seed = 5;
  cases.push_back({"three_storeys_on_low_ground", sunken, {-45, 0, 0, 12.3f}});

  BuildingParameters roofed = building({3.0, 3.5, 2.8, 4.2}, {0.25, 0.5, 0.18, 0.3});
  roofed.clutter_margin = 0.0;
  roofed.roof_surface = true;
  roofed.seed = 9;
  cases.push_back({"four_storeys_and_their_roof", roofed, {200, 100, -50, 0.7f}});

  // Unlike a bare roof, a top floor with walls on it is a storey even with its ceiling unseen.
  cases.push_back({"top_ceiling_unscanned", building({3.4, 2.9}, {0.3, 0.2}), {120, 0, 3, 0.2f}, true});

  // As the demo configuration places the demo building.
  cases.push_back({"demo", demoBuilding(), {90, 6, -10, 0}});
  return cases;
}

class StoreysOfBuilding : public ::testing::TestWithParam<BuildingCase> {};

TEST_P(StoreysOfBuilding, EveryStoreyIsFoundOnceWithABandBetweenItsFloorAndCeiling) {
  const BuildingCase& c = GetParam();
  const BuildingLayout layout = planBuilding(c.params);
  const StoreyFinderOptions options;
  const std::vector<FoundStorey> found =
      findStoreys(inMapFrame(scanOf(c.params, layout, c.top_ceiling_unscanned), c.at), options);

  ASSERT_EQ(found.size(), layout.storeys.size());
  for (size_t i = 0; i < found.size(); ++i) {
    SCOPED_TRACE("storey " + std::to_string(i));
    const FoundStorey& s = found[i];
    const double floor = layout.storeys[i].floor_z + c.at.z, ceiling = layout.storeys[i].ceiling_z + c.at.z;
    EXPECT_NEAR(s.floor_height, floor, kHeightTolerance);
    EXPECT_GT(s.floor_coverage, 0.8);  // only the stair void and wall bases are missing
    if (c.top_ceiling_unscanned && i + 1 == found.size()) {
      EXPECT_FALSE(s.ceiling_height.has_value());
      EXPECT_NEAR(s.band_max_height, floor + options.robot_height, 0.01);
      continue;
    }
    ASSERT_TRUE(s.ceiling_height.has_value());
    EXPECT_NEAR(*s.ceiling_height, ceiling, kHeightTolerance);
    EXPECT_GT(s.band_min_height, floor + 0.05);
    EXPECT_LT(s.band_max_height, ceiling);
    EXPECT_NEAR(s.band_max_height, std::min(floor + options.robot_height, ceiling - options.ceiling_clearance),
                kHeightTolerance);
    EXPECT_GT(s.ceiling_coverage, 0.8);
    EXPECT_GT(s.confidence, 0.9);
  }
}

INSTANTIATE_TEST_SUITE_P(Buildings, StoreysOfBuilding, ::testing::ValuesIn(buildingCases()),
                         [](const ::testing::TestParamInfo<BuildingCase>& info) { return info.param.name; });

// A bare room scanned on its own: floor, walls and, unless left out, the ceiling.
PointVector singleRoom(double height, bool with_ceiling, double step = 0.03) {
  PointVector raw;
  const double width = 5.0, depth = 4.0;
  const auto add = [&](double x, double y, double z) {
    raw.emplace_back(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
  };
  for (double x = 0; x <= width; x += step)
    for (double y = 0; y <= depth; y += step) {
      add(x, y, 0.0);
      if (with_ceiling) add(x, y, height);
    }
  for (double z = 0; z <= height; z += step) {
    for (double x = 0; x <= width; x += step) add(x, 0.0, z), add(x, depth, z);
    for (double y = 0; y <= depth; y += step) add(0.0, y, z), add(width, y, z);
  }
  return raw;
}

TEST(StoreysOfOneRoom, TheBandStopsUnderTheCeilingOrAtTheRobotsHeight) {
  struct Case {
    const char* name;
    bool with_ceiling;
    double robot_height;
    double band_top;  // above the floor
  };
  const double height = 2.6, lift = -0.7;
  const Case cases[] = {
      {"short robot", true, 1.8, 1.8},
      {"robot taller than the room", true, 3.0, height - 0.1},
      {"no ceiling scanned", false, 3.0, 3.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StoreyFinderOptions options;
    options.robot_height = c.robot_height;
    const std::vector<FoundStorey> found =
        findStoreys(inMapFrame(singleRoom(height, c.with_ceiling), {15, 2, 3, static_cast<float>(lift)}), options);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NEAR(found[0].floor_height, lift, kHeightTolerance);
    EXPECT_EQ(found[0].ceiling_height.has_value(), c.with_ceiling);
    if (c.with_ceiling) EXPECT_NEAR(*found[0].ceiling_height, lift + height, kHeightTolerance);
    EXPECT_NEAR(found[0].band_min_height, lift + 0.1, 0.02);
    EXPECT_NEAR(found[0].band_max_height, lift + c.band_top, 0.02);
    // A floor with nothing over it is a weaker finding.
    if (c.with_ceiling) EXPECT_GT(found[0].confidence, 0.9); else EXPECT_LT(found[0].confidence, 0.6);
  }
}

std::vector<double> floorHeights(const std::vector<FoundStorey>& storeys) {
  std::vector<double> heights;
  for (const FoundStorey& s : storeys) heights.push_back(s.floor_height);
  return heights;
}

void expectFloorsNear(const std::vector<FoundStorey>& found, const std::vector<double>& floors) {
  ASSERT_EQ(found.size(), floors.size()) << ::testing::PrintToString(floorHeights(found));
  for (size_t i = 0; i < floors.size(); ++i) EXPECT_NEAR(found[i].floor_height, floors[i], kHeightTolerance) << i;
}

// Far outliers once widened the squares until the rule judged coarse cells
// and found floors where there are none.
TEST(StoreysBesideFarOutliers, AreTheBuildingsAlone) {
  const BuildingParameters demo = demoBuilding();
  const PointVector building = inMapFrame(scanOf(demo, planBuilding(demo), false), {90, 6, -10, 0});
  const PointVector room = inMapFrame(singleRoom(2.6, true), {0, 0, 0, 0});
  struct Case {
    const char* name;
    PointVector points;
    std::vector<pcl::PointXYZ> outliers;
    std::vector<double> floors;
  };
  const std::vector<Case> cases = {
      {"demo building and three points 10 km away", building,
       {{10000, 0, 7.5f}, {10000.3f, 0.1f, 8}, {-3, 10000, 2}}, {0.0, 3.0}},
      {"room and a point at (20000, 20000, 1)", room, {{20000, 20000, 1}}, {0.0}},
      {"room and points far below and out", room, {{-5000, 40, -300}, {6000, -7000, 900}}, {0.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PointVector points = c.points;
    points.insert(points.end(), c.outliers.begin(), c.outliers.end());
    const StoreySurvey survey = surveyStoreys(points);
    EXPECT_TRUE(survey.cannot_judge.empty()) << survey.cannot_judge;
    ASSERT_EQ(survey.parts.size(), 1u);
    expectFloorsNear(survey.storeys, c.floors);
    const std::vector<FoundStorey> alone = findStoreys(c.points);
    ASSERT_EQ(alone.size(), survey.storeys.size());
    for (size_t i = 0; i < alone.size(); ++i) {
      EXPECT_EQ(survey.storeys[i].band_min_height, alone[i].band_min_height);
      EXPECT_EQ(survey.storeys[i].band_max_height, alone[i].band_max_height);
    }
  }
}

// A scan sparser everywhere than its voxel size: every square holds a point
// or two, none is dense, and all of them are judged.
TEST(StoreysOfASparseScan, AreFoundOnAllItsSquares) {
  StoreyFinderOptions options;
  options.voxel_size = 0.03;  // as the run was configured; the scan itself has points 0.11 m apart
  PointVector slabs;
  for (double x = 0; x < 5; x += 0.11)
    for (double y = 0; y < 4; y += 0.11)
      for (const float z : {0.5f, 3.1f}) slabs.emplace_back(static_cast<float>(x), static_cast<float>(y), z);
  const StoreySurvey survey = surveyStoreys(slabs, options);
  ASSERT_EQ(survey.parts.size(), 1u);
  expectFloorsNear(survey.storeys, {0.5});
}

// Two thin lines of touching squares, 600 m each, meeting at a corner, as
// densely scanned as a building's surfaces: one part whose box would need
// squares coarser than the rule judges.
PointVector corner(double length) {
  PointVector points;
  for (double d = 0; d <= length; d += 0.02) {
    points.emplace_back(static_cast<float>(d), 0.0f, 0.0f);
    points.emplace_back(0.0f, static_cast<float>(d), 0.0f);
  }
  return points;
}

TEST(StoreysOfAPartTooWideToJudge, AreRefusedWithAReason) {
  PointVector points = inMapFrame(singleRoom(2.6, true), {0, 0, 0, 0});
  const PointVector wide = corner(600.0);
  points.insert(points.end(), wide.begin(), wide.end());
  const StoreySurvey survey = surveyStoreys(points);
  EXPECT_TRUE(survey.storeys.empty());
  EXPECT_TRUE(survey.parts.empty());
  EXPECT_NE(survey.cannot_judge.find("too wide to judge in 0.25 m squares"), std::string::npos) << survey.cannot_judge;
  EXPECT_TRUE(findStoreys(points).empty());
}

// Two buildings side by side across an unscanned gap.
PointVector twoBuildings(const BuildingParameters& a, const BuildingParameters& b) {
  PointVector raw = scanOf(a, planBuilding(a), false);
  const PointVector second = scanOf(b, planBuilding(b), false);
  raw.insert(raw.end(), second.begin(), second.end());
  return inMapFrame(raw, {0, 0, 0, 0});
}

BuildingParameters sideBuilding(std::vector<double> heights, std::array<double, 3> offset, uint64_t seed) {
  BuildingParameters params = building(std::move(heights), {0.25, 0.25});
  params.clutter_margin = 0.0;
  params.offset = offset;
  params.seed = seed;
  return params;
}

TEST(StoreysOfBuildingsSideBySide, AreEachPartsWhenTheyDisagree) {
  StoreyFinderOptions options;
  // 20 m x 12 m with floors at 0 and 3.0 m; 3 m away, 14 m x 10 m with floors at 1.5 and 4.3 m.
  BuildingParameters b = sideBuilding({2.8, 3.0}, {23.0, 0.0, 1.5}, 4);
  b.width = 14.0;
  b.depth = 10.0;
  const StoreySurvey survey = surveyStoreys(twoBuildings(sideBuilding({3.0, 3.0}, {0, 0, 0}, 3), b), options);
  ASSERT_TRUE(survey.partsDisagree());
  ASSERT_EQ(survey.parts.size(), 2u);
  EXPECT_TRUE(survey.storeys.empty()) << "no band set fits both";
  const std::vector<double> floors[2] = {{0.0, 3.0}, {1.5, 4.3}};
  for (size_t p = 0; p < 2; ++p) {
    SCOPED_TRACE(partName(p));
    const StoreyPart& part = survey.parts[p];
    expectFloorsNear(part.storeys, floors[p]);
    for (size_t i = 0; i < part.storeys.size(); ++i) {
      // Each band starts over its own part's floor and stays under its own ceiling.
      EXPECT_NEAR(part.storeys[i].band_min_height, floors[p][i] + options.floor_clearance, 0.02);
      ASSERT_TRUE(part.storeys[i].ceiling_height.has_value());
      EXPECT_LT(part.storeys[i].band_max_height, *part.storeys[i].ceiling_height);
    }
  }
  EXPECT_LT(survey.parts[0].max_x, 21.0);
  EXPECT_GT(survey.parts[1].min_x, 22.0);
  const std::string json = suggestedFloorsJson(survey);
  for (const char* name : {"\"P1-L1\"", "\"P1-L2\"", "\"P2-L1\"", "\"P2-L2\""})
    EXPECT_NE(json.find(name), std::string::npos) << json;
  EXPECT_NE(json.find("\"floor_name\": \"P2-L1\", \"min_height\": 1.6"), std::string::npos) << json;

  // Outdoor ground and clutter scanned all around and between them does not join them.
  BuildingParameters a_outdoors = sideBuilding({3.0, 3.0}, {0, 0, 0}, 3), b_outdoors = b;
  a_outdoors.clutter_margin = b_outdoors.clutter_margin = 4.0;
  const StoreySurvey outdoors = surveyStoreys(twoBuildings(a_outdoors, b_outdoors), options);
  ASSERT_TRUE(outdoors.partsDisagree());
  ASSERT_EQ(outdoors.parts.size(), 2u);
  for (size_t p = 0; p < 2; ++p) expectFloorsNear(outdoors.parts[p].storeys, floors[p]);

  // Alike buildings side by side share their bands.
  const StoreySurvey alike =
      surveyStoreys(twoBuildings(sideBuilding({3.0, 3.0}, {0, 0, 0}, 3), sideBuilding({3.0, 3.0}, {25, 0, 0}, 5)));
  EXPECT_FALSE(alike.partsDisagree());
  EXPECT_EQ(alike.parts.size(), 2u);
  expectFloorsNear(alike.storeys, {0.0, 3.0});
  EXPECT_EQ(suggestedFloorsJson(alike), suggestedFloorsJson(alike.storeys));
}

TEST(StoreysWithoutAFloor, AreNotInvented) {
  PointVector wall;
  for (double x = 0; x < 10; x += 0.05)
    for (double z = 0; z < 3; z += 0.05) wall.emplace_back(static_cast<float>(x), 0.0f, static_cast<float>(z));
  wall.emplace_back(NAN, 1.0f, 1.0f);
  wall.emplace_back(1.0f, INFINITY, 1.0f);
  EXPECT_TRUE(findStoreys(wall).empty());
  EXPECT_TRUE(findStoreys(PointVector()).empty());
  EXPECT_TRUE(findStoreys(PointVector(3, pcl::PointXYZ(NAN, 0.0f, 0.0f))).empty());
}

TEST(StoreyFinderOptions, ThatLeaveNoBandAreRefused) {
  std::vector<StoreyFinderOptions> bad(4);
  bad[0].robot_height = bad[0].floor_clearance;
  bad[1].max_slab_thickness = bad[1].floor_clearance + bad[1].ceiling_clearance;
  bad[2].cell_size = 0.0;
  bad[3].height_step = NAN;
  for (size_t i = 0; i < bad.size(); ++i)
    EXPECT_THROW(findStoreys(PointVector(), bad[i]), std::invalid_argument) << "options " << i;
}

TEST(SuggestedFloors, AreAConfigurationsFloorsInPlainDecimals) {
  std::vector<FoundStorey> storeys(3);
  const double bands[3][2] = {{-3.104, -1.3000001}, {0.1, 1.9}, {3.35, 5.1499999}};
  for (int i = 0; i < 3; ++i) storeys[i].band_min_height = bands[i][0], storeys[i].band_max_height = bands[i][1];
  EXPECT_EQ(suggestedFloorsJson(storeys),
            "{\"floors\": [{\"floor_name\": \"L1\", \"min_height\": -3.1, \"max_height\": -1.3}, "
            "{\"floor_name\": \"L2\", \"min_height\": 0.1, \"max_height\": 1.9}, "
            "{\"floor_name\": \"L3\", \"min_height\": 3.35, \"max_height\": 5.15}]}");
  EXPECT_EQ(suggestedFloorsJson(std::vector<FoundStorey>()), "{\"floors\": []}");
  EXPECT_EQ(suggestedFloorsJson(StoreySurvey()), "{\"floors\": []}");
}

TEST(SuggestFloorsCommand, PrintsFloorsThatMakeEveryFloorsMap) {
  test_support::TempDir dir;
  ASSERT_TRUE(writeBuildingLas(dir.file("building.las"), demoBuilding(), planBuilding(demoBuilding())).ok);
  test_support::writePcd(dir.file("wall.pcd"), {{0, 0, 0.5f}, {0.05f, 0, 0.5f}, {0.1f, 0, 0.5f}});
  const std::string transform = "[0.70710678, 0, 0, 0.70710678]";
  test_support::writeFile(dir.file("config.json"),
                          test_support::configJson("maps", "building.las", 0.05, 0.05, "[]", transform,
                                                   "[6, -10, 0]", "[0.47, 0, 1]"));
  const test_support::CommandResult suggested =
      test_support::runMapGenerator({"--suggest-floors", "config.json"}, dir.path());
  ASSERT_EQ(suggested.status, 0) << suggested.output;
  const size_t json_start = suggested.output.find("{\"floors\": [{");
  ASSERT_NE(json_start, std::string::npos) << suggested.output;
  const std::string floors = suggested.output.substr(json_start, suggested.output.find('\n', json_start) - json_start);
  EXPECT_EQ(floors, "{\"floors\": [{\"floor_name\": \"L1\", \"min_height\": 0.1, \"max_height\": 1.8}, "
                    "{\"floor_name\": \"L2\", \"min_height\": 3.1, \"max_height\": 4.8}]}");
  EXPECT_TRUE(suggested.hasRecord('I', "L2: floor at 3.00 m covering ")) << suggested.output;
  EXPECT_FALSE(test_support::fileExists(dir.file("maps")));
  const test_support::CommandResult short_robot =
      test_support::runMapGenerator({"--suggest-floors", "config.json", "--robot-height", "0.05"}, dir.path());
  EXPECT_EQ(short_robot.status, 255);
  EXPECT_TRUE(short_robot.hasRecord('E', "--robot-height 0.05 leaves no band")) << short_robot.output;

  // The printed member pasted into the configuration makes both floors' maps.
  const std::string members = floors.substr(1, floors.size() - 2);
  std::string config = test_support::readFile(dir.file("config.json"));
  config.replace(config.find("\"floors\": []"), std::string("\"floors\": []").size(), members);
  test_support::writeFile(dir.file("config.json"), config);
  ASSERT_EQ(test_support::runMapGenerator({"config.json"}, dir.path()).status, 0);
  EXPECT_TRUE(test_support::fileExists(dir.file("maps/L1.png")));
  EXPECT_TRUE(test_support::fileExists(dir.file("maps/L2.yaml")));

  // Too wide a part to judge: an ERROR that says so, not a band.
  std::vector<test_support::Point> wide;
  for (const pcl::PointXYZ& p : corner(600.0)) wide.push_back({p.x, p.y, p.z});
  test_support::writePcd(dir.file("wide.pcd"), wide);
  test_support::writeFile(dir.file("config.json"), test_support::configJson("maps", "wide.pcd", 0.05, 0.05));
  const test_support::CommandResult wide_run =
      test_support::runMapGenerator({"--suggest-floors", "config.json"}, dir.path());
  EXPECT_EQ(wide_run.status, 1);
  EXPECT_TRUE(
      wide_run.hasRecord('E', "cannot judge the storeys of wide.pcd: its points from (0, 0) to (600.25, 600.25) m"))
      << wide_run.output;
  EXPECT_FALSE(wide_run.contains("{\"floors\""));

  // Buildings whose storeys do not line up: a WARNING with each part, and each part's own bands.
  BuildingParameters b = sideBuilding({2.8, 3.0}, {23.0, 0.0, 1.5}, 4);
  b.width = 14.0;
  b.depth = 10.0;
  std::vector<test_support::Point> two;
  for (const pcl::PointXYZ& p : twoBuildings(sideBuilding({3.0, 3.0}, {0, 0, 0}, 3), b)) two.push_back({p.x, p.y, p.z});
  test_support::writePcd(dir.file("two.pcd"), two);
  test_support::writeFile(dir.file("config.json"), test_support::configJson("maps", "two.pcd", 0.05, 0.05));
  const test_support::CommandResult parts =
      test_support::runMapGenerator({"--suggest-floors", "config.json"}, dir.path());
  EXPECT_EQ(parts.status, 0) << parts.output;
  EXPECT_TRUE(parts.hasRecord('W', "the 2 parts of the footprint of two.pcd have storeys at different heights"))
      << parts.output;
  EXPECT_TRUE(parts.hasRecord('W', "P2: x from 22.75 to 37.25 m, y from -0.25 to 10.25 m")) << parts.output;
  EXPECT_TRUE(parts.hasRecord('I', "P2-L1: floor at 1.50 m covering ")) << parts.output;
  EXPECT_TRUE(parts.contains("{\"floor_name\": \"P2-L1\", \"min_height\": 1.6, ")) << parts.output;

  test_support::writeFile(dir.file("config.json"), test_support::configJson("maps", "wall.pcd", 0.05, 0.05));
  const test_support::CommandResult none =
      test_support::runMapGenerator({"--suggest-floors", "config.json"}, dir.path());
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(none.hasRecord('E', "no floor found in wall.pcd")) << none.output;
}

}  // namespace
