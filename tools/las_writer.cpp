#include "las_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "formats/byte_order.h"
#include "formats/las_format.h"
#include "formats/las_reader.h"

namespace korvane_navigation {
namespace {

using namespace las;

constexpr size_t kVlrHeaderSize = 54;
constexpr size_t kVlrUserIdAt = 2;
constexpr size_t kVlrRecordIdAt = 18;
constexpr uint16_t kLas10VlrSignature = 0xAABB;  // later versions made this field reserved (0)
constexpr uint8_t kLas10PointSignature[] = {0xDD, 0xCC};
constexpr size_t kStreamBufferBytes = size_t{1} << 20;

void storeText(uint8_t* p, const char* text) { std::memcpy(p, text, std::strlen(text)); }

struct Layout {
  uint16_t header_size;
  uint32_t offset_to_point_data;
  uint16_t record_length;
};

Layout layoutFor(const LasWriteOptions& options) {
  if (options.version_minor > 4) throw std::invalid_argument("LAS version 1." + std::to_string(options.version_minor));
  const uint16_t format_length = lasMinimumRecordLength(options.point_format);
  if (format_length == 0)
    throw std::invalid_argument("point data format " + std::to_string(options.point_format));
  for (int axis = 0; axis < 3; ++axis) {
    if (!std::isfinite(options.scale[axis]) || options.scale[axis] == 0.0 || !std::isfinite(options.offset[axis]))
      throw std::invalid_argument("scale must be finite and non-zero, offset finite");
  }
  const uint16_t header_size = options.version_minor <= 2 ? 227 : options.version_minor == 3 ? 235 : 375;
  const uint64_t offset = header_size + uint64_t{options.vlr_count} * kVlrHeaderSize +
                          (options.version_minor == 0 ? sizeof kLas10PointSignature : 0);
  const uint32_t record_length = uint32_t{format_length} + options.extra_record_bytes;
  if (offset > std::numeric_limits<uint32_t>::max()) throw std::invalid_argument("too many VLRs");
  if (record_length > std::numeric_limits<uint16_t>::max()) throw std::invalid_argument("record too long");
  return {header_size, static_cast<uint32_t>(offset), static_cast<uint16_t>(record_length)};
}

struct Bounds {
  double min[3] = {0, 0, 0};
  double max[3] = {0, 0, 0};
  bool empty = true;

