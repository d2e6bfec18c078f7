// The PCD, PLY and OBJ readers: the same points in every layout read back to
// the same doubles, the formats' documented examples, and bad files refused
// with a reason naming the file.
#include <gtest/gtest.h>
#include <pcl/io/lzf.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "formats/e57_reader.h"
#include "formats/file_reading.h"
#include "formats/las_reader.h"
#include "formats/lzf_decompress.h"
#include "formats/obj_reader.h"
#include "formats/pcd_reader.h"
#include "formats/ply_reader.h"
#include "formats/record_blocks.h"
#include "formats/text_lines.h"
#include "formats/text_numbers.h"
#include "support/test_support.h"

using namespace korvane_navigation;
using test_support::TempDir;
using test_support::writeFile;

namespace {

using Xyz = std::array<double, 3>;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Every value exactly a float, so that 4- and 8-byte layouts give the same doubles.
const std::vector<Xyz> kPoints = {{0.5, -2.25, 0.015625}, {1234567.125, 3, -7}, {-0.0, 1e-3f, 65504}, {8, 9, 10}};

struct Read {
  CloudReadResult result;
  std::vector<Xyz> points;  // in file order when read on one thread
  std::vector<unsigned> threads;
};

using Reader =
    std::function<CloudReadResult(const std::string&, const PointBlockSink&, const ReadProgress&, unsigned)>;

Read readWith(const Reader& reader, const std::string& path, unsigned threads = 1) {
  Read read;
  std::mutex mutex;
  const auto result = reader(
      path,
      [&](unsigned thread, const double* xyz, size_t count) {
        const std::lock_guard<std::mutex> lock(mutex);
        for (size_t i = 0; i < count; ++i) read.points.push_back({xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]});
        read.threads.push_back(thread);
      },
      nullptr, threads);
  read.result = result;
  return read;
}

Read readBytes(const Reader& reader, const std::string& content, const char* name = "c") {
  TempDir dir;
  writeFile(dir.file(name), content);
  Read read = readWith(reader, dir.file(name));
  // The tests compare errors without the temporary directory.
  if (read.result.error.compare(0, dir.path().size() + 1, dir.path() + "/") == 0) {
    read.result.error.erase(0, dir.path().size() + 1);
  }
  return read;
}

const Reader pcd = [](const std::string& path, const PointBlockSink& sink, const ReadProgress& progress,
                       unsigned threads) -> CloudReadResult { return readPcdPoints(path, sink, progress, threads); };
const Reader ply = [](const std::string& path, const PointBlockSink& sink, const ReadProgress& progress,
                       unsigned threads) -> CloudReadResult { return readPlyPoints(path, sink, progress, threads); };
const Reader obj = [](const std::string& path, const PointBlockSink& sink, const ReadProgress& progress,
                       unsigned threads) -> CloudReadResult { return readObjPoints(path, sink, progress, threads); };

// Bitwise, so that NaNs and signed zeros compare too.
bool samePoints(const std::vector<Xyz>& a, const std::vector<Xyz>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    for (int k = 0; k < 3; ++k) {
      if (std::isnan(a[i][k]) != std::isnan(b[i][k])) return false;
      if (!std::isnan(a[i][k]) && std::memcmp(&a[i][k], &b[i][k], sizeof(double)) != 0) return false;
    }
  }
  return true;
}

// The points as their floats hold them.
std::vector<Xyz> asFloats(std::vector<Xyz> points) {
  for (Xyz& p : points) {
    for (double& v : p) v = static_cast<float>(v);
  }
  return points;
}

std::string bytesOf(double value, int size, bool big_endian = false) {
  char raw[8];
  if (size == 4) {
    const auto narrow = static_cast<float>(value);
    std::memcpy(raw, &narrow, 4);
  } else {
    std::memcpy(raw, &value, 8);
  }
  if (big_endian) std::reverse(raw, raw + size);
  return std::string(raw, size);
}

