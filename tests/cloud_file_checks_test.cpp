// The checks that stand between a point-cloud file's header and PCL's
// allocations, and the OBJ vertex reader.
#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include "formats/cloud_file_reader.h"
#include <gtest/gtest.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <sstream>

#include "formats/cloud_file_checks.h"
#include "support/test_support.h"

using namespace korvane_navigation;
using namespace test_support;

namespace {

// A file's bytes, and what the check must say: the number of points when
// accepted, or words from the reason it refuses the file.
struct HeaderCase {
  std::string file;
  std::string refusal;  // empty: accepted
  uint64_t points = 0;
};

void expectChecks(const std::vector<HeaderCase>& cases,
                  bool (*check)(const char*, size_t, uint64_t, DeclaredCloud&, std::string&)) {
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.file.substr(0, 200));
    DeclaredCloud declared;
    std::string error;
    const bool accepted = check(c.file.data(), c.file.size(), c.file.size(), declared, error);
    if (c.refusal.empty()) {
      EXPECT_TRUE(accepted) << error;
      EXPECT_EQ(declared.points, c.points);
    } else {
      EXPECT_FALSE(accepted) << c.file.substr(0, 80);
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error << " / wanted: " << c.refusal;
    }
  }
}

const char kXyzFields[] = "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";

