#include "formats/e57_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "e57_writer.h"
#include "las_writer.h"
#include "support/test_support.h"

using namespace korvane_navigation;
using test_support::readFile;
using test_support::TempDir;
using test_support::writeFile;

namespace {

using Points = std::vector<std::array<double, 3>>;
using FloatPoint = std::array<float, 3>;

struct ReadOutcome {
  E57ReadResult result;
  std::vector<FloatPoint> points;
  std::vector<size_t> chunk_sizes;
  std::vector<std::pair<uint64_t, uint64_t>> progress;
};

ReadOutcome readE57(const std::string& path) {
  ReadOutcome outcome;
  outcome.result = readE57File(
      path,
      [&](unsigned, const double* xyz, size_t count) {
        outcome.chunk_sizes.push_back(count);
        for (size_t i = 0; i < count; ++i)
          outcome.points.push_back({static_cast<float>(xyz[3 * i]), static_cast<float>(xyz[3 * i + 1]),
                                    static_cast<float>(xyz[3 * i + 2])});
      },
      [&](uint64_t done, uint64_t total) { outcome.progress.emplace_back(done, total); });
  return outcome;
}

bool matches(const std::string& text, const std::string& pattern);

// Lets the reader use the processor's own instructions or not, until it goes out of scope.
class ProcessorInstructions {
 public:
  explicit ProcessorInstructions(bool allowed) { setE57ProcessorInstructions(allowed); }
  ~ProcessorInstructions() { setE57ProcessorInstructions(true); }
  ProcessorInstructions(const ProcessorInstructions&) = delete;
  ProcessorInstructions& operator=(const ProcessorInstructions&) = delete;
};

// Reads with and without the processor's vector and CRC instructions: the
// portable code other processors run must give the very same points.
ReadOutcome readBothWays(const std::string& path) {
  ReadOutcome fast = readE57(path);
  const ProcessorInstructions portable_only(false);
  const ReadOutcome portable = readE57(path);
  EXPECT_EQ(portable.result.status, fast.result.status);
  EXPECT_EQ(portable.result.error, fast.result.error);
  EXPECT_EQ(portable.result.points_read, fast.result.points_read);
  EXPECT_EQ(portable.result.invalid_points, fast.result.invalid_points);
  EXPECT_TRUE(portable.points == fast.points) << "the portable code reads other points";
  return fast;
}

Points boxPoints(size_t count, uint64_t seed, double half_width = 50.0) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> across(-half_width, half_width), up(-2.0, 12.0);
  Points points(count);
  for (auto& p : points) p = {across(random), across(random), up(random)};
  return points;
}

// What a reader must produce for a scaled integer: the nearest stored step, in double.
float stored(double v, double scale, double offset) {
  return static_cast<float>(std::round((v - offset) / scale) * scale + offset);
}

std::string write(const TempDir& dir, const std::vector<E57Scan>& scans, const E57WriteOptions& options,
                  E57Layout* layout = nullptr, const std::string& name = "cloud.e57") {
  const std::string path = dir.file(name);
  std::string error;
  if (!writeE57File(path, scans, options, error, layout)) ADD_FAILURE() << error;
  return path;
}

// --- Pure pieces --------------------------------------------------------------------------

TEST(Crc32cTest, KnownAnswers) {
  std::vector<uint8_t> zeros(32, 0), ones(32, 0xFF), ascending(32);
  for (size_t i = 0; i < ascending.size(); ++i) ascending[i] = static_cast<uint8_t>(i);
  const std::string digits = "123456789";
  for (auto* checksum : {&crc32c, &crc32cPortable}) {
    SCOPED_TRACE(checksum == &crc32c ? "crc32c" : "crc32cPortable");
    EXPECT_EQ(checksum(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0xE3069283u);
    EXPECT_EQ(checksum(nullptr, 0), 0u);
    // iSCSI test vectors: long enough for the eight-byte steps.
    EXPECT_EQ(checksum(zeros.data(), zeros.size()), 0x8A9136AAu);
    EXPECT_EQ(checksum(ones.data(), ones.size()), 0x62A8AB43u);
    EXPECT_EQ(checksum(ascending.data(), ascending.size()), 0x46DD794Eu);
  }
}

TEST(Crc32cTest, AgreesWithBitByBitDivisionAtEveryLengthAndAlignment) {
  std::mt19937 random(11);
  std::vector<uint8_t> bytes(1100);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  const auto bitwise = [](const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
      crc ^= data[i];
      for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
    }
    return ~crc;
  };
  for (size_t start = 0; start < 8; ++start) {
    for (size_t size : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{15}, size_t{63}, size_t{1020},
                        size_t{1092}}) {
      SCOPED_TRACE(std::to_string(size) + " bytes from " + std::to_string(start));
      const uint32_t want = bitwise(&bytes[start], size);
      EXPECT_EQ(crc32c(&bytes[start], size), want);
      EXPECT_EQ(crc32cPortable(&bytes[start], size), want);
    }
  }
}

