#include "laz_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "formats/byte_order.h"
#include "formats/las_format.h"
#include "formats/laz_arithmetic.h"
#include "formats/laz_integer_codec.h"
#include "formats/laz_layout.h"
#include "formats/laz_point_context.h"

namespace korvane_navigation {
namespace {

using laz::ArithmeticEncoder;
using laz::IntegerEncoder;
using laz::SymbolModel;

constexpr size_t kPoint10Size = 20;
constexpr size_t kVlrHeaderSize = 54;
constexpr uint8_t kCompressedFormatBit = 0x80;

// The mirror of the reader's POINT10 version 2 decoder.
class Point10Encoder {
 public:
  explicit Point10Encoder(const uint8_t* first) { std::memcpy(last_, first, kPoint10Size); }

  void encode(ArithmeticEncoder& encoder, const uint8_t* item) {
    const uint32_t r = item[14] & 7, n = (item[14] >> 3) & 7;
    const uint32_t m = laz::returnContext(n, r), l = laz::returnLevel(n, r);
    const uint16_t intensity = loadU16(item + 12), point_source = loadU16(item + 18);
    const uint32_t changed = (last_[14] != item[14]) << 5 | (last_intensity_[m] != intensity) << 4 |
                             (last_[15] != item[15]) << 3 | (last_[16] != item[16]) << 2 |
                             (last_[17] != item[17]) << 1 | (loadU16(last_ + 18) != point_source);
    encoder.encodeSymbol(changed_values_, changed);
    if (changed & 32) encoder.encodeSymbol(model(bit_byte_, last_[14]), item[14]);
    if (changed & 16) {
      intensity_.encode(encoder, last_intensity_[m], intensity, std::min(m, 3u));
      last_intensity_[m] = intensity;
    }
    if (changed & 8) encoder.encodeSymbol(model(classification_, last_[15]), item[15]);
    if (changed & 4) encoder.encodeSymbol(scan_angle_[(item[14] >> 6) & 1], static_cast<uint8_t>(item[16] - last_[16]));
    if (changed & 2) encoder.encodeSymbol(model(user_data_, last_[17]), item[17]);
    if (changed & 1) point_source_.encode(encoder, loadU16(last_ + 18), point_source);

    const bool single = n == 1;
    const int32_t dx = laz::wrappingDifference(loadI32(item), loadI32(last_));
    dx_.encode(encoder, x_median_[m].median(), dx, single ? 1 : 0);
    x_median_[m].add(dx);
    const int32_t dy = laz::wrappingDifference(loadI32(item + 4), loadI32(last_ + 4));
    dy_.encode(encoder, y_median_[m].median(), dy, laz::yContext(single, dx_.lastK()));
    y_median_[m].add(dy);
    const int32_t z = loadI32(item + 8);
    z_.encode(encoder, last_height_[l], z, laz::zContext(single, dx_.lastK(), dy_.lastK()));
    last_height_[l] = z;
    std::memcpy(last_, item, kPoint10Size);
  }

 private:
  static SymbolModel& model(std::unique_ptr<SymbolModel> (&models)[256], uint8_t value) {
    if (!models[value]) models[value] = std::make_unique<SymbolModel>(256);
    return *models[value];
  }

  uint8_t last_[kPoint10Size];
  uint16_t last_intensity_[16] = {};
  int32_t last_height_[8] = {};
  laz::StreamingMedian5 x_median_[16], y_median_[16];
  SymbolModel changed_values_{64};
  SymbolModel scan_angle_[2] = {SymbolModel(256), SymbolModel(256)};
  std::unique_ptr<SymbolModel> bit_byte_[256], classification_[256], user_data_[256];
  IntegerEncoder intensity_{16, 4};
  IntegerEncoder point_source_{16, 1};
  IntegerEncoder dx_{32, 2}, dy_{32, 22}, z_{32, 20};
};

laz::Layout point10Layout(uint32_t chunk_points) {
  laz::Layout layout;
  layout.compressor = laz::Compressor::kPointwiseChunked;
  layout.version_major = 2;
  layout.version_minor = 2;
  layout.chunk_size = chunk_points;
  layout.items = {{laz::ItemType::kPoint10, static_cast<uint16_t>(kPoint10Size), 2}};
  return layout;
}

// Collects points into chunks and codes them; the caller places the bytes.
struct ChunkedPoints {
  explicit ChunkedPoints(const LazWriteOptions& write_options) : options(write_options) {
    if (options.las.version_minor < 1 || options.las.version_minor > 4 || options.las.point_format != 0 ||
        options.las.extra_record_bytes != 0 || options.las.vlr_count != 0 || options.las.declared_count >= 0)
      throw std::invalid_argument("LAZ output is LAS 1.1 to 1.4, point format 0, without extra bytes or VLRs");
    if (options.chunk_points == 0 || options.chunk_points == laz::kVariableChunkSize)
      throw std::invalid_argument("LAZ chunks need a fixed, non-zero number of points");
    records.reserve(size_t{options.chunk_points} * kPoint10Size);
  }

