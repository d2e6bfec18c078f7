// Decoding of point-wise coded LAZ chunks (LASzip compressor 2): every item
// of a record is coded in turn, point after point, in one arithmetic stream
// that starts after the chunk's first record, which is stored raw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/laz_items.h"

namespace korvane_navigation {
namespace laz {

// Empty when every item is one this decoder reads (POINT10, GPSTIME11,
// RGB12 and BYTE, version 2), else the refusal naming the first that is not.
std::string pointwiseItemsRefusal(const std::vector<Item>& items);

struct ChunkDecoding {
  std::string error;      // empty, or what is wrong: the records are then not to be used
  size_t bytes_used = 0;  // where the chunk ended, for reading chunks without a table
};

// Decodes the `count` records of a chunk of at most `size` bytes into
// `records` (laid end to end as the item list lays them out).
ChunkDecoding decodePointwiseChunk(const std::vector<Item>& items, const uint8_t* chunk, size_t size, size_t count,
                                   uint8_t* records);

}  // namespace laz
}  // namespace korvane_navigation