TEST(UnpackBitsTest, ReadsBackValuesOfEveryWidthAtEveryBitOffset) {
  std::mt19937_64 random(7);
  for (unsigned width : {0u, 1u, 3u, 7u, 8u, 9u, 13u, 31u, 32u, 33u, 57u, 63u, 64u}) {
    const uint64_t mask = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    std::vector<uint64_t> values = {0, mask, 0x5555555555555555u & mask, 0xAAAAAAAAAAAAAAAAu & mask};
    for (int i = 0; i < 12; ++i) values.push_back(random() & mask);
    for (unsigned lead = 0; lead < 8; ++lead) {
      SCOPED_TRACE("width " + std::to_string(width) + ", values starting at bit " + std::to_string(lead));
      // Packed bit by bit, independently of the writer, into a buffer exactly as long as the bits.
      const uint64_t total_bits = lead + width * values.size();
      std::vector<uint8_t> bytes((total_bits + 7) / 8, 0);
      for (size_t v = 0; v < values.size(); ++v)
        for (unsigned b = 0; b < width; ++b)
          if ((values[v] >> b) & 1) {
            const uint64_t at = lead + v * width + b;
            bytes[at / 8] |= static_cast<uint8_t>(1u << (at % 8));
          }
      for (size_t v = 0; v < values.size(); ++v)
        ASSERT_EQ(unpackBits(bytes.data(), lead + v * width, width), values[v]) << "value " << v;
    }
  }
}

std::vector<uint8_t> validHeader(uint64_t file_size) {
  std::vector<uint8_t> header(48, 0);
  std::memcpy(header.data(), "ASTM-E57", 8);
  const uint32_t major = 1;
  const uint64_t fields[] = {file_size, 1024 + 100, 500, 1024};  // length, XML offset and length, page size
  std::memcpy(&header[8], &major, 4);
  std::memcpy(&header[16], fields, sizeof fields);
  return header;
}

TEST(E57HeaderTest, RefusesHeadersThatDoNotFitTheFile) {
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    uint64_t file_size;
    const char* error;  // nullptr: accepted
  };
  auto put64 = [](size_t at, uint64_t value) {
    return [=](std::vector<uint8_t>& h) { std::memcpy(&h[at], &value, 8); };
  };
  const std::vector<Case> cases = {
      {"valid", [](std::vector<uint8_t>&) {}, 4096, nullptr},
      {"signature", [](std::vector<uint8_t>& h) { h[4] = 'X'; }, 4096, "not an E57 file (no ASTM-E57 signature)"},
      {"short", [](std::vector<uint8_t>& h) { h.resize(40); }, 4096, "file shorter than the E57 header (40 bytes)"},
      {"version", [](std::vector<uint8_t>& h) { h[8] = 2; }, 4096, "unsupported E57 version 2.0"},
      {"tiny pages", put64(40, 16), 4096, "unsupported page size 16"},
      {"odd pages", put64(40, 1022), 4088, "unsupported page size 1022"},
      {"cut", [](std::vector<uint8_t>&) {}, 3072, "file is 3072 bytes but its header declares 4096 (cut or padded)"},
      {"partial page", put64(16, 4000), 4000, "file length 4000 is not a whole number of 1024-byte pages"},
      {"XML on a checksum", put64(24, 1022), 4096, "XML section (offset 1022, 500 bytes) does not fit the file"},
      {"XML past the end", put64(32, 4000), 4096, "XML section (offset 1124, 4000 bytes) does not fit the file"},
      {"XML empty", put64(32, 0), 4096, "XML section (offset 1124, 0 bytes) does not fit the file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = validHeader(4096);
    c.damage(bytes);
    E57Header header;
    std::string error;
    const bool accepted = parseE57Header(bytes.data(), bytes.size(), c.file_size, header, error);
    if (c.error == nullptr) {
      ASSERT_TRUE(accepted) << error;
      EXPECT_EQ(header.page_size, 1024u);
      EXPECT_EQ(header.xml_physical_offset, 1124u);
      EXPECT_EQ(header.xml_logical_length, 500u);
    } else {
      EXPECT_FALSE(accepted);
      EXPECT_EQ(error, c.error);
    }
  }
}

// --- Round trips ------------------------------------------------------------------------

struct RoundTripCase {
  std::string name;
  E57WriteOptions options;
  double tolerance = 0;  // 0: bit-exact
};

std::vector<RoundTripCase> roundTripCases() {
  std::vector<RoundTripCase> cases;
  auto add = [&](const std::string& name, const std::function<void(E57WriteOptions&)>& set, double tolerance = 0) {
    RoundTripCase c;
    c.name = name;
    set(c.options);
    c.tolerance = tolerance;
    cases.push_back(c);
  };
  using Encoding = E57CoordinateEncoding;
  add("DoubleCartesian", [](E57WriteOptions&) {});
  add("SingleCartesian", [](E57WriteOptions& o) { o.encoding = Encoding::kSingleFloat; });
  add("ScaledCartesianWithOffset", [](E57WriteOptions& o) {
    o.encoding = Encoding::kScaledInteger;
    o.scale = 0.001;
    o.offset = 7.25;
  });
  add("DoubleSpherical", [](E57WriteOptions& o) { o.spherical = true; }, 1e-5);
  add("SingleSpherical", [](E57WriteOptions& o) {
    o.spherical = true;
    o.encoding = Encoding::kSingleFloat;
  }, 1e-4);
  add("ScaledSpherical", [](E57WriteOptions& o) {
    o.spherical = true;
    o.encoding = Encoding::kScaledInteger;
    o.scale = 1e-7;
  }, 1e-4);
  add("InvalidStateAndIgnoredFields", [](E57WriteOptions& o) {
    o.encoding = Encoding::kScaledInteger;
    o.invalid_state_field = true;
    o.extra_fields = true;
  });
  add("SphericalInvalidState", [](E57WriteOptions& o) {
    o.spherical = true;
    o.invalid_state_field = true;
    o.extra_fields = true;
  }, 1e-5);
  add("SmallPacketsOnSmallPages", [](E57WriteOptions& o) {
    o.encoding = Encoding::kScaledInteger;
    o.scale = 0.0003;  // widths that are not whole bytes
    o.invalid_state_field = true;
    o.extra_fields = true;
    o.page_size = 256;
    o.max_packet_bytes = 64;
  });
  add("IndexAndEmptyPackets", [](E57WriteOptions& o) {
    o.encoding = Encoding::kSingleFloat;
    o.max_packet_bytes = 200;
    o.index_and_empty_packets = true;
  });
  add("LargePages", [](E57WriteOptions& o) {
    o.page_size = 4096;
    o.extra_fields = true;
  });
  return cases;
}

