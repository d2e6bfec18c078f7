// The parts of a footprint: squares that touch by a side or a corner belong
// together, whatever lies between parts is not scanned.
#include "core/footprint_parts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace korvane_navigation;

namespace {

// A filled rectangle of points every 0.1 m, off its edges by half a step, at height z.
PointVector patch(float x0, float y0, float x1, float y1, float z = 0.0f) {
  PointVector points;
  const int columns = static_cast<int>(std::lround((x1 - x0) / 0.1f));
  const int rows = static_cast<int>(std::lround((y1 - y0) / 0.1f));
  for (int i = 0; i < columns; ++i)
    for (int k = 0; k < rows; ++k) points.emplace_back(x0 + 0.1f * i + 0.05f, y0 + 0.1f * k + 0.05f, z);
  return points;
}

PointVector joined(std::vector<PointVector> pieces) {
  PointVector all;
  for (const PointVector& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

TEST(FootprintParts, GroupTouchingSquaresLargestFirst) {
  struct Case {
    const char* name;
    PointVector points;
    size_t min_squares;
    size_t min_points;  // per square
    std::vector<size_t> squares;  // per part, in order
    size_t left_out;
  };
  const std::vector<Case> cases = {
      {"one patch", patch(0, 0, 2, 1), 1, 1, {32}, 0},
      {"two patches a square apart", joined({patch(0, 0, 1, 1), patch(1.3f, 0, 3.3f, 1)}), 1, 1, {32, 16}, 0},
      {"squares touching at a corner join", PointVector{{0.1f, 0.1f, 0}, {0.3f, 0.3f, 0}, {0.55f, 0.55f, 5}}, 1,
       1, {3}, 0},
      {"heights do not split a part", joined({patch(0, 0, 1, 1), patch(0.9f, 0, 2, 1, 30.0f)}), 1, 1, {32}, 0},
      {"small parts are left out, their points counted",
       joined({patch(0, 0, 1, 1), PointVector{{5000, 5000, 1}, {5000.1f, 5000, 1}, {-9000, 3, 2}}}), 4, 1, {16}, 3},
      {"non-finite and unreachable points belong to no part",
       joined({patch(0, 0, 1, 1), PointVector{{NAN, 0, 0}, {0, INFINITY, 0}, {0.5f, 0.5f, NAN}, {1e30f, 0, 0}}}), 1,
       1, {16}, 0},
      {"sparse squares between two patches join nothing",
       joined({patch(0, 0, 1, 1), patch(2, 0, 3, 1), PointVector{{1.1f, 0.5f, 0}, {1.4f, 0.5f, 0}, {1.6f, 0.5f, 0},
                                                                 {1.85f, 0.5f, 0}}}),
       1, 4, {16, 16}, 4},
      {"a sparse square joins nothing but a dense one bridges",
       joined({patch(0, 0, 1, 1), patch(1.25f, 0, 2.25f, 1),
               PointVector{{1.05f, 0.55f, 0}, {1.1f, 0.6f, 0}, {1.15f, 0.65f, 0}, {1.2f, 0.7f, 0}}}),
       1, 4, {33}, 0},
      {"nothing", PointVector{}, 1, 1, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t left_out = 99;
    const std::vector<FootprintPart> parts = footprintParts(c.points, 0.25, c.min_squares, c.min_points, &left_out);
    std::vector<size_t> squares;
    size_t points = 0;
    for (const FootprintPart& part : parts) squares.push_back(part.squares), points += part.points.size();
    EXPECT_EQ(squares, c.squares);
    EXPECT_EQ(left_out, c.left_out);
    size_t finite = 0;
    for (const pcl::PointXYZ& p : c.points)
      finite += std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z) && std::fabs(p.x) < 1e6f;
    EXPECT_EQ(points + left_out, finite) << "every reachable point lies in one part or is counted out";
  }
}

TEST(FootprintParts, BoundTheirSquaresAndKeepTheirOwnPoints) {
  const PointVector left = patch(-2.0f, 0.0f, -1.0f, 0.5f), right = patch(3.0f, 1.0f, 4.5f, 2.0f, 2.0f);
  const std::vector<FootprintPart> parts = footprintParts(joined({left, right}), 0.25, 1);
  ASSERT_EQ(parts.size(), 2u);
  // The wider part comes first.
  EXPECT_EQ(parts[0].points.size(), right.size());
  EXPECT_EQ(parts[1].points.size(), left.size());
  EXPECT_DOUBLE_EQ(parts[0].min_x, 3.0);
  EXPECT_DOUBLE_EQ(parts[0].max_x, 4.5);
  EXPECT_DOUBLE_EQ(parts[0].min_y, 1.0);
  EXPECT_DOUBLE_EQ(parts[0].max_y, 2.0);
  EXPECT_DOUBLE_EQ(parts[1].min_x, -2.0);
  EXPECT_DOUBLE_EQ(parts[1].max_y, 0.5);
  for (const pcl::PointXYZ& p : parts[0].points) EXPECT_GE(p.x, 3.0f);
}

}  // namespace
