#include "formats/las_reader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/las_writer.h"

using namespace korvane_navigation;

namespace {

// Byte positions written out literally rather than shared with the reader and
// writer, so a wrong position in both cannot pass the round trips unnoticed.
constexpr size_t kVersionMajorAt = 24;
constexpr size_t kVersionMinorAt = 25;
constexpr size_t kHeaderSizeAt = 94;
constexpr size_t kOffsetToPointDataAt = 96;
constexpr size_t kVlrCountAt = 100;
constexpr size_t kPointFormatAt = 104;
constexpr size_t kPointRecordLengthAt = 105;
constexpr size_t kLegacyPointCountAt = 107;
constexpr size_t kScaleAt = 131;
constexpr size_t kOffsetAt = 155;
constexpr size_t kBoundsAt = 179;
constexpr size_t kPointCount64At = 247;
constexpr uint16_t kHeaderSizes[] = {227, 227, 227, 235, 375};
constexpr uint16_t kRecordLengths[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
constexpr float kUntouched = -12345.0f;

using Points = std::vector<std::array<double, 3>>;

const Points kSamplePoints = {
    {0.0, 0.0, 0.0},
    {1.234, -5.678, 9.101},
    {-1000.5, 2000.25, -3.0},
    {12345.678, -9876.543, 0.001},
};

template <typename T>
void put(std::vector<uint8_t>& bytes, size_t at, T value) {
  ASSERT_LE(at + sizeof value, bytes.size());
  std::memcpy(&bytes[at], &value, sizeof value);  // the tests run on little-endian hosts
}

template <typename T>
T get(const std::vector<uint8_t>& bytes, size_t at) {
  T value{};
  if (at + sizeof value <= bytes.size()) std::memcpy(&value, &bytes[at], sizeof value);
  return value;
}

// What a reader must produce for `v`: the nearest stored step, computed in double.
float stored(double v, double scale, double offset) {
  return static_cast<float>(std::round((v - offset) / scale) * scale + offset);
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/las_reader_test.XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct ReadOutcome {
  LasReadResult result;
  std::vector<float> xyz;
  std::vector<uint64_t> allocations;
};

ReadOutcome readLas(const std::string& path, size_t stride = 3) {
  ReadOutcome outcome;
  outcome.result = readLasFile(
      path,
      [&](uint64_t n) {
        outcome.allocations.push_back(n);
        outcome.xyz.assign(n * stride, kUntouched);
        return outcome.xyz.data();
      },
      stride);
  return outcome;
}

class LasFileTest : public ::testing::Test {
 protected:
  std::string write(const std::vector<uint8_t>& bytes, const std::string& name = "cloud.las") {
    const std::string path = dir_.path() + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  ReadOutcome encodeAndRead(const Points& points, const LasWriteOptions& options, size_t stride = 3) {
    return readLas(write(encodeLas(points, options)), stride);
  }

  static void expectPoints(const ReadOutcome& outcome, const Points& points, const LasWriteOptions& options,
                           size_t stride = 3) {
    ASSERT_GE(outcome.xyz.size(), points.size() * stride);
    for (size_t i = 0; i < points.size(); ++i)
      for (int axis = 0; axis < 3; ++axis)
        ASSERT_EQ(outcome.xyz[i * stride + axis], stored(points[i][axis], options.scale[axis], options.offset[axis]))
            << "point " << i << " axis " << axis;
  }

  TempDir dir_;
};

// --- Every version with every point format -------------------------------------------

struct VersionAndFormat {
  uint8_t version_minor;
  uint8_t point_format;
};

class LasRoundTrip : public LasFileTest, public ::testing::WithParamInterface<VersionAndFormat> {};

TEST_P(LasRoundTrip, ReadsBackWhatWasWritten) {
  LasWriteOptions options;
  options.version_minor = GetParam().version_minor;
  options.point_format = GetParam().point_format;
  const ReadOutcome outcome = encodeAndRead(kSamplePoints, options);

  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  const LasHeader& header = outcome.result.header;
  EXPECT_EQ(header.version_major, 1);
  EXPECT_EQ(header.version_minor, options.version_minor);
  EXPECT_EQ(header.point_format, options.point_format);
  EXPECT_EQ(header.header_size, kHeaderSizes[options.version_minor]);
  EXPECT_EQ(header.point_record_length, kRecordLengths[options.point_format]);
  EXPECT_EQ(header.point_count, kSamplePoints.size());
  EXPECT_EQ(outcome.result.points_read, kSamplePoints.size());
  EXPECT_EQ(outcome.allocations, std::vector<uint64_t>{kSamplePoints.size()});
  expectPoints(outcome, kSamplePoints, options);
  const double expected_min[3] = {-1000.5, -9876.543, -3.0};
  const double expected_max[3] = {12345.678, 2000.25, 9.101};
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_NEAR(header.min[axis], expected_min[axis], 1e-9) << "axis " << axis;
    EXPECT_NEAR(header.max[axis], expected_max[axis], 1e-9) << "axis " << axis;
  }
}

std::vector<VersionAndFormat> allVersionsAndFormats() {
  std::vector<VersionAndFormat> all;
  for (uint8_t minor = 0; minor <= 4; ++minor)
    for (uint8_t format = 0; format <= 10; ++format) all.push_back({minor, format});
  return all;
}

INSTANTIATE_TEST_SUITE_P(AllVersionsAndFormats, LasRoundTrip, ::testing::ValuesIn(allVersionsAndFormats()),
                         [](const ::testing::TestParamInfo<VersionAndFormat>& info) {
                           return "Las1_" + std::to_string(info.param.version_minor) + "_Format" +
                                  std::to_string(info.param.point_format);
                         });

// --- Layout variations ------------------------------------------------------------------

using LasLayoutTest = LasFileTest;

TEST_F(LasLayoutTest, ExtraRecordBytesAreSkipped) {
  LasWriteOptions options;
  options.point_format = 3;
  options.extra_record_bytes = 13;
  const ReadOutcome outcome = encodeAndRead(kSamplePoints, options);
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.result.header.point_record_length, 34 + 13);
  expectPoints(outcome, kSamplePoints, options);
}

TEST_F(LasLayoutTest, VariableLengthRecordsAreSkipped) {
  for (uint8_t minor : {0, 2, 4}) {
    SCOPED_TRACE("LAS 1." + std::to_string(minor));
    LasWriteOptions options;
    options.version_minor = minor;
    options.vlr_count = 3;
    const std::vector<uint8_t> bytes = encodeLas(kSamplePoints, options);
    const uint32_t signature_size = minor == 0 ? 2 : 0;
    EXPECT_EQ(get<uint32_t>(bytes, kVlrCountAt), 3u);
    EXPECT_EQ(get<uint32_t>(bytes, kOffsetToPointDataAt), kHeaderSizes[minor] + 3 * 54 + signature_size);

    const ReadOutcome outcome = readLas(write(bytes));
    ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
    expectPoints(outcome, kSamplePoints, options);
  }
}

TEST_F(LasLayoutTest, Las10PointSignatureSitsJustBeforeThePoints) {
  LasWriteOptions options;
  options.version_minor = 0;
  options.vlr_count = 1;
  const std::vector<uint8_t> bytes = encodeLas(kSamplePoints, options);
  const uint32_t offset = get<uint32_t>(bytes, kOffsetToPointDataAt);
  ASSERT_EQ(offset, 227u + 54u + 2u);
  EXPECT_EQ(bytes[offset - 2], 0xDD);
  EXPECT_EQ(bytes[offset - 1], 0xCC);
  EXPECT_EQ(get<int32_t>(bytes, offset + 20), 1234);       // point 1 x, in steps of 0.001
  EXPECT_EQ(get<int32_t>(bytes, offset + 20 + 4), -5678);  // point 1 y
}

TEST_F(LasLayoutTest, HandBuiltLas12FileIsRead) {
  std::vector<uint8_t> bytes(227 + 2 * 20, 0);
  std::memcpy(bytes.data(), "LASF", 4);
  bytes[kVersionMajorAt] = 1;
  bytes[kVersionMinorAt] = 2;
  put<uint16_t>(bytes, kHeaderSizeAt, 227);
  put<uint32_t>(bytes, kOffsetToPointDataAt, 227);
  bytes[kPointFormatAt] = 0;
  put<uint16_t>(bytes, kPointRecordLengthAt, 20);
  put<uint32_t>(bytes, kLegacyPointCountAt, 2);
  const double scale[3] = {0.01, 0.5, 2.0};
  const double offset[3] = {100.0, -7.0, 0.25};
  for (int axis = 0; axis < 3; ++axis) {
    put(bytes, kScaleAt + 8 * axis, scale[axis]);
    put(bytes, kOffsetAt + 8 * axis, offset[axis]);
  }
  put(bytes, kBoundsAt, 101.0);       // max x
  put(bytes, kBoundsAt + 8, 99.0);    // min x
  put<int32_t>(bytes, 227 + 0, 100);  // point 0: x 101
  put<int32_t>(bytes, 227 + 4, -2);   //          y -8
  put<int32_t>(bytes, 227 + 8, 3);    //          z 6.25
  put<int32_t>(bytes, 247 + 0, -100);  // point 1: x 99
  put<int32_t>(bytes, 247 + 4, 14);    //          y 0
  put<int32_t>(bytes, 247 + 8, 0);     //          z 0.25

  const ReadOutcome outcome = readLas(write(bytes));
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.result.header.point_count, 2u);
  EXPECT_EQ(outcome.result.header.max[0], 101.0);
  EXPECT_EQ(outcome.result.header.min[0], 99.0);
  EXPECT_EQ(outcome.xyz, (std::vector<float>{101.0f, -8.0f, 6.25f, 99.0f, 0.0f, 0.25f}));
}

TEST_F(LasLayoutTest, StrideLeavesTheOtherFieldsAlone) {
  const LasWriteOptions options;
  const ReadOutcome outcome = encodeAndRead(kSamplePoints, options, 5);
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  expectPoints(outcome, kSamplePoints, options, 5);
  for (size_t i = 0; i < kSamplePoints.size(); ++i) {
    EXPECT_EQ(outcome.xyz[i * 5 + 3], kUntouched);
    EXPECT_EQ(outcome.xyz[i * 5 + 4], kUntouched);
  }
}

// Crosses read-block boundaries with a record length that does not divide them.
TEST_F(LasLayoutTest, LargeFileIsReadCompletely) {
  LasWriteOptions options;
  options.extra_record_bytes = 7;
  Points points(250000);
  for (size_t i = 0; i < points.size(); ++i)
    points[i] = {i * 0.001, -static_cast<double>(i) * 0.002, static_cast<double>(i % 1000) * 0.01};
  const ReadOutcome outcome = encodeAndRead(points, options);
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.result.points_read, points.size());
  expectPoints(outcome, points, options);
}