  // Quantises as the LAS writer does and keeps the bounds of what a reader will see.
  void add(double x, double y, double z) {
    const double in[3] = {x, y, z};
    uint8_t record[kPoint10Size] = {};
    for (int axis = 0; axis < 3; ++axis) {
      const double steps = std::round((in[axis] - options.las.offset[axis]) / options.las.scale[axis]);
      if (!(steps >= std::numeric_limits<int32_t>::min() && steps <= std::numeric_limits<int32_t>::max()))
        throw std::out_of_range("coordinate " + std::to_string(in[axis]) + " does not fit the LAS scale and offset");
      const auto quantised = static_cast<int32_t>(steps);
      storeU32(record + 4 * axis, static_cast<uint32_t>(quantised));
      const double stored = quantised * options.las.scale[axis] + options.las.offset[axis];
      min[axis] = count == 0 ? stored : std::min(min[axis], stored);
      max[axis] = count == 0 ? stored : std::max(max[axis], stored);
    }
    records.insert(records.end(), record, record + kPoint10Size);
    ++count;
  }

  bool chunkFull() const { return records.size() == size_t{options.chunk_points} * kPoint10Size; }

  std::vector<uint8_t> takeChunk() {
    std::vector<uint8_t> chunk = encodePoint10Chunk(records.data(), records.size() / kPoint10Size);
    chunk_bytes.push_back(static_cast<uint32_t>(chunk.size()));
    records.clear();
    return chunk;
  }

  // Version 0, the chunk count and the coded entries.
  std::vector<uint8_t> table() const {
    std::vector<uint8_t> bytes(8, 0);
    storeU32(bytes.data() + 4, static_cast<uint32_t>(chunk_bytes.size()));
    const std::vector<uint8_t> entries = laz::encodeChunkTable({}, chunk_bytes, false);
    bytes.insert(bytes.end(), entries.begin(), entries.end());
    return bytes;
  }

  // Header, LASzip VLR and the chunk table's offset: everything before the chunks.
  std::vector<uint8_t> preamble(uint64_t table_at) const {
    LasWriteOptions header_options = options.las;
    header_options.declared_count = static_cast<int64_t>(count);
    std::vector<uint8_t> bytes = encodeLas({}, header_options);
    const std::vector<uint8_t> payload = laz::encodeLayout(point10Layout(options.chunk_points));
    uint8_t* h = bytes.data();
    h[las::kPointFormatAt] |= kCompressedFormatBit;
    storeU32(h + las::kVlrCountAt, 1);
    storeU32(h + las::kOffsetToPointDataAt, static_cast<uint32_t>(bytes.size() + kVlrHeaderSize + payload.size()));
    for (int axis = 0; axis < 3; ++axis) {
      storeF64(h + las::kBoundsAt + 16 * axis, max[axis]);
      storeF64(h + las::kBoundsAt + 16 * axis + 8, min[axis]);
    }
    uint8_t vlr[kVlrHeaderSize] = {};
    std::memcpy(vlr + 2, laz::kVlrUserId, std::strlen(laz::kVlrUserId));
    storeU16(vlr + 18, laz::kVlrRecordId);
    storeU16(vlr + 20, static_cast<uint16_t>(payload.size()));
    std::memcpy(vlr + 22, "map_generator LAZ", 17);
    bytes.insert(bytes.end(), vlr, vlr + kVlrHeaderSize);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    uint8_t pointer[8];
    storeU64(pointer, table_at);
    bytes.insert(bytes.end(), pointer, pointer + 8);
    return bytes;
  }

