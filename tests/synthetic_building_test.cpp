// What the demo, the end-to-end tests and the benchmark rely on in the
// generated buildings: the same seed gives the same bytes, the cloud has
// about the advertised size, every point lies where the plan allows, and
// the LAS file written reads back.
#include <gtest/gtest.h>

#include <cmath>

#include "formats/e57_reader.h"
#include "formats/las_reader.h"
#include "support/test_support.h"
#include "synthetic_building.h"

using namespace korvane_navigation;
using test_support::TempDir;

namespace {

LasReadResult readXyz(const std::string& path, std::vector<double>& xyz) {
  return readLasPoints(path, [&](unsigned, const double* points, size_t n) {
    xyz.insert(xyz.end(), points, points + 3 * n);
  });
}

TEST(SyntheticBuilding, PointsStayWithinTheFootprintAndHeightsPlusNoise) {
  BuildingParameters with_clutter = demoBuilding(), bare = demoBuilding();
  bare.clutter_margin = 0.0;
  for (const BuildingParameters& params : {with_clutter, bare}) {
    SCOPED_TRACE(params.clutter_margin > 0 ? "with clutter" : "without clutter");
    const BuildingLayout layout = planBuilding(params);
    const double tol = kNoiseBoundSigmas * params.noise_sigma + 1e-9;
    // Clutter reaches 2 m over the roof; the building itself stops at the roof.
    const Rect area = params.clutter_margin > 0 ? layout.clutter_area : layout.footprint();
    const double top = layout.roofTop() + (params.clutter_margin > 0 ? 2.0 : 0.0);
    uint64_t count = 0, outside = 0;
    generateBuilding(params, layout, [&](double x, double y, double z) {
      ++count;
      outside += !area.contains(x, y, tol) || z < -layout.slab_thickness - tol || z > top + tol;
    });
    EXPECT_EQ(outside, 0u);
    EXPECT_EQ(count, estimatePointCount(params, layout));
    EXPECT_GE(count, 300000u);  // the demo's advertised size
    EXPECT_LE(count, 2000000u);
  }
}

TEST(SyntheticBuilding, SameSeedGivesTheSameLasFileWhichReadsBackPointForPoint) {
  TempDir dir;
  BuildingParameters params = demoBuilding();
  params.storeys = 1;
  const BuildingLayout layout = planBuilding(params);
  for (const char* name : {"a.las", "b.las"}) ASSERT_TRUE(writeBuildingLas(dir.file(name), params, layout).ok);
  EXPECT_TRUE(test_support::readFile(dir.file("a.las")) == test_support::readFile(dir.file("b.las")));
  std::vector<double> read;
  const LasReadResult result = readXyz(dir.file("a.las"), read);
  ASSERT_EQ(result.status, LasReadStatus::kOk) << result.error;
  std::vector<std::array<double, 3>> expected;
  generateBuilding(params, layout, [&](double x, double y, double z) { expected.push_back({x, y, z}); });
  ASSERT_EQ(result.points_read, expected.size());
  for (size_t i = 0; i < expected.size(); i += 997) {
    for (int a = 0; a < 3; ++a) ASSERT_NEAR(read[i * 3 + a], expected[i][a], 0.0006) << "point " << i;
  }
  params.seed += 1;
  ASSERT_TRUE(writeBuildingLas(dir.file("c.las"), params, planBuilding(params)).ok);
  EXPECT_FALSE(test_support::readFile(dir.file("a.las")) == test_support::readFile(dir.file("c.las")));
  EXPECT_FALSE(writeBuildingLas(dir.file("missing/c.las"), params, layout).ok);
}

TEST(SyntheticBuilding, E57ScansPutEveryPointBackWhereItWasGenerated) {
  TempDir dir;
  BuildingParameters params = demoBuilding();
  params.storeys = 1;
  const BuildingLayout layout = planBuilding(params);
  const BuildingLasResult written = writeBuildingE57(dir.file("building.E57"), params, layout);
  ASSERT_TRUE(written.ok) << written.error;
  std::vector<std::array<double, 3>> read;
  const E57ReadResult result = readE57File(dir.file("building.E57"), [&](unsigned, const double* xyz, size_t count) {
    for (size_t i = 0; i < count; ++i) read.push_back({xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]});
  });
  ASSERT_EQ(result.status, E57ReadStatus::kOk) << result.error;
  EXPECT_EQ(result.scans, 4u);
  ASSERT_EQ(read.size(), written.points);
  // Each scan holds its station's points in generation order, turned back by
  // its pose to within the 0.1 mm steps: matched greedily, at most four runs.
  std::vector<std::array<double, 3>> generated;
  generateBuilding(params, layout, [&](double x, double y, double z) { generated.push_back({x, y, z}); });
  const auto near = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
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
    ASSERT_LT(runs, 4u) << "point " << i << " is not near a generated point after the last one matched";
    ++runs;
    next = 0;
  }
}

}  // namespace
