// What the LAZ point coders predict from, shared by the decoder of the
// formats library and the encoder of the tools: the running median of the
// last five coordinate differences, and the contexts that the return number
// r and number of returns n of a point select.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace korvane_navigation {
namespace laz {

// The median of the last five values added, kept sorted. Which end a new
// value displaces alternates with where the previous one went, as the format
// fixes it; both coders must agree on every step. The new value always
// replaces the highest (or, by turns, the lowest) and is then put in its
// place: done with minima and maxima, because the comparisons of noisy
// coordinates are coin tosses that branches would mispredict.
class StreamingMedian5 {
 public:
  int32_t median() const { return v_[2]; }
  void add(int32_t value) {
    const int32_t old_median = v_[2];
    // The four that stay, in order.
    int32_t keep[4];
    for (int i = 0; i < 4; ++i) keep[i] = replace_high_ ? v_[i] : v_[i + 1];
    v_[0] = std::min(keep[0], value);
    for (int i = 1; i < 4; ++i) v_[i] = std::min(keep[i], std::max(keep[i - 1], value));
    v_[4] = std::max(keep[3], value);
    replace_high_ = replace_high_ ? value < old_median : !(old_median < value);
  }

 private:
  int32_t v_[5] = {0, 0, 0, 0, 0};
  bool replace_high_ = true;
};

// Context of the x and y differences and the intensity (0..15) for n and r
// (each 0..7). Well-formed pairs (1 <= r <= n <= 5) get contexts of their
// own; files that number from 0 or swap the two still land on distinct ones.
inline uint32_t returnContext(uint32_t n, uint32_t r) {
  static constexpr uint8_t kContexts[8][8] = {
      {15, 14, 13, 12, 11, 10, 9, 8},  {14, 0, 1, 3, 6, 10, 10, 9},   {13, 1, 2, 4, 7, 11, 11, 10},
      {12, 3, 4, 5, 8, 12, 12, 11},    {11, 6, 7, 8, 9, 13, 13, 12},  {10, 10, 11, 12, 13, 14, 14, 13},
      {9, 10, 11, 12, 13, 14, 15, 14}, {8, 9, 10, 11, 12, 13, 14, 15}};
  return kContexts[n & 7][r & 7];
}

// Context of the z prediction (0..7): how far r is from the last return.
inline uint32_t returnLevel(uint32_t n, uint32_t r) {
  return static_cast<uint32_t>(std::abs(static_cast<int>(n & 7) - static_cast<int>(r & 7)));
}

// The 32-bit wrapping difference and sum of LAS integer coordinates.
inline int32_t wrappingDifference(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t wrappingSum(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// The context of the y difference from the x difference's bit length k, and
// of z from the mean of both.
inline uint32_t yContext(bool single_return, uint32_t k_x) {
  return (single_return ? 1 : 0) + (k_x < 20 ? (k_x & ~1u) : 20);
}
inline uint32_t zContext(bool single_return, uint32_t k_x, uint32_t k_y) {
  const uint32_t k = (k_x + k_y) / 2;
  return (single_return ? 1 : 0) + (k < 18 ? (k & ~1u) : 18);
}

}  // namespace laz
}  // namespace korvane_navigation
