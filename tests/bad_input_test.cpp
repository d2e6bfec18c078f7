// Bad input of every kind, through the real binary. Each run must end by
// itself within a minute, with the expected status and a record that says
// what was wrong: never a signal, never an allocation on a header's word
// (runs are held to 4 GiB of address space), and never a half-written output.
#include <gtest/gtest.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstring>
#include <map>
#include <random>

#include "support/test_support.h"

using namespace test_support;
using korvane_navigation::LasWriteOptions;

namespace {

const RunLimits kLimits{60, uint64_t{4} << 30, 0};

// A few points around the sensor inside the band [0, 2] m; then two of them
// a thousand kilometres out.
const std::vector<Point> kRoom = {{1.0f, 0.0f, 0.5f}, {0.0f, 1.2f, 0.7f}, {-1.5f, -0.5f, 1.0f}, {2.0f, 2.0f, 1.5f}};
const std::vector<Point> kFarApart = {{1.0f, 0.0f, 0.5f}, {1e6f, 0.0f, 0.5f}, {0.0f, -1e6f, 1.0f}, {-1.5f, 1.0f, 1.0f}};
const char kFarApartWarning[] = "2 of 4 points in the band lie outside the octree's key range";
const char kSaved[] = "success to save pointcloud map: out/map.pcd";

struct BadInput {
  std::string name;
  std::string file;  // in the working directory
  std::string content;
  int status;
  char severity;
  std::string record;
};

std::string garbage(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xff);
  return bytes;
}

template <typename T>
std::string patched(std::string bytes, size_t at, T value) {
  std::memcpy(&bytes[at], &value, sizeof value);
  return bytes;
}

std::string rows(const std::vector<Point>& points, const char* prefix = "") {
  std::string text;
  for (const Point& p : points) {
    text += prefix + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + "\n";
  }
  return text;
}

std::string pcdText(const std::string& body, const std::string& count) {
  return "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH " + count +
         "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + count + "\nDATA ascii\n" + body;
}

std::string plyText(const std::string& body, const std::string& count) {
  return "ply\nformat ascii 1.0\nelement vertex " + count +
         "\nproperty float x\nproperty float y\nproperty float z\nend_header\n" + body;
}

// A cloud as PCL writes it in binary, as a PLY or a PCD file.
std::string binaryFile(const std::vector<Point>& points, const std::string& extension) {
  TempDir scratch;
  pcl::PointCloud<pcl::PointXYZ> cloud;
  for (const Point& p : points) cloud.push_back(pcl::PointXYZ(p[0], p[1], p[2]));
  const std::string path = scratch.file("c." + extension);
  if ((extension == "ply" ? pcl::io::savePLYFileBinary(path, cloud) : pcl::io::savePCDFileBinary(path, cloud)) != 0)
    throw std::runtime_error("cannot write " + path);
  return readFile(path);
}

std::vector<Point> manyPoints(size_t count, float extent) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> across(-extent, extent), up(0.1f, 1.9f);
  std::vector<Point> points;
  for (size_t i = 0; i < count; ++i) points.push_back({across(random), across(random), up(random)});
  return points;
}

class BadInputTest : public ::testing::Test {
 protected:
  CommandResult run(const std::vector<std::string>& args, const RunLimits& limits = kLimits) {
    return runMapGenerator(args, dir.path(), limits);
  }

  // Runs every case on its own cloud through the positional form.
  void expectHandled(const std::vector<BadInput>& cases) {
    for (const BadInput& c : cases) {
      SCOPED_TRACE(c.name);
      boost::filesystem::remove_all(dir.file(c.file));
      boost::filesystem::remove_all(dir.file("out"));
      writeFile(dir.file(c.file), c.content);
      expectOutcome(c.status, c.severity, c.record, run({"out", c.file, "0", "2"}));
    }
  }

  static void expectOutcome(int status, char severity, const std::string& record, const CommandResult& result) {
    EXPECT_EQ(result.status, status) << result.output;
    EXPECT_TRUE(result.hasRecord(severity, record))
        << "no record '" << severity << "' with \"" << record << "\"\n" << result.output;
  }

  TempDir dir;
};

TEST_F(BadInputTest, LasFiles) {
  const std::string room = lasFile(kRoom);
  LasWriteOptions v14;
  v14.version_minor = 4;
  v14.point_format = 6;
  v14.legacy_count_zero = true;
  expectHandled({
      {"empty", "c.las", "", 1, 'E', "c.las: not a LAS file (no LASF signature)"},
      {"garbage", "c.las", garbage(4096, 1), 1, 'E', "c.las: not a LAS file"},
      {"cut in the points", "c.las", room.substr(0, room.size() - 7), 0, 'W',
       "the header declares 4 points but the file holds only 3"},
      {"declaring 2^32 - 1 points", "c.las", patched<uint32_t>(room, 107, 0xffffffffu), 0, 'W',
       "the header declares 4294967295 points but the file holds only 4"},
      {"declaring 2^63 points", "c.las", patched<uint64_t>(lasFile(kRoom, v14), 247, uint64_t{1} << 63), 0,
       'W', "the header declares 9223372036854775808 points but the file holds only 4"},
      {"x scaled beyond single precision", "c.las", patched<double>(room, 131, 1e300), 0, 'W',
       "3 of 4 points have a coordinate that is not a finite number and are left out"},
      {"points 1000 km apart", "c.las", lasFile(kFarApart), 0, 'W', kFarApartWarning},
  });
}

