// The LAS reader against files the writer makes, against a file built byte
// by byte, and against corrupted headers.
#include "formats/las_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>

#include "las_writer.h"
#include "support/test_support.h"

using namespace korvane_navigation;

namespace {

// Byte positions written out literally rather than shared with the reader and
// writer, so a wrong position in both cannot pass the round trips unnoticed.
constexpr size_t kVersionMajorAt = 24;
constexpr size_t kVersionMinorAt = 25;
constexpr size_t kHeaderSizeAt = 94;
constexpr size_t kOffsetToPointDataAt = 96;
constexpr size_t kPointFormatAt = 104;
constexpr size_t kPointRecordLengthAt = 105;
constexpr size_t kLegacyPointCountAt = 107;
constexpr size_t kScaleAt = 131;
constexpr size_t kOffsetAt = 155;
constexpr size_t kBoundsAt = 179;
constexpr size_t kPointCount64At = 247;
constexpr uint16_t kHeaderSizes[] = {227, 227, 227, 235, 375};
constexpr uint16_t kRecordLengths[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

using Points = std::vector<std::array<double, 3>>;
using Bytes = std::vector<uint8_t>;

const Points kSamplePoints = {
    {0.0, 0.0, 0.0}, {1.234, -5.678, 9.101}, {-1000.5, 2000.25, -3.0}, {12345.678, -9876.543, 0.001}};

template <typename T>
void put(Bytes& bytes, size_t at, T value) {
  ASSERT_LE(at + sizeof value, bytes.size());
  std::memcpy(&bytes[at], &value, sizeof value);  // the tests run on little-endian hosts
}

template <typename T>
T get(const Bytes& bytes, size_t at) {
  T value{};
  std::memcpy(&value, &bytes[at], sizeof value);
  return value;
}

LasWriteOptions options(uint8_t minor, uint8_t format) {
  LasWriteOptions o;
  o.version_minor = minor;
  o.point_format = format;
  return o;
}

struct ReadOutcome {
  LasReadResult result;
  std::vector<double> xyz;  // in file order
  size_t blocks = 0;
};

class LasReaderTest : public ::testing::Test {
 protected:
  ReadOutcome read(const Bytes& bytes) {
    const std::string path = dir_.file("cloud.las");
    test_support::writeFile(path, std::string(bytes.begin(), bytes.end()));
    return readPath(path);
  }
  ReadOutcome readPath(const std::string& path) {
    ReadOutcome outcome;
    outcome.result = readLasPoints(path, [&](unsigned, const double* xyz, size_t count) {
      outcome.xyz.insert(outcome.xyz.end(), xyz, xyz + 3 * count);
      ++outcome.blocks;
    });
    return outcome;
  }
  // Every point read as its stored integer step, scaled and offset in double.
  static void expectPoints(const ReadOutcome& outcome, const Points& points, const LasWriteOptions& o) {
    ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
    ASSERT_EQ(outcome.result.points_read, points.size());
    ASSERT_EQ(outcome.xyz.size(), 3 * points.size());
    for (size_t i = 0; i < points.size(); ++i)
      for (int a = 0; a < 3; ++a) {
        const double stored = std::round((points[i][a] - o.offset[a]) / o.scale[a]) * o.scale[a] + o.offset[a];
        ASSERT_EQ(outcome.xyz[i * 3 + a], stored) << "point " << i << " axis " << a;
      }
  }
  test_support::TempDir dir_;
};

TEST_F(LasReaderTest, EveryVersionWithEveryPointFormatReadsBack) {
  for (uint8_t minor = 0; minor <= 4; ++minor) {
    for (uint8_t format = 0; format <= 10; ++format) {
      SCOPED_TRACE("LAS 1." + std::to_string(minor) + " format " + std::to_string(format));
      const LasWriteOptions o = options(minor, format);
      const ReadOutcome outcome = read(encodeLas(kSamplePoints, o));
      expectPoints(outcome, kSamplePoints, o);
      const LasHeader& header = outcome.result.header;
      EXPECT_EQ(header.version_minor, minor);
      EXPECT_EQ(header.point_format, format);
      EXPECT_EQ(header.header_size, kHeaderSizes[minor]);
      EXPECT_EQ(header.point_record_length, kRecordLengths[format]);

      EXPECT_EQ(header.min[0], -1000.5);
      EXPECT_EQ(header.max[1], 2000.25);
    }
  }
}

TEST_F(LasReaderTest, ExtraRecordBytesAndVariableLengthRecordsAreSkipped) {
  for (uint8_t minor : {0, 2, 4}) {
    SCOPED_TRACE("LAS 1." + std::to_string(minor));
    LasWriteOptions o = options(minor, 3);
    o.extra_record_bytes = 13;
    o.vlr_count = 3;
    const Bytes bytes = encodeLas(kSamplePoints, o);
    // LAS 1.0 puts a two-byte signature just before the points.
    const uint32_t offset = get<uint32_t>(bytes, kOffsetToPointDataAt);
    EXPECT_EQ(offset, kHeaderSizes[minor] + 3 * 54 + (minor == 0 ? 2 : 0));
    if (minor == 0) { EXPECT_EQ(get<uint16_t>(bytes, offset - 2), 0xCCDD); }
    expectPoints(read(bytes), kSamplePoints, o);
  }
}

// Independent of the writer: scale and offset per axis, bounds, counts.
TEST_F(LasReaderTest, HandBuiltFileIsRead) {
  Bytes bytes(227 + 2 * 20, 0);
  std::memcpy(bytes.data(), "LASF", 4);
  bytes[kVersionMajorAt] = 1;
  bytes[kVersionMinorAt] = 2;
  put<uint16_t>(bytes, kHeaderSizeAt, 227);
  put<uint32_t>(bytes, kOffsetToPointDataAt, 227);
  put<uint16_t>(bytes, kPointRecordLengthAt, 20);
  put<uint32_t>(bytes, kLegacyPointCountAt, 2);
  const double scale[3] = {0.01, 0.5, 2.0}, offset[3] = {100.0, -7.0, 0.25};
  for (int a = 0; a < 3; ++a) {
    put(bytes, kScaleAt + 8 * a, scale[a]);
    put(bytes, kOffsetAt + 8 * a, offset[a]);
  }
  put(bytes, kBoundsAt, 101.0);      // max x
  put(bytes, kBoundsAt + 8, 99.0);   // min x
  const int32_t records[2][3] = {{100, -2, 3}, {-100, 14, 0}};
  for (int i = 0; i < 2; ++i)
    for (int a = 0; a < 3; ++a) put(bytes, 227 + 20 * i + 4 * a, records[i][a]);
  const ReadOutcome outcome = read(bytes);
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.result.header.max[0], 101.0);
  EXPECT_EQ(outcome.result.header.min[0], 99.0);
  EXPECT_EQ(outcome.xyz, (std::vector<double>{101.0, -8.0, 6.25, 99.0, 0.0, 0.25}));
}

// UTM-like offsets keep every millimetre: nothing is narrowed to float.
TEST_F(LasReaderTest, GeoreferencedScaleAndOffsetPerAxisKeepEveryStep) {
  LasWriteOptions o;
  o.scale = {0.01, 0.001, 0.5};
  o.offset = {500000.0, 4000000.0, -100.0};
  const Points points = {{500123.45, 4000321.123, 12.5}, {499999.99, 3999999.999, -100.0}};
  const ReadOutcome outcome = read(encodeLas(points, o));
  expectPoints(outcome, points, o);
  for (int a = 0; a < 3; ++a) EXPECT_EQ(outcome.result.header.offset[a], o.offset[a]);
  EXPECT_EQ(outcome.xyz[1], 4000321.123);
}

// The classification byte of formats 0 to 5 and the flags byte of 6 to 10
// each carry a withheld bit; the points so flagged are left out and counted.
TEST_F(LasReaderTest, WithheldPointsAreLeftOutAndCounted) {
  for (const uint8_t format : {0, 3, 6, 8}) {
    SCOPED_TRACE("format " + std::to_string(format));
    const LasWriteOptions o = options(4, format);
    Bytes bytes = encodeLas(kSamplePoints, o);
    const size_t first = get<uint32_t>(bytes, kOffsetToPointDataAt);
    const size_t flags_at = 15;
    const uint8_t withheld = format < 6 ? 0x80 : 0x04;
    bytes[first + 1 * kRecordLengths[format] + flags_at] |= withheld;
    bytes[first + 3 * kRecordLengths[format] + flags_at] |= withheld;
    // Neighbouring bits (synthetic, key-point, overlap) do not withhold.
    bytes[first + 2 * kRecordLengths[format] + flags_at] |= format < 6 ? 0x60 : 0x0B;
    const ReadOutcome outcome = read(bytes);
    ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
    EXPECT_EQ(outcome.result.points_read, 4u);
    EXPECT_EQ(outcome.result.withheld_points, 2u);
    ReadOutcome kept = outcome;
    kept.result.points_read = 2;
    expectPoints(kept, {kSamplePoints[0], kSamplePoints[2]}, o);
  }
}

// Crosses read-block boundaries with a record length that does not divide them.
TEST_F(LasReaderTest, LargeFileIsReadCompletely) {
  LasWriteOptions o;
  o.extra_record_bytes = 7;
  Points points(250000);
  for (size_t i = 0; i < points.size(); ++i) points[i] = {i * 0.001, i * -0.002, (i % 1000) * 0.01};
  expectPoints(read(encodeLas(points, o)), points, o);
}

TEST_F(LasReaderTest, PointCountsLegacyWideTruncatedAndEmpty) {
  LasWriteOptions wide = options(4, 6);
  wide.legacy_count_zero = true;
  const Bytes wide_bytes = encodeLas(kSamplePoints, wide);
  EXPECT_EQ(get<uint32_t>(wide_bytes, kLegacyPointCountAt), 0u);
  expectPoints(read(wide_bytes), kSamplePoints, wide);

  Bytes legacy_only = encodeLas(kSamplePoints, options(4, 0));
  put<uint64_t>(legacy_only, kPointCount64At, 0);
  EXPECT_EQ(read(legacy_only).result.points_read, kSamplePoints.size());

  // What is read follows what the file holds, not what the header says.
  LasWriteOptions beyond_32_bits = options(4, 0);
  beyond_32_bits.declared_count = int64_t{5} << 32;
  const ReadOutcome beyond = read(encodeLas(kSamplePoints, beyond_32_bits));
  EXPECT_EQ(beyond.result.header.point_count, uint64_t{5} << 32);
  EXPECT_EQ(beyond.result.points_read, kSamplePoints.size());

  LasWriteOptions fewer;
  fewer.declared_count = 2;
  const ReadOutcome two = read(encodeLas(kSamplePoints, fewer));
  EXPECT_EQ(two.xyz.size(), 6u);
  EXPECT_EQ(two.result.points_read, 2u);

  const LasWriteOptions format1 = options(2, 1);
  Bytes cut = encodeLas(kSamplePoints, format1);
  cut.resize(get<uint32_t>(cut, kOffsetToPointDataAt) + 2 * 28 + 5);  // 2 records and 5 bytes of a 3rd
  const ReadOutcome truncated = read(cut);
  EXPECT_EQ(truncated.result.header.point_count, 4u);
  expectPoints(truncated, Points(kSamplePoints.begin(), kSamplePoints.begin() + 2), format1);

  for (uint8_t minor : {0, 4}) {
    const ReadOutcome empty = read(encodeLas({}, options(minor, 0)));
    EXPECT_EQ(empty.result.status, LasReadStatus::kOk);
    EXPECT_EQ(empty.blocks, 0u);
  }
}

// A file that shrinks while its blocks are read, on every thread count:
// the blocks other threads hand over could leave gaps anywhere, so nothing
// read may pass as the file's points. The cut comes from the sink, on block
// 0, before any other thread has started.
TEST_F(LasReaderTest, AFileCutWhileReadFailsOnEveryThreadCount) {
  constexpr size_t kRecordLength = 20;  // point format 0
  constexpr uint64_t kBlockRecords = (size_t{4} << 20) / kRecordLength;
  Points points(4 * kBlockRecords + 1000);
  for (size_t i = 0; i < points.size(); ++i) points[i] = {i * 0.001, 0.0, 1.0};
  const Bytes bytes = encodeLas(points, options(2, 0));
  const uint64_t data_start = get<uint32_t>(bytes, kOffsetToPointDataAt);
  struct Cut {
    const char* where;
    uint64_t records;  // whole records left
    uint64_t extra_bytes;  // of the next record
  };
  const Cut cuts[] = {
      {"where block 1 starts", kBlockRecords, 0},
      {"inside block 1", kBlockRecords + 17, 0},
      {"inside a record of block 2", 2 * kBlockRecords + 5, 11},
      {"one byte short of the end", points.size() - 1, kRecordLength - 1},
  };
  const std::string path = dir_.file("cloud.las");
  for (unsigned threads = 1; threads <= 3; ++threads) {
    for (const Cut& cut : cuts) {
      SCOPED_TRACE(std::to_string(threads) + " threads, cut " + cut.where);
      test_support::writeFile(path, std::string(bytes.begin(), bytes.end()));
      bool cut_done = false;
      std::atomic<uint64_t> handed_over{0};
      const LasReadResult result = readLasPoints(
          path,
          [&](unsigned, const double*, size_t count) {
            if (!cut_done) {
              ASSERT_EQ(::truncate(path.c_str(), data_start + cut.records * kRecordLength + cut.extra_bytes), 0);
              cut_done = true;
            }
            handed_over += count;
          },
          nullptr, threads);
      EXPECT_EQ(result.status, LasReadStatus::kInvalid) << result.points_read << " of " << points.size();
      EXPECT_EQ(result.error.rfind(path + ": the file shrank while it was read", 0), 0u) << result.error;
      EXPECT_LE(handed_over.load(), cut.records);
    }
  }
}

TEST_F(LasReaderTest, CorruptHeadersAreRefusedWithThePathAndTheFault) {
  struct Corruption {
    uint8_t version_minor;
    std::function<void(Bytes&)> corrupt;
    const char* error;
  };
  const std::vector<Corruption> cases = {
      {2, [](Bytes& b) { b[0] = 'X'; }, "no LASF signature"},
      {2, [](Bytes& b) { b.clear(); }, "no LASF signature"},
      {2, [](Bytes& b) { b[kVersionMajorAt] = 2; }, "unsupported LAS version 2.2"},
      {4, [](Bytes& b) { b[kVersionMinorAt] = 5; }, "unsupported LAS version 1.5"},
      {2, [](Bytes& b) { b[kPointFormatAt] |= 0x80; }, "without a LASzip VLR"},
      {4, [](Bytes& b) { b[kPointFormatAt] |= 0x40; }, "without a LASzip VLR"},
      {4, [](Bytes& b) { b[kPointFormatAt] = 11; }, "point data format 11"},
      {2, [](Bytes& b) { b[kPointFormatAt] = 1, put<uint16_t>(b, kPointRecordLengthAt, 27); },
       "point record length 27"},
      {4, [](Bytes& b) { b[kPointFormatAt] = 10, put<uint16_t>(b, kPointRecordLengthAt, 66); },
       "point record length 66"},
      {2, [](Bytes& b) { put<uint16_t>(b, kHeaderSizeAt, 226); }, "header size 226"},
      {3, [](Bytes& b) { put<uint16_t>(b, kHeaderSizeAt, 234); }, "header size 234"},
      {4, [](Bytes& b) { put<uint16_t>(b, kHeaderSizeAt, 374); }, "header size 374"},
      {2, [](Bytes& b) { put<uint16_t>(b, kHeaderSizeAt, 60000); }, "shorter than its header"},
      {2, [](Bytes& b) { put<uint32_t>(b, kOffsetToPointDataAt, 226); }, "offset to point data 226"},
      {2, [](Bytes& b) { put<uint32_t>(b, kOffsetToPointDataAt, uint32_t(b.size() + 1)); },
       "offset to point data"},
      {4, [](Bytes& b) { b.resize(300); }, "shorter than the LAS header"},
      {2, [](Bytes& b) { b.resize(100); }, "shorter than the LAS header"},
      {2, [](Bytes& b) { put(b, kScaleAt, 0.0); }, "invalid x scale"},
      {2, [](Bytes& b) { put(b, kScaleAt + 8, std::nan("")); }, "invalid y scale"},
      {2, [](Bytes& b) { put(b, kOffsetAt, -HUGE_VAL); }, "invalid x offset"},
  };
  for (const Corruption& c : cases) {
    SCOPED_TRACE(c.error);
    Bytes bytes = encodeLas(kSamplePoints, options(c.version_minor, 0));
    c.corrupt(bytes);
    const ReadOutcome outcome = read(bytes);
    EXPECT_EQ(outcome.result.status, LasReadStatus::kInvalid);
    EXPECT_NE(outcome.result.error.find(dir_.file("cloud.las") + ": "), std::string::npos);
    EXPECT_NE(outcome.result.error.find(c.error), std::string::npos) << outcome.result.error;
    EXPECT_EQ(outcome.blocks, 0u);
  }
  const ReadOutcome missing = readPath(dir_.file("missing.las"));
  EXPECT_EQ(missing.result.status, LasReadStatus::kCannotOpen);
  const ReadOutcome directory = readPath(dir_.path());
  EXPECT_EQ(directory.result.error, dir_.path() + ": is a directory");
  EXPECT_EQ(missing.blocks + directory.blocks, 0u);
}

}  // namespace