class E57RoundTrip : public ::testing::TestWithParam<RoundTripCase> {
 protected:
  TempDir dir_;
};

TEST_P(E57RoundTrip, ReadsBackTheValidPointsOfEveryScan) {
  const E57WriteOptions& options = GetParam().options;
  std::vector<E57Scan> scans(2);
  scans[0].points = boxPoints(700, 1);
  scans[1].points = boxPoints(300, 2, 5.0);
  uint64_t invalid = 0;
  if (options.invalid_state_field) {
    for (E57Scan& scan : scans) {
      scan.invalid.resize(scan.points.size());
      for (size_t i = 0; i < scan.points.size(); i += 7, ++invalid) scan.invalid[i] = true;
    }
  }
  E57Layout layout;
  const ReadOutcome outcome = readBothWays(write(dir_, scans, options, &layout));

  // The layouts this case is meant to exercise really are in the file.
  if (options.max_packet_bytes < e57::kLargestPacket) {
    bool crosses_page = false;
    size_t data_packets = 0;
    const uint64_t payload = options.page_size - 4;
    for (const E57Layout::Packet& packet : layout.scans[0].packets) {
      const uint64_t first = packet.offset / options.page_size;
      const uint64_t last_logical = first * payload + packet.offset % options.page_size + packet.length - 1;
      crosses_page |= last_logical / payload != first;
      data_packets += packet.type == e57::kDataPacket;
    }
    EXPECT_TRUE(crosses_page);
    EXPECT_GT(data_packets, 10u);
  }
  if (options.index_and_empty_packets) {
    const auto& packets = layout.scans[0].packets;
    ASSERT_GT(packets.size(), 3u);
    EXPECT_EQ(packets[1].type, e57::kEmptyPacket);
    EXPECT_EQ(packets[2].type, e57::kIndexPacket);
    EXPECT_EQ(packets[3].type, e57::kDataPacket);
  }

  ASSERT_EQ(outcome.result.status, E57ReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.result.scans, 2u);
  EXPECT_EQ(outcome.result.invalid_points, invalid);
  EXPECT_EQ(outcome.result.points_read, 1000 - invalid);
  ASSERT_EQ(outcome.points.size(), 1000 - invalid);
  size_t next = 0;
  for (const E57Scan& scan : scans) {
    for (size_t i = 0; i < scan.points.size(); ++i) {
      if (!scan.invalid.empty() && scan.invalid[i]) continue;
      const FloatPoint& got = outcome.points[next++];
      for (int axis = 0; axis < 3; ++axis) {
        const double v = scan.points[i][axis];
        if (GetParam().tolerance > 0) {
          ASSERT_NEAR(got[axis], v, GetParam().tolerance) << "point " << next - 1 << " axis " << axis;
        } else {
          const float want = options.encoding == E57CoordinateEncoding::kScaledInteger
                                 ? stored(v, options.scale, options.offset)
                                 : static_cast<float>(v);
          ASSERT_EQ(got[axis], want) << "point " << next - 1 << " axis " << axis;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, E57RoundTrip, ::testing::ValuesIn(roundTripCases()),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

TEST(E57ScaledIntegerTest, DecodesEveryFieldWidth) {
  struct Width {
    unsigned bits;
    double min, max, scale;
  };
  const Width widths[] = {
      {0, 3.25, 3.25, 0.25},          {1, 0, 1, 1},          {7, -64, 63, 1},
      {12, 0, 4.095, 0.001},          {33, 0, 8589934591, 1}, {63, -4.6e18, 4.6e18, 1},
      {64, -5e18, 5e18, 1},           {64, -5e6, 5e6, 1e-12},
  };
  for (const Width& width : widths) {
    SCOPED_TRACE(std::to_string(width.bits) + " bits, scale " + std::to_string(width.scale));
    TempDir dir;
    E57WriteOptions options;
    options.encoding = E57CoordinateEncoding::kScaledInteger;
    options.scale = width.scale;
    const double middle = width.min + (width.max - width.min) / 3;
    // y takes a few steps of its own, z none: a 0-bit field among wider ones.
    const Points points = {
        {width.min, 0, 0}, {width.max, width.scale, 0}, {middle, 0, 0}, {width.max, 2 * width.scale, 0}};
    E57FileWriter writer(dir.file("widths.e57"), options);
    writer.beginScan(std::nullopt, {{width.min, 0, 0}, {width.max, 2 * width.scale, 0}});
    for (const auto& p : points) writer.add(p[0], p[1], p[2]);
    writer.endScan();
    ASSERT_TRUE(writer.close()) << writer.error();
    const uint64_t steps = static_cast<uint64_t>(std::llround(width.max / width.scale)) -
                           static_cast<uint64_t>(std::llround(width.min / width.scale));
    ASSERT_EQ(steps == 0 ? 0 : 64 - __builtin_clzll(steps), static_cast<int>(width.bits)) << "test data";

    const ReadOutcome outcome = readE57(dir.file("widths.e57"));
    ASSERT_EQ(outcome.result.status, E57ReadStatus::kOk) << outcome.result.error;
    ASSERT_EQ(outcome.points.size(), points.size());
    for (size_t i = 0; i < points.size(); ++i) {
      EXPECT_EQ(outcome.points[i][0], stored(points[i][0], width.scale, 0)) << "point " << i;
      EXPECT_EQ(outcome.points[i][1], stored(points[i][1], width.scale, 0));
      EXPECT_EQ(outcome.points[i][2], 0.0f);
    }
  }
}

TEST(E57ScaledIntegerTest, DecodesEveryWidthInRunsThatPacketsCut) {
  // Long runs of records in small packets, which end between any two
  // records: every width from 1 to 64 bits at every bit offset, next to
  // fields of other widths, around minimums a double holds exactly and
  // (far from zero) ones it does not.
  std::mt19937_64 random(5);
  struct Range {
    unsigned width;
    double minimum;
    double step;  // between neighbouring values that a double holds exactly
  };
  std::vector<Range> ranges;
  for (unsigned width = 1; width <= 64; ++width)
    ranges.push_back({width, -std::ldexp(1.0, static_cast<int>(width) - 1),
                      width > 53 ? std::ldexp(1.0, static_cast<int>(width) - 53) : 1});
  for (unsigned width : {12u, 20u, 33u, 47u}) ranges.push_back({width, -std::ldexp(1.0, 62), 1024});
  for (const Range& range : ranges) {
    SCOPED_TRACE(std::to_string(range.width) + " bits from " + std::to_string(range.minimum));
    const double largest = range.minimum + (std::ldexp(1.0, static_cast<int>(range.width)) - range.step);
    const unsigned other_width = 1 + range.width * 7 % 40;  // y
    const double other_largest = std::ldexp(1.0, static_cast<int>(other_width)) - 1;
    TempDir dir;
    E57WriteOptions options;
    options.encoding = E57CoordinateEncoding::kScaledInteger;
    options.scale = 1;
    options.invalid_state_field = range.width % 2 == 1;
    options.extra_fields = range.width % 4 == 0;
    options.max_packet_bytes = 96;
    E57FileWriter writer(dir.file("widths.e57"), options);
    writer.beginScan(std::nullopt, {{range.minimum, 0, 0}, {largest, other_largest, 0}});
    Points points;
    std::vector<bool> invalid;
    const uint64_t steps = static_cast<uint64_t>((largest - range.minimum) / range.step);
    for (int i = 0; i < 403; ++i) {
      const uint64_t x_steps = i == 0 ? 0 : i == 1 ? steps : random() % (steps + 1);
      const double y = static_cast<double>(random() & ((uint64_t{1} << other_width) - 1));
      points.push_back({range.minimum + static_cast<double>(x_steps) * range.step, y, 0});
      invalid.push_back(options.invalid_state_field && i % 5 == 3);
      writer.add(points.back()[0], points.back()[1], points.back()[2], invalid.back());
    }
    writer.endScan();
    ASSERT_TRUE(writer.close()) << writer.error();
    ASSERT_GT(writer.layout().scans[0].packets.size(), 3u) << "test data";

    const ReadOutcome outcome = readBothWays(dir.file("widths.e57"));
    ASSERT_EQ(outcome.result.status, E57ReadStatus::kOk) << outcome.result.error;
    std::vector<FloatPoint> want;
    for (size_t i = 0; i < points.size(); ++i)
      if (!invalid[i]) want.push_back({static_cast<float>(points[i][0]), static_cast<float>(points[i][1]), 0.0f});
    ASSERT_EQ(outcome.points.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(outcome.points[i], want[i]) << "point " << i;
  }
}

TEST(E57PoseTest, ScansArriveInFileOrderInTheCommonFrame) {
  TempDir dir;
  const Points local = {{1, 2, 3}, {-4.5, 0.25, 7}, {10, -20, 0.5}};
  std::vector<E57Scan> scans(6);
  for (E57Scan& scan : scans) scan.points = local;
  // A quarter turn about z, given unnormalised: (x, y, z) -> (-y, x, z).
  scans[0].pose = E57Pose{std::array<double, 4>{2, 0, 0, 2}, std::array<double, 3>{10, 20, 30}};
  scans[1].pose = E57Pose{std::nullopt, std::array<double, 3>{-100, 0.5, 2}};
  // A half turn about x: (x, y, z) -> (x, -y, -z).
  scans[2].pose = E57Pose{std::array<double, 4>{0, 1, 0, 0}, std::nullopt};
  scans[3].pose = E57Pose{};
  scans[4].points.clear();
  scans[4].pose = scans[0].pose;
  const auto quarter = [](const std::array<double, 3>& p) -> std::array<double, 3> {
    return {-p[1] + 10, p[0] + 20, p[2] + 30};
  };
  const auto shifted = [](const std::array<double, 3>& p) -> std::array<double, 3> {
    return {p[0] - 100, p[1] + 0.5, p[2] + 2};
  };
  const auto half = [](const std::array<double, 3>& p) -> std::array<double, 3> { return {p[0], -p[1], -p[2]}; };
  const auto same = [](const std::array<double, 3>& p) { return p; };
  const std::vector<std::function<std::array<double, 3>(const std::array<double, 3>&)>> expected = {
      quarter, shifted, half, same, same, same};

  for (auto encoding : {E57CoordinateEncoding::kDoubleFloat, E57CoordinateEncoding::kScaledInteger}) {
    SCOPED_TRACE(encoding == E57CoordinateEncoding::kDoubleFloat ? "double" : "scaled integer");
    E57WriteOptions options;
    options.encoding = encoding;
    options.scale = 0.25;  // every local coordinate is a whole number of steps
    const ReadOutcome outcome = readBothWays(write(dir, scans, options));
    ASSERT_EQ(outcome.result.status, E57ReadStatus::kOk) << outcome.result.error;
    EXPECT_EQ(outcome.result.scans, 6u);
    ASSERT_EQ(outcome.points.size(), 5 * local.size());
    size_t next = 0;
    for (size_t s = 0; s < scans.size(); ++s) {
      for (const auto& p : scans[s].points) {
        const std::array<double, 3> want = expected[s](p);
        for (int axis = 0; axis < 3; ++axis)
          EXPECT_NEAR(outcome.points[next][axis], want[axis], 1e-5) << "scan " << s << " axis " << axis;
        ++next;
      }
    }
  }
}

// Not-a-number coordinates are no points; values beyond single precision
// are handed on in double, for the map frame to judge.
TEST(E57ReadTest, LeavesOutPointsThatAreNotNumbers) {
  TempDir dir;
  std::vector<E57Scan> scans(1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  scans[0].points = {{1, 2, 3}, {nan, 0, 0}, {0, 1e300, 0}, {4, 5, 6}};
  std::vector<double> read;
  const E57ReadResult result = readE57File(write(dir, scans, E57WriteOptions()),
                                           [&](unsigned, const double* xyz, size_t n) {
                                             read.insert(read.end(), xyz, xyz + 3 * n);
                                           });
  ASSERT_EQ(result.status, E57ReadStatus::kOk) << result.error;
  EXPECT_EQ(result.invalid_points, 1u);
  EXPECT_EQ(read, (std::vector<double>{1, 2, 3, 0, 1e300, 0, 4, 5, 6}));
}

TEST(E57ReadTest, HandsPointsOverInChunksAndReportsProgress) {
  TempDir dir;
  std::vector<E57Scan> scans(1);
  scans[0].points = boxPoints(30000, 3);
  E57WriteOptions options;
  options.encoding = E57CoordinateEncoding::kScaledInteger;
  const std::string path = write(dir, scans, options);
  const ReadOutcome outcome = readE57(path);
  ASSERT_EQ(outcome.result.status, E57ReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.points.size(), 30000u);
  EXPECT_GT(outcome.chunk_sizes.size(), 1u);
  for (size_t size : outcome.chunk_sizes) EXPECT_GT(size, 0u);

  const uint64_t size = readFile(path).size();
  EXPECT_EQ(outcome.result.bytes_total, size);
  ASSERT_FALSE(outcome.progress.empty());
  for (size_t i = 0; i < outcome.progress.size(); ++i) {
    EXPECT_EQ(outcome.progress[i].second, size);
    if (i > 0) EXPECT_GE(outcome.progress[i].first, outcome.progress[i - 1].first);
  }
  EXPECT_EQ(outcome.progress.back().first, size);
}

TEST(E57ReadTest, ReadsFilesOfManyBlocksAndChecksEveryPage) {
  // The file is read in blocks of pages, and packets run across the joins
  // between blocks: here with 1 KiB pages, and with 1 MiB pages, where a block
  // holds only a few.
  for (uint64_t page_size : {uint64_t{1024}, uint64_t{1} << 20}) {
    SCOPED_TRACE(std::to_string(page_size) + "-byte pages");
    TempDir dir;
    std::vector<E57Scan> scans(1);
    scans[0].points = boxPoints(130000, 9);  // 24 bytes a point as doubles: over 3 MB
    E57WriteOptions options;
    options.page_size = page_size;
    E57Layout layout;
    const std::string path = write(dir, scans, options, &layout);
    const ReadOutcome outcome = readBothWays(path);
    ASSERT_EQ(outcome.result.status, E57ReadStatus::kOk) << outcome.result.error;
    ASSERT_EQ(outcome.points.size(), scans[0].points.size());
    for (size_t i = 0; i < outcome.points.size(); ++i) {
      const auto& p = scans[0].points[i];
      ASSERT_EQ(outcome.points[i],
                (FloatPoint{static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])}))
          << "point " << i;
    }

    // One flipped bit in the last data packet, far from the first block.
    std::string bytes = readFile(path);
    const uint64_t at = layout.scans[0].packets.back().offset + 100;
    bytes[at] ^= 0x10;
    writeFile(path, bytes);
    const ReadOutcome damaged = readBothWays(path);
    EXPECT_EQ(damaged.result.status, E57ReadStatus::kInvalid);
    EXPECT_TRUE(matches(damaged.result.error, "*checksum mismatch on page " + std::to_string(at / page_size) + " *"))
        << damaged.result.error;
  }
}

TEST(E57ReadTest, FileWithoutScansHoldsNoPoints) {
  TempDir dir;
  const ReadOutcome outcome = readE57(write(dir, {}, E57WriteOptions()));
  ASSERT_EQ(outcome.result.status, E57ReadStatus::kOk) << outcome.result.error;
  EXPECT_EQ(outcome.result.scans, 0u);
  EXPECT_TRUE(outcome.points.empty());
}

TEST(E57ReadTest, MissingFileOrDirectoryCannotBeOpened) {
  TempDir dir;
  const ReadOutcome missing = readE57(dir.file("absent.e57"));
  EXPECT_EQ(missing.result.status, E57ReadStatus::kCannotOpen);
  EXPECT_EQ(missing.result.error, dir.file("absent.e57") + ": cannot be opened (No such file or directory)");
  const ReadOutcome directory = readE57(dir.path());
  EXPECT_EQ(directory.result.status, E57ReadStatus::kCannotOpen);
  EXPECT_EQ(directory.result.error, dir.path() + ": is a directory");
}

void replaceFirst(std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

TEST(E57XmlVariantsTest, EquivalentDescriptionsReadTheSame) {
  const std::vector<std::pair<std::string, std::function<void(std::string&)>>> variants = {
      {"as written", [](std::string&) {}},
      {"field inside a nested structure",
       [](std::string& x) {
         replaceFirst(x, "<intensity type=\"Integer\" minimum=\"0\" maximum=\"4095\"/>",
                      "<sensor type=\"Structure\"><intensity type=\"Integer\" minimum=\"0\" maximum=\"4095\"/></sensor>");
       }},
      {"bit packing named",
       [](std::string& x) {
         replaceFirst(x, "<codecs type=\"Vector\" allowHeterogeneousChildren=\"1\"/>",
                      "<codecs type=\"Vector\"><vectorChild type=\"Structure\"><inputs type=\"Vector\"/>"
                      "<bitPackCodec type=\"Structure\"/></vectorChild></codecs>");
       }},
      {"no codecs", [](std::string& x) { replaceFirst(x, "<codecs type=\"Vector\" allowHeterogeneousChildren=\"1\"/>", ""); }},
      // As the format's reference library writes a zero.
      {"pose numbers of zero left empty",
       [](std::string& x) {
         replaceFirst(x, "<translation type=\"Structure\"><x type=\"Float\">0</x>",
                      "<translation type=\"Structure\"><x type=\"Float\"/>");
         replaceFirst(x, "<y type=\"Float\">0</y><z type=\"Float\">0</z></translation>",
                      "<y type=\"Float\"></y><z type=\"Float\"> </z></translation>");
         replaceFirst(x, "<x type=\"Float\">0</x>", "<x type=\"Float\"/>");  // the rotation's
       }},
      {"numbers with signs and spaces",
       [](std::string& x) {
         replaceFirst(x, "<w type=\"Float\">1</w>", "<w type=\"Float\">\n +1.0e0 </w>");
         replaceFirst(x, "minimum=\"0\" maximum=\"2\"", "minimum=\" +0\" maximum=\"2 \"");
       }},
  };
  std::vector<E57Scan> scans(1);
  scans[0].points = boxPoints(50, 5);
  scans[0].invalid.assign(50, false);
  scans[0].invalid[10] = true;
  scans[0].pose = E57Pose{std::array<double, 4>{1, 0, 0, 0}, std::array<double, 3>{0, 0, 0}};
  std::vector<FloatPoint> first;
  for (const auto& [name, edit] : variants) {
    SCOPED_TRACE(name);
    TempDir dir;
    E57WriteOptions options;
    options.encoding = E57CoordinateEncoding::kScaledInteger;
    options.invalid_state_field = true;
    options.extra_fields = true;
    options.edit_xml = edit;
    const ReadOutcome outcome = readE57(write(dir, scans, options));
    ASSERT_EQ(outcome.result.status, E57ReadStatus::kOk) << outcome.result.error;
    EXPECT_EQ(outcome.points.size(), 49u);
    if (first.empty()) first = outcome.points;
    EXPECT_EQ(outcome.points, first);
  }
}

// --- Damaged files ------------------------------------------------------------------------

void fixChecksums(std::string& bytes, size_t page_size) {
  for (size_t page = 0; page + page_size <= bytes.size(); page += page_size) {
    const uint32_t crc = crc32c(reinterpret_cast<const uint8_t*>(&bytes[page]), page_size - 4);
    for (int i = 0; i < 4; ++i) bytes[page + page_size - 4 + i] = static_cast<char>(crc >> (24 - 8 * i));
  }
}

struct DamageCase {
  std::string name;
  std::function<void(std::string& xml)> edit_xml;  // applied by the writer
  std::function<void(std::string& bytes, const E57Layout& layout)> damage;  // applied to the file
  std::string error;  // expected after "<path>: "; "*" ends a prefix match
};

std::vector<DamageCase> damageCases() {
  // The file: one scan of 300 points, ScaledInteger coordinates, an invalid
  // state field and ignored fields, one data packet over several 1024-byte pages.
  const auto keep_xml = [](std::string&) {};
  const auto keep_bytes = [](std::string&, const E57Layout&) {};
  // Overwrites bytes `from_data` bytes into the first packet (or, when
  // negative, into the section header before it) and mends the checksums.
  const auto patch = [](int from_data, std::vector<uint8_t> values) {
    return [=](std::string& bytes, const E57Layout& layout) {
      const size_t at = static_cast<size_t>(static_cast<int64_t>(layout.scans[0].data_offset) + from_data);
      for (size_t i = 0; i < values.size(); ++i) bytes[at + i] = static_cast<char>(values[i]);
      fixChecksums(bytes, 1024);
    };
  };
  const int section = -static_cast<int>(e57::kSectionHeaderSize);
  return {
      {"Signature", keep_xml, [](std::string& b, const E57Layout&) { b[0] = 'a'; },
       "not an E57 file (no ASTM-E57 signature)"},
      {"Version", keep_xml, [](std::string& b, const E57Layout&) { b[8] = 3; }, "unsupported E57 version 3.0"},
      {"DataPageChecksum", keep_xml, [](std::string& b, const E57Layout&) { b[2 * 1024 + 100] ^= 1; },
       "checksum mismatch on page 2 (bytes 2048..3071, *"},
      {"XmlPageChecksum", keep_xml,
       [](std::string& b, const E57Layout& layout) { b[static_cast<size_t>(layout.xml_offset) + 1] ^= 0x40; },
       "checksum mismatch on page *"},
      {"CutFile", keep_xml, [](std::string& b, const E57Layout&) { b.resize(b.size() - 1024); },
       "file is * bytes but its header declares * (cut or padded)"},
      {"XmlDoesNotParse", [](std::string& x) { replaceFirst(x, "</e57Root>", "</e57Rot>"); }, keep_bytes,
       "XML section does not parse: Start-end tags mismatch at byte *"},
      {"NoData3D",
       [](std::string& x) {
         replaceFirst(x, "<data3D ", "<data2D ");
         replaceFirst(x, "</data3D>", "</data2D>");
       },
       keep_bytes, "XML section has no data3D"},
      {"RecordCountBeyondData", [](std::string& x) { replaceFirst(x, "recordCount=\"300\"", "recordCount=\"100000\""); },
       keep_bytes, "scan 0: recordCount 100000 is more than the section holds (* bytes of *-bit records: at most *)"},
      {"DataEndsEarly", [](std::string& x) { replaceFirst(x, "recordCount=\"300\"", "recordCount=\"301\""); },
       keep_bytes, "scan 0: data ends after 300 of 301 records"},
      {"FieldWiderThan64Bits", [](std::string& x) { replaceFirst(x, "maximum=\"4095\"", "maximum=\"18446744073709551616\""); },
       keep_bytes, "scan 0: field intensity: maximum '18446744073709551616' is not an integer of at most 64 bits"},
      {"MinimumAboveMaximum", [](std::string& x) { replaceFirst(x, "minimum=\"0\" maximum=\"2\"", "minimum=\"3\" maximum=\"2\""); },
       keep_bytes, "scan 0: field cartesianInvalidState: minimum 3 greater than maximum 2"},
      {"UnknownCodec",
       [](std::string& x) {
         replaceFirst(x, "<codecs type=\"Vector\" allowHeterogeneousChildren=\"1\"/>",
                      "<codecs type=\"Vector\"><vectorChild type=\"Structure\"><inputs type=\"Vector\"/>"
                      "<zlibCodec type=\"Structure\"/></vectorChild></codecs>");
       },
       keep_bytes, "scan 0: codec 'zlibCodec' is not supported (only bit packing is)"},
      {"UnsupportedFieldTypeShownPrintably",
       [](std::string& x) { replaceFirst(x, "<cartesianZ type=\"ScaledInteger\"", "<cartesianZ type=\"Sc\xC3\xA9led\x7F\""); },
       keep_bytes, "scan 0: field cartesianZ has type Sc??led?, which is not supported"},
      // Thousands of levels would exhaust the stack and the memory of the paths.
      {"PrototypeNestedTooDeep",
       [](std::string& x) {
         std::string open, close;
         for (int i = 0; i < 14000; ++i) open += "<s type=\"Structure\">", close += "</s>";
         replaceFirst(x, "<cartesianZ ", open + "<deep type=\"Integer\" minimum=\"0\" maximum=\"1\"/>" + close +
                                             "<cartesianZ ");
       },
       keep_bytes, "scan 0: prototype nests structures deeper than 64 levels (at s/s/s/*"},
      {"FieldPathTooLong",
       [](std::string& x) {
         const std::string name(1100, 'n');
         replaceFirst(x, "<cartesianZ ", "<" + name + " type=\"Integer\" minimum=\"0\" maximum=\"1\"/><cartesianZ ");
       },
       keep_bytes, "scan 0: prototype field nnnn*... has a path longer than 1024 bytes"},
      {"MissingCoordinate", [](std::string& x) { replaceFirst(x, "<cartesianZ ", "<cartesianW "); }, keep_bytes,
       "scan 0: prototype has neither cartesianX/Y/Z nor sphericalRange/Azimuth/Elevation"},
      {"SectionOffsetBeyondFile", [](std::string& x) { replaceFirst(x, "fileOffset=\"48\"", "fileOffset=\"9999999\""); },
       keep_bytes, "scan 0: points section offset 9999999 is outside the file's data"},
      {"NotACompressedVectorSection", keep_xml, patch(section, {2}),
       "scan 0: no compressed vector section at offset 48 (section id 2)"},
      {"PacketLongerThanSection", keep_xml, patch(0, {1, 0, 0xFF, 0xFF}),
       "scan 0: packet at offset 80 is 65536 bytes long, past the end of its section"},
      {"BufferLongerThanPacket", keep_xml, patch(6, {0xFF, 0xFF}),
       "scan 0: data packet at offset 80: buffers and lengths take * bytes, the packet is *"},
      {"BytestreamCount", keep_xml, patch(4, {3, 0}),
       "scan 0: data packet at offset 80 has 3 bytestreams, the prototype 11 fields"},
      {"UnknownPacketType", keep_xml, patch(0, {7}), "scan 0: packet at offset 80 has unknown type 7"},
  };
}

// "*" in `pattern` matches any run of characters.
bool matches(const std::string& text, const std::string& pattern) {
  if (pattern.empty()) return text.empty();
  if (pattern[0] == '*') {
    for (size_t skip = 0; skip <= text.size(); ++skip)
      if (matches(text.substr(skip), pattern.substr(1))) return true;
    return false;
  }
  return !text.empty() && text[0] == pattern[0] && matches(text.substr(1), pattern.substr(1));
}

class E57Damaged : public ::testing::TestWithParam<DamageCase> {};

TEST_P(E57Damaged, IsRefusedWithOneErrorNamingTheFile) {
  TempDir dir;
  std::vector<E57Scan> scans(1);
  scans[0].points = boxPoints(300, 4);
  scans[0].invalid.assign(300, false);
  E57WriteOptions options;
  options.encoding = E57CoordinateEncoding::kScaledInteger;
  options.invalid_state_field = true;
  options.extra_fields = true;
  options.edit_xml = GetParam().edit_xml;
  E57Layout layout;
  const std::string path = write(dir, scans, options, &layout);
  ASSERT_EQ(layout.scans[0].section_offset, 48u) << "the expected messages assume this layout";
  ASSERT_EQ(layout.scans[0].packets.size(), 1u);
  ASSERT_GT(layout.scans[0].packets[0].length, 3000u);
  std::string bytes = readFile(path);
  GetParam().damage(bytes, layout);
  writeFile(path, bytes);

  bool sink_called = false;
  const E57ReadResult result = readE57File(path, [&](unsigned, const double*, size_t) { sink_called = true; });
  EXPECT_EQ(result.status, E57ReadStatus::kInvalid);
  EXPECT_TRUE(matches(result.error, path + ": " + GetParam().error)) << result.error;
  EXPECT_FALSE(sink_called);
}

INSTANTIATE_TEST_SUITE_P(Cases, E57Damaged, ::testing::ValuesIn(damageCases()),
                         [](const ::testing::TestParamInfo<DamageCase>& info) { return info.param.name; });

TEST(E57RunTest, MakesTheMapOfTheSamePointsAsLas) {
  TempDir dir;
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> mm(-4000, 4000);
  Points points;
  for (int i = 0; i < 20000; ++i) points.push_back({mm(rng) * 0.001, mm(rng) * 0.001, (mm(rng) + 4000) / 4 * 0.001});
  writeFile(dir.file("scan.las"), std::string(reinterpret_cast<const char*>(encodeLas(points).data()),
                                               encodeLas(points).size()));
  E57FileWriter writer(dir.file("scan.E57"), E57WriteOptions{});
  for (size_t half : {size_t{0}, points.size() / 2}) {
    writer.beginScan(E57Pose{std::array<double, 4>{1, 0, 0, 0}, std::array<double, 3>{0, 0, 0}});
    for (size_t i = half; i < half + points.size() / 2; ++i) writer.add(points[i][0], points[i][1], points[i][2]);
    writer.endScan();
  }
  ASSERT_TRUE(writer.close()) << writer.error();
  writeFile(dir.file("cut.e57"), readFile(dir.file("scan.E57")).substr(0, 3000));

  const auto run = [&](const std::string& cloud, const std::string& out) {
    return test_support::runMapGenerator({out, cloud, "0.2", "1.5", "0.05", "0.05"}, dir.path());
  };
  ASSERT_EQ(run("scan.las", "las").status, 0);
  const test_support::CommandResult e57 = run("scan.E57", "e57");
  ASSERT_EQ(e57.status, 0) << e57.output;
  EXPECT_TRUE(readFile(dir.file("e57/map.pcd")) == readFile(dir.file("las/map.pcd")));
  EXPECT_TRUE(readFile(dir.file("e57/L1.png")) == readFile(dir.file("las/L1.png")));

  const test_support::CommandResult cut = run("cut.e57", "cut");
  EXPECT_EQ(cut.status, 1);
  EXPECT_TRUE(cut.hasRecord('E', "failed to load e57 file: cut.e57: ")) << cut.output;
  EXPECT_FALSE(test_support::fileExists(dir.file("cut")));
}

}  // namespace
