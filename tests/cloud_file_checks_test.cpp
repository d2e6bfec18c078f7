// The checks that stand between a point-cloud file's header and PCL's
// allocations, and the OBJ vertex reader.
#include <gtest/gtest.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <sstream>
#include <sys/stat.h>

#include "formats/cloud_file_checks.h"
#include "support/test_support.h"

using namespace test_support;
using namespace korvane_navigation;

namespace {

struct Outcome {
  bool accepted;
  uint64_t points;
  std::string error;
};

Outcome pcd(const std::string& file) {
  DeclaredCloud declared;
  std::string error;
  const bool ok = checkPcdHeader(file.data(), file.size(), file.size(), declared, error);
  return {ok, declared.points, error};
}

Outcome ply(const std::string& file) {
  DeclaredCloud declared;
  std::string error;
  const bool ok = checkPlyHeader(file.data(), file.size(), file.size(), declared, error);
  return {ok, declared.points, error};
}

std::string pcdHeader(const std::string& counts, const std::string& data,
                      const std::string& fields = "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n") {
  return "VERSION 0.7\n" + fields + counts + "VIEWPOINT 0 0 0 1 0 0 0\nDATA " + data + "\n";
}

std::string plyHeader(const std::string& format, const std::string& elements) {
  return "ply\nformat " + format + " 1.0\n" + elements + "end_header\n";
}

const char kXyz[] = "property float x\nproperty float y\nproperty float z\n";

pcl::PointCloud<pcl::PointXYZ> sampleCloud(uint32_t width, uint32_t height) {
  pcl::PointCloud<pcl::PointXYZ> cloud(width, height);
  for (size_t i = 0; i < cloud.size(); ++i) cloud[i] = pcl::PointXYZ(i * 0.5f, -1.0f * i, 2.0f);
  return cloud;
}

TEST(CloudFileChecks, AcceptWhatPclWritesWithItsPointCount) {
  TempDir dir;
  const auto organized = sampleCloud(4, 3);
  const auto flat = sampleCloud(7, 1);
  ASSERT_EQ(pcl::io::savePCDFileASCII(dir.file("a.pcd"), organized), 0);
  ASSERT_EQ(pcl::io::savePCDFileBinary(dir.file("b.pcd"), flat), 0);
  ASSERT_EQ(pcl::io::savePCDFileBinaryCompressed(dir.file("c.pcd"), organized), 0);
  ASSERT_EQ(pcl::io::savePLYFileASCII(dir.file("a.ply"), flat), 0);
  ASSERT_EQ(pcl::io::savePLYFileBinary(dir.file("b.ply"), organized), 0);
  const std::vector<std::tuple<std::string, CloudFileFormat, uint64_t>> files = {
      {"a.pcd", CloudFileFormat::kPcd, 12}, {"b.pcd", CloudFileFormat::kPcd, 7},
      {"c.pcd", CloudFileFormat::kPcd, 12}, {"a.ply", CloudFileFormat::kPly, 7},
      {"b.ply", CloudFileFormat::kPly, 12}};
  for (const auto& [name, format, points] : files) {
    DeclaredCloud declared;
    std::string error;
    EXPECT_TRUE(checkCloudFile(dir.file(name), format, declared, error)) << name << ": " << error;
    EXPECT_EQ(declared.points, points) << name;
  }
}

TEST(CloudFileChecks, RefuseWhatIsNotARegularFile) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("folder.pcd").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(dir.file("pipe.ply").c_str(), 0644), 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"folder.pcd", "is a directory"},
      {"pipe.ply", "is not a regular file"},
      {"missing.pcd", "cannot be opened (No such file or directory)"}};
  for (const auto& [name, expected] : cases) {
    DeclaredCloud declared;
    std::string error;
    EXPECT_FALSE(checkCloudFile(dir.file(name), CloudFileFormat::kPcd, declared, error)) << name;
    EXPECT_EQ(error, expected) << name;
  }
}