// --- Point counts -----------------------------------------------------------------------

using LasPointCountTest = LasFileTest;

TEST_F(LasPointCountTest, Las14WideCountIsUsedWhenTheLegacyCountIsZero) {
  LasWriteOptions options;
  options.version_minor = 4;
  options.point_format = 6;
  options.legacy_count_zero = true;
  const std::vector<uint8_t> bytes = encodeLas(kSamplePoints, options);
  EXPECT_EQ(get<uint32_t>(bytes, kLegacyPointCountAt), 0u);
  EXPECT_EQ(get<uint64_t>(bytes, kPointCount64At), kSamplePoints.size());

  const ReadOutcome outcome = readLas(write(bytes));
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.result.header.point_count, kSamplePoints.size());
  expectPoints(outcome, kSamplePoints, options);
}

TEST_F(LasPointCountTest, Las14FallsBackToTheLegacyCountWhenTheWideCountIsZero) {
  LasWriteOptions options;
  options.version_minor = 4;
  std::vector<uint8_t> bytes = encodeLas(kSamplePoints, options);
  put<uint64_t>(bytes, kPointCount64At, 0);
  const ReadOutcome outcome = readLas(write(bytes));
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.result.points_read, kSamplePoints.size());
}

TEST_F(LasPointCountTest, WideCountBeyond32BitsIsParsed) {
  LasWriteOptions options;
  options.version_minor = 4;
  options.declared_count = int64_t{5} << 32;
  const std::vector<uint8_t> bytes = encodeLas(kSamplePoints, options);
  LasHeader header;
  std::string error;
  ASSERT_TRUE(parseLasHeader(bytes.data(), bytes.size(), bytes.size(), header, error)) << error;
  EXPECT_EQ(header.point_count, uint64_t{5} << 32);
}

