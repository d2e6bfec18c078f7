#include "core/grid_ray_walk.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define KORVANE_VECTOR_LANES 1
#endif

namespace korvane_navigation {

namespace {

// A ray part way along its walk: the start's t_max move on as it steps.
struct GridWalk {
  RayStart ray;
  int64_t address;
  int64_t end_address;
  int64_t stride[3];
};

GridWalk beginWalk(const GridRay& ray, const CellGrid& grid) {
  GridWalk walk;
  walk.ray = ray.start;
  for (unsigned i = 0; i < 3; ++i) walk.stride[i] = ray.start.step[i] * grid.stride(i);
  walk.address = ray.address;
  walk.end_address = ray.end_address;
  return walk;
}

// Walks on from `walk` to its end.
void finishWalk(const GridWalk& walk, CellGrid& grid, uint64_t& marked) {
  int64_t address = walk.address;
  stepRay(
      walk.ray,
      [&](unsigned axis) {
        address += walk.stride[axis];
        return address == walk.end_address;
      },
      [&] {
        grid.set(address);
        ++marked;
      });
}

uint64_t walkOneByOne(CellGrid& grid, const std::function<bool(GridRay&)>& next_ray) {
  uint64_t marked = 0;
  GridRay ray;
  while (next_ray(ray)) finishWalk(beginWalk(ray, grid), grid, marked);
  return marked;
}

#ifdef KORVANE_VECTOR_LANES

// Everything from here to the matching pop is compiled for AVX2; it only runs
// where vectorLanesSupported() says so.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

constexpr int kLanes = 4;   // doubles in an AVX2 register
constexpr int kGroups = 2;  // one group's step waits on its last; two keep the core busy
constexpr int kRays = kLanes * kGroups;

// Four walks, one per lane. Between steps only t_max and the address change.
struct Lanes {
  __m256d t_max[3];
  __m256d t_delta[3];
  __m256d length;
  __m256i address;
  __m256i end_address;
  __m256i stride[3];
};

void loadLanes(const GridWalk* walks, Lanes& lanes) {
  const GridWalk &a = walks[0], &b = walks[1], &c = walks[2], &d = walks[3];
  for (unsigned i = 0; i < 3; ++i) {
    lanes.t_max[i] = _mm256_setr_pd(a.ray.t_max[i], b.ray.t_max[i], c.ray.t_max[i], d.ray.t_max[i]);
    lanes.t_delta[i] = _mm256_setr_pd(a.ray.t_delta[i], b.ray.t_delta[i], c.ray.t_delta[i], d.ray.t_delta[i]);
    lanes.stride[i] = _mm256_setr_epi64x(a.stride[i], b.stride[i], c.stride[i], d.stride[i]);
  }
  lanes.length = _mm256_setr_pd(a.ray.length, b.ray.length, c.ray.length, d.ray.length);
  lanes.address = _mm256_setr_epi64x(a.address, b.address, c.address, d.address);
  lanes.end_address = _mm256_setr_epi64x(a.end_address, b.end_address, c.end_address, d.end_address);
}

void storeLanes(const Lanes& lanes, GridWalk* walks) {
  alignas(32) double t_max[3][kLanes];
  alignas(32) int64_t address[kLanes];
  for (unsigned i = 0; i < 3; ++i) _mm256_store_pd(t_max[i], lanes.t_max[i]);
  _mm256_store_si256(reinterpret_cast<__m256i*>(address), lanes.address);
  for (int l = 0; l < kLanes; ++l) {
    for (unsigned i = 0; i < 3; ++i) walks[l].ray.t_max[i] = t_max[i][l];
    walks[l].address = address[l];
  }
}

// One step of each lane's walk. Leaves the word and bit of each new cell in
// `word` and `bit` and returns the lanes whose walk has ended, whose cell is
// not to be marked.
inline __m256i stepLanes(Lanes& lanes, int64_t* word, int64_t* bit) {
  const __m256d* t = lanes.t_max;
  // octomap's axis choice as three masks: x when it is strictly nearest,
  // z when no axis is nearer, y otherwise. Adding the masked-out t_delta,
  // 0.0, leaves a t_max as it was.
  const __m256d step_x = _mm256_cmp_pd(t[0], _mm256_min_pd(t[1], t[2]), _CMP_LT_OQ);
  const __m256d step_y =
      _mm256_and_pd(_mm256_cmp_pd(t[1], t[0], _CMP_LE_OQ), _mm256_cmp_pd(t[1], t[2], _CMP_LT_OQ));
  const __m256d step_z = _mm256_cmp_pd(t[2], _mm256_min_pd(t[0], t[1]), _CMP_LE_OQ);
  lanes.t_max[0] = _mm256_add_pd(t[0], _mm256_and_pd(step_x, lanes.t_delta[0]));
  lanes.t_max[1] = _mm256_add_pd(t[1], _mm256_and_pd(step_y, lanes.t_delta[1]));
  lanes.t_max[2] = _mm256_add_pd(t[2], _mm256_and_pd(step_z, lanes.t_delta[2]));
  const __m256i move =
      _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(_mm256_castpd_si256(step_x), lanes.stride[0]),
                                      _mm256_and_si256(_mm256_castpd_si256(step_y), lanes.stride[1])),
                      _mm256_and_si256(_mm256_castpd_si256(step_z), lanes.stride[2]));
  lanes.address = _mm256_add_epi64(lanes.address, move);