TEST(PcdHeaderCheck, DataMustFitTheFileToTheByte) {
  const std::string binary = pcdHeader("WIDTH 2\nHEIGHT 1\nPOINTS 2\n", "binary");
  EXPECT_TRUE(pcd(binary + std::string(24, '\0')).accepted);
  const Outcome short_binary = pcd(binary + std::string(23, '\0'));
  EXPECT_FALSE(short_binary.accepted);
  EXPECT_EQ(short_binary.error,
            "the header declares 2 points of 12 bytes, at least 24 bytes of data, but the file "
            "holds only 23 bytes after its header");

  // Text needs a character and a separator per value, bar the last separator.
  const std::string ascii = pcdHeader("WIDTH 2\nHEIGHT 1\nPOINTS 2\n", "ascii");
  EXPECT_TRUE(pcd(ascii + "1 2 3\n4 5 6").accepted);
  const Outcome short_ascii = pcd(ascii + "1 2 3\n4 5");
  EXPECT_FALSE(short_ascii.accepted);
  EXPECT_NE(short_ascii.error.find("2 points of 3 values as text, at least 11 bytes"),
            std::string::npos) << short_ascii.error;

  const Outcome huge = pcd(pcdHeader("WIDTH 1000000000\nHEIGHT 1\nPOINTS 1000000000\n", "binary"));
  EXPECT_FALSE(huge.accepted);
  EXPECT_NE(huge.error.find("1000000000 points of 12 bytes, at least 12000000000 bytes"),
            std::string::npos) << huge.error;

  const Outcome empty = pcd(pcdHeader("WIDTH 0\nHEIGHT 1\nPOINTS 0\n", "binary"));
  EXPECT_TRUE(empty.accepted) << empty.error;
  EXPECT_EQ(empty.points, 0u);
}

TEST(PcdHeaderCheck, CountsThatWrapOrDisagreeAreRefused) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      // 32-bit products of these are 2 and 0: PCL then reads past its buffer.
      {"WIDTH 4294967294\nHEIGHT 4294967295\nPOINTS 2\n", "differs from POINTS 2"},
      {"WIDTH 65536\nHEIGHT 65536\nPOINTS 0\n", "WIDTH 65536 x HEIGHT 65536 differs from POINTS 0"},
      {"WIDTH -2\nHEIGHT -1\nPOINTS 2\n", "WIDTH and HEIGHT must be whole numbers"},
      {"WIDTH 2\nHEIGHT 1\nPOINTS 2x\n", "no number of POINTS"},
      {"WIDTH 2\nHEIGHT 1\n", "no number of POINTS"},
      {"POINTS 4294967298\n", "4294967298 points, more than the 2147483647"},
      {"POINTS 99999999999999999999\n", "no number of POINTS"},
  };
  for (const auto& [counts, expected] : cases) {
    const Outcome outcome = pcd(pcdHeader(counts, "ascii") + "1 2 3\n1 2 3\n");
    EXPECT_FALSE(outcome.accepted) << counts;
    EXPECT_NE(outcome.error.find(expected), std::string::npos) << counts << ": " << outcome.error;
  }
  // Old headers give POINTS alone.
  EXPECT_TRUE(pcd(pcdHeader("POINTS 2\n", "ascii") + "1 2 3\n1 2 3\n").accepted);
}

TEST(PcdHeaderCheck, CompressedSizesMustAgreeWithTheHeaderAndTheFile) {
  const std::string header = pcdHeader("WIDTH 2\nHEIGHT 1\nPOINTS 2\n", "binary_compressed");
  auto sizes = [](uint32_t compressed, uint32_t uncompressed) {
    std::string bytes(8, '\0');
    for (int i = 0; i < 4; ++i) {
      bytes[i] = static_cast<char>(compressed >> (8 * i));
      bytes[4 + i] = static_cast<char>(uncompressed >> (8 * i));
    }
    return bytes;
  };
  EXPECT_TRUE(pcd(header + sizes(25, 24) + std::string(25, 'x')).accepted);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {header + sizes(26, 24) + std::string(25, 'x'),
       "compressed data of 26 bytes, but the file holds only 25"},
      {header + sizes(25, 0xffffffff) + std::string(25, 'x'),
       "compressed data unpacks to 4294967295 bytes, but 2 points of 12 bytes take 24"},
      {header + sizes(1, 2).substr(0, 4), "compressed data without its sizes"},
  };
  for (const auto& [file, expected] : cases) {
    const Outcome outcome = pcd(file);
    EXPECT_FALSE(outcome.accepted) << expected;
    EXPECT_NE(outcome.error.find(expected), std::string::npos) << outcome.error;
  }
  // LZF turns 3 bytes into 264 at best: 5 bytes cannot hold 40000 points.
  const std::string many = pcdHeader("WIDTH 40000\nHEIGHT 1\nPOINTS 40000\n", "binary_compressed");
  const Outcome unpackable = pcd(many + sizes(5, 480000) + std::string(5, 'x'));
  EXPECT_FALSE(unpackable.accepted);
  EXPECT_NE(unpackable.error.find("once unpacked"), std::string::npos) << unpackable.error;
}