  LazWriteOptions options;
  std::vector<uint8_t> records;
  std::vector<uint32_t> chunk_bytes;
  uint64_t count = 0;
  double min[3] = {0, 0, 0}, max[3] = {0, 0, 0};
};

}  // namespace

std::vector<uint8_t> encodePoint10Chunk(const uint8_t* records, size_t count) {
  std::vector<uint8_t> chunk;
  if (count == 0) return chunk;
  chunk.assign(records, records + kPoint10Size);
  std::vector<uint8_t> stream;
  ArithmeticEncoder encoder(stream);
  Point10Encoder points(records);
  for (size_t i = 1; i < count; ++i) points.encode(encoder, records + i * kPoint10Size);
  encoder.finish();
  chunk.insert(chunk.end(), stream.begin(), stream.end());
  return chunk;
}

std::vector<uint8_t> encodeLaz(const std::vector<std::array<double, 3>>& points, const LazWriteOptions& options) {
  ChunkedPoints chunked(options);
  std::vector<uint8_t> body;
  for (const std::array<double, 3>& point : points) {
    chunked.add(point[0], point[1], point[2]);
    if (chunked.chunkFull()) {
      const std::vector<uint8_t> chunk = chunked.takeChunk();
      body.insert(body.end(), chunk.begin(), chunk.end());
    }
  }
  if (!chunked.records.empty()) {
    const std::vector<uint8_t> chunk = chunked.takeChunk();
    body.insert(body.end(), chunk.begin(), chunk.end());
  }
  const size_t preamble_size = chunked.preamble(0).size();
  std::vector<uint8_t> bytes = chunked.preamble(preamble_size + body.size());
  bytes.insert(bytes.end(), body.begin(), body.end());
  const std::vector<uint8_t> table = chunked.table();
  bytes.insert(bytes.end(), table.begin(), table.end());
  return bytes;
}

struct LazFileWriter::Impl {
  explicit Impl(const LazWriteOptions& options) : chunked(options) {}

  ChunkedPoints chunked;
  std::FILE* file = nullptr;
  uint64_t written = 0;  // bytes after the preamble
  size_t preamble_size = 0;
  bool ok = false;

  void writeChunk() {
    const std::vector<uint8_t> chunk = chunked.takeChunk();
    if (ok && std::fwrite(chunk.data(), 1, chunk.size(), file) != chunk.size()) ok = false;
    written += chunk.size();
  }
};

LazFileWriter::LazFileWriter(const std::string& path, const LazWriteOptions& options) : impl_(new Impl(options)) {
  impl_->file = std::fopen(path.c_str(), "wb");
  if (impl_->file == nullptr) return;
  // Placeholder preamble, rewritten by close() once the count, bounds and table offset are known.
  const std::vector<uint8_t> preamble = impl_->chunked.preamble(0);
  impl_->preamble_size = preamble.size();
  impl_->ok = std::fwrite(preamble.data(), 1, preamble.size(), impl_->file) == preamble.size();
}

LazFileWriter::~LazFileWriter() {
  close();
  delete impl_;
}

void LazFileWriter::add(double x, double y, double z) {
  Impl& w = *impl_;
  if (w.file == nullptr) return;
  w.chunked.add(x, y, z);
  if (w.chunked.chunkFull()) w.writeChunk();
}

bool LazFileWriter::close() {
  Impl& w = *impl_;
  if (w.file == nullptr) return w.ok;
  if (!w.chunked.records.empty()) w.writeChunk();
  if (w.ok) {
    try {  // close() runs from the destructor too, so a count the version cannot hold must not throw
      const std::vector<uint8_t> table = w.chunked.table();
      const std::vector<uint8_t> preamble = w.chunked.preamble(w.preamble_size + w.written);
      w.ok = std::fwrite(table.data(), 1, table.size(), w.file) == table.size() &&
             std::fseek(w.file, 0, SEEK_SET) == 0 &&
             std::fwrite(preamble.data(), 1, preamble.size(), w.file) == preamble.size();
    } catch (const std::invalid_argument&) {
      w.ok = false;
    }
  }
  if (std::fclose(w.file) != 0) w.ok = false;
  w.file = nullptr;
  return w.ok;
}

}  // namespace korvane_navigation
