// LAZ reading and writing: the arithmetic coder and the integer coder on
// their own, point records through the chunk coders, files made by the
// tools' writer against their LAS twins, files made by the LASzip library,
// and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "formats/las_reader.h"
#include "las_writer.h"
#include "formats/laz_arithmetic.h"
#include "formats/laz_integer_codec.h"
#include "formats/laz_layout.h"
#include "formats/laz_point_context.h"
#include "formats/laz_pointwise.h"
#include "laz_writer.h"
#include "support/test_support.h"
#include "synthetic_building.h"

using namespace korvane_navigation;

namespace {

using Bytes = std::vector<uint8_t>;
using Points = std::vector<std::array<double, 3>>;

// Written out literally, not shared with the code under test.
constexpr size_t kOffsetToPointDataAt = 96;
constexpr size_t kLegacyPointCountAt = 107;
constexpr size_t kLasHeaderSize = 227;
constexpr size_t kVlrHeaderSize = 54;
constexpr size_t kLaszipPayloadAt = kLasHeaderSize + kVlrHeaderSize;  // our writer's one VLR

uint32_t loadU32(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
uint64_t loadU64(const Bytes& b, size_t at) { return loadU32(b, at) | uint64_t{loadU32(b, at + 4)} << 32; }
void storeU16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void storeU64(Bytes& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

Bytes fromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// A wandering scan line with jumps, at 1 mm, as a scanner would deliver it.
Points scanLine(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> step(-0.05, 0.05);
  Points points;
  double x = 500000.0, y = 4100000.0, z = 30.0;
  for (size_t i = 0; i < count; ++i) {
    x += step(rng);
    y += step(rng);
    z += step(rng) / 10;
    if (i % 97 == 0) x += 25.0;
    points.push_back({x, y, z});
  }
  return points;
}

LazWriteOptions lazOptions(uint32_t chunk_points, uint8_t minor = 2) {
  LazWriteOptions options;
  options.chunk_points = chunk_points;
  options.las.version_minor = minor;
  options.las.offset = {500000.0, 4100000.0, 0.0};
  return options;
}

// Random point format 0 records with every field in use, changing at
// different rates, so each of the coder's branches is taken.
Bytes randomRecords(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes records(count * 20);
  uint8_t fields[20] = {};
  int32_t x = 0, y = 0, z = 0;
  for (size_t i = 0; i < count; ++i) {
    x += static_cast<int32_t>(rng() % 2001) - 1000;
    y += static_cast<int32_t>(rng() % 201) - 100;
    z = static_cast<int32_t>(rng() % 5 == 0 ? rng() : static_cast<uint32_t>(z + static_cast<int32_t>(rng() % 21) - 10));
    if (rng() % 50 == 0) x = static_cast<int32_t>(rng());
    std::memcpy(fields, &x, 4);
    std::memcpy(fields + 4, &y, 4);
    std::memcpy(fields + 8, &z, 4);
    for (int f = 12; f < 20; ++f) {
      if (rng() % (f + 1) == 0) fields[f] = static_cast<uint8_t>(rng());
    }
    std::memcpy(&records[i * 20], fields, 20);
  }
  return records;
}

TEST(LazArithmeticCoder, SymbolsBitsAndRawValuesRoundTripAtEveryModelSize) {
  for (uint32_t symbols : {2u, 3u, 16u, 17u, 33u, 64u, 256u, 516u, 2048u}) {
    SCOPED_TRACE(symbols);
    std::mt19937 rng(symbols);
    // Skewed, so the models adapt away from uniform and the tables are exercised.
    std::geometric_distribution<uint32_t> skewed(0.2);
    struct Step { int kind; uint32_t value; uint32_t bits; };
    std::vector<Step> steps;
    for (int i = 0; i < 20000; ++i) {
      const int kind = static_cast<int>(rng() % 3);
      const uint32_t bits = 1 + rng() % 32;
      uint32_t value = kind == 0 ? std::min(skewed(rng), symbols - 1) : kind == 1 ? (rng() % 10 == 0) : rng();
      if (kind == 2 && bits < 32) value &= (1u << bits) - 1;
      steps.push_back({kind, value, bits});
    }
    Bytes stream;
    laz::ArithmeticEncoder encoder(stream);
    laz::SymbolModel encode_symbols(symbols);
    laz::BitModel encode_bits;
    for (const Step& s : steps) {
      if (s.kind == 0) encoder.encodeSymbol(encode_symbols, s.value);
      else if (s.kind == 1) encoder.encodeBit(encode_bits, s.value);
      else encoder.writeBits(s.bits, s.value);
    }
    encoder.finish();

    // Followed by other bytes, as a chunk is by the next, the stream must
    // decode the same and end at the same byte: the decoder takes its bytes
    // four at a time where the span allows, one at a time near its end.
    for (const size_t tail : {size_t{0}, size_t{3}, size_t{64}}) {
      SCOPED_TRACE(tail);
      Bytes span = stream;
      span.insert(span.end(), tail, 0xA5);
      laz::ArithmeticDecoder decoder(span.data(), span.size());
      laz::SymbolModel decode_symbols(symbols);
      laz::BitModel decode_bits;
      size_t wrong = 0;
      for (const Step& s : steps) {
        const uint32_t got = s.kind == 0 ? decoder.decodeSymbol(decode_symbols)
                             : s.kind == 1 ? decoder.decodeBit(decode_bits) : decoder.readBits(s.bits);
        wrong += got != s.value;
      }
      EXPECT_EQ(wrong, 0u);
      // The decoder's look-ahead ends exactly where the encoder's bytes do.
      EXPECT_EQ(decoder.consumed(), stream.size());
      EXPECT_EQ(decoder.overrun(), 0u);
      EXPECT_FALSE(decoder.damaged());
    }
  }
}

TEST(LazArithmeticCoder, AnEmptyStreamIsFourBytesAndCarriesPropagate) {
  Bytes stream;
  laz::ArithmeticEncoder encoder(stream);
  encoder.finish();
  EXPECT_EQ(stream.size(), 4u);
  // Long runs of the most probable symbol push the base up until carries run through 0xFF bytes.
  Bytes carried;
  laz::ArithmeticEncoder carrying(carried);
  laz::BitModel model;
  for (int i = 0; i < 100000; ++i) carrying.encodeBit(model, 1);
  carrying.finish();
  laz::ArithmeticDecoder decoder(carried.data(), carried.size());
  laz::BitModel decoding;
  int ones = 0;
  for (int i = 0; i < 100000; ++i) ones += decoder.decodeBit(decoding);
  EXPECT_EQ(ones, 100000);
}

TEST(LazArithmeticCoder, ReadsPastTheEndAreCountedNotMade) {
  const Bytes four = {0x12, 0x34, 0x56, 0x78};
  laz::ArithmeticDecoder decoder(four.data(), four.size());
  laz::SymbolModel model(256);
  for (int i = 0; i < 1000; ++i) decoder.decodeSymbol(model);
  EXPECT_GT(decoder.overrun(), 0u);
  const Bytes all_ones(8, 0xFF);
  laz::ArithmeticDecoder damaged(all_ones.data(), all_ones.size());
  EXPECT_TRUE(damaged.damaged());
}

TEST(LazIntegerCodec, ValuesRoundTripForEveryWidthAndContextCount) {
  struct Shape { uint32_t bits, contexts; };
  for (const Shape shape : {Shape{8, 1}, Shape{16, 4}, Shape{16, 1}, Shape{32, 2}, Shape{32, 22}}) {
    SCOPED_TRACE(std::to_string(shape.bits) + " bits, " + std::to_string(shape.contexts) + " contexts");
    std::mt19937 rng(shape.bits * 100 + shape.contexts);
    const uint32_t mask = shape.bits == 32 ? 0xFFFFFFFFu : (1u << shape.bits) - 1;
    struct Value { int32_t prediction, value; uint32_t context; };
    std::vector<Value> values;
    for (int i = 0; i < 20000; ++i) {
      const auto prediction = static_cast<int32_t>(rng() & mask);
      int32_t value;
      switch (i % 4) {
        case 0: value = static_cast<int32_t>((static_cast<uint32_t>(prediction) + rng() % 7 - 3) & mask); break;
        case 1: value = static_cast<int32_t>(rng() & mask); break;
        case 2: value = prediction; break;
        default: value = shape.bits == 32 ? (i % 8 == 3 ? std::numeric_limits<int32_t>::min()
                                                         : std::numeric_limits<int32_t>::max())
                                          : static_cast<int32_t>(mask * (i % 8 == 3));
      }
      values.push_back({prediction, value, static_cast<uint32_t>(rng() % shape.contexts)});
    }
    Bytes stream;
    laz::ArithmeticEncoder encoder(stream);
    laz::IntegerEncoder integers(shape.bits, shape.contexts);
    std::vector<uint32_t> encoded_k;
    for (const Value& v : values) {
      integers.encode(encoder, v.prediction, v.value, v.context);
      encoded_k.push_back(integers.lastK());
    }
    encoder.finish();
    laz::ArithmeticDecoder decoder(stream.data(), stream.size());
    laz::IntegerDecoder decoding(shape.bits, shape.contexts);
    size_t wrong = 0, wrong_k = 0;
    for (size_t i = 0; i < values.size(); ++i) {
      wrong += decoding.decode(decoder, values[i].prediction, values[i].context) != values[i].value;
      wrong_k += decoding.lastK() != encoded_k[i];
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(wrong_k, 0u);
    EXPECT_EQ(decoder.consumed(), stream.size());
  }
}

TEST(LazIntegerCodec, TheCorrectorsBitLengthIsItsMagnitudesBitCount) {
  // k is the bit count of |c| for c <= 0 and of c - 1 for c > 0.
  struct Case { int32_t corrector; uint32_t k; };
  for (const Case c : {Case{0, 0}, Case{1, 0}, Case{-1, 1}, Case{2, 1}, Case{3, 2}, Case{-2, 2}, Case{4, 2},
                       Case{5, 3}, Case{-4, 3}, Case{std::numeric_limits<int32_t>::min(), 32}}) {
    Bytes stream;
    laz::ArithmeticEncoder encoder(stream);
    laz::IntegerEncoder integers(32, 1);
    integers.encode(encoder, 0, c.corrector);
    EXPECT_EQ(integers.lastK(), c.k) << c.corrector;
  }
}

TEST(LazPointContext, TheMedianDropsTheHighestAndTheLowestByTurns) {
  // Not the median of the last five values: which end a value displaces
  // depends on where the one before it went. Worked out by hand from five
  // zeros; the last case checks the order is signed at the extremes.
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min(), kMax = std::numeric_limits<int32_t>::max();
  struct Case { std::vector<int32_t> added, medians; };
  const Case cases[] = {
      {{5, 3, 4, 1, 2}, {0, 0, 3, 3, 2}},
      {{-1, -2, -3, -4, -5, -6, -7}, {0, 0, -1, -2, -3, -4, -5}},
      {{9, 9, 9, 9, 9, -9, -9}, {0, 0, 9, 9, 9, 9, 9}},
      {{kMax, kMin, kMax, kMax, kMin, 1, 1}, {0, 0, 0, 0, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    laz::StreamingMedian5 median;
    std::vector<int32_t> got;
    for (const int32_t value : c.added) {
      median.add(value);
      got.push_back(median.median());
    }
    EXPECT_EQ(got, c.medians) << ::testing::PrintToString(c.added);
  }
}

TEST(LazPointwiseChunk, RecordsWithEveryFieldRoundTripByteForByte) {
  const std::vector<laz::Item> items = {{laz::ItemType::kPoint10, 20, 2}};
  for (size_t count : {size_t{1}, size_t{2}, size_t{5000}}) {
    const Bytes records = randomRecords(count, static_cast<uint32_t>(count));
    const Bytes chunk = encodePoint10Chunk(records.data(), count);
    Bytes decoded(records.size());
    const laz::ChunkDecoding decoding = laz::decodePointwiseChunk(items, chunk.data(), chunk.size(), count, decoded.data());
    EXPECT_EQ(decoding.error, "") << count;
    EXPECT_EQ(decoding.bytes_used, chunk.size()) << count;
    EXPECT_TRUE(decoded == records) << count;
  }
}

TEST(LazChunkTable, EntriesRoundTripFixedAndVariable) {
  const std::vector<uint32_t> points = {50000, 50000, 123, 1, 70000};
  const std::vector<uint32_t> bytes = {400000, 399000, 1000, 24, 600000};
  for (bool variable : {false, true}) {
    const Bytes coded = laz::encodeChunkTable(points, bytes, variable);
    std::vector<uint32_t> got_points, got_bytes;
    ASSERT_TRUE(laz::decodeChunkTable(coded.data(), coded.size(), 5, variable, got_points, got_bytes));
    EXPECT_EQ(got_bytes, bytes);
    if (variable) EXPECT_EQ(got_points, points);
    EXPECT_FALSE(laz::decodeChunkTable(coded.data(), 2, 5, variable, got_points, got_bytes));
  }
}

// Every point of the file in order, narrowed to float as the comparisons take them.
LasReadResult readAll(const std::string& path, std::vector<float>& xyz) {
  xyz.clear();
  return readLasPoints(path, [&xyz](unsigned, const double* p, size_t n) {
    for (size_t i = 0; i < 3 * n; ++i) xyz.push_back(static_cast<float>(p[i]));
  });
}

class LazFileTest : public ::testing::Test {
 protected:
  struct Read {
    LasReadResult result;
    std::vector<float> xyz;
  };

  Read read(const Bytes& bytes, const std::string& name = "cloud.laz") {
    const std::string path = dir_.file(name);
    test_support::writeFile(path, std::string(bytes.begin(), bytes.end()));
    Read out;
    out.result = readAll(path, out.xyz);
    return out;
  }

  // The points as readLasPoints hands them over on `threads` threads, sorted.
  std::vector<std::array<float, 3>> streamed(const Bytes& bytes, unsigned threads) {
    const std::string path = dir_.file("streamed.laz");
    test_support::writeFile(path, std::string(bytes.begin(), bytes.end()));
    std::vector<std::vector<std::array<float, 3>>> per_thread(threads);
    const LasReadResult result = readLasPoints(path, [&](unsigned thread, const double* xyz, size_t count) {
      for (size_t i = 0; i < count; ++i)
        per_thread.at(thread).push_back({static_cast<float>(xyz[3 * i]), static_cast<float>(xyz[3 * i + 1]),
                                     static_cast<float>(xyz[3 * i + 2])});
    }, nullptr, threads);
    EXPECT_EQ(result.status, LasReadStatus::kOk) << result.error;
    std::vector<std::array<float, 3>> all;
    for (const auto& share : per_thread) all.insert(all.end(), share.begin(), share.end());
    std::sort(all.begin(), all.end());
    return all;
  }

  test_support::TempDir dir_;
};

TEST_F(LazFileTest, EveryChunkBoundaryDecodesToTheLasTwin) {
  constexpr uint32_t kChunk = 7;
  for (size_t count : {size_t{0}, size_t{1}, size_t{kChunk - 1}, size_t{kChunk}, size_t{kChunk + 1},
                       size_t{3 * kChunk}, size_t{3 * kChunk + 2}}) {
    for (uint8_t minor : {2, 4}) {
      SCOPED_TRACE(std::to_string(count) + " points, LAS 1." + std::to_string(minor));
      const Points points = scanLine(count, static_cast<uint32_t>(count));
      const LazWriteOptions options = lazOptions(kChunk, minor);
      const Read laz = read(encodeLaz(points, options));
      const Read las = read(encodeLas(points, options.las), "twin.las");
      ASSERT_EQ(laz.result.status, LasReadStatus::kOk) << laz.result.error;
      EXPECT_EQ(laz.result.warning, "");
      EXPECT_EQ(laz.result.points_read, count);
      EXPECT_EQ(laz.result.header.point_count, las.result.header.point_count);
      EXPECT_TRUE(laz.result.header.compressed);
      EXPECT_TRUE(laz.xyz == las.xyz);
    }
  }
}

// Variable chunks (as COPC files have them): the table gives each chunk's
// count. Made from a fixed-chunk file by marking its chunk size variable and
// recoding its table with the counts.
TEST_F(LazFileTest, VariableChunksAreReadByTheirTabledCounts) {
  constexpr uint32_t kChunk = 9;
  const Points points = scanLine(4 * kChunk + 4, 11);
  Bytes file = encodeLaz(points, lazOptions(kChunk));
  const uint64_t table_at = loadU64(file, loadU32(file, kOffsetToPointDataAt));
  std::vector<uint32_t> no_counts, sizes;
  ASSERT_TRUE(laz::decodeChunkTable(&file[table_at + 8], file.size() - table_at - 8, 5, false, no_counts, sizes));
  std::fill(file.begin() + kLaszipPayloadAt + 12, file.begin() + kLaszipPayloadAt + 16, 0xFF);
  const Bytes entries = laz::encodeChunkTable({kChunk, kChunk, kChunk, kChunk, 4}, sizes, true);
  file.resize(table_at + 8);
  file.insert(file.end(), entries.begin(), entries.end());
  const Read laz = read(file);
  ASSERT_EQ(laz.result.status, LasReadStatus::kOk) << laz.result.error;
  EXPECT_EQ(laz.result.points_read, points.size());
  EXPECT_TRUE(laz.xyz == read(encodeLas(points, lazOptions(kChunk).las), "twin.las").xyz);
  // Without its table a variable-chunk file cannot be read.
  file.resize(table_at);
  const Read cut = read(file);
  EXPECT_EQ(cut.result.status, LasReadStatus::kInvalid);
  EXPECT_NE(cut.result.error.find("variable-sized chunks"), std::string::npos) << cut.result.error;
}

// LAS 1.4 puts extended VLRs after the points, here after the chunk table
// as LASzip writes them: the reader stops the point data at them.
TEST_F(LazFileTest, ExtendedVlrsAfterThePointsAreSkipped) {
  constexpr size_t kFirstEvlrAt = 235, kEvlrCountAt = 243, kEvlrHeaderSize = 60;
  const Points points = scanLine(40, 3);
  Bytes file = encodeLaz(points, lazOptions(16, 4));
  const uint64_t evlr_at = file.size();
  Bytes evlr(kEvlrHeaderSize + 100, 0x5A);
  storeU64(evlr, 20, 100);  // record length after the header
  file.insert(file.end(), evlr.begin(), evlr.end());
  storeU64(file, kFirstEvlrAt, evlr_at);
  file[kEvlrCountAt] = 1;
  const Read laz = read(file);
  ASSERT_EQ(laz.result.status, LasReadStatus::kOk) << laz.result.error;
  EXPECT_EQ(laz.result.warning, "");
  EXPECT_EQ(laz.result.points_read, points.size());
  EXPECT_TRUE(laz.xyz == read(encodeLas(points, lazOptions(16, 4).las), "twin.las").xyz);
}

TEST_F(LazFileTest, ChunksSharedOverThreadsGiveTheSamePoints) {
  const Points points = scanLine(1000, 5);
  const Bytes file = encodeLaz(points, lazOptions(64));
  const auto one = streamed(file, 1);
  ASSERT_EQ(one.size(), points.size());
  EXPECT_EQ(streamed(file, 2), one);
  EXPECT_EQ(streamed(file, 3), one);
}

TEST_F(LazFileTest, ASyntheticBuildingDecodesToExactlyItsLasTwin) {
  BuildingParameters params = demoBuilding();
  params.point_spacing = 0.15;
  params.seed = 7;
  const BuildingLayout layout = planBuilding(params);
  ASSERT_TRUE(writeBuildingLas(dir_.file("building.las"), params, layout).ok);
  const BuildingLasResult written = writeBuildingLaz(dir_.file("building.laz"), params, layout);
  ASSERT_TRUE(written.ok) << written.error;
  std::vector<float> las, laz;
  const LasReadResult las_result = readAll(dir_.file("building.las"), las);
  const LasReadResult laz_result = readAll(dir_.file("building.laz"), laz);
  ASSERT_EQ(laz_result.status, LasReadStatus::kOk) << laz_result.error;
  EXPECT_EQ(laz_result.points_read, written.points);
  EXPECT_GT(written.points, 2 * kLazDefaultChunkPoints);
  EXPECT_TRUE(las == laz);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(laz_result.header.min[i], las_result.header.min[i]);
    EXPECT_EQ(laz_result.header.max[i], las_result.header.max[i]);
  }
}

// Files written by the LASzip library and the integer coordinates it reads
// back from them: 10 points of format 3 in chunks of 4; 6 points of format
// 6, layered, in chunks of 4; 10 points of format 3 with two extra bytes in
// its version 1 items, in chunks of 4; 6 points of format 4 (a version 1
// wave packet among version 2 items) in chunks of 4.
const char kLaszipFormat3[] =
    "4c41534600000000000000000000000000000000000000000102000000000000000000000000000000000000000000000000"
    "00000000000000004c41537a697020444c4c20332e3520723020283235313031372900000000000000000000e3004d010000"
    "010000008322000a0000000000000000000000000000000000000000000000fca9f1d24d62503ffca9f1d24d62503ffca9f1"
    "d24d62503f0000000000408f400000000000409f4000000000000000000000000080842e410000000080842ec10000000080"
    "842e410000000080842ec10000000080842e410000000080842ec100006c61737a697020656e636f6465640000bc5634004c"
    "41537a697020444c4c20332e3520723020283235313031372900000000000002000000030500000000000004000000ffffff"
    "ffffffffffffffffffffffffff03000600140002000700080002000800060002003102000000000000e7030000910100005f"
    "00000000002202ee0000000000000000408f40736a866a0bc89168301f3991106ae3e9da9d3b6f4e5fbcfa7d097a2a00378c"
    "531c2b8cebb2199468c322b654e35a1775f9b8b2990000006005000053040000fd00000000000902e8dc0000c45a7c0a0040"
    "8f404489ee89c02c9a9035bece405669234f1b47630a7d8bcf5f51e95fbda96996093b255ac3b84df0363cb7101f7fc38000"
    "0000b202000051fefffff5000000cae60902edf6000074982f2f00408f409a812f82f199d1268eeae6de12825d1c7799bd7e"
    "2711ff23dd7c139100000000000000030000003b456447000000";
const char kLaszipFormat6[] =
    "4c41534600000000000000000000000000000000000000000104000000000000000000000000000000000000000000000000"
    "00000000000000004c41537a697020444c4c20332e35207230202832353130313729000000000000000000007701d5010000"
    "01000000861e00000000000000000000000000000000000000000000000000fca9f1d24d62503ffca9f1d24d62503ffca9f1"
    "d24d62503f0000000000408f400000000000409f4000000000000000000000000080842e410000000080842ec10000000080"
    "842e410000000080842ec10000000080842e410000000080842ec10000000000000000000000000000000000000000060000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000006c61737a697020656e636f6465640000bc5628004c4153"
    "7a697020444c4c20332e3520723020283235313031372900000000000003000000030500000000000004000000ffffffffff"
    "ffffffffffffffffffffff01000a001e000300d302000000000000e7030000910100005f00000000004200020085000000c4"
    "5a7c0a00408f400400000013000000070000000000000006000000090000000800000007000000000000000d0000003c28ef"
    "6e231f650dd339b2a6a17f41e400000031d3b9751700004103c000000006bd1569f9590000005936ea0e5800000000001a00"
    "0000002c7349b290e2bca428ad000000db0500009007000044000000560b1100021a6e010000116bf12900408f4002000000"
    "08000000050000000500000000000000060000000500000000000000000000000800000030a174605b000000399200000009"
    "00000000e5bde900000084950000002cf5d414e70000000000000002000000423db612000000";

const char kLaszipVersion1Format3[] =
    "4c41534600000000000000000000000000000000000000000102000000000000000000000000000000000000000000000000"
    "00000000000000004c41537a697020444c4c20332e3520723020283235313031372900000000000000000000e30009030000"
    "020000008324000a0000000000000000000000000000000000000000000000fca9f1d24d62503ffca9f1d24d62503ffca9f1"
    "d24d62503f0000000000408f400000000000409f4000000000000000000000000080842e410000000080842ec10000000080"
    "842e410000000080842ec10000000080842e410000000080842ec100004c4153465f5370656300000000000000040080014c"
    "41537a697020444c4c20332e3520723020283235313031372900000000000000000218653000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000f0"
    "3f000000000000f03f000000000000f03f000000000000000000000000000000000000000000000000627974650000000000"
    "0000000000000000000000000000000000000000000000000002186531000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000f03f000000000000f0"
    "3f000000000000f03f0000000000000000000000000000000000000000000000006279746500000000000000000000000000"
    "00000000000000000000000000000000006c61737a697020656e636f6465640000bc563a004c41537a697020444c4c20332e"
    "3520723020283235313031372900000000000002000000030500000000000004000000ffffffffffffffffffffffffffffff"
    "ff0400060014000100070008000100080006000100000002000100e503000000000000e7030000910100005f000000000022"
    "02ee0000000000000000408f40736a866a0bc865314bc4fdda246af5e28a96171e0fb4ac34426f3d1a7d2ae325d7f3dee7bf"
    "b566c7524bea03a9540100000013050000070100006500000000004902f8000000ebe2361a00408f40736a866a0bc8659952"
    "59efdd198fd80d524edadb1048ffebd3c50cfdfb6ece804107d54fa8dd49ad03c2909ac3282f8f01000000a6020000dffbff"
    "ffc0ffffff00000913f5190000c2a8a44e00408f40736a866a0bc890004dfef7095fe4b3c85a767bdc735a97000000000000"
    "00030000003af709a3000000";
const char kLaszipFormat4[] =
    "4c41534600000000000000000000000000000000000000000102000000000000000000000000000000000000000000000000"
    "00000000000000004c41537a697020444c4c20332e3520723020283235313031372900000000000000000000e3004d010000"
    "01000000843900060000000000000000000000000000000000000000000000fca9f1d24d62503ffca9f1d24d62503ffca9f1"
    "d24d62503f0000000000408f400000000000409f4000000000000000000000000080842e410000000080842ec10000000080"
    "842e410000000080842ec10000000080842e410000000080842ec100006c61737a697020656e636f6465640000bc5634004c"
    "41537a697020444c4c20332e3520723020283235313031372900000000000002000000030500000000000004000000ffffff"
    "ffffffffffffffffffffffffff030006001400020007000800020009001d0001000e02000000000000e7030000910100005f"
    "00000000002202ee0000000000000000408f4000000000000000000000000000000000000000000000000000000000009168"
    "301f3991106ae3e9da9d28c00000000919df7bd0289dcf93318e00000146d96697685a018f3fa2e820000001000000600500"
    "0053040000fd00000000000902e8dc0000c45a7c0a00408f4000000000000000000000000000000000000000000000000000"
    "000000009a9035bece405669234f1b4763081d2000000100000000000000020000003cab09000000";

TEST_F(LazFileTest, FilesOfTheLaszipLibraryDecodeToItsCoordinates) {
  struct Case {
    const char* hex;
    std::vector<std::array<int32_t, 3>> expected;
  };
  const std::vector<Case> cases = {
      {kLaszipFormat3,
       {{999, 401, 95}, {1472, -434, 162}, {1773, 36, 152}, {1809, 527, 190}, {1376, 1107, 253},
        {2008, 338, 330}, {1288, -152, 290}, {1184, 85, 277}, {690, -431, 245}, {100, -158, 286}}},
      {kLaszipFormat6,
       {{999, 401, 95}, {681, 539, 59}, {1151, 958, 51}, {938, 1263, 130}, {1499, 1936, 68}, {909, 2917, -5}}},
      {kLaszipVersion1Format3,
       {{999, 401, 95}, {1393, 83, 53}, {493, 384, 82}, {719, 695, 165}, {1299, 263, 101}, {1931, -506, 178},
        {1235, -591, 117}, {831, -252, 36}, {678, -1057, -64}, {-289, -1515, -50}}},
      {kLaszipFormat4,
       {{999, 401, 95}, {1472, -434, 162}, {1773, 36, 152}, {1809, 527, 190}, {1376, 1107, 253}, {2008, 338, 330}}},
  };
  for (const Case& c : cases) {
    const Read got = read(fromHex(c.hex));
    ASSERT_EQ(got.result.status, LasReadStatus::kOk) << got.result.error;
    EXPECT_EQ(got.result.warning, "");
    ASSERT_EQ(got.result.points_read, c.expected.size());
    const LasHeader& h = got.result.header;
    for (size_t i = 0; i < c.expected.size(); ++i) {
      for (int axis = 0; axis < 3; ++axis) {
        const double expected = c.expected[i][axis] * h.scale[axis] + h.offset[axis];
        EXPECT_EQ(got.xyz[3 * i + axis], static_cast<float>(expected)) << "point " << i << " axis " << axis;
      }
    }
  }
}

TEST_F(LazFileTest, DamagedFilesFailCleanlyOrKeepTheirWholeChunks) {
  constexpr uint32_t kChunk = 50;
  const Points points = scanLine(4 * kChunk + 10, 9);
  const Bytes good = encodeLaz(points, lazOptions(kChunk));
  const uint64_t point_data = loadU32(good, kOffsetToPointDataAt);
  const uint64_t table_at = loadU64(good, point_data);
  const uint64_t first_chunk = point_data + 8;
  std::vector<uint32_t> no_counts, sizes;
  ASSERT_TRUE(laz::decodeChunkTable(&good[table_at + 8], good.size() - table_at - 8, loadU32(good, table_at + 4),
                                    false, no_counts, sizes));
  ASSERT_EQ(sizes.size(), 5u);
  const auto chunkAt = [&](size_t k) {
    uint64_t at = first_chunk;
    for (size_t i = 0; i < k; ++i) at += sizes[i];
    return at;
  };
  // The table with chunk 1 ten bytes shorter and chunk 2 ten longer: chunk 1 runs past its count.
  std::vector<uint32_t> shifted = sizes;
  shifted[1] -= 10;
  shifted[2] += 10;
  const Bytes shifted_entries = laz::encodeChunkTable({}, shifted, false);

  struct Damage {
    const char* what;
    std::function<void(Bytes&)> damage;
    const char* error;    // expected in the error, or nullptr when the read succeeds
    const char* warning;  // expected in the warning when the read succeeds
    uint64_t points;      // read when it succeeds
  };
  const std::vector<Damage> cases = {
      {"cut inside the third chunk", [&](Bytes& b) { b.resize(chunkAt(2) + sizes[2] / 2); },
       nullptr, "chunk table offset", 2 * kChunk},
      {"cut after the last chunk", [&](Bytes& b) { b.resize(table_at); }, nullptr, "chunk table offset",
       points.size()},
      {"table offset outside the file", [&](Bytes& b) { storeU64(b, point_data, uint64_t{1} << 40); }, nullptr,
       "outside the point data", points.size()},
      {"table never written", [&](Bytes& b) { storeU64(b, point_data, point_data); }, nullptr, "never written",
       points.size()},
      {"table damaged", [&](Bytes& b) { std::fill(b.begin() + table_at + 8, b.end(), 0xFF); }, nullptr,
       "chunk table", points.size()},
      {"table of an unknown version", [&](Bytes& b) { b[table_at] = 1; }, nullptr, "version 1", points.size()},
      {"record length other than the items'", [&](Bytes& b) { storeU16(b, kLaszipPayloadAt + 34 + 2, 22); },
       "make records of 22 bytes", nullptr, 0},
      {"item version 3", [&](Bytes& b) { storeU16(b, kLaszipPayloadAt + 34 + 4, 3); }, "POINT10 version 3", nullptr, 0},
      {"an item that is not a point first", [&](Bytes& b) { storeU16(b, kLaszipPayloadAt + 34, 9); }, "WAVEPACKET13",
       nullptr, 0},
      {"compressor 1", [&](Bytes& b) { storeU16(b, kLaszipPayloadAt, 1); }, "compressor 1", nullptr, 0},
      {"layered compressor for format 0", [&](Bytes& b) { storeU16(b, kLaszipPayloadAt, 3); }, "layered", nullptr, 0},
      {"coder 1", [&](Bytes& b) { storeU16(b, kLaszipPayloadAt + 2, 1); }, "coder 1", nullptr, 0},
      {"chunk size 0", [&](Bytes& b) { std::fill(b.begin() + kLaszipPayloadAt + 12, b.begin() + kLaszipPayloadAt + 16, 0); },
       "chunk size 0", nullptr, 0},
      {"VLR cut short", [&](Bytes& b) { storeU16(b, kLasHeaderSize + 20, 20); }, "too short", nullptr, 0},
      {"chunks of more points than their bytes can hold",
       [&](Bytes& b) {
         std::fill(b.begin() + kLaszipPayloadAt + 12, b.begin() + kLaszipPayloadAt + 16, 0xF0);
         std::fill(b.begin() + kLegacyPointCountAt, b.begin() + kLegacyPointCountAt + 4, 0xFF);
       },
       "claims", nullptr, 0},
      {"a chunk running past its count",
       [&](Bytes& b) {
         b.resize(table_at + 8);
         b.insert(b.end(), shifted_entries.begin(), shifted_entries.end());
       },
       "chunk 1 of 5: chunk data runs past its", nullptr, 0},
      {"a table whose chunks run past the point data",
       [&](Bytes& b) {
         std::vector<uint32_t> longer = sizes;
         longer[4] += 1000;
         const Bytes entries = laz::encodeChunkTable({}, longer, false);
         b.resize(table_at + 8);
         b.insert(b.end(), entries.begin(), entries.end());
       },
       nullptr, "past the end of the point data", 4 * kChunk + 10},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = good;
    c.damage(bytes);
    const Read got = read(bytes);
    if (c.error) {
      EXPECT_EQ(got.result.status, LasReadStatus::kInvalid);
      EXPECT_NE(got.result.error.find(dir_.file("cloud.laz") + ": "), std::string::npos) << got.result.error;
      EXPECT_NE(got.result.error.find(c.error), std::string::npos) << got.result.error;
    } else {
      ASSERT_EQ(got.result.status, LasReadStatus::kOk) << got.result.error;
      EXPECT_NE(got.result.warning.find(c.warning), std::string::npos) << got.result.warning;
      EXPECT_EQ(got.result.points_read, c.points);
      const Read twin = read(encodeLas(points, lazOptions(kChunk).las), "twin.las");
      EXPECT_TRUE(std::equal(got.xyz.begin(), got.xyz.end(), twin.xyz.begin()));
    }
  }
}

TEST_F(LazFileTest, TheWriterRefusesWhatItCannotWrite) {
  LazWriteOptions with_extra = lazOptions(10);
  with_extra.las.extra_record_bytes = 2;
  EXPECT_THROW(encodeLaz({}, with_extra), std::invalid_argument);
  LazWriteOptions format_one = lazOptions(10);
  format_one.las.point_format = 1;
  EXPECT_THROW(encodeLaz({}, format_one), std::invalid_argument);
  EXPECT_THROW(encodeLaz({}, lazOptions(0)), std::invalid_argument);
}

TEST_F(LazFileTest, ARunOnALazWritesTheSameMapAsOnItsLasTwin) {
  BuildingParameters params = demoBuilding();
  params.point_spacing = 0.1;
  const BuildingLayout layout = planBuilding(params);
  ASSERT_TRUE(writeBuildingLas(dir_.file("building.las"), params, layout).ok);
  ASSERT_TRUE(writeBuildingLaz(dir_.file("building.laz"), params, layout).ok);
  for (const char* input : {"building.las", "building.laz"}) {
    const std::string output = std::string("maps_") + (input + 9);
    test_support::writeFile(dir_.file(std::string("config_") + (input + 9) + ".json"),
                            test_support::configJson(output, input, 0.1, 0.1));
    const test_support::CommandResult run =
        test_support::runMapGenerator({std::string("config_") + (input + 9) + ".json"}, dir_.path());
    ASSERT_EQ(run.status, 0) << run.output;
  }
  const std::string las_map = test_support::readFile(dir_.file("maps_las/map.pcd"));
  EXPECT_FALSE(las_map.empty());
  EXPECT_TRUE(las_map == test_support::readFile(dir_.file("maps_laz/map.pcd")));
}

}  // namespace