TEST(PcdHeaderCheck, CoordinatesMustBeSingleFloats) {
  // PCL reads x, y, z of any other kind as zeros.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"FIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\n", "field x is TYPE F SIZE 8 COUNT 1"},
      {"FIELDS x y z\nSIZE 4 4 4\nTYPE F I F\nCOUNT 1 1 1\n", "field y is TYPE I SIZE 4 COUNT 1"},
      {"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 2\n", "field z is TYPE F SIZE 4 COUNT 2"},
      {"FIELDS x y rgb\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n", "the cloud has no z field"},
      {"FIELDS x y z\nSIZE 4 4\nTYPE F F F\nCOUNT 1 1 1\n", "SIZE lists 2 values for 3 FIELDS"},
      {"FIELDS x y z\nTYPE F F F\n", "SIZE lists 0 values for 3 FIELDS"},
      {"SIZE 4\nTYPE F\n", "the header names no FIELDS"},
  };
  for (const auto& [fields, expected] : cases) {
    const Outcome outcome = pcd(pcdHeader("POINTS 1\n", "ascii", fields) + "1 2 3 4 5 6\n");
    EXPECT_FALSE(outcome.accepted) << fields;
    EXPECT_NE(outcome.error.find(expected), std::string::npos) << fields << ": " << outcome.error;
  }
  EXPECT_TRUE(pcd(pcdHeader("POINTS 1\n", "ascii",
                            "COLUMNS rgb x y z\nSIZE 4 4 4 4\nTYPE U f F F\n") + "0 1 2 3\n")
                  .accepted);
}

TEST(PcdHeaderCheck, HeadersPclWouldMisreadAreRefused) {
  const std::string fields = "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      // Without DATA, PCL returns zeros as points; in lower case it crashes.
      {fields + "POINTS 1\n", "no DATA line: not a complete header"},
      {"fields x y z\nsize 4 4 4\ntype F F F\npoints 1\ndata ascii\n1 2 3\n", "no DATA line"},
      {fields + "POINTS 1\nDATA Binary\n1 2 3\n", "unknown DATA encoding Binary"},
      {fields + "POINTS 1\nDATA\n1 2 3\n", "DATA names no encoding"},
      {fields + "POINTS 1\nPOINTS 1\nDATA ascii\n1 2 3\n", "header repeats POINTS"},
      {fields + " POINTS 1\nDATA ascii\n1 2 3\n", "header line 4 starts with a blank"},
      {std::string(kCloudHeaderLimit, '#'), "no DATA line within the first 1048576 bytes"},
  };
  for (const auto& [file, expected] : cases) {
    const Outcome outcome = pcd(file);
    EXPECT_FALSE(outcome.accepted) << file.substr(0, 80);
    EXPECT_NE(outcome.error.find(expected), std::string::npos) << outcome.error;
  }
  EXPECT_TRUE(pcd("# comment\n\n  \nVERSION .7\r\n" + fields + "POINTS 1\r\nDATA ascii\r\n1 2 3\r\n")
                  .accepted);
}

TEST(PlyHeaderCheck, EveryElementMustFitTheFile) {
  const std::string vertices = std::string("element vertex 2\n") + kXyz;
  const std::string binary = plyHeader("binary_little_endian", vertices);
  EXPECT_TRUE(ply(binary + std::string(24, '\0')).accepted);
  const Outcome short_binary = ply(binary + std::string(23, '\0'));
  EXPECT_FALSE(short_binary.accepted);
  EXPECT_EQ(short_binary.error,
            "the header declares 2 vertices, and with its other elements at least 24 bytes of "
            "binary_little_endian data, but the file holds only 23 bytes after its header");

  // Faces count too, each with at least its list's count byte.
  const std::string with_faces = plyHeader(
      "binary_big_endian", vertices + "element face 3\nproperty list uchar int vertex_indices\n");
  EXPECT_TRUE(ply(with_faces + std::string(27, '\0')).accepted);
  EXPECT_FALSE(ply(with_faces + std::string(26, '\0')).accepted);

  const std::string ascii = plyHeader("ascii", vertices);
  EXPECT_TRUE(ply(ascii + "1 2 3\n4 5 6").accepted);
  EXPECT_FALSE(ply(ascii + "1 2 3\n4 5").accepted);

  const Outcome huge = ply(plyHeader("ascii", std::string("element vertex 2000000000\n") + kXyz));
  EXPECT_FALSE(huge.accepted);
  EXPECT_NE(huge.error.find("2000000000 vertices, and with its other elements at least 11999999999"),
            std::string::npos) << huge.error;
}

