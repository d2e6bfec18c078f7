#include "e57_writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "formats/byte_order.h"

namespace korvane_navigation {
namespace {

using namespace e57;

constexpr size_t kDataPacketHeaderSize = 6;
constexpr size_t kEmptyPacketLength = 16;
constexpr size_t kIndexPacketLength = 32;  // 16-byte header and one entry

// Range, azimuth and elevation of a point, or the point itself.
std::array<double, 3> storedCoordinates(double x, double y, double z, bool spherical) {
  if (!spherical) return {x, y, z};
  const double range = std::sqrt(x * x + y * y + z * z);
  return {range, std::atan2(y, x), range > 0 ? std::asin(z / range) : 0.0};
}

std::string number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// Appends values of any width, least significant bit first.
class BitPacker {
 public:
  void put(uint64_t value, unsigned width) {
    while (width > 0) {
      if (fill_ == 0) bytes_.push_back(0);
      const unsigned taken = std::min(8u - fill_, width);
      bytes_.back() |= static_cast<uint8_t>((value & ((1u << taken) - 1)) << fill_);
      value >>= taken;
      width -= taken;
      fill_ = (fill_ + taken) % 8;
    }
  }
  // Bytes whose eight bits are all written; the last one may be partial until the scan ends.
  size_t wholeBytes(bool scan_ended) const { return fill_ == 0 || scan_ended ? bytes_.size() : bytes_.size() - 1; }
  const uint8_t* data() const { return bytes_.data(); }
  void drop(size_t count) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(count));
    if (bytes_.empty()) fill_ = 0;
  }

 private:
  std::vector<uint8_t> bytes_;
  unsigned fill_ = 0;  // bits used in the last byte; 0 when it is full
};

// The logical byte stream cut into pages, each closed by its CRC-32C.
class PagedOutput {
 public:
  PagedOutput(std::FILE* file, uint64_t page_size) : file_(file), page_size_(page_size), page_(page_size, 0) {}

  uint64_t payload() const { return page_size_ - kChecksumSize; }
  uint64_t logical() const { return pages_written_ * payload() + fill_; }
  uint64_t physical() const { return pages_written_ * page_size_ + fill_; }
  uint64_t physicalOf(uint64_t logical) const { return logical / payload() * page_size_ + logical % payload(); }
  bool ok() const { return ok_; }
  int errorNumber() const { return error_number_; }

  void write(const uint8_t* data, size_t size) {
    while (size > 0) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, payload() - fill_));
      std::memcpy(&page_[static_cast<size_t>(fill_)], data, piece);
      fill_ += piece;
      data += piece;
      size -= piece;
      if (fill_ == payload()) finishPage();
    }
  }
  void zeros(size_t size) {
    const std::vector<uint8_t> padding(size, 0);
    write(padding.data(), padding.size());
  }
  void alignTo4() { zeros(static_cast<size_t>((4 - logical() % 4) % 4)); }

  // Overwrites bytes written earlier, recomputing the checksums of the pages touched.
  void patch(uint64_t logical, const uint8_t* data, size_t size) {
    std::vector<uint8_t> page(static_cast<size_t>(page_size_));
    while (size > 0) {
      const uint64_t index = logical / payload();
      const uint64_t in_page = logical % payload();
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, payload() - in_page));
      if (index == pages_written_) {
        std::memcpy(&page_[static_cast<size_t>(in_page)], data, piece);
      } else {
        const long at = static_cast<long>(index * page_size_);
        check(ok_ && std::fseek(file_, at, SEEK_SET) == 0 &&
              std::fread(page.data(), 1, page.size(), file_) == page.size());
        std::memcpy(&page[static_cast<size_t>(in_page)], data, piece);
        seal(page.data());
        check(ok_ && std::fseek(file_, at, SEEK_SET) == 0 &&
              std::fwrite(page.data(), 1, page.size(), file_) == page.size() &&
              std::fseek(file_, 0, SEEK_END) == 0);
      }
      logical += piece;
      data += piece;
      size -= piece;
    }
  }

  void finish() {
    if (fill_ > 0) zeros(static_cast<size_t>(payload() - fill_));
  }

 private:
  void check(bool success) {
    if (!success && ok_) error_number_ = errno != 0 ? errno : EIO;
    ok_ = ok_ && success;
  }
  void seal(uint8_t* page) const {
    const uint32_t crc = crc32c(page, static_cast<size_t>(payload()));
    uint8_t* end = page + payload();
    end[0] = static_cast<uint8_t>(crc >> 24);
    end[1] = static_cast<uint8_t>(crc >> 16);
    end[2] = static_cast<uint8_t>(crc >> 8);
    end[3] = static_cast<uint8_t>(crc);
  }
  void finishPage() {
    seal(page_.data());
    check(ok_ && std::fwrite(page_.data(), 1, page_.size(), file_) == page_.size());
    std::fill(page_.begin(), page_.end(), 0);
    ++pages_written_;
    fill_ = 0;
  }

  std::FILE* file_;
  uint64_t page_size_;
  std::vector<uint8_t> page_;
  uint64_t fill_ = 0;
  uint64_t pages_written_ = 0;
  bool ok_ = true;
  int error_number_ = 0;
};