  void add(const double (&v)[3]) {
    for (int axis = 0; axis < 3; ++axis) {
      min[axis] = empty ? v[axis] : std::min(min[axis], v[axis]);
      max[axis] = empty ? v[axis] : std::max(max[axis], v[axis]);
    }
    empty = false;
  }
};

// Writes the record's integer coordinates (the rest of the record stays zero) and
// adds the coordinate a reader will see to the bounds, so the bounds hold every stored point.
void encodePoint(const LasWriteOptions& options, double x, double y, double z, uint8_t* record,
                 Bounds& bounds) {
  const double in[3] = {x, y, z};
  double stored[3];
  for (int axis = 0; axis < 3; ++axis) {
    const double steps = std::round((in[axis] - options.offset[axis]) / options.scale[axis]);
    if (!(steps >= std::numeric_limits<int32_t>::min() && steps <= std::numeric_limits<int32_t>::max()))
      throw std::out_of_range("coordinate " + std::to_string(in[axis]) + " does not fit the LAS scale and offset");
    const auto quantized = static_cast<int32_t>(steps);
    storeU32(record + 4 * axis, static_cast<uint32_t>(quantized));
    stored[axis] = quantized * options.scale[axis] + options.offset[axis];
  }
  bounds.add(stored);
}

// Public header, VLRs and (LAS 1.0) the point start signature: everything before the points.
std::vector<uint8_t> encodePreamble(const LasWriteOptions& options, const Layout& layout,
                                    uint64_t point_count, const Bounds& bounds) {
  const uint64_t declared = options.declared_count >= 0 ? static_cast<uint64_t>(options.declared_count) : point_count;
  const bool wide_count = options.version_minor >= 4;
  if (!wide_count && declared > std::numeric_limits<uint32_t>::max())
    throw std::invalid_argument("more than 2^32 points need LAS 1.4");

  std::vector<uint8_t> bytes(layout.offset_to_point_data, 0);
  uint8_t* h = bytes.data();
  storeText(h, "LASF");
  h[kVersionMajorAt] = 1;
  h[kVersionMinorAt] = options.version_minor;
  storeText(h + kSystemIdentifierAt, "OTHER");
  storeText(h + kGeneratingSoftwareAt, "map_generator");
  storeU16(h + kHeaderSizeAt, layout.header_size);
  storeU32(h + kOffsetToPointDataAt, layout.offset_to_point_data);
  storeU32(h + kVlrCountAt, options.vlr_count);
  h[kPointFormatAt] = options.point_format;
  storeU16(h + kPointRecordLengthAt, layout.record_length);
  const bool legacy_fits = declared <= std::numeric_limits<uint32_t>::max();
  if (legacy_fits && !(wide_count && options.legacy_count_zero))
    storeU32(h + kLegacyPointCountAt, static_cast<uint32_t>(declared));
  if (wide_count) storeU64(h + kPointCount64At, declared);
  for (int axis = 0; axis < 3; ++axis) {
    storeF64(h + kScaleAt + 8 * axis, options.scale[axis]);
    storeF64(h + kOffsetAt + 8 * axis, options.offset[axis]);
    storeF64(h + kBoundsAt + 16 * axis, bounds.max[axis]);
    storeF64(h + kBoundsAt + 16 * axis + 8, bounds.min[axis]);
  }

  for (uint32_t i = 0; i < options.vlr_count; ++i) {
    uint8_t* vlr = h + layout.header_size + i * kVlrHeaderSize;
    if (options.version_minor == 0) storeU16(vlr, kLas10VlrSignature);
    storeText(vlr + kVlrUserIdAt, "map_generator");
    storeU16(vlr + kVlrRecordIdAt, static_cast<uint16_t>(i));
  }
  if (options.version_minor == 0)
    std::memcpy(h + layout.offset_to_point_data - sizeof kLas10PointSignature, kLas10PointSignature,
                sizeof kLas10PointSignature);
  return bytes;
}

}  // namespace

std::vector<uint8_t> encodeLas(const std::vector<std::array<double, 3>>& points,
                               const LasWriteOptions& options) {
  const Layout layout = layoutFor(options);
  std::vector<uint8_t> records(points.size() * layout.record_length, 0);
  Bounds bounds;
  for (size_t i = 0; i < points.size(); ++i)
    encodePoint(options, points[i][0], points[i][1], points[i][2], &records[i * layout.record_length], bounds);
  std::vector<uint8_t> bytes = encodePreamble(options, layout, points.size(), bounds);
  bytes.insert(bytes.end(), records.begin(), records.end());
  return bytes;
}

struct LasFileWriter::Impl {
  explicit Impl(const LasWriteOptions& write_options)
      : options(write_options), layout(layoutFor(write_options)) {}

  LasWriteOptions options;
  Layout layout;
  std::FILE* file = nullptr;
  std::vector<uint8_t> buffer;
  size_t buffered = 0;
  uint64_t count = 0;
  Bounds bounds;
  bool ok = false;

  void flush() {
    if (ok && buffered > 0 && std::fwrite(buffer.data(), 1, buffered, file) != buffered) ok = false;
    buffered = 0;
  }
};

LasFileWriter::LasFileWriter(const std::string& path, const LasWriteOptions& options)
    : impl_(new Impl(options)) {
  impl_->file = std::fopen(path.c_str(), "wb");
  if (impl_->file == nullptr) return;
  // Placeholder preamble, rewritten by close() once the count and bounds are known.
  const std::vector<uint8_t> preamble = encodePreamble(options, impl_->layout, 0, impl_->bounds);
  impl_->ok = std::fwrite(preamble.data(), 1, preamble.size(), impl_->file) == preamble.size();
  const size_t record_length = impl_->layout.record_length;
  impl_->buffer.assign(std::max(record_length, kStreamBufferBytes / record_length * record_length), 0);
}

LasFileWriter::~LasFileWriter() {
  close();
  delete impl_;
}

void LasFileWriter::add(double x, double y, double z) {
  Impl& w = *impl_;
  if (w.file == nullptr) return;
  uint8_t* record = &w.buffer[w.buffered];
  encodePoint(w.options, x, y, z, record, w.bounds);
  w.buffered += w.layout.record_length;
  ++w.count;
  // Only x, y, z are ever written, so the zeroed non-xyz fields survive buffer reuse.
  if (w.buffered == w.buffer.size()) w.flush();
}

bool LasFileWriter::close() {
  Impl& w = *impl_;
  if (w.file == nullptr) return w.ok;
  w.flush();
  if (w.ok) {
    try {  // close() runs from the destructor too, so a count the version cannot hold must not throw
      const std::vector<uint8_t> preamble = encodePreamble(w.options, w.layout, w.count, w.bounds);
      w.ok = std::fseek(w.file, 0, SEEK_SET) == 0 &&
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
