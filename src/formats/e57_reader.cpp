#include "formats/e57_reader.h"
#include "formats/file_reading.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "formats/e57_decoding.h"
#include "formats/e57_pages.h"
#include "formats/e57_xml.h"

namespace korvane_navigation {
namespace {

using namespace e57;

constexpr size_t kChunkPoints = 8192;
// Records decoded field by field at a time: the columns stay in the first-level cache.
constexpr size_t kBatchRecords = 512;
constexpr size_t kPacketHeaderSize = 4;
constexpr size_t kDataPacketHeaderSize = 6;  // packet header, then the bytestream count

class PointOutput {
 public:
  explicit PointOutput(const PointBlockSink& sink) : sink_(sink), chunk_(kChunkPoints * 3) {}

  // Room for at least kBatchRecords points; `commit` says how many were put there.
  double* space() {
    if (kChunkPoints - count_ < kBatchRecords) flush();
    return &chunk_[count_ * 3];
  }
  void commit(size_t points) { count_ += points; }
  void flush() {
    if (count_ > 0 && sink_) sink_(0, chunk_.data(), count_);
    count_ = 0;
  }

 private:
  const PointBlockSink& sink_;
  std::vector<double> chunk_;
  size_t count_ = 0;
};

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

E57ReadResult readE57File(const std::string& path, const PointBlockSink& sink,
                          const std::function<void(uint64_t, uint64_t)>& progress) {
  E57ReadResult result;
  auto fail = [&](E57ReadStatus status, const std::string& fault) {
    result.status = status;
    result.error = path + ": " + fault;
    return result;
  };

  FileDescriptor file;
  uint64_t file_size = 0;
  std::string fault;
  if (openFileToRead(path, FileKinds::kRegular, file, file_size, fault) != OpenFault::kNone)
    return fail(E57ReadStatus::kCannotOpen, fault);
  result.bytes_total = file_size;

  uint8_t header_bytes[kFileHeaderSize];
  const ssize_t header_read = readAt(file.get(), header_bytes, std::min<uint64_t>(file_size, sizeof header_bytes), 0);
  if (header_read < 0) return fail(E57ReadStatus::kInvalid, std::string("read error: ") + std::strerror(errno));
  E57Header header;
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