enum class Role { kCoordinate0, kCoordinate1, kCoordinate2, kInvalidState, kExtra };

struct FieldWriter {
  std::string xml;
  Role role = Role::kExtra;
  unsigned bits = 0;
  BitPacker packer;
};

}  // namespace

struct E57FileWriter::Impl {
  std::string path;
  int error_number = 0;
  E57WriteOptions options;
  std::FILE* file = nullptr;
  std::optional<PagedOutput> out;
  E57Layout layout;
  std::string scans_xml;

  bool in_scan = false;
  std::optional<E57Pose> pose;
  std::vector<FieldWriter> fields;
  int64_t raw_min[3] = {0, 0, 0};
  int64_t raw_max[3] = {0, 0, 0};
  uint64_t section_start = 0;  // logical
  uint64_t records = 0;
  uint64_t index_offset = 0;
  bool first_data_packet_written = false;

  std::string coordinateXml(int axis) const {
    static constexpr const char* kCartesian[] = {"cartesianX", "cartesianY", "cartesianZ"};
    static constexpr const char* kSpherical[] = {"sphericalRange", "sphericalAzimuth", "sphericalElevation"};
    const std::string name = options.spherical ? kSpherical[axis] : kCartesian[axis];
    switch (options.encoding) {
      case E57CoordinateEncoding::kScaledInteger:
        return "<" + name + " type=\"ScaledInteger\" minimum=\"" + std::to_string(raw_min[axis]) +
               "\" maximum=\"" + std::to_string(raw_max[axis]) + "\" scale=\"" + number(options.scale) +
               "\" offset=\"" + number(options.offset) + "\"/>";
      case E57CoordinateEncoding::kSingleFloat:
        return "<" + name + " type=\"Float\" precision=\"single\"/>";
      case E57CoordinateEncoding::kDoubleFloat:
        break;
    }
    return "<" + name + " type=\"Float\"/>";
  }

  unsigned coordinateBits(int axis) const {
    switch (options.encoding) {
      case E57CoordinateEncoding::kScaledInteger: {
        const uint64_t range = static_cast<uint64_t>(raw_max[axis]) - static_cast<uint64_t>(raw_min[axis]);
        unsigned bits = 0;
        while (bits < 64 && (range >> bits) != 0) ++bits;
        return bits;
      }
      case E57CoordinateEncoding::kSingleFloat:
        return 32;
      case E57CoordinateEncoding::kDoubleFloat:
        break;
    }
    return 64;
  }

  void addField(Role role, std::string xml, unsigned bits) {
    fields.emplace_back();
    fields.back().role = role;
    fields.back().xml = std::move(xml);
    fields.back().bits = bits;
  }

  // Extras sit between the coordinates, so a reader must skip fields it
  // ignores wherever they are.
  void buildFields() {
    fields.clear();
    const auto coordinate = [&](int axis) {
      addField(static_cast<Role>(axis), coordinateXml(axis), coordinateBits(axis));
    };
    if (options.extra_fields) addField(Role::kExtra, "<intensity type=\"Integer\" minimum=\"0\" maximum=\"4095\"/>", 12);
    coordinate(0);
    coordinate(1);
    if (options.extra_fields) {
      for (const char* colour : {"colorRed", "colorGreen", "colorBlue"})
        addField(Role::kExtra, std::string("<") + colour + " type=\"Integer\" minimum=\"0\" maximum=\"255\"/>", 8);
      addField(Role::kExtra, "<returnIndex type=\"Integer\" minimum=\"0\" maximum=\"0\"/>", 0);
    }
    coordinate(2);
    if (options.invalid_state_field) {
      const char* name = options.spherical ? "sphericalInvalidState" : "cartesianInvalidState";
      addField(Role::kInvalidState, std::string("<") + name + " type=\"Integer\" minimum=\"0\" maximum=\"2\"/>", 2);
    }
    if (options.extra_fields) {
      addField(Role::kExtra, "<timeStamp type=\"Float\"/>", 64);
      addField(Role::kExtra, "<nor:normalX type=\"Float\" precision=\"single\"/>", 32);
    }
  }

