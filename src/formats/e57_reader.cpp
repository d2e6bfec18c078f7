#include "formats/e57_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <pugixml.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace korvane_navigation {
namespace {

using namespace e57;

constexpr size_t kSmallestPageSize = 64;  // the header and a little more must fit page 0
constexpr uint64_t kLargestPageSize = uint64_t{1} << 24;
constexpr size_t kReadBlockBytes = size_t{2} << 20;
constexpr size_t kChunkPoints = 8192;
// Records decoded field by field at a time: the columns stay in the first-level cache.
constexpr size_t kBatchRecords = 512;
constexpr size_t kPacketHeaderSize = 4;
constexpr size_t kDataPacketHeaderSize = 6;  // packet header, then the bytestream count

// E57 is little-endian apart from the page checksums; assembling bytes keeps
// big-endian hosts correct and compiles to single loads on little-endian ones.
inline uint16_t loadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t loadU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t loadU64(const uint8_t* p) { return uint64_t{loadU32(p)} | uint64_t{loadU32(p + 4)} << 32; }
inline uint32_t loadU32BigEndian(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

struct Crc32cTables {
  uint32_t table[8][256];
  Crc32cTables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t crc = i;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
      table[0][i] = crc;
    }
    for (int k = 1; k < 8; ++k)
      for (uint32_t i = 0; i < 256; ++i)
        table[k][i] = (table[k - 1][i] >> 8) ^ table[0][table[k - 1][i] & 0xFF];
  }
};

std::atomic<bool> processor_instructions_allowed{true};

#if defined(__x86_64__)
bool processorHas(bool supported) {
  return supported && processor_instructions_allowed.load(std::memory_order_relaxed);
}

__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const uint8_t* data, size_t size) {
  uint64_t wide = crc;
  for (; size >= 8; data += 8, size -= 8) wide = __builtin_ia32_crc32di(wide, loadU64(data));
  crc = static_cast<uint32_t>(wide);
  for (; size > 0; ++data, --size) crc = __builtin_ia32_crc32qi(crc, *data);
  return crc;
}
#endif

std::string text(uint64_t value) { return std::to_string(value); }

// Reads until `size` bytes are in or the file ends; -1 on an I/O error.
ssize_t readAt(int fd, uint8_t* buffer, size_t size, uint64_t position) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, buffer + done, size - done, static_cast<off_t>(position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The file seen as its logical byte stream: page checksums stripped, each
// page verified when it is first loaded. Holds one block of pages, so
// sequential reads touch the disk once per block.
class PagedFile {
 public:
  using Progress = std::function<void(uint64_t, uint64_t)>;

  PagedFile(int fd, uint64_t page_size, uint64_t file_size, const Progress& progress)
      : fd_(fd), page_size_(page_size), file_size_(file_size), progress_(progress),
        // Room for the pages of the longest packet wherever it starts, so that
        // holding a whole packet never means loading a block twice.
        block_pages_(std::max<uint64_t>(kReadBlockBytes / page_size, kLargestPacket / payload() + 2)) {}

  uint64_t payload() const { return page_size_ - kChecksumSize; }
  uint64_t logicalSize() const { return file_size_ / page_size_ * payload(); }

  // False when `physical` is beyond the file or on a page checksum.
  bool toLogical(uint64_t physical, uint64_t& logical) const {
    if (physical >= file_size_ || physical % page_size_ >= payload()) return false;
    logical = physical / page_size_ * payload() + physical % page_size_;
    return true;
  }
  uint64_t toPhysical(uint64_t logical) const {
    return logical / payload() * page_size_ + logical % payload();
  }

  // Copies `size` logical bytes to `out`, or, when `out` is null, only makes
  // sure their pages have been verified.
  bool read(uint64_t logical, uint8_t* out, size_t size, std::string& error) {
    if (logical > logicalSize() || size > logicalSize() - logical) {
      error = "read beyond the end of the file at offset " + text(toPhysical(logical));
      return false;
    }
    while (size > 0) {
      const uint64_t page = logical / payload();
      if (page < first_page_ || page >= first_page_ + loaded_pages_) {
        if (!load(page, error)) return false;
      }
      const uint64_t in_page = logical % payload();
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(size, payload() - in_page));
      if (out != nullptr) {
        std::memcpy(out, &block_[(page - first_page_) * page_size_ + in_page], piece);
        out += piece;
      }
      size -= piece;
      logical += piece;
    }
    return true;
  }

  // Loads and verifies every page of the range at once, so that the reads
  // within it that follow are served from memory.
  bool hold(uint64_t logical, size_t size, std::string& error) {
    if (size == 0 || logical > logicalSize() || size > logicalSize() - logical)
      return read(logical, nullptr, size, error);
    const uint64_t first = logical / payload(), last = (logical + size - 1) / payload();
    if (first >= first_page_ && last < first_page_ + loaded_pages_) return true;
    if (last - first >= block_pages_) return read(logical, nullptr, size, error);
    return load(first, error);
  }

  void reportDone() {
    if (progress_) progress_(file_size_, file_size_);
  }

 private:
  // Loads the block starting at `page`. Pages already in memory from the
  // previous block are moved rather than read and verified again.
  bool load(uint64_t page, std::string& error) {
    const uint64_t pages = std::min(block_pages_, file_size_ / page_size_ - page);
    uint64_t kept = 0;
    if (page >= first_page_ && page < first_page_ + loaded_pages_) {
      kept = std::min(pages, first_page_ + loaded_pages_ - page);
      std::memmove(block_.data(), &block_[(page - first_page_) * page_size_], static_cast<size_t>(kept * page_size_));
    }
    loaded_pages_ = 0;
    if (block_.size() < pages * page_size_) block_.resize(static_cast<size_t>(pages * page_size_));
    const size_t wanted = static_cast<size_t>((pages - kept) * page_size_);
    const ssize_t got = readAt(fd_, &block_[kept * page_size_], wanted, (page + kept) * page_size_);
    if (got < 0) {
      error = std::string("read error: ") + std::strerror(errno);
      return false;
    }
    if (static_cast<size_t>(got) != wanted) {
      error = "file shrank while being read";
      return false;
    }
    for (uint64_t i = kept; i < pages; ++i) {
      const uint8_t* bytes = &block_[i * page_size_];
      const uint32_t stored = loadU32BigEndian(bytes + payload());
      const uint32_t computed = crc32c(bytes, payload());
      if (stored != computed) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "stored 0x%08x, computed 0x%08x", stored, computed);
        error = "checksum mismatch on page " + text(page + i) + " (bytes " + text((page + i) * page_size_) +
                ".." + text((page + i + 1) * page_size_ - 1) + ", " + detail + ")";
        return false;
      }
    }
    first_page_ = page;
    loaded_pages_ = pages;
    bytes_loaded_ += wanted;
    if (progress_) progress_(std::min(bytes_loaded_, file_size_), file_size_);
    return true;
  }

  int fd_;
  uint64_t page_size_;
  uint64_t file_size_;
  Progress progress_;
  uint64_t block_pages_;
  std::vector<uint8_t> block_;
  uint64_t first_page_ = 0;
  uint64_t loaded_pages_ = 0;
  uint64_t bytes_loaded_ = 0;
};

