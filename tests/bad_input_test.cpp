// Bad input of every kind, through the real binary. Each run must end by
// itself within a minute, with the expected status and a record that says
// what was wrong: never a signal, never an allocation on a header's word
// (runs are held to 4 GiB of address space), and never a half-written output.
#include <gtest/gtest.h>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <csignal>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>

#include "support/folder_lock.h"
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
      {"x scaled beyond single precision", "c.las", patched<double>(room, 131, 1e300), 1, 'E',
       "c.las: not one point has finite coordinates"},
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
      {"pcd of NaN and infinities only", "c.pcd", pcdText("nan nan nan\ninf 0 1\n", "2"), 1, 'E',
       "c.pcd: not one point has finite coordinates"},
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

      // PCL's reader crashed on the first two, and misread the rest.
      {"pcd comment without #", "c.pcd", "Point cloud\n" + pcdText(rows(kRoom), "4"), 1, 'E',
       "failed to load pcd file: c.pcd: header line 1 \"Point cloud\" is no PCD header line"},
      // PCL's reader gave up on a blank header line; ours reads past it.
      {"pcd blank header line", "c.pcd", "VERSION 0.7\n \n" + fields.substr(12) + "POINTS 4\nDATA ascii\n" + rows(kRoom),
       0, 'I', "4 points loaded"},
      {"pcd text short of its points", "c.pcd", pcdText(rows(kRoom), "5"), 1, 'E',
       "failed to load pcd file: c.pcd: the header declares 5 points but the file holds only 4 data lines"},
      {"ply text short of its vertices", "c.ply", plyText(rows(kRoom), "5"), 1, 'E',
       "failed to load ply file: c.ply: the header declares 5 vertex rows but the file holds only 4"},
      {"pcd word for a value", "c.pcd", pcdText("1 0 0.5\nabc 1 1\n", "2"), 1, 'E',
       "failed to load pcd file: c.pcd: line 12: \"abc\" is not a number"},
      {"pcd text after its points", "c.pcd", pcdText(rows(kRoom) + "5 5 5\n", "4"), 0, 'W',
       "c.pcd: text after the 4 points the header declares is left out"},

      // Extensions that lie about the content.
      {"PLY named .pcd", "c.pcd", plyText(rows(kRoom), "4"), 1, 'E', "header line 1 \"ply\" is no PCD header line"},
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
    expectOutcome(1, 'E', "p." + extension + ": is not a regular file",
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

TEST_F(BadInputTest, BandsWithoutPointsNameTheirFloorAndTheCloudsHeights) {
  writePcd(dir.file("room.pcd"), kRoom);
  writeFile(dir.file("config.json"),
            configJson("out", "room.pcd", 0.05, 0.05,
                       "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2},"
                       " {\"floor_name\": \"roof\", \"min_height\": 5, \"max_height\": 6.5}]"));
  const CommandResult result = run({"config.json"});
  expectOutcome(1, 'E',
                "floor \"roof\": its band from 5 m to 6.5 m holds no point; the cloud's points lie from z = 0.5 m "
                "to 1.5 m",
                result);
  EXPECT_TRUE(result.hasRecord('W', "octotree map is empty."));
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
    EXPECT_TRUE(fileExists(dir.file("out/") + korvane_navigation::kFolderLockName));
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
      EXPECT_EQ(name.find(".prev-"), std::string::npos) << name;
      if (name == korvane_navigation::kFolderLockName) continue;
      if (boost::filesystem::is_regular_file(it->path())) files[name] = readFile(it->path().string());
    }
    return files;
  }

  std::map<std::string, std::string> before;
};

TEST_F(AtomicOutputTest, FloorThatCannotBeWrittenLeavesEveryOldFileAsItWas) {
  // A directory where L2.png stands: no file can take its place.
  boost::filesystem::remove(dir.file("out/L2.png"));
  ASSERT_EQ(::mkdir(dir.file("out/L2.png").c_str(), 0755), 0);
  before.erase("L2.png");
  expectOutcome(1, 'E', "Failed to save grid map image: out/L2.png: cannot replace out/L2.png (Is a directory)",
                runConfig("out", "second.pcd"));
  EXPECT_EQ(snapshot("out"), before) << "map.pcd and L1's maps were replaced by a failed run";
}

// Starts the binary on `config` in the working directory, its records going
// to `log` there; returns its pid once a temporary output file of it is seen.
pid_t startRunAndAwaitTemporary(const std::string& dir, const std::string& config, const std::string& log,
                                bool& pending) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    if (!::freopen(log.c_str(), "w", stderr)) ::_exit(126);
    ::execl(MAP_GENERATOR_BINARY, MAP_GENERATOR_BINARY, config.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  pending = false;
  for (int i = 0; i < 20000 && !pending && child > 0; ++i) {
    boost::system::error_code ignored;
    for (boost::filesystem::directory_iterator it(dir + "/out", ignored), end; it != end && !pending; ++it)
      pending = it->path().filename().string().find(".tmp-") != std::string::npos;
    if (!pending) ::usleep(500);
  }
  return child;
}