  size_t packetCapacity() const { return options.max_packet_bytes - kDataPacketHeaderSize - 2 * fields.size(); }

  void writePacket(const std::vector<size_t>& sizes) {
    size_t payload_bytes = 0;
    for (size_t size : sizes) payload_bytes += size;
    const size_t unpadded = kDataPacketHeaderSize + 2 * fields.size() + payload_bytes;
    const size_t length = (unpadded + 3) / 4 * 4;
    std::vector<uint8_t> packet(length, 0);
    packet[0] = kDataPacket;
    storeU16(&packet[2], static_cast<uint16_t>(length - 1));
    storeU16(&packet[4], static_cast<uint16_t>(fields.size()));
    size_t at = kDataPacketHeaderSize + 2 * fields.size();
    for (size_t i = 0; i < fields.size(); ++i) {
      storeU16(&packet[kDataPacketHeaderSize + 2 * i], static_cast<uint16_t>(sizes[i]));
      if (sizes[i] > 0) std::memcpy(&packet[at], fields[i].packer.data(), sizes[i]);
      fields[i].packer.drop(sizes[i]);
      at += sizes[i];
    }
    emit(kDataPacket, packet);
    if (!first_data_packet_written && options.index_and_empty_packets) {
      std::vector<uint8_t> empty(kEmptyPacketLength, 0);
      empty[0] = kEmptyPacket;
      storeU16(&empty[2], kEmptyPacketLength - 1);
      emit(kEmptyPacket, empty);
      std::vector<uint8_t> index(kIndexPacketLength, 0);
      index[0] = kIndexPacket;
      storeU16(&index[2], kIndexPacketLength - 1);
      storeU16(&index[4], 1);  // one entry: record 0 starts in the first data packet
      storeU64(&index[24], layout.scans.back().data_offset);
      index_offset = out->physical();
      emit(kIndexPacket, index);
    }
    first_data_packet_written = true;
  }

  void emit(uint8_t type, const std::vector<uint8_t>& packet) {
    layout.scans.back().packets.push_back({out->physical(), packet.size(), type});
    out->write(packet.data(), packet.size());
  }

  // Emits packets while the fields hold a packet's worth of whole bytes (or
  // anything at all once the scan has ended), each field's share in
  // proportion to what it holds so that no stream runs far ahead.
  void emitPackets(bool scan_ended) {
    const size_t capacity = packetCapacity();
    for (;;) {
      size_t total = 0;
      for (const FieldWriter& field : fields) total += field.packer.wholeBytes(scan_ended);
      if (total == 0 || (!scan_ended && total < capacity)) return;
      std::vector<size_t> sizes(fields.size());
      for (size_t i = 0; i < fields.size(); ++i) {
        const size_t held = fields[i].packer.wholeBytes(scan_ended);
        sizes[i] = total <= capacity ? held : held * capacity / total;
      }
      writePacket(sizes);
    }
  }

  uint64_t quantize(double value, int axis) const {
    const double steps = std::round((value - options.offset) / options.scale);
    if (!(steps >= static_cast<double>(raw_min[axis]) && steps <= static_cast<double>(raw_max[axis])))
      throw std::out_of_range("coordinate " + number(value) + " outside the scan's declared bounds");
    return static_cast<uint64_t>(static_cast<int64_t>(steps)) - static_cast<uint64_t>(raw_min[axis]);
  }

  uint64_t encodeCoordinate(double value, int axis) const {
    switch (options.encoding) {
      case E57CoordinateEncoding::kScaledInteger:
        return quantize(value, axis);
      case E57CoordinateEncoding::kSingleFloat: {
        const float single = static_cast<float>(value);
        uint32_t bits;
        std::memcpy(&bits, &single, sizeof bits);
        return bits;
      }
      case E57CoordinateEncoding::kDoubleFloat:
        break;
    }
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }

  std::string poseXml() const {
    if (!pose) return "";
    std::string xml = "<pose type=\"Structure\">";
    if (pose->rotation) {
      const auto& q = *pose->rotation;
      xml += "<rotation type=\"Structure\"><w type=\"Float\">" + number(q[0]) + "</w><x type=\"Float\">" +
             number(q[1]) + "</x><y type=\"Float\">" + number(q[2]) + "</y><z type=\"Float\">" + number(q[3]) +
             "</z></rotation>";
    }
    if (pose->translation) {
      const auto& t = *pose->translation;
      xml += "<translation type=\"Structure\"><x type=\"Float\">" + number(t[0]) + "</x><y type=\"Float\">" +
             number(t[1]) + "</y><z type=\"Float\">" + number(t[2]) + "</z></translation>";
    }
    return xml + "</pose>";
  }
};