std::string textOf(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// A cloud of `points` with fields around x, y, z of several types, padding
// among them, as PCL's own writer writes it.
pcl::PCLPointCloud2 blobWithExtraFields(const std::vector<Xyz>& points, uint32_t width, uint32_t height) {
  pcl::PCLPointCloud2 blob;
  struct FieldLayout {
    const char* name;
    uint8_t type;
    uint32_t count;
    int axis;
  };
  const FieldLayout layouts[] = {{"intensity", pcl::PCLPointField::FLOAT32, 1, -1}, {"x", pcl::PCLPointField::FLOAT64, 1, 0},
                        {"ring", pcl::PCLPointField::UINT16, 1, -1},      {"_", pcl::PCLPointField::UINT8, 3, -1},
                        {"y", pcl::PCLPointField::FLOAT32, 1, 1},
                        {"normal", pcl::PCLPointField::FLOAT32, 3, -1},   {"Z", pcl::PCLPointField::FLOAT64, 1, 2},
                        {"label", pcl::PCLPointField::INT8, 1, -1}};
  uint32_t offset = 0;
  for (const FieldLayout& layout : layouts) {
    pcl::PCLPointField field;
    field.name = layout.name;
    field.offset = offset;
    field.datatype = layout.type;
    field.count = layout.count;
    blob.fields.push_back(field);
    offset += layout.count * static_cast<uint32_t>(pcl::getFieldSize(layout.type));
  }
  blob.width = width;
  blob.height = height;
  blob.point_step = offset;
  blob.row_step = offset * width;
  blob.data.assign(static_cast<size_t>(offset) * points.size(), 0);
  for (size_t i = 0; i < points.size(); ++i) {
    uint8_t* record = &blob.data[i * offset];
    for (size_t f = 0; f < blob.fields.size(); ++f) {
      const pcl::PCLPointField& field = blob.fields[f];
      const int axis = layouts[f].axis;
      if (axis < 0) {
        record[field.offset] = static_cast<uint8_t>(7 * i + f);  // something unlike a coordinate
        continue;
      }
      const std::string bytes = bytesOf(points[i][axis], pcl::getFieldSize(field.datatype));
      std::memcpy(record + field.offset, bytes.data(), bytes.size());
    }
  }
  return blob;
}

TEST(PcdReader, PointsWrittenByPclInEveryEncodingReadBackToTheSameDoubles) {
  TempDir dir;
  // An organized cloud of 3 x 2 with NaNs where the sensor saw nothing.
  std::vector<Xyz> organized = kPoints;
  organized.push_back({kNaN, kNaN, kNaN});
  organized.push_back({1, kNaN, 2});
  const pcl::PCLPointCloud2 blob = blobWithExtraFields(organized, 3, 2);
  const Eigen::Vector4f origin(1.5f, -2.0f, 3.25f, 0.0f);
  const Eigen::Quaternionf orientation(0.5f, 0.5f, -0.5f, 0.5f);
  pcl::PCDWriter writer;
  ASSERT_EQ(writer.writeASCII(dir.file("a.pcd"), blob, origin, orientation, 17), 0);
  ASSERT_EQ(writer.writeBinary(dir.file("b.pcd"), blob, origin, orientation), 0);
  ASSERT_EQ(writer.writeBinaryCompressed(dir.file("c.pcd"), blob, origin, orientation), 0);
  pcl::PointCloud<pcl::PointXYZ> plain;
  for (const Xyz& p : organized) plain.push_back(pcl::PointXYZ(p[0], p[1], p[2]));
  ASSERT_EQ(pcl::io::savePCDFileBinaryCompressed(dir.file("d.pcd"), plain), 0);
  ASSERT_EQ(pcl::io::savePCDFileASCII(dir.file("e.pcd"), plain), 0);
  for (const char* name : {"a.pcd", "b.pcd", "c.pcd", "d.pcd", "e.pcd"}) {
    SCOPED_TRACE(name);
    const PcdReadResult result = readPcdPoints(dir.file(name), [](unsigned, const double*, size_t) {});
    const Read read = readWith(pcd, dir.file(name));
    ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << read.result.error;
    EXPECT_TRUE(samePoints(read.points, organized));
    EXPECT_EQ(read.result.points_read, organized.size());
    EXPECT_EQ(read.result.warning, "");
    if (name[0] <= 'c') {
      EXPECT_EQ(result.header.width, 3u);
      EXPECT_EQ(result.header.height, 2u);
      const double expected[7] = {1.5, -2.0, 3.25, 0.5, 0.5, -0.5, 0.5};
      for (int i = 0; i < 7; ++i) EXPECT_EQ(result.header.viewpoint[i], expected[i]) << i;
    }
  }
}

// The two little-endian sizes that open compressed PCD data.
std::string compressedSizes(uint32_t compressed, uint32_t uncompressed) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<char>(compressed >> (8 * i));
    bytes[4 + i] = static_cast<char>(uncompressed >> (8 * i));
  }
  return bytes;
}

// Headers PCL does not write: its documentation's example, old versions,
// keywords in other orders, integer coordinates, padding of odd sizes.
TEST(PcdReader, HeadersOfEveryVersionAndLayoutRead) {
  std::string records;
  for (const Xyz& p : kPoints) records += bytesOf(p[0], 4) + std::string(3, '\x7f') + bytesOf(p[1], 8) + bytesOf(p[2], 4);
  // Packed, every field's values follow one another: all x, all padding, all y, all z.
  std::string columns;
  for (const Xyz& p : kPoints) columns += bytesOf(p[0], 4);
  columns += std::string(3 * kPoints.size(), '\x7f');
  for (const Xyz& p : kPoints) columns += bytesOf(p[1], 8);
  for (const Xyz& p : kPoints) columns += bytesOf(p[2], 4);
  std::string packed(2 * columns.size() + 16, '\0');
  packed.resize(pcl::lzfCompress(columns.data(), columns.size(), &packed[0], packed.size()));
  const std::string sizes = compressedSizes(packed.size(), columns.size());
  std::string integers;
  for (const int16_t v : {-3, 4, 5, 300, -32768, 32767}) integers += std::string(reinterpret_cast<const char*>(&v), 2);
  struct Case {
    std::string name, file;
    std::vector<Xyz> points;
  };
  const std::vector<Case> cases = {
      {"the documentation's example",
       "# .PCD v.7 - Point Cloud Data file format\nVERSION .7\nFIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F F\n"
       "COUNT 1 1 1 1\nWIDTH 3\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 3\nDATA ascii\n"
       "0.93773 0.33763 0 4.2108e+06\n0.90805 0.35641 0 4.2108e+06\n0.81915 0.32 0 4.2108e+06\n",
       asFloats({{0.93773, 0.33763, 0}, {0.90805, 0.35641, 0}, {0.81915, 0.32, 0}})},
      {"version 0.5: COLUMNS, POINTS alone, no COUNT", "VERSION .5\nCOLUMNS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 2\nDATA ascii\n1 2 3\n4 5 6",
       {{1, 2, 3}, {4, 5, 6}}},
      {"no SIZE, TYPE nor COUNT; CR LF; blank lines", "FIELDS x y z\r\n\r\n  \r\nPOINTS 2\r\nDATA ascii\r\n1 2 3\r\n\r\n4 5 6\r\n",
       {{1, 2, 3}, {4, 5, 6}}},
      {"keywords in another order, lower case, comments", "# made by hand\npoints 2\ndata ascii\n", {}},
      {"binary with odd padding and mixed sizes",
       "VERSION 0.7\nFIELDS x _ y z\nSIZE 4 1 8 4\nTYPE F U F F\nCOUNT 1 3 1 1\nWIDTH 4\nHEIGHT 1\nPOINTS 4\nDATA binary\n" + records,
       kPoints},
      {"binary_compressed with padding, packed by hand",
       "VERSION 0.7\nFIELDS x _ y z\nSIZE 4 1 8 4\nTYPE F U F F\nCOUNT 1 3 1 1\nWIDTH 2\nHEIGHT 2\nPOINTS 4\n"
       "DATA binary_compressed\n" + sizes + packed,
       kPoints},
      {"integer coordinates", "FIELDS x y z\nSIZE 2 2 2\nTYPE I I I\nCOUNT 1 1 1\nPOINTS 2\nDATA binary\n" + integers,
       {{-3, 4, 5}, {300, -32768, 32767}}},
      {"binary data starting with #",
       "FIELDS x y z\nPOINTS 1\nDATA binary\n" + std::string("\x23\x00\x80\x3f\x00\x00\x00\x40\x00\x00\x40\x40", 12),
       {{1.0000042f, 2, 3}}},
      {"WIDTH x HEIGHT without POINTS", "FIELDS x y z\nWIDTH 1\nHEIGHT 2\nDATA ascii\nnan nan nan\n+1. 2e0 .3E+1\n",
       {{kNaN, kNaN, kNaN}, {1, 2, 3}}},
      {"no points", "FIELDS x y z\nPOINTS 0\nDATA binary_compressed\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.name.find("lower case") != std::string::npos) {
      const Read read = readBytes(pcd, "fields x y z\nsize 4 4 4\ntype f f f\n" + c.file + "1 2 3\n4 5 6\n");
      ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << read.result.error;
      EXPECT_TRUE(samePoints(read.points, {{1, 2, 3}, {4, 5, 6}}));
      continue;
    }
    const Read read = readBytes(pcd, c.file);
    ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << read.result.error;
    EXPECT_TRUE(samePoints(read.points, c.points)) << read.points.size();
  }
}

