// Runs a site's floors at the same time where processors and memory allow:
// each floor's octree stage holds its own cells, so two floors side by side
// need the memory of both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace korvane_navigation {

// How many floors to make at once: as many as the usable processors hold
// floors of `threads_per_floor` threads each, at least one, at most `floors`.
unsigned floorsAtOnce(unsigned processors, unsigned threads_per_floor, size_t floors);

// Calls make_floor(i) for every floor i on up to `at_once` threads, starting
// the floors in their order. A floor starts only while the floors already
// running and it together need no more than `budget_bytes` of `needs` (0: no
// bound); one that needs more than the whole budget starts alone, to be
// refused by its own stage. Once a floor fails no other starts. True when
// every floor succeeded.
bool makeFloors(size_t floors, unsigned at_once, const std::vector<uint64_t>& needs, uint64_t budget_bytes,
                const std::function<bool(size_t floor)>& make_floor);

}  // namespace korvane_navigation