// --- XML ---------------------------------------------------------------------------------

enum class FieldKind { kInteger, kScaledInteger, kFloat };

// One prototype field: one bytestream of bit-packed values.
struct Field {
  std::string name;
  FieldKind kind = FieldKind::kInteger;
  unsigned bits = 0;
  int64_t minimum = 0;
  double scale = 1.0;
  double offset = 0.0;
};

struct ScanDescription {
  bool has_pose = false;
  double rotation[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  double translation[3] = {0, 0, 0};
  uint64_t file_offset = 0;
  uint64_t record_count = 0;
  std::vector<Field> fields;
  bool spherical = false;
  int coordinate_fields[3] = {-1, -1, -1};
  int invalid_state_field = -1;
};

// Text from the file as it may appear in an error: bytes that could upset a
// terminal or a log are replaced, and long values cut short.
std::string shown(const std::string& value) {
  constexpr size_t kLongest = 40;
  std::string out;
  for (size_t i = 0; i < value.size() && i < kLongest; ++i)
    out += value[i] >= 0x20 && value[i] < 0x7F ? value[i] : '?';
  if (value.size() > kLongest) out += "...";
  return out;
}

std::string trimmed(const char* value) {
  std::string s = value;
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && space(s.back())) s.pop_back();
  size_t start = 0;
  while (start < s.size() && space(s[start])) ++start;
  return s.substr(start);
}

