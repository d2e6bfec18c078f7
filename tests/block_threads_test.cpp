// How the LAS, LAZ, PCD and PLY readers share their blocks over threads: the
// thinning's result depends on which blocks meet on a thread, so that must
// follow from the thread count alone, and one failed block must stop them all.
#include "formats/block_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace korvane_navigation;

namespace {

// What a run did: the thread each block ran on (-1: not run), in one record.
struct BlocksRun {
  std::vector<int> thread_of;
  bool finished = false;
  bool threw = false;
};

// Runs `blocks` blocks on `threads` threads; the block `failing` returns
// false, or throws when `throwing`. Block 0 waits a little before it
// returns, so that a thread started too early would be seen.
BlocksRun run(uint64_t blocks, unsigned threads, uint64_t failing = ~uint64_t{0}, bool throwing = false) {
  BlocksRun outcome;
  outcome.thread_of.assign(blocks, -1);
  std::mutex mutex;
  std::atomic<unsigned> started{0};
  const auto work = [&](unsigned thread, uint64_t block) {
    ++started;
    if (block == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(started.load(), 1u) << "a block began before block 0 was done";
    }
    {
      const std::lock_guard<std::mutex> lock(mutex);
      EXPECT_EQ(outcome.thread_of.at(block), -1) << "block " << block << " ran twice";
      outcome.thread_of[block] = static_cast<int>(thread);
    }
    if (block == failing && throwing) throw std::runtime_error("block failed");
    return block != failing;
  };
  try {
    outcome.finished = runBlocksOnThreads(blocks, threads, work);
  } catch (const std::runtime_error&) {
    outcome.threw = true;
  }
  return outcome;
}

TEST(BlockThreads, BlockKRunsOnThreadKModuloTheThreadsThatAreWorthStarting) {
  struct Case {
    uint64_t blocks;
    unsigned threads_wanted;
    unsigned threads;  // the ones started: 1 at least, no more than blocks
  };
  for (const Case& c : {Case{0, 3, 1}, Case{1, 4, 1}, Case{2, 4, 2}, Case{5, 1, 1}, Case{5, 0, 1}, Case{7, 3, 3},
                        Case{9, 4, 4}}) {
    SCOPED_TRACE(std::to_string(c.blocks) + " blocks, " + std::to_string(c.threads_wanted) + " threads wanted");
    EXPECT_EQ(blockThreads(c.blocks, c.threads_wanted), c.threads);
    const BlocksRun outcome = run(c.blocks, c.threads_wanted);
    EXPECT_TRUE(outcome.finished);
    for (uint64_t k = 0; k < c.blocks; ++k) EXPECT_EQ(outcome.thread_of[k], static_cast<int>(k % c.threads)) << k;
  }
}

TEST(BlockThreads, AFailedBlockStopsEveryThread) {
  struct Case {
    uint64_t blocks;
    unsigned threads;
    uint64_t failing;
  };
  for (const bool throwing : {false, true}) {
    for (const Case& c : {Case{6, 1, 2}, Case{6, 3, 0}, Case{9, 3, 4}, Case{12, 2, 5}}) {
      SCOPED_TRACE(std::to_string(c.threads) + " threads, block " + std::to_string(c.failing) +
                   (throwing ? " throws" : " fails"));
      const BlocksRun outcome = run(c.blocks, c.threads, c.failing, throwing);
      EXPECT_FALSE(outcome.finished);
      EXPECT_EQ(outcome.threw, throwing);
      // The failing block's thread takes no further block; when block 0
      // fails, no other thread has begun.
      for (uint64_t k = c.failing + c.threads; k < c.blocks; k += c.threads) EXPECT_EQ(outcome.thread_of[k], -1) << k;
      if (c.failing == 0) {
        for (uint64_t k = 1; k < c.blocks; ++k) EXPECT_EQ(outcome.thread_of[k], -1) << k;
      }
      if (c.threads == 1) {
        for (uint64_t k = 0; k < c.blocks; ++k) EXPECT_EQ(outcome.thread_of[k] == 0, k <= c.failing) << k;
      }
    }
  }
}

}  // namespace