class InterruptedRunTest : public AtomicOutputTest {
 protected:
  void SetUp() override {
    AtomicOutputTest::SetUp();
    writePcd(dir.file("large.pcd"), manyPoints(400000, 20.0f));
    writeFile(dir.file("interrupted.json"),
              configJson("out", "large.pcd", 0.02, 0.02,
                         "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2},"
                         " {\"floor_name\": \"L2\", \"min_height\": 0.5, \"max_height\": 2}]"));
  }
};

TEST_F(InterruptedRunTest, InterruptedRunLeavesEveryOldFileAndNoTemporaryFile) {
  // SIGHUP is a closed terminal or a dropped remote session.
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal_number));
    bool pending = false;
    const pid_t child = startRunAndAwaitTemporary(dir.path(), "interrupted.json", "/dev/null", pending);
    ASSERT_GT(child, 0);
    ::kill(child, signal_number);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(pending) << "no temporary file was seen";
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_EQ(snapshot("out"), before);
  }
}

// Nothing can catch SIGKILL: the next run into the folder clears what it left.
TEST_F(InterruptedRunTest, TheRunAfterAKilledOneRemovesItsTemporaryFiles) {
  bool pending = false;
  const pid_t child = startRunAndAwaitTemporary(dir.path(), "interrupted.json", "/dev/null", pending);
  ASSERT_GT(child, 0);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(pending) << "no temporary file was seen";
  std::string left;
  for (boost::filesystem::directory_iterator it(dir.file("out")), end; it != end; ++it) {
    const std::string name = it->path().filename().string();
    if (name.find(".tmp-") != std::string::npos) left = name;
  }
  ASSERT_FALSE(left.empty()) << "the killed run left no temporary file to clear";
  const CommandResult next = runConfig("out", "first.pcd");
  expectOutcome(0, 'I', "left by an interrupted run: removed out/" + left, next);
  EXPECT_EQ(snapshot("out"), before);
}

TEST_F(InterruptedRunTest, ASecondRunIntoTheSameFolderIsRefusedAtOnce) {
  bool pending = false;
  const pid_t first = startRunAndAwaitTemporary(dir.path(), "interrupted.json", "/dev/null", pending);
  ASSERT_GT(first, 0);
  ASSERT_TRUE(pending) << "the first run staged nothing";
  const CommandResult second = runConfig("out", "second.pcd");
  ::kill(first, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(first, &status, 0), first);
  expectOutcome(1, 'E', "the output folder out is in use by another map_generator run (process " +
                            std::to_string(first) + ")", second);
  EXPECT_FALSE(second.contains("success to save pointcloud map")) << second.output;
  EXPECT_EQ(snapshot("out"), before);
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

// Configurations that cannot make a run are refused before anything is
// written; the refusals themselves are tabled in config_test.
TEST_F(BadInputTest, UnusableConfigurationsWriteNothing) {
  ASSERT_TRUE(boost::filesystem::create_directories(dir.file("site")));
  writePcd(dir.file("site/map.pcd"), kRoom);
  const std::string scan = readFile(dir.file("site/map.pcd"));
  const std::string floor = "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2}]";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {configJson("out", "site/map.pcd", 0.05, 0.0, floor), "member \"map_resolution\" holds 0"},
      {configJson("out", "site/map.pcd", 0.05, 0.05, "[{\"floor_name\": \"../escape\", \"min_height\": 0, \"max_height\": 2}]"),
       "\"../escape\", which is no plain file name"},
      {configJson("site/../site/", "./site/map.pcd", 0.05, 0.05, floor),
       "member \"input_pointcloud\" names \"./site/map.pcd\", which is also the output site/../site/map.pcd"},
  };
  for (const auto& [config, record] : cases) {
    writeFile(dir.file("config.json"), config);
    const CommandResult result = run({"config.json"});
    expectOutcome(255, 'E', record, result);
    EXPECT_TRUE(result.hasRecord('E', "Failed to  load config "));
    EXPECT_FALSE(fileExists(dir.file("out")) || fileExists(dir.file("escape.png")));
  }
  EXPECT_EQ(readFile(dir.file("site/map.pcd")), scan);
}