bool parseInteger(const std::string& s, int64_t& value) {
  const char* first = s.data();
  if (!s.empty() && s[0] == '+') ++first;
  const auto [end, ec] = std::from_chars(first, s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() && first != end;
}

bool parseUnsigned(const std::string& s, uint64_t& value) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

bool parseDouble(const std::string& s, double& value) {
  const char* first = s.data();
  if (!s.empty() && s[0] == '+') ++first;
  const auto [end, ec] = std::from_chars(first, s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() && first != end;
}

// Fills a field from its prototype element. E57's defaults when an attribute
// is absent: the full 64-bit range, scale 1, offset 0, double precision.
bool parseField(const pugi::xml_node& node, const std::string& name, Field& field, std::string& error) {
  const std::string type = node.attribute("type").value();
  field.name = name;
  if (type == "Float") {
    field.kind = FieldKind::kFloat;
    field.bits = std::string(node.attribute("precision").value()) == "single" ? 32 : 64;
    return true;
  }
  if (type != "Integer" && type != "ScaledInteger") {
    error = "field " + shown(name) +
            (type.empty() ? " has no type" : " has type " + shown(type) + ", which is not supported");
    return false;
  }
  field.kind = type == "Integer" ? FieldKind::kInteger : FieldKind::kScaledInteger;
  int64_t bounds[2] = {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
  static constexpr const char* kBoundNames[] = {"minimum", "maximum"};
  for (int i = 0; i < 2; ++i) {
    const pugi::xml_attribute attribute = node.attribute(kBoundNames[i]);
    if (!attribute) continue;
    const std::string value = trimmed(attribute.value());
    if (!parseInteger(value, bounds[i])) {
      // Values outside 64-bit integers would need more than 64 bits per value.
      error = "field " + shown(name) + ": " + kBoundNames[i] + " '" + shown(value) +
              "' is not an integer of at most 64 bits";
      return false;
    }
  }
  if (bounds[0] > bounds[1]) {
    error = "field " + shown(name) + ": minimum " + std::to_string(bounds[0]) + " greater than maximum " +
            std::to_string(bounds[1]);
    return false;
  }
  field.minimum = bounds[0];
  // ceil(log2(max - min + 1)) is the bit length of max - min.
  const uint64_t range = static_cast<uint64_t>(bounds[1]) - static_cast<uint64_t>(bounds[0]);
  field.bits = 0;
  while (field.bits < 64 && (range >> field.bits) != 0) ++field.bits;
  if (field.kind == FieldKind::kScaledInteger) {
    static constexpr const char* kAttributes[] = {"scale", "offset"};
    double* targets[] = {&field.scale, &field.offset};
    for (int i = 0; i < 2; ++i) {
      const pugi::xml_attribute attribute = node.attribute(kAttributes[i]);
      if (!attribute) continue;
      const std::string value = trimmed(attribute.value());
      if (!parseDouble(value, *targets[i]) || !std::isfinite(*targets[i])) {
        error = "field " + shown(name) + ": " + kAttributes[i] + " '" + shown(value) + "' is not a finite number";
        return false;
      }
    }
  }
  return true;
}

// Depth first through nested structures: every terminal node is one bytestream.
bool collectFields(const pugi::xml_node& structure, const std::string& prefix, std::vector<Field>& fields,
                   std::string& error) {
  for (const pugi::xml_node& child : structure.children()) {
    if (child.type() != pugi::node_element) continue;
    const std::string name = prefix + child.name();
    if (std::string(child.attribute("type").value()) == "Structure") {
      if (!collectFields(child, name + "/", fields, error)) return false;
      continue;
    }
    fields.emplace_back();
    if (!parseField(child, name, fields.back(), error)) return false;
  }
  return true;
}

bool parseNumberChild(const pugi::xml_node& parent, const char* name, const std::string& what, double& value,
                      std::string& error) {
  const pugi::xml_node node = parent.child(name);
  if (!node) {
    error = what + " lacks " + name;
    return false;
  }
  const std::string value_text = trimmed(node.text().get());
  if (!parseDouble(value_text, value) || !std::isfinite(value)) {
    error = what + " " + name + " '" + shown(value_text) + "' is not a finite number";
    return false;
  }
  return true;
}

bool parsePose(const pugi::xml_node& pose, ScanDescription& scan, std::string& error) {
  scan.has_pose = true;
  if (const pugi::xml_node rotation = pose.child("rotation")) {
    double q[4];
    static constexpr const char* kNames[] = {"w", "x", "y", "z"};
    for (int i = 0; i < 4; ++i)
      if (!parseNumberChild(rotation, kNames[i], "pose rotation", q[i], error)) return false;
    const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!(norm > 0) || !std::isfinite(norm)) {
      error = "pose rotation is not a usable quaternion (length " + std::to_string(norm) + ")";
      return false;
    }
    const double w = q[0] / norm, x = q[1] / norm, y = q[2] / norm, z = q[3] / norm;
    const double m[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                            {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                            {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
    std::memcpy(scan.rotation, m, sizeof m);
  }
  if (const pugi::xml_node translation = pose.child("translation")) {
    static constexpr const char* kNames[] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i)
      if (!parseNumberChild(translation, kNames[i], "pose translation", scan.translation[i], error)) return false;
  }
  return true;
}

bool parseCodecs(const pugi::xml_node& codecs, std::string& error) {
  for (const pugi::xml_node& codec : codecs.children()) {
    if (codec.type() != pugi::node_element) continue;
    for (const pugi::xml_node& entry : codec.children()) {
      if (entry.type() != pugi::node_element) continue;
      const std::string name = entry.name();
      if (name == "inputs" || name == "bitPackCodec") continue;
      error = "codec '" + shown(name) + "' is not supported (only bit packing is)";
      return false;
    }
  }
  return true;
}

bool parseScan(const pugi::xml_node& node, ScanDescription& scan, std::string& error) {
  if (const pugi::xml_node pose = node.child("pose")) {
    if (!parsePose(pose, scan, error)) return false;
  }
  const pugi::xml_node points = node.child("points");
  if (!points) {
    error = "no points";
    return false;
  }
  if (std::string(points.attribute("type").value()) != "CompressedVector") {
    error = "points are not a CompressedVector";
    return false;
  }
  static constexpr const char* kCountAttributes[] = {"fileOffset", "recordCount"};
  uint64_t* counts[] = {&scan.file_offset, &scan.record_count};
  for (int i = 0; i < 2; ++i) {
    const std::string value = trimmed(points.attribute(kCountAttributes[i]).value());
    if (!parseUnsigned(value, *counts[i])) {
      error = std::string("points ") + kCountAttributes[i] + " '" + shown(value) + "' is not an unsigned integer";
      return false;
    }
  }
  if (const pugi::xml_node codecs = points.child("codecs")) {
    if (!parseCodecs(codecs, error)) return false;
  }
  const pugi::xml_node prototype = points.child("prototype");
  if (!prototype) {
    error = "points have no prototype";
    return false;
  }
  if (!collectFields(prototype, "", scan.fields, error)) return false;
  if (scan.fields.size() > std::numeric_limits<uint16_t>::max()) {
    error = "prototype has " + text(scan.fields.size()) + " fields, more than a packet can carry";
    return false;
  }

  auto find = [&](const char* name) {
    for (size_t i = 0; i < scan.fields.size(); ++i)
      if (scan.fields[i].name == name) return static_cast<int>(i);
    return -1;
  };
  const int cartesian[3] = {find("cartesianX"), find("cartesianY"), find("cartesianZ")};
  const int spherical[3] = {find("sphericalRange"), find("sphericalAzimuth"), find("sphericalElevation")};
  const auto complete = [](const int(&indices)[3]) { return indices[0] >= 0 && indices[1] >= 0 && indices[2] >= 0; };
  if (complete(cartesian)) {
    std::copy(cartesian, cartesian + 3, scan.coordinate_fields);
    scan.invalid_state_field = find("cartesianInvalidState");
  } else if (complete(spherical)) {
    scan.spherical = true;
    std::copy(spherical, spherical + 3, scan.coordinate_fields);
    scan.invalid_state_field = find("sphericalInvalidState");
  } else {
    error = "prototype has neither cartesianX/Y/Z nor sphericalRange/Azimuth/Elevation";
    return false;
  }
  return true;
}

bool parseXml(std::string& xml, std::vector<ScanDescription>& scans, std::string& error) {
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer_inplace(&xml[0], xml.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) {
    error = std::string("XML section does not parse: ") + parsed.description() + " at byte " +
            text(static_cast<uint64_t>(parsed.offset));
    return false;
  }
  const pugi::xml_node root = document.document_element();
  if (std::string(root.name()) != "e57Root") {
    error = "XML root element is <" + shown(root.name()) + ">, not <e57Root>";
    return false;
  }
  const pugi::xml_node data3d = root.child("data3D");
  if (!data3d) {
    error = "XML section has no data3D";
    return false;
  }
  for (const pugi::xml_node& child : data3d.children()) {
    if (child.type() != pugi::node_element) continue;
    scans.emplace_back();
    if (!parseScan(child, scans.back(), error)) {
      error = "scan " + text(scans.size() - 1) + ": " + error;
      return false;
    }
  }
  return true;
}

// --- Binary sections ---------------------------------------------------------------------

// Bytes readable past the end of a bytestream's data, so that values can be
// fetched with whole 8-byte loads, and four at a time with two 16-byte loads.
constexpr size_t kStreamPadding = 16;

// The unread bytes of one bytestream, filled straight from the file. Consumed
// bytes are dropped only when the end of the buffer is reached, and the
// buffer is then kept at least twice what is unread, so a stream that runs
// far ahead of the others is not copied once per packet.
class BitStream {
 public:
  // Room for `size` more bytes at the end of the data; the caller fills it.
  uint8_t* extend(size_t size) {
    const size_t consumed = static_cast<size_t>(bit_position_ / 8);
    const size_t live = end_ - consumed;
    if (end_ + size + kStreamPadding > capacity_) {
      const size_t needed = live + size + kStreamPadding;
      if (needed * 2 > capacity_) {
        const size_t capacity = std::max<size_t>(needed * 2, 4096);
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[capacity]);
        if (live > 0) std::memcpy(bytes.get(), bytes_.get() + consumed, live);
        bytes_ = std::move(bytes);
        capacity_ = capacity;
      } else if (live > 0) {
        std::memmove(bytes_.get(), bytes_.get() + consumed, live);
      }
      end_ = live;
      bit_position_ -= uint64_t{consumed} * 8;
    }
    uint8_t* space = bytes_.get() + end_;
    end_ += size;
    std::memset(bytes_.get() + end_, 0, kStreamPadding);
    return space;
  }
  uint64_t available(unsigned bits) const {
    if (bits == 0) return std::numeric_limits<uint64_t>::max();
    return (uint64_t{end_} * 8 - bit_position_) / bits;
  }
  // The data, padded, and where the next value starts in it.
  const uint8_t* data() const { return bytes_.get(); }
  uint64_t bitPosition() const { return bit_position_; }
  void skip(uint64_t bits) { bit_position_ += bits; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t capacity_ = 0;
  size_t end_ = 0;
  uint64_t bit_position_ = 0;
};

// The `width`-bit value at `bit` in padded data. Whole 8-byte loads: a value
// up to 57 bits wide lies in the 8 bytes from its first byte, a wider one may
// reach one byte further.
inline uint64_t fetchBits(const uint8_t* data, uint64_t bit, unsigned width) {
  const uint8_t* p = data + bit / 8;
  const unsigned shift = static_cast<unsigned>(bit % 8);
  uint64_t value = loadU64(p) >> shift;
  if (width > 57 && shift != 0) value |= uint64_t{p[8]} << (64 - shift);
  return width < 64 ? value & ((uint64_t{1} << width) - 1) : value;
}

// A scaled or plain integer from its stored value; integers have scale 1
// and offset 0, which leave every value unchanged.
inline double integerValue(uint64_t raw, uint64_t minimum, double scale, double offset) {
  return static_cast<double>(static_cast<int64_t>(minimum + raw)) * scale + offset;
}

// Eight `kWidth`-bit values fill exactly kWidth bytes, so in runs of eight
// that start on a byte boundary each value's byte and shift are constants.
template <unsigned kWidth, size_t... kIndex>
inline void decodeGroup(const uint8_t* data, uint64_t minimum, double scale, double offset, double* out,
                        std::index_sequence<kIndex...>) {
  constexpr uint64_t kMask = (uint64_t{1} << kWidth) - 1;
  ((out[kIndex] = integerValue(loadU64(data + kIndex * kWidth / 8) >> (kIndex * kWidth % 8) & kMask, minimum,
                               scale, offset)),
   ...);
}

template <unsigned kWidth>
void decodeGroups(const uint8_t* data, size_t groups, uint64_t minimum, double scale, double offset, double* out) {
  for (size_t g = 0; g < groups; ++g, data += kWidth, out += 8)
    decodeGroup<kWidth>(data, minimum, scale, offset, out, std::make_index_sequence<8>());
}

using GroupDecoder = void (*)(const uint8_t*, size_t, uint64_t, double, double, double*);
constexpr unsigned kWidestGroupValue = 57;  // the widest that one 8-byte load holds at any shift

template <size_t... kWidth>
constexpr std::array<GroupDecoder, sizeof...(kWidth)> groupDecoders(std::index_sequence<kWidth...>) {
  return {&decodeGroups<static_cast<unsigned>(kWidth) + 1>...};
}
constexpr auto kGroupDecoders = groupDecoders(std::make_index_sequence<kWidestGroupValue>());

#if defined(__x86_64__)
// The same runs of eight, four values to a vector: each value's bytes are
// shuffled into its own 64-bit lane and shifted into place. A value below
// 2^52 becomes a double exactly through the exponent bits of 2^52; adding a
// minimum that a double holds exactly then rounds once, as converting the
// 64-bit sum does, so every result equals integerValue's.
constexpr unsigned kWidestVectorValue = 52;
constexpr uint64_t kLargestExactMinimum = uint64_t{1} << 53;

template <unsigned kWidth>
struct GroupLayout {
  static constexpr unsigned byte(unsigned value) { return value * kWidth / 8; }
  static constexpr unsigned shift(unsigned value) { return value * kWidth % 8; }
  // Values 4 * half .. 4 * half + 3: the low 128-bit lane is loaded from the
  // first value's byte, the high one from the third's.
  static constexpr char control(unsigned half, unsigned index) {
    const unsigned lane = index / 16, value = 4 * half + 2 * lane + index % 16 / 8;
    return static_cast<char>(byte(value) - byte(4 * half + 2 * lane) + index % 8);
  }
};

template <unsigned kWidth, unsigned kHalf, size_t... kIndex>
__attribute__((target("avx2"))) inline __m256i fourValues(const uint8_t* data, std::index_sequence<kIndex...>) {
  using Layout = GroupLayout<kWidth>;
  const __m256i bytes = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + Layout::byte(4 * kHalf)))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + Layout::byte(4 * kHalf + 2))), 1);
  const __m256i lanes = _mm256_shuffle_epi8(bytes, _mm256_setr_epi8(Layout::control(kHalf, kIndex)...));
  const __m256i shifted = _mm256_srlv_epi64(
      lanes, _mm256_setr_epi64x(Layout::shift(4 * kHalf), Layout::shift(4 * kHalf + 1), Layout::shift(4 * kHalf + 2),
                                Layout::shift(4 * kHalf + 3)));
  return _mm256_and_si256(shifted, _mm256_set1_epi64x(static_cast<int64_t>((uint64_t{1} << kWidth) - 1)));
}