  _mm256_store_si256(reinterpret_cast<__m256i*>(word), _mm256_srli_epi64(lanes.address, 6));
  _mm256_store_si256(reinterpret_cast<__m256i*>(bit),
                     _mm256_sllv_epi64(_mm256_set1_epi64x(1),
                                       _mm256_and_si256(lanes.address, _mm256_set1_epi64x(63))));
  const __m256d nearest = _mm256_min_pd(_mm256_min_pd(t[0], t[1]), t[2]);
  return _mm256_or_si256(_mm256_cmpeq_epi64(lanes.address, lanes.end_address),
                         _mm256_castpd_si256(_mm256_cmp_pd(nearest, lanes.length, _CMP_GT_OQ)));
}

uint64_t walkInLanes(CellGrid& grid, const std::function<bool(GridRay&)>& next_ray) {
  uint64_t marked = 0;
  GridWalk walks[kRays];
  bool active[kRays] = {};
  GridRay ray;
  for (int l = 0; l < kRays; ++l) {
    if (!next_ray(ray)) {
      for (int k = 0; k < l; ++k) finishWalk(walks[k], grid, marked);
      return marked;
    }
    walks[l] = beginWalk(ray, grid);
    active[l] = true;
  }

  uint64_t* const words = grid.words();
  alignas(32) int64_t word[kRays], bit[kRays];
  Lanes lanes[kGroups];
  for (int g = 0; g < kGroups; ++g) loadLanes(walks + g * kLanes, lanes[g]);
  for (;;) {
    __m256i group_done[kGroups];
    __m256i done = _mm256_setzero_si256();
    for (int g = 0; g < kGroups; ++g) {
      group_done[g] = stepLanes(lanes[g], word + g * kLanes, bit + g * kLanes);
      done = _mm256_or_si256(done, group_done[g]);
    }
    if (_mm256_testz_si256(done, done)) {
      for (int l = 0; l < kRays; ++l) words[word[l]] |= bit[l];
      marked += kRays;
      continue;
    }

    // A lane's ray has ended: the next ray takes its lane.
    alignas(32) int64_t lane_done[kRays];
    for (int g = 0; g < kGroups; ++g) {
      _mm256_store_si256(reinterpret_cast<__m256i*>(lane_done + g * kLanes), group_done[g]);
    }
    for (int g = 0; g < kGroups; ++g) storeLanes(lanes[g], walks + g * kLanes);
    bool exhausted = false;
    for (int l = 0; l < kRays; ++l) {
      if (!lane_done[l]) {
        words[word[l]] |= bit[l];
        ++marked;
        continue;
      }
      if (next_ray(ray)) {
        walks[l] = beginWalk(ray, grid);
      } else {
        active[l] = false;
        exhausted = true;
      }
    }
    if (exhausted) break;
    for (int g = 0; g < kGroups; ++g) loadLanes(walks + g * kLanes, lanes[g]);
  }
  for (int l = 0; l < kRays; ++l) {
    if (active[l]) finishWalk(walks[l], grid, marked);
  }
  return marked;
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // KORVANE_VECTOR_LANES

}  // namespace

bool walkStaysInBox(const RayStart& start, const octomap::OcTreeKey& origin_key, const KeyBox& box) {
  for (unsigned i = 0; i < 3; ++i) {
    if (start.step[i] == 0) continue;
    // Borders at t_max, t_max + t_delta, ... up to the length; the sums the
    // walk makes differ from these products by far less than the slack.
    const double borders = (start.length - start.t_max[i]) / start.t_delta[i];
    if (!(borders < 1e6)) return false;
    const int steps = 2 + (borders < 0 ? 0 : static_cast<int>(borders + 1e-3));
    const int last = origin_key[i] + start.step[i] * steps;
    if (last < box.lo[i] || last > box.hi[i]) return false;
  }
  return true;
}

bool vectorLanesSupported() {
#ifdef KORVANE_VECTOR_LANES
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

uint64_t walkGridRays(CellGrid& grid, const std::function<bool(GridRay&)>& next_ray, bool vector_lanes) {
#ifdef KORVANE_VECTOR_LANES
  if (vector_lanes && vectorLanesSupported()) return walkInLanes(grid, next_ray);
#endif
  return walkOneByOne(grid, next_ray);
}

}  // namespace korvane_navigation