// A file's bytes and words its refusal must hold.
struct Refusal {
  std::string file, error;
};

void expectRefusals(const Reader& reader, const char* name, const std::vector<Refusal>& refusals) {
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.file.substr(0, 120));
    const Read read = readBytes(reader, r.file, name);
    EXPECT_EQ(read.result.status, CloudReadStatus::kInvalid);
    EXPECT_EQ(read.result.error.compare(0, std::strlen(name) + 2, std::string(name) + ": "), 0) << read.result.error;
    EXPECT_NE(read.result.error.find(r.error), std::string::npos) << read.result.error << "\n wanted: " << r.error;
  }
}


TEST(PcdReader, BadFilesAreRefusedWithTheirFault) {
  const std::string xyz = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
  const std::string two = xyz + "WIDTH 2\nHEIGHT 1\nPOINTS 2\n";
  expectRefusals(pcd, "c.pcd",
                 {
                     {"", "no DATA line: not a complete header"},
                     {std::string(kPcdHeaderLimit, '#'), "no DATA line within the first 1048576 bytes"},
                     {"Point cloud\n" + xyz + "POINTS 1\nDATA ascii\n1 2 3\n",
                      "header line 1 \"Point cloud\" is no PCD header line"},
                     {"ply\nformat ascii 1.0\n", "header line 1 \"ply\" is no PCD header line"},
                     {xyz + "POINTS 1\nPOINTS 1\nDATA ascii\n1 2 3\n", "header repeats POINTS (lines 6 and 7)"},
                     {xyz + "POINTS 1\nDATA\n", "DATA names no encoding"},
                     {xyz + "POINTS 1\nDATA lzf\n", "unknown DATA encoding lzf"},
                     {"SIZE 4\nPOINTS 1\nDATA ascii\n", "the header names no FIELDS"},
                     {"FIELDS x y z\nSIZE 4 4\nPOINTS 1\nDATA ascii\n", "SIZE lists 2 values for 3 FIELDS"},
                     {"FIELDS x y z\nSIZE 4 4 16\nPOINTS 1\nDATA ascii\n", "field z has SIZE 16 and COUNT 1"},
                     {"FIELDS x y z\nTYPE F F Q\nPOINTS 1\nDATA ascii\n", "field z has TYPE Q"},
                     {"FIELDS x y rgb\nPOINTS 1\nDATA ascii\n1 2 3\n", "the cloud has no z field"},
                     {"FIELDS x y z X\nPOINTS 1\nDATA ascii\n1 2 3 4\n", "fields x and X both name the x coordinate"},
                     {"FIELDS x y z\nCOUNT 1 1 2\nPOINTS 1\nDATA ascii\n1 2 3 4\n", "field z is TYPE F SIZE 4 COUNT 2"},
                     {"FIELDS x y z\nSIZE 4 4 2\nTYPE F F F\nPOINTS 1\nDATA ascii\n1 2 3\n", "field z is TYPE F SIZE 2"},
                     {xyz + "WIDTH 2\nHEIGHT 1\nDATA ascii\n1 2 3\n", "2 points of 3 values as text, at least 11 bytes"},
                     {xyz + "WIDTH 65536\nHEIGHT 65536\nPOINTS 0\nDATA ascii\n", "WIDTH 65536 x HEIGHT 65536 differs from POINTS 0"},
                     {xyz + "WIDTH -2\nPOINTS 2\nDATA ascii\n", "WIDTH and HEIGHT must be whole numbers"},
                     {xyz + "HEIGHT 1\nPOINTS 1\nDATA ascii\n1 2 3\n", "HEIGHT without WIDTH"},
                     {xyz + "POINTS 2x\nDATA ascii\n", "no number of POINTS"},
                     {xyz + "DATA ascii\n", "no number of POINTS"},
                     {xyz + "VIEWPOINT 0 0 0\nPOINTS 1\nDATA ascii\n1 2 3\n", "VIEWPOINT gives 3 values, not 7"},
                     {xyz + "VIEWPOINT 0 0 0 1 0 0 q\nPOINTS 1\nDATA ascii\n1 2 3\n", "VIEWPOINT value \"q\" is not a number"},
                     // The data must fit the file: binary to the byte, text at two bytes a value.
                     {two + "DATA binary\n" + std::string(23, '\0'),
                      "the header declares 2 points of 12 bytes, at least 24 bytes of data, but the file holds only 23"},
                     {xyz + "POINTS 1000000000\nDATA binary\n", "1000000000 points of 12 bytes, at least 12000000000 bytes"},
                     {two + "DATA ascii\n1 2 3\n4 5", "2 points of 3 values as text, at least 11 bytes"},
                     {xyz + "POINTS 5\nDATA ascii\n1.0 2.0 3.0\n1.0 2.0 3.0\n1.0 2.0 3.0\n1.0 2.0 3.0\n",
                      "the header declares 5 points but the file holds only 4 data lines"},
                     {two + "DATA ascii\n1 2 3\nabc 5 6\n", "line 11: \"abc\" is not a number"},
                     {two + "DATA ascii\n1.5x 2 3\n0x10 5 6\n", "line 10: \"1.5x\" is not a number"},
                     {two + "DATA ascii\n1 2 3\n1e 5 6\n", "line 11: \"1e\" is not a number"},
                     {two + "DATA ascii\n1 2 3 4\n4 5 6\n", "line 10 holds 4 values, not the 3 of a point"},
                     {two + "DATA ascii\n1 2\n4 5 6 7\n", "line 10 holds 2 values, not the 3 of a point"},
                     {xyz + "POINTS 1\nDATA ascii\n" + std::string(5000, '1') + " 2 3\n", "line 8 is longer than 4288 bytes"},
                     // Compressed sizes must agree with the header and the file.
                     {two + "DATA binary_compressed\n" + compressedSizes(26, 24) + std::string(25, 'x'),
                      "compressed data of 26 bytes, but the file holds only 25"},
                     {two + "DATA binary_compressed\n" + compressedSizes(25, 0xffffffff) + std::string(25, 'x'),
                      "compressed data unpacks to 4294967295 bytes, but 2 points of 12 bytes take 24"},
                     {two + "DATA binary_compressed\n" + compressedSizes(1, 2).substr(0, 4), "compressed data without its sizes"},
                     {xyz + "POINTS 40000\nDATA binary_compressed\n" + compressedSizes(5, 480000) + std::string(5, 'x'),
                      "once unpacked"},
                     {two + "DATA binary_compressed\n" + compressedSizes(3, 24) + "\x01\x02\x03",
                      "compressed data are damaged"},
                 });
}