struct VectorScaling {
  __m256d low, step, shift;
};

__attribute__((target("avx2"))) inline void storeValues(__m256i raw, const VectorScaling& scaling, double* out) {
  const __m256i exponent = _mm256_set1_epi64x(0x4330000000000000);  // the bits of 2^52
  __m256d v = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(raw, exponent)), _mm256_set1_pd(4503599627370496.0));
  v = _mm256_add_pd(_mm256_mul_pd(_mm256_add_pd(v, scaling.low), scaling.step), scaling.shift);
  _mm256_storeu_pd(out, v);
}

template <unsigned kWidth>
__attribute__((target("avx2"))) void decodeGroupsFourAtATime(const uint8_t* data, size_t groups, uint64_t minimum,
                                                              double scale, double offset, double* out) {
  const VectorScaling scaling = {_mm256_set1_pd(static_cast<double>(static_cast<int64_t>(minimum))),
                                 _mm256_set1_pd(scale), _mm256_set1_pd(offset)};
  for (size_t g = 0; g < groups; ++g, data += kWidth, out += 8) {
    storeValues(fourValues<kWidth, 0>(data, std::make_index_sequence<32>()), scaling, out);
    storeValues(fourValues<kWidth, 1>(data, std::make_index_sequence<32>()), scaling, out + 4);
  }
}

