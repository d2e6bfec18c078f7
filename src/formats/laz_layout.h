// How a LAZ file lays out its compressed points: the LASzip VLR (which
// coder, which items, how many points a chunk) and the chunk table (where
// each chunk starts and, for variable chunks, how many points it holds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/laz_items.h"

namespace korvane_navigation {
namespace laz {

constexpr const char* kVlrUserId = "laszip encoded";
constexpr uint16_t kVlrRecordId = 22204;
constexpr uint32_t kVariableChunkSize = 0xFFFFFFFFu;

// The most records `coded_bytes` of a chunk can decode to: no coding of real
// points packs more than 20 KiB of records into a byte, so a damaged count
// cannot ask for memory out of proportion to the file.
inline uint64_t mostRecords(uint64_t coded_bytes, uint16_t record_length) {
  constexpr uint64_t kMostRecordBytesPerCodedByte = 20480;
  return coded_bytes * kMostRecordBytesPerCodedByte / (record_length ? record_length : 1);
}

enum class Compressor : uint16_t { kNone = 0, kPointwise = 1, kPointwiseChunked = 2, kLayeredChunked = 3 };

struct Layout {
  Compressor compressor = Compressor::kNone;
  uint16_t coder = 0;
  uint8_t version_major = 0, version_minor = 0;
  uint32_t chunk_size = 0;  // points per chunk, or kVariableChunkSize
  std::vector<Item> items;
};

// Parses the payload of the LASzip VLR.
bool parseLayout(const uint8_t* payload, size_t size, Layout& layout, std::string& error);

// Finds and parses the LASzip VLR among the `vlr_count` VLRs in `vlrs` (the
// bytes between the public header and the point data).
bool findLayout(const uint8_t* vlrs, size_t size, uint32_t vlr_count, Layout& layout, std::string& error);

// Empty when the layout is one this reader decodes for records of LAS point
// format `point_format` and `record_length` bytes, else the refusal naming
// the compressor, coder or item that is not.
std::string layoutRefusal(const Layout& layout, uint8_t point_format, uint16_t record_length);

// The bytes of the LASzip VLR payload, for writers.
std::vector<uint8_t> encodeLayout(const Layout& layout);

struct Chunk {
  uint64_t offset = 0;  // in the file
  uint64_t bytes = 0;
  uint64_t first_point = 0;
  uint64_t points = 0;
};

// Decodes the entries of a chunk table (the arithmetic-coded part after its
// version and count): each chunk's byte count and, when `variable`, its
// point count. False when the entries run past `size` bytes.
bool decodeChunkTable(const uint8_t* data, size_t size, uint32_t chunks, bool variable,
                      std::vector<uint32_t>& point_counts, std::vector<uint32_t>& byte_counts);

// The entries coded as decodeChunkTable reads them (empty for no chunks).
std::vector<uint8_t> encodeChunkTable(const std::vector<uint32_t>& point_counts,
                                      const std::vector<uint32_t>& byte_counts, bool variable);

// Lays the chunks of records of `record_length` bytes out from their first
// byte `start` on. The chunks must end by `end` and hold the `declared`
// points (the last of fixed chunks may be short); fewer points than declared
// are kept as a truncated file's. Empty `error` when the table is usable.
std::vector<Chunk> layOutChunks(uint64_t start, uint64_t end, uint64_t declared, uint32_t chunk_size,
                                uint16_t record_length,
                                const std::vector<uint32_t>& point_counts, const std::vector<uint32_t>& byte_counts,
                                std::string& error);

}  // namespace laz
}  // namespace korvane_navigation
