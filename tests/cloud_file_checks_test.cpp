// The checks that stand between a point-cloud file's header and PCL's
// allocations, and the OBJ vertex reader.
#include <gtest/gtest.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <sstream>

#include "formats/cloud_file_checks.h"
#include "support/test_support.h"

using namespace korvane_navigation;

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
      EXPECT_FALSE(accepted);
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
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
          // PCL reads x, y, z of any other kind as zeros.
          {pcd("POINTS 1\n", "ascii", "FIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\n") + "1 2 3\n",
           "field x is TYPE F SIZE 8 COUNT 1"},
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
          {"fields x y z\nsize 4 4 4\ntype F F F\npoints 1\ndata ascii\n1 2 3\n", "no DATA line"},
          {fields + "POINTS 1\nDATA Binary\n1 2 3\n", "unknown DATA encoding Binary"},
          {fields + "POINTS 1\nDATA\n1 2 3\n", "DATA names no encoding"},
          {fields + "POINTS 1\nPOINTS 1\nDATA ascii\n1 2 3\n", "header repeats POINTS"},
          {fields + " POINTS 1\nDATA ascii\n1 2 3\n", "header line 4 starts with a blank"},
          {std::string(kCloudHeaderLimit, '#'), "no DATA line within the first 1048576 bytes"},
          {"# comment\n\n  \nVERSION .7\r\n" + fields + "POINTS 1\r\nDATA ascii\r\n1 2 3\r\n", "", 1},
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
       "the vertices have no z property"},
      {ply("ascii", "element face 1\nproperty list uchar int i\n") + "0\n", "", 0},  // no vertices: empty
      {"ply\r\nformat ascii 1.0\r\ncomment x\r\nobj_info y\r\nelement vertex 1\r\nproperty float x\r\n"
       "property float32 y\r\nproperty float z\r\nend_header\r\n1 2 3\r\n",
       "", 1},
  };
  // PCL reads coordinates of any other type as zeros.
  for (const std::string type : {"double", "float64", "int", "uchar", "int16"}) {
    cases.push_back({ply("ascii", "element vertex 1\nproperty " + type + " x\nproperty float y\nproperty float z\n") +
                         "1 2 3\n",
                     "vertex property x is " + type + "; only float (float32) coordinates can be read"});
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

}  // namespace