template <size_t... kWidth>
constexpr std::array<GroupDecoder, sizeof...(kWidth)> vectorGroupDecoders(std::index_sequence<kWidth...>) {
  return {&decodeGroupsFourAtATime<static_cast<unsigned>(kWidth) + 1>...};
}
constexpr auto kVectorGroupDecoders = vectorGroupDecoders(std::make_index_sequence<kWidestVectorValue>());
#endif

// `count` values of one field, from `bit` on in padded data, as the numbers
// they stand for.
void decodeField(const Field& field, const uint8_t* data, uint64_t bit, size_t count, double* out) {
  const unsigned width = field.bits;
  if (field.kind == FieldKind::kFloat) {
    for (size_t i = 0; i < count; ++i, bit += width) {
      const uint64_t raw = fetchBits(data, bit, width);
      if (width == 32) {
        const uint32_t narrow = static_cast<uint32_t>(raw);
        float single;
        std::memcpy(&single, &narrow, sizeof single);
        out[i] = single;
      } else {
        double wide;
        std::memcpy(&wide, &raw, sizeof wide);
        out[i] = wide;
      }
    }
    return;
  }
  const uint64_t minimum = static_cast<uint64_t>(field.minimum);
  const double scale = field.scale, offset = field.offset;
  if (width == 0) {
    std::fill(out, out + count, integerValue(0, minimum, scale, offset));
  } else if (width <= kWidestGroupValue && bit % 8 == 0 && count % 8 == 0) {
#if defined(__x86_64__)
    const bool avx2 = processorHas(__builtin_cpu_supports("avx2"));
    const bool exact_minimum = minimum + kLargestExactMinimum <= 2 * kLargestExactMinimum;  // |minimum| <= 2^53
    if (avx2 && width <= kWidestVectorValue && exact_minimum) {
      kVectorGroupDecoders[width - 1](data + bit / 8, count / 8, minimum, scale, offset, out);
      return;
    }
#endif
    kGroupDecoders[width - 1](data + bit / 8, count / 8, minimum, scale, offset, out);
  } else if (width <= kWidestGroupValue) {
    const uint64_t mask = (uint64_t{1} << width) - 1;
    for (size_t i = 0; i < count; ++i, bit += width)
      out[i] = integerValue(loadU64(data + bit / 8) >> (bit % 8) & mask, minimum, scale, offset);
  } else {
    for (size_t i = 0; i < count; ++i, bit += width)
      out[i] = integerValue(fetchBits(data, bit, width), minimum, scale, offset);
  }
}

class PointOutput {
 public:
  explicit PointOutput(const E57ChunkSink& sink) : sink_(sink), chunk_(kChunkPoints * 3) {}

  // Room for at least kBatchRecords points; `commit` says how many were put there.
  float* space() {
    if (kChunkPoints - count_ < kBatchRecords) flush();
    return &chunk_[count_ * 3];
  }
  void commit(size_t points) { count_ += points; }
  void flush() {
    if (count_ > 0 && sink_) sink_(chunk_.data(), count_);
    count_ = 0;
  }

 private:
  const E57ChunkSink& sink_;
  std::vector<float> chunk_;
  size_t count_ = 0;
};

// Puts the valid points of a batch into `out`, in the common frame, and
// returns how many there are. Every point is written and then kept or
// overwritten, which keeps the loop free of unpredictable branches.
template <bool kSpherical, bool kPose, bool kInvalidState>
size_t placePoints(const ScanDescription& scan, const double* const* values, size_t count, float* out) {
  const double* a = values[0];
  const double* b = values[1];
  const double* c = values[2];
  const double* state = values[3];
  const double(&r)[3][3] = scan.rotation;
  const double* t = scan.translation;
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    double p[3] = {a[i], b[i], c[i]};
    if (kSpherical) {
      const double range = a[i], azimuth = b[i], elevation = c[i];
      p[0] = range * std::cos(elevation) * std::cos(azimuth);
      p[1] = range * std::cos(elevation) * std::sin(azimuth);
      p[2] = range * std::sin(elevation);
    }
    float world[3];
    for (int axis = 0; axis < 3; ++axis) {
      world[axis] = static_cast<float>(
          kPose ? r[axis][0] * p[0] + r[axis][1] * p[1] + r[axis][2] * p[2] + t[axis] : p[axis]);
    }
    float* point = out + 3 * kept;
    point[0] = world[0];
    point[1] = world[1];
    point[2] = world[2];
    // A NaN or a value beyond float cannot be placed in a map: such points count as invalid.
    bool valid = std::isfinite(world[0]) & std::isfinite(world[1]) & std::isfinite(world[2]);
    if (kInvalidState) valid &= state[i] == 0;
    kept += valid;
  }
  return kept;
}

using PlacePoints = size_t (*)(const ScanDescription&, const double* const*, size_t, float*);