TEST(PcdReader, ManyPointsOnSeveralThreadsArriveOnceEachInTheirBlocks) {
  TempDir dir;
  // More than two blocks of 4 MiB.
  pcl::PointCloud<pcl::PointXYZ> cloud;
  const size_t count = 800000;
  for (size_t i = 0; i < count; ++i) cloud.push_back(pcl::PointXYZ(i, -0.5f * (i % 1000), 0.25f));
  ASSERT_EQ(pcl::io::savePCDFileBinary(dir.file("many.pcd"), cloud), 0);
  for (const unsigned threads : {1u, 2u, 3u}) {
    SCOPED_TRACE(threads);
    Read read = readWith(pcd, dir.file("many.pcd"), threads);
    ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << read.result.error;
    ASSERT_EQ(read.points.size(), count);
    EXPECT_EQ(*std::max_element(read.threads.begin(), read.threads.end()), threads - 1);
    std::sort(read.points.begin(), read.points.end());
    for (size_t i = 0; i < count; i += 997) {
      EXPECT_EQ(read.points[i], (Xyz{double(i), -0.5 * (i % 1000), 0.25})) << i;
    }
  }
}

TEST(PcdReader, ProgressReachesTheFileSizeAndPathsThatAreNoFileAreRefused) {
  TempDir dir;
  pcl::PointCloud<pcl::PointXYZ> cloud;
  for (int i = 0; i < 100; ++i) cloud.push_back(pcl::PointXYZ(i, i, i));
  ASSERT_EQ(pcl::io::savePCDFileBinary(dir.file("c.pcd"), cloud), 0);
  uint64_t last = 0, total = 0;
  const PcdReadResult result = readPcdPoints(
      dir.file("c.pcd"), [](unsigned, const double*, size_t) {},
      [&](uint64_t done, uint64_t all) {
        EXPECT_GE(done, last);
        last = done;
        total = all;
      });
  ASSERT_EQ(result.status, CloudReadStatus::kOk);
  EXPECT_EQ(last, total);
  EXPECT_EQ(total, test_support::readFile(dir.file("c.pcd")).size());
}

// Every reader refuses a path that is no file to read in the same words,
// after the path; only a stream reader takes a pipe.
TEST(FileReading, PathsThatAreNoFileToReadAreRefusedInTheSameWordsByEveryReader) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);
  writeFile(dir.file("file"), "ply\n");
  const auto sink = [](unsigned, const double*, size_t) {};
  using Opening = std::function<std::string(const std::string&)>;  // the error, empty when opened
  const std::vector<std::pair<const char*, Opening>> readers = {
      {"las", [&](const std::string& path) { return readLasPoints(path, sink).error; }},
      {"e57", [&](const std::string& path) { return readE57File(path, sink).error; }},
      {"pcd", [&](const std::string& path) { return readPcdPoints(path, sink).error; }},
      {"ply", [&](const std::string& path) { return readPlyPoints(path, sink).error; }},
      {"obj", [&](const std::string& path) { return readObjPoints(path, sink).error; }},
  };
  struct Case {
    std::string path;
    OpenFault fault;
    std::string words;  // what every reader says after "<path>: "
    OpenFault as_stream;
    std::string stream_words;
  };
  const Case cases[] = {
      {dir.path(), OpenFault::kDirectory, "is a directory", OpenFault::kDirectory, "is a directory"},
      {dir.file("none"), OpenFault::kMissing, "cannot be opened (No such file or directory)", OpenFault::kMissing,
       "cannot be opened (No such file or directory)"},
      {dir.file("file/below"), OpenFault::kCannotOpen, "cannot be opened (Not a directory)", OpenFault::kCannotOpen,
       "cannot be opened (Not a directory)"},
      {"/dev/null", OpenFault::kWrongKind, "is not a regular file", OpenFault::kWrongKind,
       "is neither a regular file nor a pipe"},
      {dir.file("pipe"), OpenFault::kWrongKind, "is not a regular file", OpenFault::kNone, ""},
      {dir.file("file"), OpenFault::kNone, "", OpenFault::kNone, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    FileDescriptor file;
    uint64_t size = 7;
    std::string words;
    EXPECT_EQ(openFileToRead(c.path, FileKinds::kRegular, file, size, words), c.fault);
    EXPECT_EQ(words, c.words);
    if (c.fault == OpenFault::kNone) EXPECT_EQ(size, 4u);
    EXPECT_EQ(openFileToRead(c.path, FileKinds::kRegularOrPipe, file, size, words), c.as_stream);
    EXPECT_EQ(words, c.stream_words);
    if (c.fault == OpenFault::kNone) continue;
    for (const auto& reader : readers) EXPECT_EQ(reader.second(c.path), c.path + ": " + c.words) << reader.first;
  }
}