TEST_F(BadInputTest, PlyPcdAndObjFiles) {
  const std::string ply = binaryFile(manyPoints(50, 3.0f), "ply");
  const std::string fields = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
  const std::string non_finite = "nan nan nan\ninf -inf 1\n1 nan 1\n1 0 0.5\n0 1 1\n";
  std::string no_vertices = garbage(4096, 4);
  for (char& c : no_vertices) c = c == 'v' ? 'x' : c;
  expectHandled({
      {"empty ply", "c.ply", "", 1, 'E', "c.ply: no \"ply\" magic line"},
      {"garbage ply", "c.ply", garbage(4096, 2), 1, 'E', "failed to load ply file: c.ply: "},
      {"binary ply declaring 2e9 vertices", "c.ply",
       std::string(ply).replace(ply.find("vertex 50"), 9, "vertex 2000000000"), 1, 'E',
       "the header declares 2000000000 vertices"},
      {"ply row of six values", "c.ply", plyText("1 2 3 4 5 6\n1 2 3\n", "2"), 1, 'E',
       "failed to load map: c.ply"},
      {"ply NaN and infinite", "c.ply", plyText(non_finite, "5"), 0, 'W',
       "3 of 5 points have a coordinate that is not a finite number"},
      {"ply of faces only", "c.ply",
       "ply\nformat ascii 1.0\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n3 0 1 2\n",
       1, 'W', "pointcloud map is empty"},
      {"ply 1000 km apart", "c.ply", binaryFile(kFarApart, "ply"), 0, 'W', kFarApartWarning},

      {"empty pcd", "c.pcd", "", 1, 'E', "c.pcd: no DATA line: not a complete header"},
      {"garbage pcd", "c.pcd", garbage(4096, 3), 1, 'E', "failed to load pcd file: c.pcd: "},
      {"binary pcd declaring 1e9 points", "c.pcd",
       fields + "WIDTH 1000000000\nHEIGHT 1\nPOINTS 1000000000\nDATA binary\n" + std::string(12, '\0'), 1,
       'E', "1000000000 points of 12 bytes, at least 12000000000 bytes of data"},
      {"pcd NaN and infinite", "c.pcd", pcdText(non_finite, "5"), 0, 'W',
       "3 of 5 points have a coordinate that is not a finite number"},
      {"pcd of NaN and infinities only", "c.pcd", pcdText("nan nan nan\ninf 0 1\n", "2"), 1, 'W',
       "octotree map is empty."},
      {"pcd of no points", "c.pcd", pcdText("", "0"), 1, 'W', "pointcloud map is empty"},
      {"pcd of one point", "c.pcd", pcdText("1 0.5 0.5\n", "1"), 0, 'I', kSaved},
      {"pcd 1000 km apart", "c.pcd", binaryFile(kFarApart, "pcd"), 0, 'W', kFarApartWarning},

      {"empty obj", "c.obj", "", 1, 'W', "pointcloud map is empty"},
      {"garbage obj", "c.obj", no_vertices, 1, 'W', "pointcloud map is empty"},
      // Both made PCL's OBJ reader write past its buffer.
      {"obj with more normals than vertices", "c.obj", rows(kRoom, "v ") + rows(manyPoints(6, 1), "vn "), 0,
       'I', kSaved},
      {"obj vertex without three numbers", "c.obj", "v 1 0 0.5\nv 1 2\n", 1, 'E',
       "failed to load obj file: c.obj: line 2: a vertex needs three numbers"},
      {"obj NaN and infinite", "c.obj", "v nan nan nan\nv 1 -inf 1\nv 1 0 0.5\nv 0 1 1\n", 0,
       'W', "2 of 4 points have a coordinate that is not a finite number"},
      {"obj 1000 km apart", "c.obj", rows(kFarApart, "v "), 0, 'W', kFarApartWarning},

      // Extensions that lie about the content.
      {"PLY named .pcd", "c.pcd", plyText(rows(kRoom), "4"), 1, 'E', "no DATA line"},
      {"LAS named .pcd", "c.pcd", lasFile(kRoom), 1, 'E', "failed to load pcd file: c.pcd: "},
      {"PCD named .ply", "c.ply", pcdText(rows(kRoom), "4"), 1, 'E', "no \"ply\" magic line"},
      {"PCD named .las", "c.las", binaryFile(kRoom, "pcd"), 1, 'E', "not a LAS file (no LASF signature)"},
  });
}

