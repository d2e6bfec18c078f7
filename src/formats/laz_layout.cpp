#include "formats/laz_layout.h"

#include <cstring>

#include "formats/byte_order.h"
#include "formats/laz_arithmetic.h"
#include "formats/laz_integer_codec.h"
#include "formats/laz_pointwise.h"

namespace korvane_navigation {
namespace laz {
namespace {

constexpr size_t kVlrHeaderSize = 54;
constexpr size_t kVlrUserIdAt = 2;
constexpr size_t kVlrRecordIdAt = 18;
constexpr size_t kVlrLengthAt = 20;
constexpr size_t kPayloadFixedSize = 34;
constexpr size_t kItemEntrySize = 6;

std::string compressorText(Compressor compressor) {
  switch (compressor) {
    case Compressor::kNone: return "0 (none)";
    case Compressor::kPointwise: return "1 (point-wise)";
    case Compressor::kPointwiseChunked: return "2 (point-wise, chunked)";
    case Compressor::kLayeredChunked: return "3 (layered, chunked)";
  }
  return std::to_string(static_cast<unsigned>(compressor));
}

// The item that holds x, y and z, first in every record.
bool isLayeredItem(const Item& item) {
  if (item.version != 3 && item.version != 4) return false;
  switch (item.type) {
    case ItemType::kPoint14: return item.size == 30;
    case ItemType::kRgb14: return item.size == 6;
    case ItemType::kRgbNir14: return item.size == 8;
    case ItemType::kWavePacket14: return item.size == 29;
    case ItemType::kByte14: return item.size > 0;
    default: return false;
  }
}

}  // namespace

bool parseLayout(const uint8_t* payload, size_t size, Layout& layout, std::string& error) {
  if (size < kPayloadFixedSize) {
    error = "LASzip VLR of " + std::to_string(size) + " bytes is too short (needs " +
            std::to_string(kPayloadFixedSize) + ")";
    return false;
  }
  Layout parsed;
  parsed.compressor = static_cast<Compressor>(loadU16(payload));
  parsed.coder = loadU16(payload + 2);
  parsed.version_major = payload[4];
  parsed.version_minor = payload[5];
  parsed.chunk_size = loadU32(payload + 12);
  const uint16_t item_count = loadU16(payload + 32);
  if (size < kPayloadFixedSize + kItemEntrySize * item_count) {
    error = "LASzip VLR lists " + std::to_string(item_count) + " items but holds only " +
            std::to_string((size - kPayloadFixedSize) / kItemEntrySize);
    return false;
  }
  for (uint16_t i = 0; i < item_count; ++i) {
    const uint8_t* entry = payload + kPayloadFixedSize + kItemEntrySize * i;
    parsed.items.push_back({static_cast<ItemType>(loadU16(entry)), loadU16(entry + 2), loadU16(entry + 4)});
  }
  layout = std::move(parsed);
  return true;
}

bool findLayout(const uint8_t* vlrs, size_t size, uint32_t vlr_count, Layout& layout, std::string& error) {
  size_t at = 0;
  for (uint32_t i = 0; i < vlr_count && size - at >= kVlrHeaderSize; ++i) {
    const uint8_t* vlr = vlrs + at;
    const uint16_t length = loadU16(vlr + kVlrLengthAt);
    const bool is_laszip = std::strncmp(reinterpret_cast<const char*>(vlr + kVlrUserIdAt), kVlrUserId, 16) == 0 &&
                           loadU16(vlr + kVlrRecordIdAt) == kVlrRecordId;
    if (is_laszip) {
      if (size - at - kVlrHeaderSize < length) {
        error = "LASzip VLR runs past the point data";
        return false;
      }
      return parseLayout(vlr + kVlrHeaderSize, length, layout, error);
    }
    if (size - at - kVlrHeaderSize < length) break;
    at += kVlrHeaderSize + length;
  }
  error = "compressed point data without a LASzip VLR (user \"laszip encoded\", record 22204)";
  return false;
}

std::string layoutRefusal(const Layout& layout, uint8_t point_format, uint16_t record_length) {
  if (layout.coder != 0) return "LAZ coder " + std::to_string(layout.coder) + " is not supported (only 0, arithmetic)";
  if (layout.items.empty()) return "the LASzip VLR lists no items";
  uint32_t items_length = 0;
  for (const Item& item : layout.items) items_length += item.size;
  if (items_length != record_length)
    return "the LAZ items make records of " + std::to_string(items_length) + " bytes but the header's are " +
           std::to_string(record_length);
  const Item& first = layout.items.front();
  switch (layout.compressor) {
    case Compressor::kPointwiseChunked: {
      if (first.type != ItemType::kPoint10 || point_format > 5)
        return "point format " + std::to_string(point_format) + " with LAZ item " + itemText(first) +
               " first is not supported by the point-wise decoder";
      if (layout.chunk_size == 0) return "LAZ chunk size 0";
      return pointwiseItemsRefusal(layout.items);
    }
    case Compressor::kLayeredChunked: {
      if (first.type != ItemType::kPoint14 || point_format < 6)
        return "point format " + std::to_string(point_format) + " with LAZ item " + itemText(first) +
               " first is not supported by the layered decoder";
      if (layout.chunk_size == 0) return "LAZ chunk size 0";
      for (const Item& item : layout.items) {
        if (!isLayeredItem(item)) return "LAZ item " + itemText(item) + " is not supported by the layered decoder";
      }
      return "";
    }
    default:
      return "LAZ compressor " + compressorText(layout.compressor) + " is not supported";
  }
}

std::vector<uint8_t> encodeLayout(const Layout& layout) {
  std::vector<uint8_t> payload(kPayloadFixedSize + kItemEntrySize * layout.items.size(), 0);
  uint8_t* p = payload.data();
  storeU16(p, static_cast<uint16_t>(layout.compressor));
  storeU16(p + 2, layout.coder);
  p[4] = layout.version_major;
  p[5] = layout.version_minor;
  storeU32(p + 12, layout.chunk_size);
  storeU64(p + 16, ~uint64_t{0});  // no special EVLRs
  storeU64(p + 24, ~uint64_t{0});
  storeU16(p + 32, static_cast<uint16_t>(layout.items.size()));
  for (size_t i = 0; i < layout.items.size(); ++i) {
    uint8_t* entry = p + kPayloadFixedSize + kItemEntrySize * i;
    storeU16(entry, static_cast<uint16_t>(layout.items[i].type));
    storeU16(entry + 2, layout.items[i].size);
    storeU16(entry + 4, layout.items[i].version);
  }
  return payload;
}

bool decodeChunkTable(const uint8_t* data, size_t size, uint32_t chunks, bool variable,
                      std::vector<uint32_t>& point_counts, std::vector<uint32_t>& byte_counts) {
  point_counts.clear();
  byte_counts.clear();
  if (chunks == 0) return true;
  ArithmeticDecoder decoder(data, size);
  IntegerDecoder entries(32, 2);
  uint32_t last_points = 0, last_bytes = 0;
  for (uint32_t i = 0; i < chunks; ++i) {
    if (variable) point_counts.push_back(last_points = static_cast<uint32_t>(entries.decode(decoder, static_cast<int32_t>(last_points), 0)));
    byte_counts.push_back(last_bytes = static_cast<uint32_t>(entries.decode(decoder, static_cast<int32_t>(last_bytes), 1)));
    if (decoder.overrun() > 0) return false;
  }
  return !decoder.damaged();
}

std::vector<uint8_t> encodeChunkTable(const std::vector<uint32_t>& point_counts,
                                      const std::vector<uint32_t>& byte_counts, bool variable) {
  std::vector<uint8_t> out;
  if (byte_counts.empty()) return out;
  ArithmeticEncoder encoder(out);
  IntegerEncoder entries(32, 2);
  for (size_t i = 0; i < byte_counts.size(); ++i) {
    if (variable)
      entries.encode(encoder, static_cast<int32_t>(i ? point_counts[i - 1] : 0), static_cast<int32_t>(point_counts[i]), 0);
    entries.encode(encoder, static_cast<int32_t>(i ? byte_counts[i - 1] : 0), static_cast<int32_t>(byte_counts[i]), 1);
  }
  encoder.finish();
  return out;
}

std::vector<Chunk> layOutChunks(uint64_t start, uint64_t end, uint64_t declared, uint32_t chunk_size,
                                uint16_t record_length, const std::vector<uint32_t>& point_counts, const std::vector<uint32_t>& byte_counts,
                                std::string& error) {
  std::vector<Chunk> chunks;
  const bool variable = chunk_size == kVariableChunkSize;
  uint64_t offset = start, first_point = 0;
  for (size_t i = 0; i < byte_counts.size() && first_point < declared; ++i) {
    Chunk chunk;
    chunk.offset = offset;
    chunk.bytes = byte_counts[i];
    chunk.first_point = first_point;
    chunk.points = std::min<uint64_t>(variable ? point_counts[i] : chunk_size, declared - first_point);
    if (chunk.bytes > end - offset) {
      error = "chunk " + std::to_string(i) + " of the chunk table ends at byte " + std::to_string(offset + chunk.bytes) +
              ", past the end of the point data at " + std::to_string(end);
      return {};
    }
    if (chunk.points > 0 && chunk.bytes == 0) {
      error = "chunk " + std::to_string(i) + " of the chunk table has " + std::to_string(chunk.points) +
              " points in 0 bytes";
      return {};
    }
    if (chunk.points > mostRecords(chunk.bytes, record_length)) {
      error = "chunk " + std::to_string(i) + " of the chunk table claims " + std::to_string(chunk.points) +
              " points in " + std::to_string(chunk.bytes) + " bytes";
      return {};
    }
    chunks.push_back(chunk);
    offset += chunk.bytes;
    first_point += chunk.points;
  }
  return chunks;
}

}  // namespace laz
}  // namespace korvane_navigation