TEST_F(LasPointCountTest, TruncatedFileYieldsTheWholeRecordsItHolds) {
  LasWriteOptions options;
  options.point_format = 1;
  Points points(10);
  for (size_t i = 0; i < points.size(); ++i) points[i] = {i * 1.5, i * -2.0, i * 0.25};
  std::vector<uint8_t> bytes = encodeLas(points, options);
  bytes.resize(get<uint32_t>(bytes, kOffsetToPointDataAt) + 6 * 28 + 5);  // 6 records and part of a 7th

  const ReadOutcome outcome = readLas(write(bytes));
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.result.header.point_count, 10u);
  EXPECT_EQ(outcome.result.points_read, 6u);
  EXPECT_EQ(outcome.allocations, std::vector<uint64_t>{6});
  expectPoints(outcome, Points(points.begin(), points.begin() + 6), options);
}

TEST_F(LasPointCountTest, HugeDeclaredCountAllocatesOnlyWhatTheFileHolds) {
  LasWriteOptions options;
  options.version_minor = 4;
  options.declared_count = int64_t{1} << 40;
  const ReadOutcome outcome = encodeAndRead(kSamplePoints, options);
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.allocations, std::vector<uint64_t>{kSamplePoints.size()});
  EXPECT_EQ(outcome.result.points_read, kSamplePoints.size());
}

