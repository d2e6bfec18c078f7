// What the demo, the end-to-end tests and the benchmark rely on in the
// generated buildings: the same seed gives the same bytes, the cloud has
// about the advertised size, every point lies where the plan allows, and
// the LAS file written reads back.
#include <gtest/gtest.h>

#include "formats/las_reader.h"
#include "support/test_support.h"
#include "synthetic_building.h"

using namespace korvane_navigation;
using test_support::TempDir;

namespace {

LasReadResult readXyz(const std::string& path, std::vector<float>& xyz) {
  return readLasFile(path, [&](uint64_t n) {
    xyz.resize(n * 3);
    return xyz.data();
  }, 3);
}

TEST(SyntheticBuilding, SameSeedGivesTheSameFileAnotherSeedAnother) {
  TempDir dir;
  BuildingParameters params = demoBuilding();
  params.storeys = 1;
  for (const char* name : {"a.las", "b.las"}) {
    ASSERT_TRUE(writeBuildingLas(dir.file(name), params, planBuilding(params)).ok);
  }
  params.seed += 1;
  ASSERT_TRUE(writeBuildingLas(dir.file("c.las"), params, planBuilding(params)).ok);
  const std::string a = test_support::readFile(dir.file("a.las"));
  EXPECT_GT(a.size(), 100000u);
  EXPECT_TRUE(a == test_support::readFile(dir.file("b.las")));
  EXPECT_FALSE(a == test_support::readFile(dir.file("c.las")));
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

TEST(SyntheticBuilding, LasReadsBackPointForPoint) {
  TempDir dir;
  BuildingParameters params = demoBuilding();
  params.storeys = 1;
  const BuildingLayout layout = planBuilding(params);
  const BuildingLasResult written = writeBuildingLas(dir.file("b.las"), params, layout);
  ASSERT_TRUE(written.ok) << written.error;
  EXPECT_EQ(written.points, estimatePointCount(params, layout));
  std::vector<float> read;
  const LasReadResult result = readXyz(dir.file("b.las"), read);
  ASSERT_EQ(result.status, LasReadStatus::kOk) << result.error;
  std::vector<std::array<double, 3>> expected;
  generateBuilding(params, layout, [&](double x, double y, double z) { expected.push_back({x, y, z}); });
  ASSERT_EQ(result.points_read, expected.size());
  for (size_t i = 0; i < expected.size(); i += 997) {
    for (int a = 0; a < 3; ++a) ASSERT_NEAR(read[i * 3 + a], expected[i][a], 0.0006) << "point " << i;
  }
  EXPECT_FALSE(writeBuildingLas(dir.file("missing/b.las"), params, layout).ok);
}

}  // namespace