std::string pcd(const std::string& counts, const std::string& data, const std::string& fields = kXyzFields) {
  return "VERSION 0.7\n" + fields + counts + "VIEWPOINT 0 0 0 1 0 0 0\nDATA " + data + "\n";
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

std::string ply(const std::string& format, const std::string& elements) {
  return "ply\nformat " + format + " 1.0\n" + elements + "end_header\n";
}

const std::string kVertices = "element vertex 2\nproperty float x\nproperty float y\nproperty float z\n";

TEST(CloudFileChecks, AcceptWhatPclWritesWithItsPointCount) {
  test_support::TempDir dir;
  pcl::PointCloud<pcl::PointXYZ> organized(4, 3), flat(7, 1);
  for (size_t i = 0; i < organized.size(); ++i) organized[i] = pcl::PointXYZ(i * 0.5f, -1.0f * i, 2.0f);
  for (size_t i = 0; i < flat.size(); ++i) flat[i] = pcl::PointXYZ(i * 0.5f, 1.0f, -2.0f * i);
  ASSERT_EQ(pcl::io::savePCDFileASCII(dir.file("a.pcd"), organized), 0);
  ASSERT_EQ(pcl::io::savePCDFileBinary(dir.file("b.pcd"), flat), 0);
  ASSERT_EQ(pcl::io::savePCDFileBinaryCompressed(dir.file("c.pcd"), organized), 0);
  ASSERT_EQ(pcl::io::savePLYFileASCII(dir.file("a.ply"), flat), 0);
  ASSERT_EQ(pcl::io::savePLYFileBinary(dir.file("b.ply"), organized), 0);
  for (const auto& [name, points] : std::vector<std::pair<std::string, uint64_t>>{
           {"a.pcd", 12}, {"b.pcd", 7}, {"c.pcd", 12}, {"a.ply", 7}, {"b.ply", 12}}) {
    DeclaredCloud declared;
    std::string error;
    const CloudFileFormat format = name.back() == 'd' ? CloudFileFormat::kPcd : CloudFileFormat::kPly;
    EXPECT_TRUE(checkCloudFile(dir.file(name), format, declared, error)) << name << ": " << error;
    EXPECT_EQ(declared.points, points) << name;
  }
}

TEST(CloudFileChecks, PcdHeaders) {
  const std::string two = "WIDTH 2\nHEIGHT 1\nPOINTS 2\n", fields = "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\n";
  const std::string compressed = pcd(two, "binary_compressed");
  const std::string many = pcd("WIDTH 40000\nHEIGHT 1\nPOINTS 40000\n", "binary_compressed");
  expectChecks(
      {
          // The data must fit the file to the byte; text needs a character and
          // a separator per value, bar the last separator.
          {pcd(two, "binary") + std::string(24, '\0'), "", 2},
          {pcd(two, "binary") + std::string(23, '\0'),
           "the header declares 2 points of 12 bytes, at least 24 bytes of data, but the file holds only 23"},
          {pcd(two, "ascii") + "1 2 3\n4 5 6", "", 2},
          {pcd(two, "ascii") + "1 2 3\n4 5", "2 points of 3 values as text, at least 11 bytes"},
          {pcd("WIDTH 1000000000\nHEIGHT 1\nPOINTS 1000000000\n", "binary"),
           "1000000000 points of 12 bytes, at least 12000000000 bytes"},
          {pcd("WIDTH 0\nHEIGHT 1\nPOINTS 0\n", "binary"), "", 0},
          // Counts that wrap in PCL's 32 bits make it read past its buffer.
          {pcd("WIDTH 4294967294\nHEIGHT 4294967295\nPOINTS 2\n", "ascii") + "1 2 3\n1 2 3\n", "differs from POINTS 2"},
          {pcd("WIDTH 65536\nHEIGHT 65536\nPOINTS 0\n", "ascii"), "WIDTH 65536 x HEIGHT 65536 differs from POINTS 0"},
          {pcd("WIDTH -2\nHEIGHT -1\nPOINTS 2\n", "ascii"), "WIDTH and HEIGHT must be whole numbers"},
          {pcd("WIDTH 2\nHEIGHT 1\nPOINTS 2x\n", "ascii"), "no number of POINTS"},
          {pcd("WIDTH 2\nHEIGHT 1\n", "ascii"), "no number of POINTS"},
          {pcd("POINTS 99999999999999999999\n", "ascii"), "no number of POINTS"},
          {pcd("POINTS 4294967298\n", "ascii"), "4294967298 points, more than the 2147483647"},
          {pcd("POINTS 2\n", "ascii") + "1 2 3\n1 2 3\n", "", 2},  // old headers give POINTS alone
          // Compressed sizes must agree with the header and the file; LZF
          // turns 3 bytes into 264 at best.
          {compressed + compressedSizes(25, 24) + std::string(25, 'x'), "", 2},
          {compressed + compressedSizes(26, 24) + std::string(25, 'x'),
           "compressed data of 26 bytes, but the file holds only 25"},
          {compressed + compressedSizes(25, 0xffffffff) + std::string(25, 'x'),
           "compressed data unpacks to 4294967295 bytes, but 2 points of 12 bytes take 24"},
          {compressed + compressedSizes(1, 2).substr(0, 4), "compressed data without its sizes"},
          {many + compressedSizes(5, 480000) + std::string(5, 'x'), "once unpacked"},
          // Doubles are converted by the loader; PCL reads x, y, z of any other
          // kind as zeros.
          {pcd("POINTS 1\n", "ascii", "FIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\n") + "1 2 3\n", "", 1},
          {pcd("POINTS 1\n", "ascii", "FIELDS x y z\nSIZE 4 4 4\nTYPE F I F\nCOUNT 1 1 1\n") + "1 2 3\n",
           "field y is TYPE I SIZE 4 COUNT 1"},
          {pcd("POINTS 1\n", "ascii", "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 2\n") + "1 2 3 4\n",
           "field z is TYPE F SIZE 4 COUNT 2"},
          {pcd("POINTS 1\n", "ascii", "FIELDS x y rgb\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n") + "1 2 3\n",
           "the cloud has no z field"},
          {pcd("POINTS 1\n", "ascii", "FIELDS x y z\nSIZE 4 4\nTYPE F F F\n"), "SIZE lists 2 values for 3 FIELDS"},
          {pcd("POINTS 1\n", "ascii", "SIZE 4\nTYPE F\n"), "the header names no FIELDS"},
          {pcd("POINTS 1\n", "ascii", "COLUMNS rgb x y z\nSIZE 4 4 4 4\nTYPE U f F F\n") + "0 1 2 3\n", "", 1},
          // Without DATA PCL returns zeros as points; in lower case it crashes.
          {fields + "POINTS 1\n", "no DATA line: not a complete header"},
          {"fields x y z\nsize 4 4 4\ntype F F F\npoints 1\ndata ascii\n1 2 3\n",
           "header line 1 \"fields x y z\" is no PCD header line"},
          {fields + "POINTS 1\nDATA Binary\n1 2 3\n", "unknown DATA encoding Binary"},
          {fields + "POINTS 1\nDATA\n1 2 3\n", "DATA names no encoding"},
          {fields + "POINTS 1\nPOINTS 1\nDATA ascii\n1 2 3\n", "header repeats POINTS"},
          {fields + " POINTS 1\nDATA ascii\n1 2 3\n", "", 1},
          {std::string(kCloudHeaderLimit, '#'), "no DATA line within the first 1048576 bytes"},
          {"# comment\nVERSION .7\r\n" + fields + "POINTS 1\r\nDATA ascii\r\n1 2 3\r\n", "", 1},
          {"# comment\n\n  \nVERSION .7\r\n" + fields + "POINTS 1\r\nDATA ascii\r\n1 2 3\r\n",
           "header line 3 is blank"},
      },
      checkPcdHeader);
}

TEST(CloudFileChecks, PlyHeaders) {
  const std::string faces = kVertices + "element face 3\nproperty list uchar int vertex_indices\n";
  const std::string one_vertex = "element vertex 1\nproperty float x\nproperty float y\nproperty float z\n";
  std::vector<HeaderCase> cases = {
      // Every element must fit the file; a face takes at least its list's count byte.
      {ply("binary_little_endian", kVertices) + std::string(24, '\0'), "", 2},
      {ply("binary_little_endian", kVertices) + std::string(23, '\0'),
       "the header declares 2 vertices, and with its other elements at least 24 bytes of binary_little_endian "
       "data, but the file holds only 23"},
      {ply("binary_big_endian", faces) + std::string(27, '\0'), "", 2},
      {ply("binary_big_endian", faces) + std::string(26, '\0'), "at least 27 bytes"},
      {ply("ascii", kVertices) + "1 2 3\n4 5 6", "", 2},
      {ply("ascii", kVertices) + "1 2 3\n4 5", "at least 11 bytes"},
      {ply("ascii", "element vertex 2000000000\nproperty float x\nproperty float y\nproperty float z\n"),
       "2000000000 vertices, and with its other elements at least 11999999999"},
      {"plx\nformat ascii 1.0\nend_header\n", "no \"ply\" magic line"},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n", "no end_header line: not a complete header"},
      {ply("ascii", "element vertex -1\nproperty float x\n"), "a whole number of rows"},  // PCL loops forever
      {ply("ascii", "element vertex 4294967297\nproperty float x\n"), "4294967297 points, more than the 2147483647"},
      {ply("ascii", "element vertex 1\nproperty float128 x\n"), "unknown property type"},
      {ply("ascii", "element vertex 1\nproperty list uchar x\n"), "a property needs a type and a name"},
      {ply("ascii", "property float x\n"), "a property before any element"},
      {ply("ascii", "element grid 1000000000\n"), "declares 1000000000 rows of no properties"},
      {ply("ebcdic", ""), "unknown format"},
      {"ply\nelement vertex 0\nend_header\n", "the header names no format"},
      {ply("ascii", "weird line\n"), "unknown keyword weird"},
      {ply("ascii", "element vertex 1\nproperty float x\nproperty float y\nproperty list uchar float z\n") +
           "1 2 0\n",
       "a list property of the vertices, which PCL cannot read safely"},
      {ply("ascii", "element face 1\nproperty list uchar int i\n") + "0\n", "", 0},  // no vertices: empty
      {"ply\r\nformat ascii 1.0\r\ncomment x\r\nobj_info y\r\nelement vertex 1\r\nproperty float x\r\n"
       "property float32 y\r\nproperty float z\r\nend_header\r\n1 2 3\r\n",
       "", 1},
  };
  // Doubles are converted by the loader; PCL reads coordinates of any other type as zeros.
  for (const std::string type : {"int", "uchar", "int16"}) {
    cases.push_back({ply("ascii", "element vertex 1\nproperty " + type + " x\nproperty float y\nproperty float z\n") +
                         "1 2 3\n",
                     "vertex property x is " + type + "; coordinates must be float, float32, double or float64"});
  }
  expectChecks(cases, checkPlyHeader);
}

TEST(ObjVertices, AreReadFromEveryVertexLineAndAShortOneFailsTheRead) {
  std::istringstream in(
      "# comment\nmtllib x.mtl\nv 1 2 3\n  v\t4.5\t-5 6e2 1.0\r\nvn 0 0 1\nvt 0.5\nvp 1 2 3\nf 1 2 3\n"
      "v nan inf -inf\nv 1 2 3 \n");
  PointVector points;
  std::string error;
  ASSERT_TRUE(readObjVertices(in, points, error)) << error;
  ASSERT_EQ(points.size(), 4u);
  EXPECT_EQ(points[1].getVector3fMap(), Eigen::Vector3f(4.5f, -5.0f, 600.0f));
  EXPECT_TRUE(std::isnan(points[2].x) && std::isinf(points[2].y));
  for (const std::string line : {"v 1 2", "v 1 2 x", "v 1 2 3x", "v", "v 1,2,3"}) {
    std::istringstream bad("v 0 0 0\n\n" + line + "\nv 1 1 1\n");
    EXPECT_FALSE(readObjVertices(bad, points, error)) << line;
    EXPECT_EQ(error, "line 3: a vertex needs three numbers") << line;
  }
}

const char kXyz[] = "property float x\nproperty float y\nproperty float z\n";

// Every header line and every text value read the way PCL's readers read
// them: what they read correctly loads with the right coordinates, what
// they would misread or crash on is refused with the line that says so.

std::string doubles(const std::vector<double>& values, bool big_endian = false) {
  std::string bytes;
  for (const double value : values) {
    char raw[8];
    std::memcpy(raw, &value, 8);
    if (big_endian) std::reverse(raw, raw + 8);
    bytes.append(raw, 8);
  }
  return bytes;
}

// A cloud of two points with x, y, z of `bytes` bytes, written by PCL.
std::string pclWrittenPcd(int bytes, const char* encoding) {
  pcl::PCLPointCloud2 blob;
  const uint8_t type = bytes == 8 ? pcl::PCLPointField::FLOAT64 : pcl::PCLPointField::FLOAT32;
  for (const char* name : {"X", "Y", "Z"}) {
    pcl::PCLPointField field;
    field.name = name;
    field.offset = static_cast<uint32_t>(blob.fields.size() * bytes);
    field.datatype = type;
    field.count = 1;
    blob.fields.push_back(field);
  }
  blob.width = 2;
  blob.height = 1;
  blob.point_step = 3 * bytes;
  blob.row_step = 2 * blob.point_step;
  const std::vector<double> values = {0.5, -2.25, 1e-3, 1234567.125, 3, -7};
  blob.data.resize(values.size() * bytes);
  for (size_t i = 0; i < values.size(); ++i) {
    const float narrow = static_cast<float>(values[i]);
    std::memcpy(&blob.data[i * bytes], bytes == 8 ? static_cast<const void*>(&values[i]) : &narrow, bytes);
  }
  TempDir scratch;
  pcl::PCDWriter writer;
  const std::string path = scratch.file("c.pcd");
  const int status = std::string(encoding) == "ascii" ? writer.writeASCII(path, blob)
                     : std::string(encoding) == "binary" ? writer.writeBinary(path, blob)
                                                         : writer.writeBinaryCompressed(path, blob);
  if (status != 0) throw std::runtime_error("PCDWriter failed");
  return readFile(path);
}

struct Read {
  bool ok;
  std::vector<Point> points;
  std::string error;
  std::string warning;
};

Read readCloud(const std::string& content, CloudFileFormat format) {
  TempDir dir;
  const std::string path = dir.file(format == CloudFileFormat::kPcd ? "c.pcd" : "c.ply");
  writeFile(path, content);
  PointVector points;
  Read read{false, {}, "", ""};
  read.ok = readCheckedCloud(path, format, points, read.error, read.warning);
  for (const pcl::PointXYZ& p : points) read.points.push_back({p.x, p.y, p.z});
  return read;
}

const std::vector<Point> kTwo = {{1, 2, 3}, {4, 5, 6}};
const std::vector<Point> kWritten = {{0.5f, -2.25f, 1e-3f}, {1234567.125f, 3, -7}};

TEST(CheckedClouds, WhatPclReadsCorrectlyLoadsWithItsCoordinates) {
  const std::string pcd_xyz = "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
  const std::string ply_start = "ply\nformat ascii 1.0\nelement vertex 2\n";
  struct Case {
    std::string name;
    CloudFileFormat format;
    std::string content;
    std::vector<Point> points;
  };
  const std::vector<Case> cases = {
      {"PCD doubles named X Y Z as text", CloudFileFormat::kPcd, pclWrittenPcd(8, "ascii"), kWritten},
      {"PCD doubles named X Y Z as binary", CloudFileFormat::kPcd, pclWrittenPcd(8, "binary"), kWritten},
      {"PCD doubles named X Y Z compressed", CloudFileFormat::kPcd,
       pclWrittenPcd(8, "binary_compressed"), kWritten},
      {"PCD floats named X Y Z compressed", CloudFileFormat::kPcd,
       pclWrittenPcd(4, "binary_compressed"), kWritten},
      {"PCD header lines indented, CR LF line ends", CloudFileFormat::kPcd,
       "  VERSION 0.7\r\n\tFIELDS x y z\r\n SIZE 4 4 4\r\nTYPE F F F\r\nPOINTS 2\r\nDATA ascii\r\n"
       "1 2 3\r\n4 5 6\r\n",
       kTwo},
      {"PCD without SIZE and TYPE, empty lines between points", CloudFileFormat::kPcd,
       "FIELDS x y z\nPOINTS 2\nDATA ascii\n\n1 2 3\n\n4 5 6", kTwo},
      {"PCD TYPE spelt out, a padding field", CloudFileFormat::kPcd,
       "FIELDS x _ y z\nSIZE 4 4 4 4\nTYPE Float F f F\nPOINTS 2\nDATA ascii\n1 9 2 3\n4 9 5 6\n", kTwo},
      {"PCD values written every way", CloudFileFormat::kPcd,
       pcd_xyz + "POINTS 2\nDATA ascii\n+1. 2e0 .3E+1\n4.0 5 6\n", kTwo},
      {"PCD binary data starting with #", CloudFileFormat::kPcd,
       pcd_xyz + "POINTS 1\nDATA binary\n" + std::string("\x23\x00\x80\x3f", 4) +
           std::string("\x00\x00\x00\x40\x00\x00\x40\x40", 8),
       {{1.0000042f, 2, 3}}},
      {"PLY with trailing blanks", CloudFileFormat::kPly,
       "ply \nformat ascii 1.0 \nelement vertex 2 \nproperty float x\nproperty float y\n"
       "property float z \nend_header \n1 2 3 \n4 5 6\n",
       kTwo},
      {"PLY doubles and float32, X Y Z", CloudFileFormat::kPly,
       ply_start + "property double X\nproperty float64 Y\nproperty float32 Z\nend_header\n1 2 3\n4 5 6\n",
       kTwo},
      {"PLY colours, alpha, intensity and normals around the coordinates", CloudFileFormat::kPly,
       ply_start + "property float x\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
                   "property uchar alpha\nproperty float y\nproperty uchar intensity\nproperty float z\n"
                   "property float nx\nend_header\n1 10 20 30 40 2 50 3 0.5\n4 1 2 3 4 5 6 6 1\n",
       kTwo},
      {"PLY red without blue after the coordinates", CloudFileFormat::kPly,
       ply_start + kXyz + "property uchar red\nproperty float nx\nend_header\n1 2 3 9 0.5\n4 5 6 9 1\n", kTwo},
      {"PLY with CR LF line ends", CloudFileFormat::kPly,
       "ply\r\nformat ascii 1.0\r\nelement vertex 2\r\nproperty float x\r\nproperty float y\r\n"
       "property float z\r\nend_header\r\n1 2 3\r\n4 5 6\r\n",
       kTwo},
      {"PLY property lines with words after the name", CloudFileFormat::kPly,
       ply_start + "property float x first\nproperty float y\nproperty float z\nend_header\n1 2 3\n4 5 6\n",
       kTwo},
      {"PLY big-endian doubles with faces and a camera", CloudFileFormat::kPly,
       "ply\nformat binary_big_endian 1.0\nelement vertex 2\nproperty double x\nproperty double y\n"
       "property double z\nelement face 1\nproperty list int int vertex_indices\nelement camera 1\n"
       "property int viewportx\nproperty int viewporty\nend_header\n" +
           doubles({1, 2, 3, 4, 5, 6}, true) + std::string("\0\0\0\2\0\0\0\0\0\0\0\1", 12) +
           std::string("\0\0\0\7\0\0\0\5", 8),
       kTwo},
  };
  for (const Case& c : cases) {
    const Read read = readCloud(c.content, c.format);
    EXPECT_TRUE(read.ok) << c.name << ": " << read.error;
    EXPECT_EQ(read.points, c.points) << c.name;
    EXPECT_EQ(read.warning, "") << c.name;
  }
}

TEST(CheckedClouds, WhatPclWouldMisreadOrCrashOnIsRefusedWithItsLine) {
  const std::string xyz = "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\n";
  const std::string ply_start = "ply\nformat ascii 1.0\nelement vertex 2\n";
  const std::string ply_xyz = ply_start + kXyz + "end_header\n";
  struct Case {
    std::string name;
    CloudFileFormat format;
    std::string content;
    std::string error;
  };
  const std::vector<Case> cases = {
      // PCL's reader ends the header at a line it does not know, then crashes.
      {"PCD comment without #", CloudFileFormat::kPcd, "Point cloud\n" + xyz + "POINTS 1\nDATA ascii\n1 2 3\n",
       "header line 1 \"Point cloud\" is no PCD header line: PCL's reader would end the header there"},
      {"PCD misspelt keyword", CloudFileFormat::kPcd, "VERSIO 0.7\n" + xyz + "POINTS 1\nDATA ascii\n1 2 3\n",
       "header line 1 \"VERSIO 0.7\" is no PCD header line"},
      // ... or reads no point.
      {"PCD unknown line after FIELDS", CloudFileFormat::kPcd,
       xyz + "created by hand\nPOINTS 1\nDATA ascii\n1 2 3\n", "header line 4 \"created by hand\" is no PCD"},
      {"PCD blank header line", CloudFileFormat::kPcd, "  \n" + xyz + "POINTS 1\nDATA ascii\n1 2 3\n",
       "header line 1 is blank: PCL's reader ends the header there"},
      {"PCD header line of a lone CR", CloudFileFormat::kPcd, xyz + "\r\nPOINTS 1\nDATA ascii\n1 2 3\n",
       "header line 4 is blank"},
      // Sized at POINTS, PCL's buffer is too small for a COUNT after it.
      {"PCD POINTS before COUNT", CloudFileFormat::kPcd,
       xyz + "POINTS 1\nCOUNT 1 1 2\nDATA ascii\n1 2 3 3\n", "POINTS (line 4) must follow COUNT"},
      {"PCD HEIGHT without WIDTH", CloudFileFormat::kPcd, xyz + "HEIGHT 1\nPOINTS 1\nDATA ascii\n1 2 3\n",
       "HEIGHT without WIDTH"},
      {"PCD short VIEWPOINT", CloudFileFormat::kPcd, xyz + "VIEWPOINT 0 0 0\nPOINTS 1\nDATA ascii\n1 2 3\n",
       "VIEWPOINT gives 3 values, not 7"},
      {"PCD field of 3 bytes", CloudFileFormat::kPcd,
       "FIELDS x y z i\nSIZE 4 4 4 3\nTYPE F F F U\nPOINTS 1\nDATA ascii\n1 2 3 4\n",
       "field i has SIZE 3 TYPE U, which PCL cannot read"},
      {"PCD SIZE 8 without TYPE", CloudFileFormat::kPcd,
       "FIELDS x y z\nSIZE 8 8 8\nPOINTS 1\nDATA binary\n" + doubles({1, 2, 3}),
       "field x has SIZE 8 TYPE F (no TYPE line), which PCL cannot read"},
      {"PCD x twice", CloudFileFormat::kPcd,
       "FIELDS x y z X\nSIZE 4 4 4 4\nTYPE F F F F\nPOINTS 1\nDATA ascii\n1 2 3 4\n",
       "fields x and X both name the x coordinate"},
      {"PCD integer coordinates", CloudFileFormat::kPcd,
       "FIELDS x y z\nSIZE 4 4 4\nTYPE F I F\nPOINTS 1\nDATA ascii\n1 2 3\n", "field y is TYPE I SIZE 4"},
      {"PCD header line after DATA", CloudFileFormat::kPcd,
       xyz + "POINTS 1\nDATA binary\n\nPOINTS 5\n" + std::string(12, '\0'),
       "line 7 after DATA \"POINTS 5\" reads as a header line to PCL"},
      // Text PCL reads as zeros, or as a point at the origin.
      {"PCD short text", CloudFileFormat::kPcd, xyz + "POINTS 3\nDATA ascii\n1.000 2.000 3.000\n4.000 5.000 6.000\n",
       "the header declares 3 points but the file holds only 2 data lines"},
      {"PCD word for a value", CloudFileFormat::kPcd, xyz + "POINTS 2\nDATA ascii\n1 2 3\nabc 5 6\n",
       "line 7: \"abc\" is not a number"},
      {"PCD number run into text", CloudFileFormat::kPcd, xyz + "POINTS 1\nDATA ascii\n1.5x 2 3\n",
       "line 6: \"1.5x\" is not a number"},
      {"PCD hexadecimal", CloudFileFormat::kPcd, xyz + "POINTS 1\nDATA ascii\n0x10 2 3\n", "\"0x10\" is not"},
      {"PCD exponent without digits", CloudFileFormat::kPcd, xyz + "POINTS 1\nDATA ascii\n1e 2 3\n",
       "\"1e\" is not a number"},
      {"PCD blank data line", CloudFileFormat::kPcd, xyz + "POINTS 2\nDATA ascii\n1 2 3\n \n4 5 6\n",
       "line 7 holds 0 values, not the 3 of a point"},
      {"PCD comment after a point", CloudFileFormat::kPcd, xyz + "POINTS 1\nDATA ascii\n1 2 3 # c\n",
       "line 6 holds 5 values, not the 3 of a point"},
      {"PLY short text", CloudFileFormat::kPly, ply_xyz + "1.000 2.000 3.000\n",
       "the header declares 2 vertex rows but the file holds only 1 lines of them"},
      {"PLY word for a value", CloudFileFormat::kPly, ply_xyz + "1 2 3\n4 nan abc\n",
       "line 9: \"abc\" is not a number"},
      {"PLY row too long", CloudFileFormat::kPly, ply_xyz + "1 2 3 4\n4 5 6\n",
       "line 8 holds more values than a vertex row declares"},
      {"PLY blank row", CloudFileFormat::kPly, ply_xyz + "1 2 3\n\n4 5 6\n",
       "line 9 holds fewer values than a vertex row declares"},
      {"PLY face list longer than its row", CloudFileFormat::kPly,
       ply_start + kXyz + "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                          "1 2 3\n4 5 6\n3 0 1\n",
       "line 12 holds fewer values than a face row declares"},
      {"PLY version 2.0", CloudFileFormat::kPly, "ply\nformat ascii 2.0\nelement vertex 0\nend_header\n",
       "header line 2: format version 2.0 (PCL reads 1.0 only)"},
      {"PLY vertex element twice", CloudFileFormat::kPly,
       ply_start + kXyz + "element vertex 1\nproperty float w\nend_header\n1 2 3\n4 5 6\n1\n",
       "header line 7: a second element vertex"},
      {"PLY property twice", CloudFileFormat::kPly, ply_start + kXyz + "property float x\nend_header\n",
       "header line 7: a second property x of element vertex"},
      {"PLY list length of short", CloudFileFormat::kPly,
       ply_start + kXyz + "element face 1\nproperty list short int vertex_indices\nend_header\n",
       "header line 8: unknown property type"},
      {"PLY red before the coordinates", CloudFileFormat::kPly,
       ply_start + "property uchar red\n" + kXyz + "end_header\n1 1 2 3\n2 4 5 6\n",
       "vertex property x follows a red without its blue"},
      {"PLY blue before red", CloudFileFormat::kPly,
       ply_start + kXyz + "property uchar blue\nproperty uchar red\nend_header\n1 2 3 0 0\n4 5 6 0 0\n",
       "vertex property blue comes before red"},
      {"PLY second blue", CloudFileFormat::kPly,
       ply_start + kXyz + "property uchar red\nproperty uchar blue\nproperty uchar diffuse_blue\n"
                          "property float nx\nend_header\n1 2 3 0 0 0 1\n4 5 6 0 0 0 1\n",
       "vertex property nx follows a second blue: PCL's reader would write it past the vertex"},
      {"PLY range grid of other rows than vertices", CloudFileFormat::kPly,
       ply_start + kXyz + "element range_grid 3\nproperty list uchar int vertex_indices\nend_header\n"
                          "1 2 3\n4 5 6\n1 0\n0\n1 7\n",
       "a range_grid of 3 rows for 2 vertices"},
      // PCL sizes the list by the first vertex and misplaces the others.
      {"PLY list on the vertices", CloudFileFormat::kPly,
       ply_start + "property float x\nproperty list uchar int vertex_indices\nproperty float y\n"
                   "property float z\nend_header\n1 3 1 2 3 2 3\n4 0 5 6\n",
       "header line 5: a list property of the vertices"},
      {"PLY magic run into text", CloudFileFormat::kPly, "plyx\nformat ascii 1.0\n", "no \"ply\" magic line"},
  };
  for (const Case& c : cases) {
    DeclaredCloud declared;
    std::string error;
    EXPECT_FALSE(checkCloudBytes(c.content.data(), c.content.size(), c.format, declared, error)) << c.name;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    // The file check reads the same way, in pieces.
    const Read read = readCloud(c.content, c.format);
    EXPECT_FALSE(read.ok) << c.name;
    EXPECT_EQ(read.error, error) << c.name;
  }
}

TEST(CheckedClouds, TextAfterTheDeclaredPointsIsLeftOutWithAWarning) {
  const std::vector<std::pair<CloudFileFormat, std::string>> files = {
      {CloudFileFormat::kPcd, "FIELDS x y z\nPOINTS 2\nDATA ascii\n1 2 3\n4 5 6\n7 8 9\n"},
      {CloudFileFormat::kPly, ply("ascii", std::string("element vertex 2\n") + kXyz) +
                                  "1 2 3\n4 5 6\nmore\n"},
  };
  for (const auto& [format, content] : files) {
    const Read read = readCloud(content, format);
    EXPECT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.points, kTwo);
    EXPECT_EQ(read.warning, "text after the 2 points the header declares is left out");
  }
  // Blank lines at the end are no text.
  EXPECT_EQ(readCloud("FIELDS x y z\nPOINTS 2\nDATA ascii\n1 2 3\n4 5 6\n\n \n", CloudFileFormat::kPcd).warning,
            "");
}

TEST(CheckedClouds, TextDataReadInPiecesSplitAnywhere) {
  // Longer than one read of the file check, with lines across its pieces.
  std::string content = "FIELDS x y z\nPOINTS 100000\nDATA ascii\n";
  for (int i = 0; i < 100000; ++i) content += std::to_string(i) + ".25 -1 2.5e1\n";
  Read read = readCloud(content, CloudFileFormat::kPcd);
  ASSERT_TRUE(read.ok) << read.error;
  ASSERT_EQ(read.points.size(), 100000u);
  EXPECT_EQ(read.points[99999], (Point{99999.25f, -1, 25}));
  content.replace(content.size() - 5, 1, "x");
  read = readCloud(content, CloudFileFormat::kPcd);
  EXPECT_EQ(read.error, "line 100003: \"2x5e1\" is not a number");
}


}  // namespace
