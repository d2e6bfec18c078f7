#include "core/footprint_parts.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <unordered_map>

namespace korvane_navigation {
namespace {

// Square indices stay well inside 32 bits, so two pack into one key; farther
// points are beyond anything a scan holds.
constexpr double kMaxSquareIndex = 1e9;
constexpr uint32_t kNoSquare = ~uint32_t{0};

struct Square {
  int64_t x, y;
};

uint64_t packed(int64_t x, int64_t y) {
  return static_cast<uint64_t>(static_cast<uint32_t>(static_cast<int32_t>(x))) << 32 |
         static_cast<uint32_t>(static_cast<int32_t>(y));
}

bool squareOf(const pcl::PointXYZ& p, double square, Square& s) {
  if (!isFinite(p)) return false;
  const double x = std::floor(p.x / square), y = std::floor(p.y / square);
  if (!(std::fabs(x) < kMaxSquareIndex && std::fabs(y) < kMaxSquareIndex)) return false;
  s = {static_cast<int64_t>(x), static_cast<int64_t>(y)};
  return true;
}

}  // namespace

std::vector<FootprintPart> footprintParts(const PointVector& points, double square, size_t min_squares,
                                          size_t min_points_per_square, size_t* points_left_out) {
  std::unordered_map<uint64_t, uint32_t> index_of;
  std::vector<Square> squares;
  std::vector<uint32_t> points_in_square;
  std::vector<uint32_t> square_of_point(points.size(), kNoSquare);
  for (size_t i = 0; i < points.size(); ++i) {
    Square s;
    if (!squareOf(points[i], square, s)) continue;
    const auto [it, added] = index_of.emplace(packed(s.x, s.y), static_cast<uint32_t>(squares.size()));
    if (added) squares.push_back(s), points_in_square.push_back(0);
    square_of_point[i] = it->second;
    ++points_in_square[it->second];
  }
  // Sparse squares join nothing: they are left out as if empty.
  const auto dense = [&](uint32_t index) { return points_in_square[index] >= min_points_per_square; };

  // Flood fill over the eight neighbours of each square.
  std::vector<uint32_t> part_of(squares.size(), kNoSquare);
  std::vector<size_t> part_squares;
  std::vector<uint32_t> stack;
  for (uint32_t seed = 0; seed < squares.size(); ++seed) {
    if (part_of[seed] != kNoSquare || !dense(seed)) continue;
    const uint32_t part = static_cast<uint32_t>(part_squares.size());
    part_squares.push_back(0);
    part_of[seed] = part;
    stack.assign(1, seed);
    while (!stack.empty()) {
      const Square s = squares[stack.back()];
      stack.pop_back();
      ++part_squares[part];
      for (int64_t dx = -1; dx <= 1; ++dx)
        for (int64_t dy = -1; dy <= 1; ++dy) {
          const auto it = index_of.find(packed(s.x + dx, s.y + dy));
          if (it == index_of.end() || part_of[it->second] != kNoSquare || !dense(it->second)) continue;
          part_of[it->second] = part;
          stack.push_back(it->second);
        }
    }
  }

  std::vector<FootprintPart> parts(part_squares.size());
  std::vector<bool> bounded(parts.size(), false);
  for (uint32_t i = 0; i < squares.size(); ++i) {
    if (part_of[i] == kNoSquare) continue;
    FootprintPart& p = parts[part_of[i]];
    const double x0 = squares[i].x * square, y0 = squares[i].y * square;
    if (!bounded[part_of[i]]) {
      p.min_x = x0, p.min_y = y0, p.max_x = x0 + square, p.max_y = y0 + square;
      bounded[part_of[i]] = true;
    } else {
      p.min_x = std::min(p.min_x, x0), p.min_y = std::min(p.min_y, y0);
      p.max_x = std::max(p.max_x, x0 + square), p.max_y = std::max(p.max_y, y0 + square);
    }
  }
  size_t left_out = 0;
  for (size_t i = 0; i < parts.size(); ++i) parts[i].squares = part_squares[i];
  for (size_t i = 0; i < points.size(); ++i) {
    if (square_of_point[i] == kNoSquare) continue;
    const uint32_t part = part_of[square_of_point[i]];
    if (part == kNoSquare) {
      ++left_out;
      continue;
    }
    FootprintPart& p = parts[part];
    if (p.squares >= min_squares) {
      p.points.push_back(points[i]);
    } else {
      ++left_out;
    }
  }
  parts.erase(std::remove_if(parts.begin(), parts.end(),
                             [min_squares](const FootprintPart& p) { return p.squares < min_squares; }),
              parts.end());
  std::sort(parts.begin(), parts.end(), [](const FootprintPart& a, const FootprintPart& b) {
    return std::make_tuple(-static_cast<int64_t>(a.squares), a.min_x, a.min_y) <
           std::make_tuple(-static_cast<int64_t>(b.squares), b.min_x, b.min_y);
  });
  if (points_left_out) *points_left_out = left_out;
  return parts;
}

}  // namespace korvane_navigation
