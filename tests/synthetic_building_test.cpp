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
  std::vector<float> read;
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

}  // namespace