TEST(CloudReaders, TextAfterTheDeclaredPointsIsLeftOutWithAWarning) {
  const std::string ply_header = "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                                 "property float z\nend_header\n1 2 3\n";
  struct Case {
    const Reader& reader;
    const char* name;
    std::string file;
    bool warned;
  };
  const Case cases[] = {
      {pcd, "c.pcd", "FIELDS x y z\nPOINTS 1\nDATA ascii\n1 2 3\n5 5 5\n", true},
      {pcd, "c.pcd", "FIELDS x y z\nPOINTS 1\nDATA ascii\n1 2 3\n \n\r\n\t", false},
      {ply, "c.ply", ply_header + "more\n", true},
      {ply, "c.ply", ply_header + "\n\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Read read = readBytes(c.reader, c.file, c.name);
    ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << read.result.error;
    EXPECT_TRUE(samePoints(read.points, {{1, 2, 3}}));
    EXPECT_EQ(read.result.warning.find(std::string(c.name) + ": text after the 1 points the header declares is left out") !=
                  std::string::npos,
              c.warned)
        << read.result.warning;
  }
}

TEST(TextLines, LinesSplitAcrossPiecesOfAnySizeReadWhole) {
  const std::string text = "ab\r\ncd\ref\n\r\n\rgh\r";
  const std::vector<std::string> expected = {"ab", "cd", "ef", "", "", "gh"};
  TempDir dir;
  writeFile(dir.file("t"), "xx" + text);
  FileDescriptor file(::open(dir.file("t").c_str(), O_RDONLY));
  for (size_t piece = 1; piece <= text.size() + 1; ++piece) {
    SCOPED_TRACE(piece);
    TextLines lines(file.get(), 2, 2 + text.size(), 8, 10, piece);
    std::vector<std::string> got;
    const char* begin;
    const char* end;
    while (lines.next(begin, end) == TextLines::Next::kLine) got.emplace_back(begin, end);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(lines.lineNumber(), 16u);
    EXPECT_EQ(lines.bytesRead(), text.size());
  }
  // A line longer than allowed is refused, not held.
  TextLines lines(file.get(), 0, 2 + text.size(), 3, 0, 2);
  const char* begin;
  const char* end;
  EXPECT_EQ(lines.next(begin, end), TextLines::Next::kTooLong);
  EXPECT_EQ(lines.lineNumber(), 1u);
}

// -- PLY -------------------------------------------------------------------

std::string plyVertices(const std::string& format, const std::vector<std::string>& before,
                        const std::vector<std::string>& after) {
  std::string header = "ply\nformat " + format + " 1.0\ncomment every kind of property\n";
  for (const std::string& element : before) header += element;
  header += "element vertex " + std::to_string(kPoints.size()) +
            "\nproperty uchar red\nproperty double X\nproperty short ring\nproperty float y\n"
            "property list uchar int neighbours\nproperty float Z\nproperty uint8 alpha\n";
  for (const std::string& element : after) header += element;
  return header + "end_header\n";
}

TEST(PlyReader, PointsInEveryEncodingWithExtraPropertiesAndElementsReadBack) {
  TempDir dir;
  pcl::PointCloud<pcl::PointXYZRGBNormal> cloud;
  for (const Xyz& p : kPoints) {
    pcl::PointXYZRGBNormal point;
    point.x = p[0];
    point.y = p[1];
    point.z = p[2];
    point.r = 10;
    point.normal_x = 1;
    point.curvature = 0.5f;
    cloud.push_back(point);
  }
  pcl::PLYWriter writer;
  ASSERT_EQ(writer.write(dir.file("a.ply"), cloud, false), 0);
  ASSERT_EQ(writer.write(dir.file("b.ply"), cloud, true), 0);
  for (const char* name : {"a.ply", "b.ply"}) {
    const Read read = readWith(ply, dir.file(name));
    ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << name << ": " << read.result.error;
    EXPECT_TRUE(samePoints(read.points, kPoints)) << name;
  }

  // Faces before the vertices and a camera after them, a list among the
  // vertices' own properties: in text and in both byte orders.
  const std::vector<std::string> before = {"element face 2\nproperty list uchar uint vertex_indices\nproperty float quality\n"};
  const std::vector<std::string> after = {"element camera 1\nproperty int viewportx\n"};
  std::string text = plyVertices("ascii", before, after) + "3 0 1 2 0.5\n\n4 0 1 2 3 1\n";
  for (const Xyz& p : kPoints) {
    text += "7 " + textOf(p[0]) + " -3 " + textOf(p[1]) + " 2 5 6 " + textOf(p[2]) + " 255\n";
  }
  text += "640\n";
  const Read read_text = readBytes(ply, text);
  ASSERT_EQ(read_text.result.status, CloudReadStatus::kOk) << read_text.result.error;
  EXPECT_TRUE(samePoints(read_text.points, kPoints));
  for (const bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian);
    const auto u32 = [&](uint32_t v) {
      std::string bytes(4, '\0');
      for (int i = 0; i < 4; ++i) bytes[big_endian ? 3 - i : i] = static_cast<char>(v >> (8 * i));
      return bytes;
    };
    std::string file = plyVertices(big_endian ? "binary_big_endian" : "binary_little_endian", before, after);
    file += std::string("\3") + u32(0) + u32(1) + u32(2) + bytesOf(0.5, 4, big_endian);
    file += std::string("\0", 1) + bytesOf(1, 4, big_endian);
    for (const Xyz& p : kPoints) {
      file += "\7" + bytesOf(p[0], 8, big_endian) + std::string("\xff\xfd", 2) + bytesOf(p[1], 4, big_endian) + "\2" +
              u32(5) + u32(6) + bytesOf(p[2], 4, big_endian) + "\xff";
    }
    file += u32(640);
    const Read read = readBytes(ply, file);
    ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << read.result.error;
    EXPECT_TRUE(samePoints(read.points, kPoints));
  }
}

TEST(PlyReader, FixedSizeVerticesAfterFacesReadOnSeveralThreads) {
  // Faces with lists before the vertices: their rows are read to find where
  // the vertices begin, then the vertices go in blocks to every thread.
  const size_t count = 600000;
  std::string file = "ply\nformat binary_big_endian 1.0\nelement face 2\nproperty list uchar int v\n"
                     "element vertex " + std::to_string(count) +
                     "\nproperty float x\nproperty float y\nproperty float z\nproperty double t\nend_header\n";
  file += std::string("\2\0\0\0\1\0\0\0\2\0", 10);
  for (size_t i = 0; i < count; ++i) {
    file += bytesOf(double(i), 4, true) + bytesOf(1, 4, true) + bytesOf(-double(i % 7), 4, true) + bytesOf(9, 8, true);
  }
  TempDir dir;
  writeFile(dir.file("many.ply"), file);
  for (const unsigned threads : {1u, 2u}) {
    Read read = readWith(ply, dir.file("many.ply"), threads);
    ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << read.result.error;
    ASSERT_EQ(read.points.size(), count);
    EXPECT_EQ(*std::max_element(read.threads.begin(), read.threads.end()), threads - 1);
    std::sort(read.points.begin(), read.points.end());
    for (size_t i = 0; i < count; i += 1009) EXPECT_EQ(read.points[i], (Xyz{double(i), 1, -double(i % 7)})) << i;
  }
}