E57FileWriter::E57FileWriter(const std::string& path, const E57WriteOptions& options) : impl_(new Impl) {
  Impl& w = *impl_;
  w.options = options;
  w.path = path;
  if (options.page_size < 64 || options.page_size % 4 != 0 || !(options.scale > 0) ||
      !std::isfinite(options.offset) || options.max_packet_bytes % 4 != 0 ||
      options.max_packet_bytes > kLargestPacket) {
    delete impl_;
    throw std::invalid_argument("E57 page size, packet size or scale out of range");
  }
  w.file = std::fopen(path.c_str(), "w+b");
  if (w.file == nullptr) {
    w.error_number = errno;
    return;
  }
  w.out.emplace(w.file, options.page_size);
  w.out->zeros(kFileHeaderSize);  // rewritten by close()
}

E57FileWriter::~E57FileWriter() {
  close();
  delete impl_;
}

const E57Layout& E57FileWriter::layout() const { return impl_->layout; }

std::string E57FileWriter::error() const {
  if (impl_->error_number == 0) return "";
  return "cannot write " + impl_->path + ": " + std::strerror(impl_->error_number);
}

void E57FileWriter::beginScan(const std::optional<E57Pose>& pose, const E57Bounds& bounds) {
  Impl& w = *impl_;
  if (w.in_scan) throw std::invalid_argument("beginScan inside a scan");
  w.in_scan = true;
  w.pose = pose;
  w.records = 0;
  w.index_offset = 0;
  w.first_data_packet_written = false;
  for (int axis = 0; axis < 3 && w.options.encoding == E57CoordinateEncoding::kScaledInteger; ++axis) {
    const double low = std::round((bounds.min[axis] - w.options.offset) / w.options.scale);
    const double high = std::round((bounds.max[axis] - w.options.offset) / w.options.scale);
    // 2^63 itself is out of range: the largest double below it is the upper limit.
    if (!(low >= -9.2233720368547758e18 && high < 9.2233720368547758e18 && low <= high))
      throw std::out_of_range("scan bounds do not fit 64-bit scaled integers");
    w.raw_min[axis] = static_cast<int64_t>(low);
    w.raw_max[axis] = static_cast<int64_t>(high);
  }
  w.buildFields();
  // Every packet must move at least one byte of the fullest field.
  if (w.options.max_packet_bytes < kDataPacketHeaderSize + 3 * w.fields.size())
    throw std::invalid_argument("E57 packets too small for " + std::to_string(w.fields.size()) + " fields");
  if (!w.out) return;
  w.out->alignTo4();
  w.section_start = w.out->logical();
  w.layout.scans.push_back({w.out->physical(), 0, {}});
  w.out->zeros(kSectionHeaderSize);  // rewritten by endScan()
  w.layout.scans.back().data_offset = w.out->physical();
}

void E57FileWriter::add(double x, double y, double z, bool invalid) {
  Impl& w = *impl_;
  if (!w.in_scan) throw std::invalid_argument("point added outside a scan");
  if (invalid && !w.options.invalid_state_field)
    throw std::invalid_argument("invalid point without an invalid state field");
  const std::array<double, 3> stored = storedCoordinates(x, y, z, w.options.spherical);
  const uint64_t index = w.records++;
  for (FieldWriter& field : w.fields) {
    uint64_t value = 0;
    switch (field.role) {
      case Role::kCoordinate0:
      case Role::kCoordinate1:
      case Role::kCoordinate2: {
        const int axis = static_cast<int>(field.role);
        value = w.encodeCoordinate(stored[axis], axis);
        break;
      }
      case Role::kInvalidState:
        value = invalid ? 2 : 0;
        break;
      case Role::kExtra:
        // Bits that change from point to point, so a misplaced extra shows in the coordinates.
        value = (index + 1) * 0x9E3779B97F4A7C15u;
        if (field.bits < 64) value &= (uint64_t{1} << field.bits) - 1;
        break;
    }
    field.packer.put(value, field.bits);
  }
  if (w.out) w.emitPackets(false);
}

