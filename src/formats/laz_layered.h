// Decoding of layered LAZ chunks (LASzip compressor 3, point formats 6 to
// 10): after the chunk's raw first record, each field group of the points
// is coded in a layer of its own, preceded by the byte counts of all
// layers. Only x, y and z are wanted, so only the two layers they depend on
// (returns and x y, and z) are decoded; the others are skipped by their
// counts and the records' other fields are left as zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/laz_items.h"
#include "formats/laz_pointwise.h"

namespace korvane_navigation {
namespace laz {

// Decodes the `count` records of a layered chunk of at most `size` bytes
// into `records`, as decodePointwiseChunk does.
ChunkDecoding decodeLayeredChunk(const std::vector<Item>& items, const uint8_t* chunk, size_t size, size_t count,
                                 uint8_t* records);

}  // namespace laz
}  // namespace korvane_navigation