TEST(PlyReader, PaulBourkesExamplesRead) {
  const std::string cube =
      "ply\nformat ascii 1.0\ncomment made by Greg Turk\ncomment this file is a cube\nelement vertex 8\n"
      "property float x\nproperty float y\nproperty float z\nelement face 6\n"
      "property list uchar int vertex_index\nend_header\n0 0 0\n0 0 1\n0 1 1\n0 1 0\n1 0 0\n1 0 1\n1 1 1\n"
      "1 1 0\n4 0 1 2 3\n4 7 6 5 4\n4 0 4 5 1\n4 1 5 6 2\n4 2 6 7 3\n4 3 7 4 0\n";
  const std::string coloured =
      "ply\nformat ascii 1.0\ncomment author: Greg Turk\ncomment object: another cube\nelement vertex 8\n"
      "property float x\nproperty float y\nproperty float z\nproperty uchar red\nproperty uchar green\n"
      "property uchar blue\nelement face 7\nproperty list uchar int vertex_index\nelement edge 5\n"
      "property int vertex1\nproperty int vertex2\nproperty uchar red\nproperty uchar green\n"
      "property uchar blue\nend_header\n0 0 0 255 0 0\n0 0 1 255 0 0\n0 1 1 255 0 0\n0 1 0 255 0 0\n"
      "1 0 0 0 0 255\n1 0 1 0 0 255\n1 1 1 0 0 255\n1 1 0 0 0 255\n3 0 1 2\n3 0 2 3\n4 7 6 5 4\n4 0 4 5 1\n"
      "4 1 5 6 2\n4 2 6 7 3\n4 3 7 4 0\n0 1 255 255 255\n1 2 255 255 255\n2 3 255 255 255\n3 0 255 255 255\n"
      "2 0 0 0 0\n";
  const std::vector<Xyz> corners = {{0, 0, 0}, {0, 0, 1}, {0, 1, 1}, {0, 1, 0},
                                    {1, 0, 0}, {1, 0, 1}, {1, 1, 1}, {1, 1, 0}};
  // Blanks after the words, words after a property's name.
  std::string loose = cube;
  for (const char* word : {"ply\n", "format ascii 1.0\n", "end_header\n"}) {
    loose.replace(loose.find(word), std::strlen(word) - 1, std::string(word, std::strlen(word) - 1) + " \t");
  }
  loose.replace(loose.find("property float y"), 16, "property float y second");
  for (const std::string& file : {cube, coloured, loose}) {
    const Read read = readBytes(ply, file);
    ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << read.result.error;
    EXPECT_TRUE(samePoints(read.points, corners));
  }
  // CR LF and CR-only line ends, faces only.
  std::string crlf = cube, cr = cube;
  for (size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2) crlf.replace(at, 1, "\r\n");
  std::replace(cr.begin(), cr.end(), '\n', '\r');
  for (const std::string& file : {crlf, cr}) EXPECT_TRUE(samePoints(readBytes(ply, file).points, corners));
  const Read faces = readBytes(ply, "ply\nformat ascii 1.0\nelement face 1\nproperty list uchar int i\nend_header\n3 0 1 2\n");
  EXPECT_EQ(faces.result.status, CloudReadStatus::kOk);
  EXPECT_TRUE(faces.points.empty());
}

TEST(PlyReader, BadFilesAreRefusedWithTheirFault) {
  const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
  const std::string two = "element vertex 2\n" + xyz;
  const auto header = [](const std::string& format, const std::string& elements) {
    return "ply\nformat " + format + " 1.0\n" + elements + "end_header\n";
  };
  expectRefusals(ply, "c.ply",
                 {
                     {"", "no \"ply\" magic line"},
                     {"plx\nformat ascii 1.0\nend_header\n", "no \"ply\" magic line"},
                     {"VERSION 0.7\nFIELDS x y z\n", "no \"ply\" magic line"},
                     {"ply\nformat ascii 1.0\n" + two, "no end_header line: not a complete header"},
                     {"ply\n" + std::string(kPlyHeaderLimit, ' '), "no end_header line within the first 1048576 bytes"},
                     {header("ebcdic", ""), "header line 2: unknown format"},
                     {header("ascii 1.0\nformat ascii", ""), "a second format"},
                     {header("ascii", "weird line\n"), "header line 3: unknown keyword weird"},
                     {"ply\nelement vertex 0\nend_header\n", "the header names no format"},
                     {header("ascii", ""), "the header declares no element"},
                     {header("ascii", "element vertex -1\n" + xyz), "a whole number of rows"},
                     {header("ascii", "property float x\n"), "a property before any element"},
                     {header("ascii", "element vertex 1\nproperty float128 x\n"), "unknown property type"},
                     {header("ascii", "element vertex 1\nproperty list float int x\n"), "unknown property type"},
                     {header("ascii", "element vertex 1\nproperty list uchar x\n"), "a property needs a type and a name"},
                     {header("ascii", "element vertex 1\nproperty float x\nproperty float x\n"), "a second property x"},
                     {header("ascii", two + "element vertex 1\n"), "a second element vertex"},
                     {header("ascii", "element grid 1000000000\n"), "declares 1000000000 rows of no properties"},
                     {header("ascii", "element vertex 1\nproperty float x\nproperty float y\n"), "the vertices have no z property"},
                     {header("ascii", "element vertex 1\nproperty float x\nproperty float y\nproperty list uchar float z\n") + "1 2 0\n",
                      "vertex property z is a list"},
                     {header("ascii", two + "property double X\n"), "vertex properties x and X both name the x coordinate"},
                     // Every element must fit the file.
                     {header("binary_little_endian", two) + std::string(23, '\0'),
                      "the header declares 2 vertices, and with its other elements at least 24 bytes of "
                      "binary_little_endian data, but the file holds only 23"},
                     {header("binary_big_endian", two + "element face 3\nproperty list uchar int i\n") + std::string(26, '\0'),
                      "at least 27 bytes"},
                     {header("ascii", "element vertex 2000000000\n" + xyz), "2000000000 vertices, and with its other elements at least 11999999999"},
                     {header("ascii", two) + "1 2 3\n4 5", "at least 11 bytes"},
                     // Text rows must be what the header says.
                     {header("ascii", "element vertex 5\n" + xyz) + "1.0 2.0 3.0\n1.0 2.0 3.0\n1.0 2.0 3.0\n1.0 2.0 3.0\n",
                      "the header declares 5 vertex rows but the file holds only 4 lines of them"},
                     {header("ascii", two) + "1 2 3 4 5 6\n1 2 3\n", "line 8 holds more values than a vertex row declares"},
                     {header("ascii", two) + "1 2\n1.0 2.0 3.0\n", "line 8 holds fewer values than a vertex row declares"},
                     {header("ascii", two) + "1 2 3\n1 abc 3\n", "line 9: \"abc\" is not a number"},
                     {header("ascii", "element face 1\nproperty list uchar int i\n" + two) + "x 1 2\n1 2 3\n1 2 3\n",
                      "line 10: list length \"x\" is no whole number"},
                     {header("ascii", "element face 1\nproperty list uchar int i\n" + two) + "5 1 2\n1 2 3\n1 2 3\n",
                      "line 10 holds fewer values than a face row declares"},
                     // Binary rows with lists must end within the file.
                     {header("binary_little_endian", "element face 2\nproperty list uchar int i\n" + two) +
                          std::string("\1\0\0\0\0\xff", 6) + std::string(24, '\0'),
                      "the header declares 2 face rows but the file holds only 1 of them"},
                     {header("binary_little_endian", "element face 1\nproperty list char int i\n" + two) + "\xfe" +
                          std::string(24, '\0'),
                      "has a list of -2 items"},
                 });
}