void E57FileWriter::endScan() {
  Impl& w = *impl_;
  if (!w.in_scan) throw std::invalid_argument("endScan outside a scan");
  w.in_scan = false;
  if (!w.out) return;
  w.emitPackets(true);
  // Constant fields pack to nothing, but a reader still looks for one data packet.
  if (w.records > 0 && !w.first_data_packet_written) w.writePacket(std::vector<size_t>(w.fields.size(), 0));
  E57Layout::Scan& scan = w.layout.scans.back();
  uint8_t header[kSectionHeaderSize] = {};
  header[0] = kCompressedVectorSectionId;
  storeU64(header + 8, w.out->logical() - w.section_start);
  storeU64(header + 16, w.records > 0 ? scan.data_offset : 0);
  storeU64(header + 24, w.index_offset);
  w.out->patch(w.section_start, header, sizeof header);

  std::string prototype;
  for (const FieldWriter& field : w.fields) prototype += field.xml;
  w.scans_xml += "<vectorChild type=\"Structure\"><guid type=\"String\"><![CDATA[map_generator scan " +
                 std::to_string(w.layout.scans.size() - 1) + "]]></guid>" + w.poseXml() +
                 "<points type=\"CompressedVector\" fileOffset=\"" + std::to_string(scan.section_offset) +
                 "\" recordCount=\"" + std::to_string(w.records) + "\"><prototype type=\"Structure\">" + prototype +
                 "</prototype><codecs type=\"Vector\" allowHeterogeneousChildren=\"1\"/></points></vectorChild>\n";
}

bool E57FileWriter::close() {
  Impl& w = *impl_;
  if (w.file == nullptr) return w.error_number == 0;  // closed before, or never opened
  if (w.in_scan) endScan();
  std::string xml = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<e57Root type=\"Structure\" xmlns=\"") +
                    kNamespace +
                    "\" xmlns:nor=\"http://www.libe57.org/E57_NOR_surface_normals.txt\">\n"
                    "<formatName type=\"String\"><![CDATA[ASTM E57 3D Imaging Data File]]></formatName>\n"
                    "<versionMajor type=\"Integer\">1</versionMajor>\n"
                    "<versionMinor type=\"Integer\">0</versionMinor>\n"
                    "<data3D type=\"Vector\" allowHeterogeneousChildren=\"1\">\n" +
                    w.scans_xml +
                    "</data3D>\n<images2D type=\"Vector\" allowHeterogeneousChildren=\"1\"/>\n</e57Root>\n";
  if (w.options.edit_xml) w.options.edit_xml(xml);
  PagedOutput& out = *w.out;
  out.alignTo4();
  w.layout.xml_offset = out.physical();
  w.layout.xml_length = xml.size();
  out.write(reinterpret_cast<const uint8_t*>(xml.data()), xml.size());
  out.finish();

  uint8_t header[kFileHeaderSize] = {};
  std::memcpy(header, "ASTM-E57", 8);
  storeU32(header + 8, 1);
  storeU32(header + 12, 0);
  storeU64(header + 16, out.physical());
  storeU64(header + 24, w.layout.xml_offset);
  storeU64(header + 32, w.layout.xml_length);
  storeU64(header + 40, w.options.page_size);
  out.patch(0, header, sizeof header);
  bool ok = out.ok();
  if (!ok) w.error_number = out.errorNumber();
  if (std::fclose(w.file) != 0 && ok) {
    ok = false;
    w.error_number = errno;
  }
  w.file = nullptr;
  w.out.reset();
  return ok;
}

bool writeE57File(const std::string& path, const std::vector<E57Scan>& scans, const E57WriteOptions& options,
                  std::string& error, E57Layout* layout) {
  E57FileWriter writer(path, options);
  for (const E57Scan& scan : scans) {
    E57Bounds bounds;
    for (size_t i = 0; i < scan.points.size(); ++i) {
      const auto& p = scan.points[i];
      const std::array<double, 3> stored = storedCoordinates(p[0], p[1], p[2], options.spherical);
      for (int axis = 0; axis < 3; ++axis) {
        bounds.min[axis] = i == 0 ? stored[axis] : std::min(bounds.min[axis], stored[axis]);
        bounds.max[axis] = i == 0 ? stored[axis] : std::max(bounds.max[axis], stored[axis]);
      }
    }
    writer.beginScan(scan.pose, bounds);
    for (size_t i = 0; i < scan.points.size(); ++i)
      writer.add(scan.points[i][0], scan.points[i][1], scan.points[i][2], !scan.invalid.empty() && scan.invalid[i]);
    writer.endScan();
  }
  const bool written = writer.close();
  if (layout) *layout = writer.layout();
  if (!written) error = writer.error();
  return written;
}

}  // namespace korvane_navigation