TEST(PlyHeaderCheck, MalformedHeadersAreRefused) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plx\nformat ascii 1.0\nend_header\n", "no \"ply\" magic line"},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n",
       "no end_header line: not a complete header"},
      // PCL loops forever on a negative count.
      {plyHeader("ascii", std::string("element vertex -1\n") + kXyz), "a whole number of rows"},
      {plyHeader("ascii", std::string("element vertex 4294967297\n") + kXyz),
       "4294967297 points, more than the 2147483647"},
      {plyHeader("ascii", "element vertex 1\nproperty float128 x\n"), "unknown property type"},
      {plyHeader("ascii", "element vertex 1\nproperty list uchar x\n"),
       "a property needs a type and a name"},
      {plyHeader("ascii", "property float x\n"), "a property before any element"},
      {plyHeader("ascii", "element grid 1000000000\n"), "declares 1000000000 rows of no properties"},
      {plyHeader("ebcdic", ""), "unknown format"},
      {"ply\nelement vertex 0\nend_header\n", "the header names no format"},
      {plyHeader("ascii", "weird line\n"), "unknown keyword weird"},
  };
  for (const auto& [file, expected] : cases) {
    const Outcome outcome = ply(file);
    EXPECT_FALSE(outcome.accepted) << file;
    EXPECT_NE(outcome.error.find(expected), std::string::npos) << file << ": " << outcome.error;
  }
  const Outcome crlf = ply("ply\r\nformat ascii 1.0\r\ncomment x\r\nobj_info y\r\nelement vertex 1\r\n"
                           "property float x\r\nproperty float32 y\r\nproperty float z\r\n"
                           "end_header\r\n1 2 3\r\n");
  EXPECT_TRUE(crlf.accepted) << crlf.error;
  EXPECT_EQ(crlf.points, 1u);
}

TEST(PlyHeaderCheck, VertexCoordinatesMustBeSingleFloats) {
  // PCL reads them as zeros otherwise.
  for (const char* type : {"double", "float64", "int", "uchar", "int16"}) {
    const Outcome outcome = ply(plyHeader("ascii", std::string("element vertex 1\nproperty ") +
                                                       type + " x\nproperty float y\nproperty float z\n") +
                                "1 2 3\n");
    EXPECT_FALSE(outcome.accepted) << type;
    EXPECT_EQ(outcome.error, std::string("vertex property x is ") + type +
                                 "; only float (float32) coordinates can be read");
  }
  const Outcome missing = ply(plyHeader("ascii", "element vertex 1\nproperty float x\nproperty float y\n"
                                                 "property list uchar float z\n") + "1 2 0\n");
  EXPECT_EQ(missing.error, "the vertices have no z property");
  // No vertex element: an empty cloud, not an error.
  const Outcome faces = ply(plyHeader("ascii", "element face 1\nproperty list uchar int i\n") + "0\n");
  EXPECT_TRUE(faces.accepted) << faces.error;
  EXPECT_EQ(faces.points, 0u);
}

TEST(ObjVertices, AreReadFromEveryVertexLineWhateverItsSpacing) {
  std::istringstream in(
      "# comment\nmtllib x.mtl\nv 1 2 3\n  v\t4.5\t-5 6e2 1.0\r\nvn 0 0 1\nvn 0 1 0\nvn 1 0 0\n"
      "vt 0.5\nvp 1 2 3\nf 1 2 3\nv nan inf -inf\nv 1 2 3 \n");
  PointVector points;
  std::string error;
  ASSERT_TRUE(readObjVertices(in, points, error)) << error;
  ASSERT_EQ(points.size(), 4u);
  EXPECT_EQ(points[1].x, 4.5f);
  EXPECT_EQ(points[1].y, -5.0f);
  EXPECT_EQ(points[1].z, 600.0f);
  EXPECT_TRUE(std::isnan(points[2].x));
  EXPECT_TRUE(std::isinf(points[2].y));
  EXPECT_EQ(points[3].z, 3.0f);
}

TEST(ObjVertices, AVertexWithoutThreeNumbersFailsTheRead) {
  for (const std::string& line : {"v 1 2", "v 1 2 x", "v 1 2 3x", "v", "v 1,2,3"}) {
    std::istringstream in("v 0 0 0\n\n" + line + "\nv 1 1 1\n");
    PointVector points;
    std::string error;
    EXPECT_FALSE(readObjVertices(in, points, error)) << line;
    EXPECT_EQ(error, "line 3: a vertex needs three numbers") << line;
  }
}

}  // namespace