TEST_F(BadInputTest, PathsThatAreNotReadableFiles) {
  for (const std::string extension : {"las", "ply", "pcd", "obj"}) {
    SCOPED_TRACE(extension);
    const std::string loading = extension == "las" ? "failed to open las file: " : "failed to load " + extension + " file: ";
    ASSERT_EQ(::mkdir(dir.file("d." + extension).c_str(), 0755), 0);
    expectOutcome(1, 'E', loading + "d." + extension + ": is a directory", run({"out", "d." + extension, "0", "2"}));
    // Opening a pipe for reading waits for a writer that never comes.
    ASSERT_EQ(::mkfifo(dir.file("p." + extension).c_str(), 0644), 0);
    expectOutcome(1, 'E', "p." + extension + ": " + (extension == "las" ? "" : "is ") + "not a regular file",
                  run({"out", "p." + extension, "0", "2"}));
    if (::geteuid() == 0) continue;  // permissions do not stop root from reading
    writeFile(dir.file("u." + extension), lasFile(kRoom));
    ::chmod(dir.file("u." + extension).c_str(), 0);
    expectOutcome(1, 'E', "Permission denied", run({"out", "u." + extension, "0", "2"}));
  }
}

TEST_F(BadInputTest, ExtentsTooLargeForTheFloorGrid) {
  // Within the octree's key range at 5 cm, yet 64000 cells a side.
  writePcd(dir.file("wide.pcd"), {{-1600.0f, -1600.0f, 0.5f}, {1600.0f, 1600.0f, 0.5f}, {1, 0, 1}});
  writeFile(dir.file("config.json"),
            configJson("out", "wide.pcd", 0.05, 0.05, "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2}]"));
  expectOutcome(1, 'E', "cells is too large for memory, refusing it", run({"config.json"}));
  EXPECT_FALSE(fileExists(dir.file("out/L1.png")));
}

// A run that fails halfway leaves every output either as it was or wholly
// replaced, and no temporary file behind.
class AtomicOutputTest : public BadInputTest {
 protected:
  void SetUp() override {
    writePcd(dir.file("first.pcd"), kRoom);
    // Large enough that its map.pcd exceeds the file size bound below.
    writePcd(dir.file("second.pcd"), manyPoints(20000, 20.0f));
    ASSERT_EQ(runConfig("out", "first.pcd").status, 0);
    before = snapshot("out");
    ASSERT_EQ(before.size(), 5u);
  }

  CommandResult runConfig(const std::string& out, const std::string& cloud, const RunLimits& limits = kLimits) {
    writeFile(dir.file("config.json"),
              configJson(out, cloud, 0.1, 0.1,
                         "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2},"
                         " {\"floor_name\": \"L2\", \"min_height\": 0.5, \"max_height\": 2}]"));
    return run({"config.json"}, limits);
  }

  // The regular files of a directory; a temporary one left behind fails the test.
  std::map<std::string, std::string> snapshot(const std::string& out) const {
    std::map<std::string, std::string> files;
    for (boost::filesystem::directory_iterator it(dir.file(out)), end; it != end; ++it) {
      const std::string name = it->path().filename().string();
      EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
      if (boost::filesystem::is_regular_file(it->path())) files[name] = readFile(it->path().string());
    }
    return files;
  }

  std::map<std::string, std::string> before;
};

TEST_F(AtomicOutputTest, FloorThatCannotBeReplacedKeepsItsOldFilesAndTheRestIsNew) {
  ASSERT_EQ(runConfig("reference", "second.pcd").status, 0);
  const auto reference = snapshot("reference");
  // A directory where L2.png stands: the rename over it fails.
  boost::filesystem::remove(dir.file("out/L2.png"));
  ASSERT_EQ(::mkdir(dir.file("out/L2.png").c_str(), 0755), 0);
  expectOutcome(1, 'E', "Failed to save grid map image: out/L2.png", runConfig("out", "second.pcd"));
  const auto after = snapshot("out");
  for (const char* name : {"map.pcd", "L1.png", "L1.yaml"}) {
    ASSERT_TRUE(after.count(name)) << name;
    EXPECT_NE(after.at(name), before.at(name)) << name << " was not replaced";
    EXPECT_EQ(after.at(name), reference.at(name)) << name << " is not the new run's whole file";
  }
  EXPECT_EQ(after.at("L2.yaml"), before.at("L2.yaml"));
  EXPECT_EQ(after.size(), 4u);
}

TEST_F(AtomicOutputTest, FullDiskLeavesEveryOldFileAsItWas) {
  RunLimits full_disk = kLimits;
  full_disk.file_size_bytes = 64 * 1024;
  const CommandResult result = runConfig("out", "second.pcd", full_disk);
  expectOutcome(1, 'W', "failed to write out/map.pcd", result);
  EXPECT_TRUE(result.hasRecord('E', "Failed to generate pcd map"));
  EXPECT_EQ(snapshot("out"), before);
}

TEST_F(AtomicOutputTest, ReadOnlyOutputLeavesEveryOldFileAsItWas) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root from writing";
  ASSERT_EQ(::chmod(dir.file("out").c_str(), 0555), 0);
  expectOutcome(1, 'W', "failed to write out/map.pcd", runConfig("out", "second.pcd"));
  EXPECT_EQ(snapshot("out"), before);
}

}  // namespace
