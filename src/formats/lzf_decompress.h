// Unpacking LZF, the compression of binary_compressed PCD data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane_navigation {

// Unpacks `in_size` bytes at `in` into `out`, which holds `out_size` bytes.
// Returns the number of bytes written, or 0 when the input is damaged: a
// run or back reference that would read past the input, write past
// `out_size` or reach before the output's start.
size_t lzfDecompress(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size);

}  // namespace korvane_navigation