#if defined(__x86_64__)
// Four cartesian points at a time. Multiplications and additions stay apart
// and in the scalar order (no fused multiply-add), so every float is the one
// placePoints gives; groups with a point to leave out go through placePoints.
template <bool kPose, bool kInvalidState>
__attribute__((target("avx2"))) size_t placeFourAtATime(const ScanDescription& scan, const double* const* values,
                                                         size_t count, float* out) {
  const double* a = values[0];
  const double* b = values[1];
  const double* c = values[2];
  const double* state = values[3];
  __m256d r[3][3], t[3];
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) r[row][column] = _mm256_set1_pd(scan.rotation[row][column]);
    t[row] = _mm256_set1_pd(scan.translation[row]);
  }
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 infinity = _mm_set1_ps(std::numeric_limits<float>::infinity());
  size_t kept = 0, i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m256d p[3] = {_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), _mm256_loadu_pd(c + i)};
    __m128 world[3];
    for (int axis = 0; axis < 3; ++axis) {
      __m256d w = p[axis];
      if (kPose) {
        w = _mm256_add_pd(_mm256_mul_pd(r[axis][0], p[0]), _mm256_mul_pd(r[axis][1], p[1]));
        w = _mm256_add_pd(_mm256_add_pd(w, _mm256_mul_pd(r[axis][2], p[2])), t[axis]);
      }
      world[axis] = _mm256_cvtpd_ps(w);
    }
    // |v| < infinity is false for infinities and NaN alike.
    __m128 finite = _mm_cmplt_ps(_mm_and_ps(world[0], magnitude), infinity);
    finite = _mm_and_ps(finite, _mm_cmplt_ps(_mm_and_ps(world[1], magnitude), infinity));
    finite = _mm_and_ps(finite, _mm_cmplt_ps(_mm_and_ps(world[2], magnitude), infinity));
    int valid = _mm_movemask_ps(finite);
    if (kInvalidState)
      valid &= _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(state + i), _mm256_setzero_pd(), _CMP_EQ_OQ));
    if (valid != 0xF) {
      const double* const group[4] = {a + i, b + i, c + i, kInvalidState ? state + i : nullptr};
      kept += placePoints<false, kPose, kInvalidState>(scan, group, 4, out + 3 * kept);
      continue;
    }
    // x0..x3, y0..y3, z0..z3 into x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3.
    const __m128 x = world[0], y = world[1], z = world[2];
    const __m128 first = _mm_shuffle_ps(_mm_unpacklo_ps(x, y), _mm_shuffle_ps(z, x, _MM_SHUFFLE(1, 1, 0, 0)),
                                        _MM_SHUFFLE(2, 0, 1, 0));
    const __m128 second = _mm_shuffle_ps(_mm_shuffle_ps(y, z, _MM_SHUFFLE(1, 1, 1, 1)), _mm_unpackhi_ps(x, y),
                                         _MM_SHUFFLE(1, 0, 2, 0));
    const __m128 third = _mm_shuffle_ps(_mm_shuffle_ps(z, x, _MM_SHUFFLE(3, 3, 2, 2)),
                                        _mm_shuffle_ps(y, z, _MM_SHUFFLE(3, 3, 3, 3)), _MM_SHUFFLE(2, 0, 2, 0));
    float* point = out + 3 * kept;
    _mm_storeu_ps(point, first);
    _mm_storeu_ps(point + 4, second);
    _mm_storeu_ps(point + 8, third);
    kept += 4;
  }
  const double* const rest[4] = {a + i, b + i, c + i, kInvalidState ? state + i : nullptr};
  return kept + placePoints<false, kPose, kInvalidState>(scan, rest, count - i, out + 3 * kept);
}
#endif

template <bool kSpherical, bool kPose>
PlacePoints choosePlacement(bool invalid_state) {
#if defined(__x86_64__)
  if (!kSpherical && processorHas(__builtin_cpu_supports("avx2")))
    return invalid_state ? &placeFourAtATime<kPose, true> : &placeFourAtATime<kPose, false>;
#endif
  return invalid_state ? &placePoints<kSpherical, kPose, true> : &placePoints<kSpherical, kPose, false>;
}

PlacePoints choosePlacement(const ScanDescription& scan) {
  const bool invalid_state = scan.invalid_state_field >= 0;
  if (scan.spherical)
    return scan.has_pose ? choosePlacement<true, true>(invalid_state) : choosePlacement<true, false>(invalid_state);
  return scan.has_pose ? choosePlacement<false, true>(invalid_state) : choosePlacement<false, false>(invalid_state);
}

class ScanDecoder {
 public:
  ScanDecoder(PagedFile& file, const ScanDescription& scan, PointOutput& output, E57ReadResult& result)
      : file_(file), scan_(scan), output_(output), result_(result), place_(choosePlacement(scan)),
        streams_(scan.fields.size()), needed_(scan.fields.size(), false) {
    for (int index : scan.coordinate_fields) used_.push_back(index);
    if (scan.invalid_state_field >= 0) used_.push_back(scan.invalid_state_field);
    for (int index : used_) needed_[static_cast<size_t>(index)] = true;
  }

  bool run(std::string& error) {
    if (!readSectionHeader(error)) return false;
    uint64_t done = 0;
    while (done < scan_.record_count) {
      uint64_t ready = scan_.record_count - done;
      for (int index : used_) {
        const size_t i = static_cast<size_t>(index);
        ready = std::min(ready, streams_[i].available(scan_.fields[i].bits));
      }
      if (ready == 0) {
        if (!readPacket(done, error)) return false;
        continue;
      }
      size_t batch = static_cast<size_t>(std::min<uint64_t>(ready, kBatchRecords));
      // Runs of eight records leave every stream on a byte boundary, where
      // the fastest decoding applies: after a packet ends mid-run, the run is
      // completed first.
      if (done % 8 != 0) {
        batch = std::min<size_t>(batch, 8 - done % 8);
      } else if (batch >= 8) {
        batch -= batch % 8;
      }
      decodeBatch(batch);
      done += batch;
    }
    return true;
  }

 private:
  void decodeBatch(size_t batch) {
    const double* columns[4] = {nullptr, nullptr, nullptr, nullptr};
    for (size_t k = 0; k < used_.size(); ++k) {
      const Field& field = scan_.fields[static_cast<size_t>(used_[k])];
      BitStream& stream = streams_[static_cast<size_t>(used_[k])];
      decodeField(field, stream.data(), stream.bitPosition(), batch, columns_[k]);
      stream.skip(uint64_t{field.bits} * batch);
      columns[k] = columns_[k];
    }
    const size_t kept = place_(scan_, columns, batch, output_.space());
    output_.commit(kept);
    result_.points_read += kept;
    result_.invalid_points += batch - kept;
  }

