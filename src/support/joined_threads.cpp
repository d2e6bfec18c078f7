#include "support/joined_threads.h"

#include <sched.h>

#include <algorithm>

namespace korvane_navigation {

unsigned usableProcessors() {
  cpu_set_t usable;
  CPU_ZERO(&usable);
  const int cpus = sched_getaffinity(0, sizeof usable, &usable) == 0 ? CPU_COUNT(&usable)
                                                                      : static_cast<int>(std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::max(cpus, 1));
}

unsigned readingThreads() { return std::min(usableProcessors(), 4u); }

}  // namespace korvane_navigation