// -- OBJ -------------------------------------------------------------------

TEST(ObjReader, VerticesReadWhateverTheLineEndsAndAByteOrderMark) {
  const std::string lines[] = {"# comment", "mtllib x.mtl", "v 1 2 3",        "  v\t4.5\t-5 6e2 1.0", "vn 0 0 1",
                               "vt 0.5",    "f 1 2 3",      "v nan inf -inf", "v 1 2 3 ",             "vp 1 2 3"};
  const std::vector<Xyz> expected = {{1, 2, 3}, {4.5, -5, 600}, {kNaN, INFINITY, -INFINITY}, {1, 2, 3}};
  for (const std::string end : {"\n", "\r\n", "\r"}) {
    for (const std::string start : {"", "\xEF\xBB\xBF"}) {
      std::string file = start;
      for (const std::string& line : lines) file += line + end;
      SCOPED_TRACE(testing::PrintToString(file.substr(0, 20)));
      const Read read = readBytes(obj, file);
      ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << read.result.error;
      EXPECT_TRUE(samePoints(read.points, expected));
    }
  }
  // The last line needs no line end; a vertex that starts the file after its mark counts.
  EXPECT_TRUE(samePoints(readBytes(obj, "\xEF\xBB\xBFv 1 2 3").points, {{1, 2, 3}}));
  EXPECT_TRUE(readBytes(obj, "").points.empty());
}

TEST(ObjReader, AVertexWithoutThreeNumbersFailsTheReadNamingItsLine) {
  std::vector<Refusal> refusals;
  for (const std::string line : {"v 1 2", "v 1 2 x", "v 1 2 3x", "v", "v 1,2,3"}) {
    refusals.push_back({"v 0 0 0\n\n" + line + "\nv 1 1 1\n", "c.obj: line 3: a vertex needs three numbers"});
    refusals.push_back({"v 0 0 0\r\r" + line + "\rv 1 1 1\r", "c.obj: line 3: a vertex needs three numbers"});
  }
  expectRefusals(obj, "c.obj", refusals);
}

// -- every format -----------------------------------------------------------

TEST(CloudReaders, EveryLayoutGivesThePointsOfItsLasTwin) {
  // Millimetres, as a LAS file of scale 0.001 holds them exactly.
  std::vector<test_support::Point> points;
  for (int i = 0; i < 500; ++i) points.push_back({0.25f * (i % 40), 0.5f * (i / 40) - 3.0f, 0.125f * (i % 7)});
  TempDir dir;
  writeFile(dir.file("c.las"), test_support::lasFile(points));
  pcl::PointCloud<pcl::PointXYZ> cloud;
  std::string obj_text = "\xEF\xBB\xBF# twin\r";
  for (const auto& p : points) {
    cloud.push_back(pcl::PointXYZ(p[0], p[1], p[2]));
    obj_text += "v " + textOf(p[0]) + " " + textOf(p[1]) + " " + textOf(p[2]) + "\r";
  }
  ASSERT_EQ(pcl::io::savePCDFileASCII(dir.file("a.pcd"), cloud), 0);
  ASSERT_EQ(pcl::io::savePCDFileBinary(dir.file("b.pcd"), cloud), 0);
  ASSERT_EQ(pcl::io::savePCDFileBinaryCompressed(dir.file("c.pcd"), cloud), 0);
  ASSERT_EQ(pcl::io::savePLYFileASCII(dir.file("a.ply"), cloud), 0);
  ASSERT_EQ(pcl::io::savePLYFileBinary(dir.file("b.ply"), cloud), 0);
  writeFile(dir.file("c.obj"), obj_text);

  std::vector<Xyz> twin;
  // The other layouts were written from the float cloud: so is the twin compared.
  const LasReadResult las = readLasPoints(dir.file("c.las"), [&](unsigned, const double* xyz, size_t count) {
    for (size_t i = 0; i < count; ++i)
      twin.push_back({static_cast<float>(xyz[3 * i]), static_cast<float>(xyz[3 * i + 1]),
                      static_cast<float>(xyz[3 * i + 2])});
  });
  ASSERT_EQ(las.status, LasReadStatus::kOk) << las.error;
  ASSERT_EQ(twin.size(), points.size());
  const std::pair<const char*, const Reader*> files[] = {{"a.pcd", &pcd}, {"b.pcd", &pcd}, {"c.pcd", &pcd},
                                                         {"a.ply", &ply}, {"b.ply", &ply}, {"c.obj", &obj}};
  for (const auto& [name, reader] : files) {
    for (const unsigned threads : {1u, 2u}) {
      const Read read = readWith(*reader, dir.file(name), threads);
      ASSERT_EQ(read.result.status, CloudReadStatus::kOk) << name << ": " << read.result.error;
      EXPECT_TRUE(samePoints(read.points, twin)) << name;
    }
  }
}