  bool readSectionHeader(std::string& error) {
    uint64_t start = 0;
    if (!file_.toLogical(scan_.file_offset, start) || file_.logicalSize() - start < kSectionHeaderSize) {
      error = "points section offset " + text(scan_.file_offset) + " is outside the file's data";
      return false;
    }
    uint8_t header[kSectionHeaderSize];
    if (!file_.read(start, header, sizeof header, error)) return false;
    if (header[0] != kCompressedVectorSectionId) {
      error = "no compressed vector section at offset " + text(scan_.file_offset) + " (section id " +
              text(header[0]) + ")";
      return false;
    }
    const uint64_t length = loadU64(header + 8);
    if (length < kSectionHeaderSize || length > file_.logicalSize() - start) {
      error = "points section length " + text(length) + " at offset " + text(scan_.file_offset) +
              " does not fit the file";
      return false;
    }
    section_end_ = start + length;
    if (scan_.record_count == 0) return true;

    const uint64_t data_offset = loadU64(header + 16);
    if (!file_.toLogical(data_offset, position_) || position_ < start + kSectionHeaderSize ||
        position_ >= section_end_) {
      error = "points data offset " + text(data_offset) + " is outside its section";
      return false;
    }
    // Checked before anything is decoded, so a forged count cannot make the
    // sink receive more points than the file has room for. A record takes at
    // least one bit here even when every field is constant.
    uint64_t record_bits = 0;
    for (const Field& field : scan_.fields) record_bits += field.bits;
    const uint64_t bits = std::max<uint64_t>(record_bits, 1);
    const uint64_t data_bytes = section_end_ - position_;
    const uint64_t fitting_records = data_bytes / bits * 8 + data_bytes % bits * 8 / bits;  // 8 * bytes / bits
    if (scan_.record_count > fitting_records) {
      error = "recordCount " + text(scan_.record_count) + " is more than the section holds (" + text(data_bytes) +
              " bytes of " + text(record_bits) + "-bit records: at most " + text(fitting_records) + ")";
      return false;
    }
    return true;
  }

  // Reads the next packet and hands a data packet's buffers to the streams.
  bool readPacket(uint64_t records_done, std::string& error) {
    const uint64_t at = file_.toPhysical(position_);
    if (section_end_ - position_ < kPacketHeaderSize) {
      error = "data ends after " + text(records_done) + " of " + text(scan_.record_count) + " records";
      return false;
    }
    uint8_t header[kPacketHeaderSize];
    if (!file_.read(position_, header, sizeof header, error)) return false;
    const uint8_t type = header[0];
    const uint64_t length = uint64_t{loadU16(header + 2)} + 1;
    if (length > section_end_ - position_) {
      error = "packet at offset " + text(at) + " is " + text(length) + " bytes long, past the end of its section";
      return false;
    }
    if (type == kIndexPacket || type == kEmptyPacket) {
      if (length < kPacketHeaderSize) {
        error = "packet at offset " + text(at) + " is shorter than its header";
        return false;
      }
      position_ += length;
      return true;
    }
    if (type != kDataPacket) {
      error = "packet at offset " + text(at) + " has unknown type " + text(type);
      return false;
    }
    const size_t count = scan_.fields.size();
    if (length < kDataPacketHeaderSize) {
      error = "data packet at offset " + text(at) + " is shorter than its header";
      return false;
    }
    // The whole packet is verified before any of it is used, as when it was read in one piece.
    if (!file_.hold(position_, static_cast<size_t>(length), error)) return false;
    uint8_t data_header[kDataPacketHeaderSize];
    if (!file_.read(position_, data_header, sizeof data_header, error)) return false;
    const uint16_t streams = loadU16(&data_header[4]);
    if (streams != count) {
      error = "data packet at offset " + text(at) + " has " + text(streams) + " bytestreams, the prototype " +
              text(count) + " fields";
      return false;
    }
    uint64_t used = kDataPacketHeaderSize + 2 * uint64_t{count};
    if (used > length) {
      error = "data packet at offset " + text(at) + " is too short for its " + text(count) + " buffer lengths";
      return false;
    }
    lengths_.resize(2 * count);
    if (!file_.read(position_ + kDataPacketHeaderSize, lengths_.data(), lengths_.size(), error)) return false;
    for (size_t i = 0; i < count; ++i) used += loadU16(&lengths_[2 * i]);
    if (used > length) {
      error = "data packet at offset " + text(at) + ": buffers and lengths take " + text(used) +
              " bytes, the packet is " + text(length);
      return false;
    }
    uint64_t buffer = position_ + kDataPacketHeaderSize + 2 * count;
    for (size_t i = 0; i < count; ++i) {
      const size_t size = loadU16(&lengths_[2 * i]);
      if (needed_[i] && !file_.read(buffer, streams_[i].extend(size), size, error)) return false;
      buffer += size;
    }
    position_ += length;
    return true;
  }

  PagedFile& file_;
  const ScanDescription& scan_;
  PointOutput& output_;
  E57ReadResult& result_;
  const PlacePoints place_;
  std::vector<BitStream> streams_;
  std::vector<bool> needed_;
  std::vector<int> used_;  // the coordinate fields, then the invalid state field if there is one
  std::vector<uint8_t> lengths_;
  uint64_t position_ = 0;  // logical
  uint64_t section_end_ = 0;
  double columns_[4][kBatchRecords];
};

}  // namespace

uint32_t crc32c(const uint8_t* data, size_t size) {
#if defined(__x86_64__)
  // The instruction computes this very polynomial, several times faster than tables.
  if (processorHas(__builtin_cpu_supports("sse4.2"))) return ~crc32cHardware(0xFFFFFFFFu, data, size);
#endif
  return crc32cPortable(data, size);
}

void setE57ProcessorInstructions(bool allowed) { processor_instructions_allowed = allowed; }

