#include "formats/block_threads.h"

#include <algorithm>
#include <atomic>

#include "support/joined_threads.h"

namespace korvane_navigation {

unsigned blockThreads(uint64_t blocks, unsigned threads_wanted) {
  return static_cast<unsigned>(std::max<uint64_t>(1, std::min<uint64_t>(threads_wanted, blocks)));
}

bool runBlocksOnThreads(uint64_t blocks, unsigned threads_wanted,
                        const std::function<bool(unsigned thread, uint64_t block)>& work) {
  const unsigned threads = blockThreads(blocks, threads_wanted);
  std::atomic<bool> stop{false};
  const auto runThread = [&](unsigned thread, uint64_t first, bool only_first) {
    for (uint64_t block = first; block < blocks && !stop.load(std::memory_order_relaxed); block += threads) {
      bool go_on = false;
      try {
        go_on = work(thread, block);
      } catch (...) {
        stop = true;
        throw;
      }
      if (!go_on) stop = true;
      if (only_first) break;
    }
  };
  JoinedThreads helpers;
  try {
    runThread(0, 0, threads > 1);
    if (threads > 1 && !stop.load()) {
      for (unsigned thread = 1; thread < threads; ++thread) {
        helpers.start([&runThread, thread]() { runThread(thread, thread, false); });
      }
      runThread(0, threads, false);
    }
  } catch (...) {
    stop = true;
    throw;  // the helpers are joined on the way out
  }
  helpers.joinAndRethrow();
  return !stop.load();
}

}  // namespace korvane_navigation