TEST_F(BadInputTest, OctreesBeyondTheMachinesMemoryAreRefusedBeforeTheyAreBuilt) {
  // 20,000 rays of 3 m at a tenth of a millimetre: some 29 GB of cells.
  std::vector<Point> ring;
  for (int i = 0; i < 20000; ++i) {
    const double angle = 2 * M_PI * i / 20000;
    ring.push_back({static_cast<float>(3 * std::cos(angle)), static_cast<float>(3 * std::sin(angle)), 0.5f});
  }
  writePcd(dir.file("ring.pcd"), ring);
  const std::string floor = "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2}]";
  writeFile(dir.file("config.json"), configJson("out", "ring.pcd", 0.0001, 0.0001, floor));
  expectOutcome(1, 'E', "choose a coarser map_resolution than 0.0001 m", run({"config.json"}));

  // A sensor origin 2 km off a 16 m floor of 100,000 points: its rays would
  // fill a box of some 300 billion cells.
  std::vector<Point> ground;
  for (int i = 0; i < 100000; ++i) ground.push_back({0.05f * (i % 316), 0.05f * (i / 316), 0.5f});
  writePcd(dir.file("floor.pcd"), ground);
  writeFile(dir.file("config.json"),
            configJson("out", "floor.pcd", 0.05, 0.05, floor, "[1, 0, 0, 0]", "[0, 0, 0]", "[1600, 0, 1600]"));
  const CommandResult result = run({"config.json"});
  expectOutcome(1, 'E', "move sensor_origin into the building", result);
  EXPECT_TRUE(result.hasRecord('W', "m outside the bounding box of the band's points"));
  EXPECT_FALSE(fileExists(dir.file("out/map.pcd")));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSpaceBound = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSpaceBound = false;
#else
constexpr bool kAddressSpaceBound = true;
#endif
#else
constexpr bool kAddressSpaceBound = true;
#endif

// Held to 4 GiB of address space, a run with far more memory on the machine
// refuses what would not fit under its own bound, naming it, instead of
// dying of std::bad_alloc part way.
TEST_F(BadInputTest, FloorStagesBeyondTheAddressSpaceLimitAreRefusedBeforeTheyAreBuilt) {
  if (!kAddressSpaceBound) GTEST_SKIP() << "sanitized builds run without an address-space limit";
  const std::string floor = "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2}]";
  struct Case {
    const char* name;
    std::vector<Point> points;
    double resolution;
    const char* advice;
  };
  std::vector<Point> ring;  // some 6 GB of cells at half a millimetre
  for (int i = 0; i < 20000; ++i) {
    const double angle = 2 * M_PI * i / 20000;
    ring.push_back({static_cast<float>(3 * std::cos(angle)), static_cast<float>(3 * std::sin(angle)), 0.5f});
  }
  std::vector<Point> room_and_far_point = kRoom;  // a grid of 32,000 x 32,000 cells
  room_and_far_point.push_back({1600.0f, 1600.0f, 1.0f});
  const Case cases[] = {
      {"octree", ring, 0.0005, "(the address-space limit): choose a coarser map_resolution than 0.0005 m"},
      {"grid and image", room_and_far_point, 0.05,
       "(the address-space limit): crop the far points or choose a coarser map_resolution than 0.05 m"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writePcd(dir.file("cloud.pcd"), c.points);
    writeFile(dir.file("config.json"), configJson("out", "cloud.pcd", c.resolution, c.resolution, floor));
    const CommandResult result = run({"config.json"});
    expectOutcome(1, 'E', c.advice, result);
    EXPECT_FALSE(result.contains("bad_alloc")) << result.output;
    EXPECT_FALSE(fileExists(dir.file("out/map.pcd")));
  }
}

TEST_F(BadInputTest, ExportersCloudsLoadWithTheirCoordinates) {
  std::string doubles_ply = "ply\nformat binary_little_endian 1.0\nelement vertex 4\nproperty double x\n"
                            "property double y\nproperty double z\nend_header\n";
  std::string pdal_pcd = "VERSION 0.7\nFIELDS X Y Z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 4\n"
                         "HEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 4\nDATA binary\n";
  for (const Point& p : kRoom) {
    for (const float value : p) {
      const double wide = value;
      doubles_ply.append(reinterpret_cast<const char*>(&wide), 8);
      pdal_pcd.append(reinterpret_cast<const char*>(&wide), 8);
    }
  }
  std::string trailing_blanks = "ply \nformat ascii 1.0 \nelement vertex 4 \nproperty float x \n"
                                "property float y \nproperty float z \nend_header \n";
  for (const Point& p : kRoom) {
    std::string row = rows({p});
    trailing_blanks += row.insert(row.size() - 1, " ");
  }
  for (const std::string name : {"doubles.ply", "pdal.PCD", "blanks.ply"}) {
    SCOPED_TRACE(name);
    boost::filesystem::remove_all(dir.file("out"));
    writeFile(dir.file(name), name == "doubles.ply" ? doubles_ply : name == "pdal.PCD" ? pdal_pcd : trailing_blanks);
    expectOutcome(0, 'I', kSaved, run({"out", name, "0", "2"}));
    std::vector<Point> written = readPcdPoints(dir.file("out/map.pcd")), expected = kRoom;
    std::sort(written.begin(), written.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(written, expected);
  }
}

}  // namespace