// -- the pieces ------------------------------------------------------------

TEST(TextNumbers, DecimalsAreReadWhole) {
  struct Case {
    const char* text;
    bool number;
    double value;
  };
  const Case cases[] = {{"1", true, 1},          {"-2.5", true, -2.5},      {"+1.", true, 1},         {".3E+1", true, 3},
                        {"1e-3", true, 1e-3},    {"1e400", true, INFINITY}, {"-1e400", true, -INFINITY}, {"1e-400", true, 0},
                        {"inf", true, INFINITY}, {"-Infinity", true, -INFINITY}, {"1.5x", false, 0},  {"0x10", false, 0},
                        {"1e", false, 0},        {"", false, 0},            {"+", false, 0},          {"+-1", false, 0},
                        {"abc", false, 0},       {"1,5", false, 0},         {"--1", false, 0}};
  for (const Case& c : cases) {
    double value = -99;
    const bool number = parseDecimal(c.text, c.text + std::strlen(c.text), value);
    EXPECT_EQ(number, c.number) << c.text;
    if (c.number) EXPECT_EQ(value, c.value) << c.text;
  }
  double value;
  EXPECT_TRUE(parseDecimal("NaN", "NaN" + 3, value) && std::isnan(value));
}

TEST(Lzf, UnpacksWhatPclPacksAndRefusesDamagedInput) {
  std::mt19937 random(7);
  for (const size_t size : {size_t{1}, size_t{100}, size_t{70000}}) {
    std::vector<uint8_t> data(size);
    // Runs and repeats, for back references of every length.
    for (size_t i = 0; i < size; ++i) data[i] = i > 300 && random() % 3 ? data[i - 1 - random() % 300] : random() % 7;
    std::vector<uint8_t> packed(size * 2 + 16), unpacked(size);
    const unsigned packed_size = pcl::lzfCompress(data.data(), size, packed.data(), packed.size());
    ASSERT_GT(packed_size, 0u);
    EXPECT_EQ(lzfDecompress(packed.data(), packed_size, unpacked.data(), size), size);
    EXPECT_EQ(unpacked, data);
    // Cut anywhere, the input must not unpack to the whole.
    for (const unsigned cut : {1u, packed_size / 2, packed_size - 1}) {
      if (cut >= packed_size) continue;
      EXPECT_LT(lzfDecompress(packed.data(), cut, unpacked.data(), size), size) << cut;
    }
    EXPECT_EQ(lzfDecompress(packed.data(), packed_size, unpacked.data(), size - 1), 0u);
  }
  uint8_t out[16];
  struct Damaged {
    std::vector<uint8_t> in;
  };
  for (const Damaged& d : {Damaged{{5, 'a', 'b'}},           // a literal run past the input
                           Damaged{{0, 'a', 0x20, 1}},       // a reference two bytes back after one
                           Damaged{{0, 'a', 0xe0}},          // a long reference without its length byte
                           Damaged{{0, 'a', 0x20}},          // a reference without its distance byte
                           Damaged{{0, 'a', 0xe0, 20, 0}}}) {  // longer than the output
    EXPECT_EQ(lzfDecompress(d.in.data(), d.in.size(), out, sizeof out), 0u);
  }
}

TEST(RecordBlocks, EveryRecordArrivesOnceOnTheThreadOfItsBlock) {
  TempDir dir;
  std::string bytes(5 + 3 * 1000, '\0');
  for (size_t i = 0; i < 1000; ++i) {
    bytes[5 + 3 * i] = static_cast<char>(i & 0xff);
    bytes[6 + 3 * i] = static_cast<char>(i >> 8);
  }
  writeFile(dir.file("r"), bytes);
  FileDescriptor file(::open(dir.file("r").c_str(), O_RDONLY));
  struct Case {
    uint64_t records, per_block;
    unsigned threads;
  };
  for (const Case& c : {Case{1000, 64, 1}, Case{1000, 64, 3}, Case{1000, 1000, 4}, Case{999, 7, 2}, Case{1, 1, 5}}) {
    SCOPED_TRACE(testing::Message() << c.records << " " << c.per_block << " " << c.threads);
    std::mutex mutex;
    std::vector<int> seen(c.records, 0);
    const RecordBlocksRead read = readRecordBlocks(
        file.get(), 5, 3, c.records, c.threads,
        [&](unsigned thread, const uint8_t* records, size_t count) {
          const std::lock_guard<std::mutex> lock(mutex);
          const size_t first = records[0] | records[1] << 8;
          EXPECT_EQ(first % c.per_block, 0u);
          EXPECT_EQ((first / c.per_block) % std::min<uint64_t>(c.threads, (c.records + c.per_block - 1) / c.per_block),
                    thread);
          for (size_t i = 0; i < count; ++i) ++seen[first + i];
        },
        nullptr, c.per_block);
    EXPECT_EQ(read.records, c.records);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(c.records));
  }
  // A file shorter than asked gives its whole records.
  const RecordBlocksRead shorter =
      readRecordBlocks(file.get(), 5, 3, 2000, 2, [](unsigned, const uint8_t*, size_t) {}, nullptr, 64);
  EXPECT_EQ(shorter.records, 1000u);
  EXPECT_FALSE(shorter.shrank);
  // One that shrinks once block 0 is in, before the other threads start,
  // leaves blocks unread and is no good on any thread count.
  for (unsigned threads = 1; threads <= 3; ++threads) {
    for (const uint64_t records_left : {uint64_t{64}, uint64_t{100}, uint64_t{999}}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, " << records_left << " records left");
      writeFile(dir.file("r"), bytes);
      bool cut = false;
      const RecordBlocksRead read = readRecordBlocks(
          file.get(), 5, 3, 1000, threads,
          [&](unsigned, const uint8_t*, size_t) {
            if (!cut) ASSERT_EQ(::truncate(dir.file("r").c_str(), static_cast<off_t>(5 + 3 * records_left + 1)), 0);
            cut = true;
          },
          nullptr, 64);
      EXPECT_TRUE(read.shrank);
      EXPECT_LE(read.records, records_left);
    }
  }
}

}  // namespace
