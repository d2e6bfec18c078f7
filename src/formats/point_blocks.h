// Points handed over a block at a time as a file is read, so that no reader
// ever holds a whole survey.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace korvane_navigation {

// Receives one block of points: x, y, z of point i at xyz[3 * i + 0..2], in
// double precision and in the file's own frame (georeferenced coordinates
// keep every digit), valid during the call only. `thread` is the reading
// thread that decoded the block, 0 for the caller's: calls for different
// threads may run at the same time, never two at once for one thread.
using PointBlockSink = std::function<void(unsigned thread, const double* xyz, std::size_t count)>;

// How far reading has come: bytes of the file read so far, out of all to be read.
using ReadProgress = std::function<void(std::uint64_t bytes_done, std::uint64_t bytes_total)>;

}  // namespace korvane_navigation