TEST_F(LasPointCountTest, RecordsBeyondTheDeclaredCountAreIgnored) {
  LasWriteOptions options;
  options.declared_count = 2;
  const ReadOutcome outcome = encodeAndRead(kSamplePoints, options);
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.allocations, std::vector<uint64_t>{2});
  EXPECT_EQ(outcome.result.points_read, 2u);
}

TEST_F(LasPointCountTest, EmptyCloudIsValid) {
  for (uint8_t minor : {0, 4}) {
    SCOPED_TRACE("LAS 1." + std::to_string(minor));
    LasWriteOptions options;
    options.version_minor = minor;
    const ReadOutcome outcome = encodeAndRead({}, options);
    ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
    EXPECT_EQ(outcome.result.header.point_count, 0u);
    EXPECT_EQ(outcome.result.points_read, 0u);
    EXPECT_EQ(outcome.allocations, std::vector<uint64_t>{0});
  }
}

// --- Scale and offset -------------------------------------------------------------------

using LasScaleOffsetTest = LasFileTest;

TEST_F(LasScaleOffsetTest, EachAxisUsesItsOwnScaleAndOffset) {
  LasWriteOptions options;
  options.scale = {0.01, 0.001, 0.5};
  options.offset = {500000.0, 4000000.0, -100.0};
  const Points points = {{500123.45, 4000321.123, 12.5}, {499999.99, 3999999.999, -100.0}};
  const ReadOutcome outcome = encodeAndRead(points, options);
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_EQ(outcome.result.header.scale[axis], options.scale[axis]);
    EXPECT_EQ(outcome.result.header.offset[axis], options.offset[axis]);
  }
  expectPoints(outcome, points, options);
}

