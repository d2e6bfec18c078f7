#include "formats/laz_layered.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "formats/byte_order.h"
#include "formats/laz_arithmetic.h"
#include "formats/laz_integer_codec.h"
#include "formats/laz_point_context.h"

namespace korvane_navigation {
namespace laz {
namespace {

constexpr size_t kPoint14Layers = 9;  // returns and x y, z, classification, flags, intensity, scan angle,
                                      // user data, point source, GPS time
constexpr size_t kPoint14Size = 30;

size_t layerCount(const Item& item) {
  switch (item.type) {
    case ItemType::kPoint14: return kPoint14Layers;
    case ItemType::kRgbNir14: return 2;
    case ItemType::kByte14: return item.size;
    default: return 1;  // RGB14, WAVEPACKET14
  }
}

// The context of the x and y differences (0..5) for the number of returns
// n and the return number r (each 0..15) of the formats 6 to 10.
uint32_t returnContext14(uint32_t n, uint32_t r) {
  static constexpr uint8_t kContexts[16][16] = {
      {0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5}, {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
      {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3}, {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
      {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
      {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
      {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
      {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
      {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
      {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5}};
  return kContexts[n & 15][r & 15];
}

// The context of the z prediction (0..7).
uint32_t returnLevel14(uint32_t n, uint32_t r) {
  return std::min<uint32_t>(static_cast<uint32_t>(std::abs(static_cast<int>(n & 15) - static_cast<int>(r & 15))), 7);
}

// What the x, y and z of a point are predicted from.
struct LastPoint {
  int32_t x = 0, y = 0, z = 0;
  uint32_t return_number = 0, returns = 0;
  bool gps_time_changed = false;
};

// The models of one scanner channel: points of up to four channels are
// interleaved, each predicted from the last of its own channel.
struct ChannelModels {
  explicit ChannelModels(const LastPoint& start) : last(start) {
    last.gps_time_changed = false;
    std::fill(std::begin(last_z), std::end(last_z), start.z);
  }

  SymbolModel& numberOfReturns(uint32_t last_n) { return lazily(number_of_returns[last_n & 15], 16); }
  SymbolModel& returnNumber(uint32_t last_r) { return lazily(return_number[last_r & 15], 16); }

  LastPoint last;
  int32_t last_z[8];
  StreamingMedian5 x_median[12], y_median[12];
  std::vector<SymbolModel> changed_values = std::vector<SymbolModel>(8, SymbolModel(128));
  SymbolModel scanner_channel{3};
  SymbolModel return_number_same_time{13};
  std::unique_ptr<SymbolModel> number_of_returns[16], return_number[16];
  IntegerDecoder dx{32, 2}, dy{32, 22}, dz{32, 20};

 private:
  static SymbolModel& lazily(std::unique_ptr<SymbolModel>& model, uint32_t symbols) {
    if (!model) model = std::make_unique<SymbolModel>(symbols);
    return *model;
  }
};

}  // namespace

ChunkDecoding decodeLayeredChunk(const std::vector<Item>& items, const uint8_t* chunk, size_t size, size_t count,
                                 uint8_t* records) {
  ChunkDecoding result;
  if (count == 0) return result;
  size_t record_length = 0, layers = 0;
  for (const Item& item : items) {
    record_length += item.size;
    layers += layerCount(item);
  }
  if (items.empty() || items.front().type != ItemType::kPoint14 || items.front().size != kPoint14Size) {
    result.error = "layered chunk without a POINT14 item first";
    return result;
  }
  const size_t layer_table = record_length + 4 + 4 * layers;
  if (size < record_length) {
    result.error = "chunk of " + std::to_string(size) + " bytes is shorter than its first record";
    return result;
  }
  std::memcpy(records, chunk, record_length);
  std::memset(records + record_length, 0, (count - 1) * record_length);
  if (size < layer_table) {
    result.error = "chunk of " + std::to_string(size) + " bytes is shorter than its layer sizes";
    return result;
  }
  const uint32_t coded_points = loadU32(chunk + record_length);
  uint64_t layers_end = layer_table;
  for (size_t i = 0; i < layers; ++i) layers_end += loadU32(chunk + record_length + 4 + 4 * i);
  result.bytes_used = static_cast<size_t>(std::min<uint64_t>(layers_end, size));
  if (layers_end > size) {
    result.error = "chunk layers of " + std::to_string(layers_end) + " bytes run past its " + std::to_string(size);
    return result;
  }
  if (coded_points < count) {
    result.error = "chunk holds " + std::to_string(coded_points) + " points, not " + std::to_string(count);
    return result;
  }
  const uint8_t* sizes = chunk + record_length + 4;
  const uint32_t xy_bytes = loadU32(sizes), z_bytes = loadU32(sizes + 4);
  const uint8_t* xy_layer = chunk + layer_table;
  ArithmeticDecoder xy(xy_layer, xy_bytes);
  ArithmeticDecoder z_decoder(xy_layer + xy_bytes, z_bytes);
  const bool z_changes = z_bytes > 0;

  const uint8_t* first = records;
  LastPoint start;
  start.x = loadI32(first);
  start.y = loadI32(first + 4);
  start.z = loadI32(first + 8);
  start.return_number = first[14] & 15;
  start.returns = first[14] >> 4;
  std::unique_ptr<ChannelModels> channels[4];
  uint32_t channel = (first[15] >> 4) & 3;
  channels[channel] = std::make_unique<ChannelModels>(start);

  for (size_t point = 1; point < count; ++point) {
    ChannelModels* models = channels[channel].get();
    LastPoint* last = &models->last;
    const uint32_t previous = (last->return_number == 1 ? 1 : 0) + (last->return_number >= last->returns ? 2 : 0) +
                              (last->gps_time_changed ? 4 : 0);
    const uint32_t changed = xy.decodeSymbol(models->changed_values[previous]);
    if (changed & 64) {
      const uint32_t next = (channel + xy.decodeSymbol(models->scanner_channel) + 1) % 4;
      if (!channels[next]) channels[next] = std::make_unique<ChannelModels>(*last);
      channel = next;
      models = channels[channel].get();
      last = &models->last;
    }
    const bool gps_time_changed = (changed & 16) != 0;
    const uint32_t last_r = last->return_number;
    const uint32_t n = (changed & 4) ? xy.decodeSymbol(models->numberOfReturns(last->returns)) : last->returns;
    uint32_t r;
    switch (changed & 3) {
      case 0: r = last_r; break;
      case 1: r = (last_r + 1) % 16; break;
      case 2: r = (last_r + 15) % 16; break;
      default:
        r = gps_time_changed ? xy.decodeSymbol(models->returnNumber(last_r))
                             : (last_r + xy.decodeSymbol(models->return_number_same_time) + 2) % 16;
    }
    last->returns = n;
    last->return_number = r;
    const uint32_t m = returnContext14(n, r), l = returnLevel14(n, r);
    const bool single = n == 1;
    const uint32_t median = (m << 1) | (gps_time_changed ? 1 : 0);
    const int32_t dx = models->dx.decode(xy, models->x_median[median].median(), single ? 1 : 0);
    last->x = wrappingSum(last->x, dx);
    models->x_median[median].add(dx);
    const int32_t dy = models->dy.decode(xy, models->y_median[median].median(), yContext(single, models->dx.lastK()));
    last->y = wrappingSum(last->y, dy);
    models->y_median[median].add(dy);
    if (z_changes) {
      last->z = models->dz.decode(z_decoder, models->last_z[l], zContext(single, models->dx.lastK(), models->dy.lastK()));
      models->last_z[l] = last->z;
    }
    last->gps_time_changed = gps_time_changed;
    uint8_t* record = records + point * record_length;
    storeI32(record, last->x);
    storeI32(record + 4, last->y);
    storeI32(record + 8, last->z);
  }
  if (xy.overrun() > 0 || z_decoder.overrun() > 0) {
    result.error = "chunk's x y or z layer runs past its bytes";
  } else if (xy.damaged() || z_decoder.damaged()) {
    result.error = "chunk data is corrupt";
  }
  return result;
}

}  // namespace laz
}  // namespace korvane_navigation