uint32_t crc32cPortable(const uint8_t* data, size_t size) {
  static const Crc32cTables tables;
  const auto& t = tables.table;
  uint32_t crc = 0xFFFFFFFFu;
  while (size >= 8) {
    const uint32_t low = crc ^ loadU32(data);
    const uint32_t high = loadU32(data + 4);
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
          t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    data += 8;
    size -= 8;
  }
  while (size-- > 0) crc = t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

uint64_t unpackBits(const uint8_t* data, uint64_t bit_offset, unsigned width) {
  if (width == 0) return 0;
  const uint8_t* p = data + bit_offset / 8;
  const unsigned shift = static_cast<unsigned>(bit_offset % 8);
  const unsigned spanned = (shift + width + 7) / 8;  // up to 9 bytes for 64 bits not on a byte boundary
  uint64_t value = 0;
  for (unsigned i = 0; i < spanned && i < 8; ++i) value |= uint64_t{p[i]} << (8 * i);
  value >>= shift;
  if (spanned == 9) value |= uint64_t{p[8]} << (64 - shift);
  if (width < 64) value &= (uint64_t{1} << width) - 1;
  return value;
}

bool parseE57Header(const uint8_t* data, size_t size, uint64_t file_size, E57Header& header,
                    std::string& error) {
  if (size < 8 || std::memcmp(data, "ASTM-E57", 8) != 0) {
    error = "not an E57 file (no ASTM-E57 signature)";
    return false;
  }
  if (size < kFileHeaderSize) {
    error = "file shorter than the E57 header (" + text(size) + " bytes)";
    return false;
  }
  E57Header parsed;
  parsed.version_major = loadU32(data + 8);
  parsed.version_minor = loadU32(data + 12);
  parsed.physical_length = loadU64(data + 16);
  parsed.xml_physical_offset = loadU64(data + 24);
  parsed.xml_logical_length = loadU64(data + 32);
  parsed.page_size = loadU64(data + 40);
  if (parsed.version_major != 1) {
    error = "unsupported E57 version " + text(parsed.version_major) + "." + text(parsed.version_minor);
    return false;
  }
  if (parsed.page_size < kSmallestPageSize || parsed.page_size > kLargestPageSize || parsed.page_size % 4 != 0) {
    error = "unsupported page size " + text(parsed.page_size);
    return false;
  }
  if (parsed.physical_length != file_size) {
    error = "file is " + text(file_size) + " bytes but its header declares " + text(parsed.physical_length) +
            " (cut or padded)";
    return false;
  }
  if (file_size % parsed.page_size != 0) {
    error = "file length " + text(file_size) + " is not a whole number of " + text(parsed.page_size) +
            "-byte pages";
    return false;
  }
  const uint64_t payload = parsed.page_size - kChecksumSize;
  const uint64_t offset = parsed.xml_physical_offset;
  const uint64_t logical_size = file_size / parsed.page_size * payload;
  const bool offset_usable = offset < file_size && offset % parsed.page_size < payload;
  const uint64_t logical_offset = offset / parsed.page_size * payload + offset % parsed.page_size;
  if (!offset_usable || parsed.xml_logical_length == 0 || parsed.xml_logical_length > logical_size - logical_offset) {
    error = "XML section (offset " + text(offset) + ", " + text(parsed.xml_logical_length) +
            " bytes) does not fit the file";
    return false;
  }
  header = parsed;
  return true;
}

E57ReadResult readE57File(const std::string& path, const E57ChunkSink& sink,
                          const std::function<void(uint64_t, uint64_t)>& progress) {
  E57ReadResult result;
  auto fail = [&](E57ReadStatus status, const std::string& fault) {
    result.status = status;
    result.error = path + ": " + fault;
    return result;
  };

  // Not blocking on a pipe that has no writer; no effect on regular files.
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return fail(E57ReadStatus::kCannotOpen, std::strerror(errno));
  struct stat info;
  if (::fstat(file.get(), &info) != 0) return fail(E57ReadStatus::kCannotOpen, std::strerror(errno));
  if (S_ISDIR(info.st_mode)) return fail(E57ReadStatus::kCannotOpen, "is a directory");
  if (!S_ISREG(info.st_mode)) return fail(E57ReadStatus::kCannotOpen, "not a regular file");
  const uint64_t file_size = static_cast<uint64_t>(info.st_size);
  result.bytes_total = file_size;

  uint8_t header_bytes[kFileHeaderSize];
  const ssize_t header_read = readAt(file.get(), header_bytes, std::min<uint64_t>(file_size, sizeof header_bytes), 0);
  if (header_read < 0) return fail(E57ReadStatus::kInvalid, std::string("read error: ") + std::strerror(errno));
  E57Header header;
  std::string fault;
  if (!parseE57Header(header_bytes, static_cast<size_t>(header_read), file_size, header, fault))
    return fail(E57ReadStatus::kInvalid, fault);

  PagedFile pages(file.get(), header.page_size, file_size, progress);
  // Page 0 holds the header just parsed: its checksum is checked before anything else is trusted.
  uint8_t first_bytes[kFileHeaderSize];
  if (!pages.read(0, first_bytes, sizeof first_bytes, fault)) return fail(E57ReadStatus::kInvalid, fault);

  std::vector<ScanDescription> scans;
  {
    uint64_t xml_start = 0;
    pages.toLogical(header.xml_physical_offset, xml_start);  // checked by parseE57Header
    std::string xml(static_cast<size_t>(header.xml_logical_length), '\0');
    if (!pages.read(xml_start, reinterpret_cast<uint8_t*>(&xml[0]), xml.size(), fault) ||
        !parseXml(xml, scans, fault))
      return fail(E57ReadStatus::kInvalid, fault);
  }

  PointOutput output(sink);
  for (size_t i = 0; i < scans.size(); ++i) {
    ScanDecoder decoder(pages, scans[i], output, result);
    if (!decoder.run(fault)) return fail(E57ReadStatus::kInvalid, "scan " + text(i) + ": " + fault);
  }
  output.flush();
  pages.reportDone();
  result.scans = static_cast<uint32_t>(scans.size());
  result.status = E57ReadStatus::kOk;
  return result;
}

}  // namespace korvane_navigation
