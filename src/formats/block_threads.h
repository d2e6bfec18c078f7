// Sharing the blocks of a file over reading threads so that which blocks
// meet on a thread never depends on timing: what the thinning keeps then
// depends on the thread count alone.
#pragma once

#include <cstdint>
#include <functional>

namespace korvane_navigation {

// The threads worth starting for `blocks` blocks: one at least, and no more
// than there are blocks.
unsigned blockThreads(uint64_t blocks, unsigned threads_wanted);

// Runs `work(thread, block)` for blocks 0 .. blocks-1, block k on thread
// k % blockThreads(blocks, threads_wanted); thread 0 is the caller's, and
// block 0 is done before any other thread starts. When `work` returns false
// or throws, every thread stops before its next block; what was thrown is
// thrown again here once all have stopped. True when every block was done.
bool runBlocksOnThreads(uint64_t blocks, unsigned threads_wanted,
                        const std::function<bool(unsigned thread, uint64_t block)>& work);

}  // namespace korvane_navigation