TEST_F(LasScaleOffsetTest, WriterRoundsToTheNearestStep) {
  LasWriteOptions options;
  options.scale = {1.0, 1.0, 1.0};
  const ReadOutcome outcome = encodeAndRead({{2.6, -2.6, 2.4}, {-2.4, 0.49, -0.51}}, options);
  ASSERT_EQ(outcome.result.status, LasReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.xyz, (std::vector<float>{3, -3, 2, -2, 0, -1}));
}

TEST_F(LasScaleOffsetTest, WriterRefusesCoordinatesThatDoNotFit) {
  const Points too_far = {{3e6, 0.0, 0.0}};  // 3e9 steps of 0.001
  EXPECT_THROW(encodeLas(too_far), std::out_of_range);
  LasFileWriter writer(dir_.path() + "/far.las", {});
  EXPECT_THROW(writer.add(0.0, -3e6, 0.0), std::out_of_range);
}

// --- Streaming writer -------------------------------------------------------------------

using LasFileWriterTest = LasFileTest;

TEST_F(LasFileWriterTest, MatchesTheInMemoryEncoding) {
  // Enough points to spill the write buffer several times for the widest record.
  Points points(60000);
  for (size_t i = 0; i < points.size(); ++i) points[i] = {i * 0.01, 7.0 - i * 0.003, std::sin(i * 0.1)};
  for (uint8_t minor = 0; minor <= 4; ++minor) {
    LasWriteOptions options;
    options.version_minor = minor;
    options.point_format = static_cast<uint8_t>(minor * 2 + 2);
    options.vlr_count = minor;
    options.extra_record_bytes = 3;
    SCOPED_TRACE("LAS 1." + std::to_string(minor) + " format " + std::to_string(options.point_format));

    const std::string path = dir_.path() + "/streamed.las";
    LasFileWriter writer(path, options);
    for (const auto& p : points) writer.add(p[0], p[1], p[2]);
    ASSERT_TRUE(writer.close());

    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> streamed{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_TRUE(streamed == encodeLas(points, options));
  }
}

TEST_F(LasFileWriterTest, CloseReportsAnUnwritablePath) {
  LasFileWriter writer(dir_.path() + "/no/such/dir/cloud.las", {});
  writer.add(1.0, 2.0, 3.0);
  EXPECT_FALSE(writer.close());
}

// --- Rejected files ---------------------------------------------------------------------

struct Corruption {
  const char* name;
  uint8_t version_minor;
  uint8_t point_format;
  std::function<void(std::vector<uint8_t>&)> corrupt;
  const char* expected_error;
};

void PrintTo(const Corruption& corruption, std::ostream* os) { *os << corruption.name; }

class LasRejection : public LasFileTest, public ::testing::WithParamInterface<Corruption> {};

TEST_P(LasRejection, IsReportedAsInvalidWithThePathAndTheFault) {
  LasWriteOptions options;
  options.version_minor = GetParam().version_minor;
  options.point_format = GetParam().point_format;
  std::vector<uint8_t> bytes = encodeLas(kSamplePoints, options);
  GetParam().corrupt(bytes);
  const std::string path = write(bytes);

  const ReadOutcome outcome = readLas(path);
  EXPECT_EQ(outcome.result.status, LasReadStatus::kInvalid);
  EXPECT_NE(outcome.result.error.find(path), std::string::npos) << outcome.result.error;
  EXPECT_NE(outcome.result.error.find(GetParam().expected_error), std::string::npos) << outcome.result.error;
  EXPECT_TRUE(outcome.allocations.empty());
}

const Corruption kCorruptions[] = {
    {"NoSignature", 2, 0, [](auto& b) { b[0] = 'X'; }, "no LASF signature"},
    {"EmptyFile", 2, 0, [](auto& b) { b.clear(); }, "no LASF signature"},
    {"MajorVersion2", 2, 0, [](auto& b) { b[kVersionMajorAt] = 2; }, "unsupported LAS version 2.2"},
    {"MinorVersion5", 4, 0, [](auto& b) { b[kVersionMinorAt] = 5; }, "unsupported LAS version 1.5"},
    {"LazBit7", 2, 3, [](auto& b) { b[kPointFormatAt] |= 0x80; }, "compressed LAZ"},
    {"LazBit6", 4, 7, [](auto& b) { b[kPointFormatAt] |= 0x40; }, "compressed LAZ"},
    {"Format11", 4, 10, [](auto& b) { b[kPointFormatAt] = 11; }, "point data format 11"},
    {"RecordTooShortForFormat1", 2, 1, [](auto& b) { put<uint16_t>(b, kPointRecordLengthAt, 27); },
     "point record length 27"},
    {"RecordTooShortForFormat10", 4, 10, [](auto& b) { put<uint16_t>(b, kPointRecordLengthAt, 66); },
     "point record length 66"},
    {"HeaderTooSmallFor12", 2, 0, [](auto& b) { put<uint16_t>(b, kHeaderSizeAt, 226); }, "header size 226"},
    {"HeaderTooSmallFor13", 3, 0, [](auto& b) { put<uint16_t>(b, kHeaderSizeAt, 234); }, "header size 234"},
    {"HeaderTooSmallFor14", 4, 0, [](auto& b) { put<uint16_t>(b, kHeaderSizeAt, 374); }, "header size 374"},
    {"HeaderLargerThanFile", 2, 0, [](auto& b) { put<uint16_t>(b, kHeaderSizeAt, 60000); },
     "shorter than its header"},
    {"PointsStartInsideHeader", 2, 0, [](auto& b) { put<uint32_t>(b, kOffsetToPointDataAt, 226); },
     "offset to point data 226"},
    {"PointsStartBeyondFile", 2, 0,
     [](auto& b) { put<uint32_t>(b, kOffsetToPointDataAt, static_cast<uint32_t>(b.size() + 1)); },
     "offset to point data"},
    {"FileShorterThanLas14Header", 4, 0, [](auto& b) { b.resize(300); }, "shorter than the LAS header"},
    {"FileShorterThanLas12Header", 2, 0, [](auto& b) { b.resize(100); }, "shorter than the LAS header"},
    {"ZeroScale", 2, 0, [](auto& b) { put(b, kScaleAt, 0.0); }, "invalid x scale"},
    {"NaNScale", 2, 0, [](auto& b) { put(b, kScaleAt + 8, std::nan("")); }, "invalid y scale"},
    {"InfiniteScale", 2, 0, [](auto& b) { put(b, kScaleAt + 16, HUGE_VAL); }, "invalid z scale"},
    {"InfiniteOffset", 2, 0, [](auto& b) { put(b, kOffsetAt, -HUGE_VAL); }, "invalid x offset"},
};

INSTANTIATE_TEST_SUITE_P(CorruptFiles, LasRejection, ::testing::ValuesIn(kCorruptions),
                         [](const ::testing::TestParamInfo<Corruption>& info) { return info.param.name; });

// --- Paths that are not LAS files -------------------------------------------------------

using LasPathTest = LasFileTest;

TEST_F(LasPathTest, MissingFileCannotBeOpened) {
  const std::string path = dir_.path() + "/missing.las";
  const ReadOutcome outcome = readLas(path);
  EXPECT_EQ(outcome.result.status, LasReadStatus::kCannotOpen);
  EXPECT_NE(outcome.result.error.find(path), std::string::npos) << outcome.result.error;
  EXPECT_TRUE(outcome.allocations.empty());
}

TEST_F(LasPathTest, DirectoryFailsCleanly) {
  const ReadOutcome outcome = readLas(dir_.path());
  EXPECT_NE(outcome.result.status, LasReadStatus::kOk);
  EXPECT_NE(outcome.result.error.find(dir_.path()), std::string::npos) << outcome.result.error;
  EXPECT_NE(outcome.result.error.find("directory"), std::string::npos) << outcome.result.error;
  EXPECT_TRUE(outcome.allocations.empty());
}

}  // namespace
