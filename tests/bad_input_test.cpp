// Bad input of every kind, through the real binary. Each run must end by
// itself within a minute, with status 0, 1 or 255 and a record that says
// what was wrong: never a signal, never an allocation on a header's word
// (runs are held to 4 GiB of address space), and never a half-written
// output.
#include <gtest/gtest.h>
#include <pcl/io/ply_io.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "formats/las_writer.h"
#include "support/test_support.h"

using namespace test_support;
using korvane_navigation::encodeLas;
using korvane_navigation::LasWriteOptions;
using nlohmann::json;

namespace {

constexpr int kUsageStatus = 255;
const RunLimits kLimits{60, uint64_t{4} << 30, 0};

// A few points around the sensor inside the default band [0, 2] m.
const std::vector<Point> kRoom = {{1.0f, 0.0f, 0.5f}, {0.0f, 1.2f, 0.7f}, {-1.5f, -0.5f, 1.0f},
                                  {2.0f, 2.0f, 1.5f}};
// Two of them a thousand kilometres out.
const std::vector<Point> kFarApart = {{1.0f, 0.0f, 0.5f}, {1e6f, 0.0f, 0.5f}, {0.0f, -1e6f, 1.0f},
                                      {-1.5f, 1.0f, 1.0f}};

struct BadInput {
  std::string name;
  std::string file;  // in the working directory
  std::function<void(const std::string& path)> make;
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

std::function<void(const std::string&)> content(const std::string& bytes) {
  return [bytes](const std::string& path) { writeFile(path, bytes); };
}

std::string las(const std::vector<Point>& points, LasWriteOptions options = {}) {
  std::vector<std::array<double, 3>> coordinates;
  for (const Point& p : points) coordinates.push_back({p[0], p[1], p[2]});
  const std::vector<uint8_t> bytes = encodeLas(coordinates, options);
  return std::string(bytes.begin(), bytes.end());
}

template <typename T>
std::string patched(std::string bytes, size_t at, T value) {
  std::memcpy(&bytes[at], &value, sizeof value);
  return bytes;
}

std::string pcdText(const std::vector<std::string>& rows, const std::string& declared = "") {
  const std::string count = declared.empty() ? std::to_string(rows.size()) : declared;
  std::string text = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH " + count +
                     "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + count + "\nDATA ascii\n";
  for (const std::string& row : rows) text += row + "\n";
  return text;
}

std::string plyText(const std::vector<std::string>& rows, const std::string& declared = "",
                    const std::string& type = "float") {
  const std::string count = declared.empty() ? std::to_string(rows.size()) : declared;
  std::string text = "ply\nformat ascii 1.0\nelement vertex " + count + "\nproperty " + type +
                     " x\nproperty " + type + " y\nproperty " + type + " z\nend_header\n";
  for (const std::string& row : rows) text += row + "\n";
  return text;
}

std::string objText(const std::vector<Point>& points, const std::string& extra = "") {
  std::string text = "# mesh\n";
  for (const Point& p : points) {
    text += "v " + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + "\n";
  }
  return text + extra;
}

std::vector<std::string> rows(const std::vector<Point>& points) {
  std::vector<std::string> text;
  for (const Point& p : points) {
    text.push_back(std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]));
  }
  return text;
}

std::string binaryPly(const std::vector<Point>& points) {
  TempDir scratch;
  pcl::PointCloud<pcl::PointXYZ> cloud;
  for (const Point& p : points) cloud.push_back(pcl::PointXYZ(p[0], p[1], p[2]));
  if (pcl::io::savePLYFileBinary(scratch.file("c.ply"), cloud) != 0) throw std::runtime_error("ply");
  return readFile(scratch.file("c.ply"));
}

std::string binaryPcd(const std::vector<Point>& points) {
  TempDir scratch;
  writePcd(scratch.file("c.pcd"), points);
  return readFile(scratch.file("c.pcd"));
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
  TempDir dir;

  CommandResult run(const std::vector<std::string>& args, const RunLimits& limits = kLimits) {
    return runMapGenerator(args, dir.path(), limits);
  }

  // Runs every case on its own cloud through the positional form.
  void expectHandled(const std::vector<BadInput>& cases) {
    for (const BadInput& c : cases) {
      const std::string path = dir.file(c.file);
      boost::filesystem::remove_all(path);
      boost::filesystem::remove_all(dir.file("out"));
      c.make(path);
      expectOutcome(c, run({"out", c.file, "0", "2"}));
    }
  }

  static void expectOutcome(const BadInput& c, const CommandResult& result) {
    EXPECT_TRUE(result.status == 0 || result.status == 1 || result.status == kUsageStatus)
        << c.name << ": ended with status " << result.status << "\n" << result.output;
    EXPECT_EQ(result.status, c.status) << c.name << "\n" << result.output;
    EXPECT_TRUE(result.hasRecord(c.severity, c.record))
        << c.name << ": no record '" << c.severity << "' with \"" << c.record << "\"\n"
        << result.output;
  }
};

TEST_F(BadInputTest, LasFiles) {
  const std::string room = las(kRoom);
  LasWriteOptions v14;
  v14.version_minor = 4;
  v14.point_format = 6;
  v14.legacy_count_zero = true;
  const std::string room14 = las(kRoom, v14);
  expectHandled({
      {"empty", "c.las", content(""), 1, 'E', "c.las: not a LAS file (no LASF signature)"},
      {"garbage", "c.las", content(garbage(4096, 1)), 1, 'E', "c.las: not a LAS file"},
      {"wrong magic", "c.las", content("LASX" + room.substr(4)), 1, 'E', "not a LAS file"},
      {"cut in the header", "c.las", content(room.substr(0, 100)), 1, 'E',
       "c.las: file shorter than the LAS header (100 bytes"},
      {"cut in the points", "c.las", content(room.substr(0, room.size() - 7)), 0, 'W',
       "the header declares 4 points but the file holds only 3"},
      {"declaring 2^32 - 1 points", "c.las", content(patched<uint32_t>(room, 107, 0xffffffffu)), 0,
       'W', "the header declares 4294967295 points but the file holds only 4"},
      {"declaring 2^63 points", "c.las", content(patched<uint64_t>(room14, 247, uint64_t{1} << 63)), 0,
       'W', "the header declares 9223372036854775808 points but the file holds only 4"},
      {"version 1.9", "c.las", content(patched<uint8_t>(room, 25, 9)), 1, 'E',
       "unsupported LAS version 1.9"},
      {"point data beyond the file", "c.las", content(patched<uint32_t>(room, 96, 1000000000u)), 1,
       'E', "offset to point data 1000000000 outside the file"},
      {"LAZ", "c.las", content(patched<uint8_t>(room, 104, 0x80)), 1, 'E',
       "compressed LAZ point data (format byte 0x80) is not supported"},
      {"records too short", "c.las", content(patched<uint16_t>(room, 105, 10)), 1, 'E',
       "point record length 10 too short for point data format 0 (needs 20)"},
      {"zero scale", "c.las", content(patched<double>(room, 131, 0.0)), 1, 'E',
       "invalid x scale factor 0"},
      {"NaN offset", "c.las", content(patched<double>(room, 163, std::nan(""))), 1, 'E',
       "invalid y offset nan"},
      {"no points", "c.las", content(las({})), 1, 'W', "pointcloud map is empty"},
      {"one point", "c.las", content(las({{1.0f, 0.5f, 0.5f}})), 0, 'I',
       "success to save pointcloud map: out/map.pcd"},
      // The one point at x = 0 survives both.
      {"x scaled to 1e30", "c.las", content(patched<double>(room, 131, 1e30)), 0, 'W',
       "3 of 4 points in the band lie outside the octree's key range"},
      {"x scaled beyond single precision", "c.las", content(patched<double>(room, 131, 1e300)), 0,
       'W', "3 of 4 points have a coordinate that is not a finite number and are left out"},
      {"points 1000 km apart", "c.las", content(las(kFarApart)), 0, 'W',
       "2 of 4 points in the band lie outside the octree's key range"},
  });
}

TEST_F(BadInputTest, PlyFiles) {
  const std::string binary = binaryPly(manyPoints(50, 3.0f));
  expectHandled({
      {"empty", "c.ply", content(""), 1, 'E', "c.ply: no \"ply\" magic line"},
      {"garbage", "c.ply", content(garbage(4096, 2)), 1, 'E', "failed to load ply file: c.ply: "},
      {"wrong magic", "c.ply", content("plx" + plyText(rows(kRoom)).substr(3)), 1, 'E',
       "no \"ply\" magic line"},
      {"binary cut in half", "c.ply", content(binary.substr(0, binary.size() / 2)), 1, 'E',
       "the header declares 50 vertices, and with its other elements at least"},
      {"text declaring 1e9 vertices", "c.ply", content(plyText(rows(kRoom), "1000000000")), 1, 'E',
       "the header declares 1000000000 vertices"},
      {"binary declaring 2e9 vertices", "c.ply",
       content(std::string(binary).replace(binary.find("vertex 50"), 9, "vertex 2000000000")), 1,
       'E', "the header declares 2000000000 vertices"},
      {"negative count", "c.ply", content(plyText(rows(kRoom), "-1")), 1, 'E',
       "an element needs a name and a whole number of rows"},
      {"double coordinates", "c.ply", content(plyText(rows(kRoom), "", "double")), 0, 'I',
       "success to save pointcloud map: out/map.pcd"},
      {"no end_header", "c.ply", content("ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n"),
       1, 'E', "no end_header line"},
      {"too many values on a row", "c.ply", content(plyText({"1 2 3 4 5 6", "1 2 3"})), 1, 'E',
       "failed to load map: c.ply"},
      {"NaN and infinite coordinates", "c.ply",
       content(plyText({"nan nan nan", "inf -inf 1", "1 nan 1", "1 0 0.5", "0 1 1"})), 0, 'W',
       "3 of 5 points have a coordinate that is not a finite number"},
      {"no vertices", "c.ply", content(plyText({})), 1, 'W', "pointcloud map is empty"},
      {"faces only", "c.ply",
       content("ply\nformat ascii 1.0\nelement face 1\nproperty list uchar int vertex_indices\n"
               "end_header\n3 0 1 2\n"),
       1, 'W', "pointcloud map is empty"},
      {"one vertex", "c.ply", content(plyText({"1 0.5 0.5"})), 0, 'I',
       "success to save pointcloud map: out/map.pcd"},
      {"points 1000 km apart", "c.ply", content(binaryPly(kFarApart)), 0, 'W',
       "2 of 4 points in the band lie outside the octree's key range"},
  });
}

TEST_F(BadInputTest, PcdFiles) {
  const std::string binary = binaryPcd(manyPoints(50, 3.0f));
  const std::string fields = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
  expectHandled({
      {"empty", "c.pcd", content(""), 1, 'E', "c.pcd: no DATA line: not a complete header"},
      {"garbage", "c.pcd", content(garbage(4096, 3)), 1, 'E', "failed to load pcd file: c.pcd: "},
      {"keywords in lower case", "c.pcd", content("version 0.7\nfields x y z\ndata ascii\n1 2 3\n"),
       1, 'E', "header line 1 \"version 0.7\" is no PCD header line"},
      {"binary cut in half", "c.pcd", content(binary.substr(0, binary.size() - 300)), 1, 'E',
       "the header declares 50 points of 12 bytes, at least 600 bytes of data, but the file holds "
       "only 300"},
      {"binary declaring 1e9 points", "c.pcd",
       content(fields + "WIDTH 1000000000\nHEIGHT 1\nPOINTS 1000000000\nDATA binary\n" +
               std::string(12, '\0')),
       1, 'E', "1000000000 points of 12 bytes, at least 12000000000 bytes of data"},
      {"text declaring 1e9 points", "c.pcd", content(pcdText(rows(kRoom), "1000000000")), 1, 'E',
       "1000000000 points of 3 values as text"},
      {"compressed declaring 1e9 points", "c.pcd",
       content(fields + "WIDTH 1000000000\nHEIGHT 1\nPOINTS 1000000000\nDATA binary_compressed\n" +
               std::string("\x04\x00\x00\x00\x00\x6c\xdc\x02\x03xyzw", 12)),
       1, 'E', "compressed data unpacks to 48000000 bytes, but 1000000000 points"},
      {"width x height wrapping to POINTS", "c.pcd",
       content(fields + "WIDTH 4294967294\nHEIGHT 4294967295\nPOINTS 2\nDATA ascii\n1 2 3\n1 2 3\n"),
       1, 'E', "WIDTH 4294967294 x HEIGHT 4294967295 differs from POINTS 2"},
      {"no DATA line", "c.pcd", content(fields + "WIDTH 2\nHEIGHT 1\nPOINTS 2\n"), 1, 'E',
       "no DATA line: not a complete header"},
      {"double coordinates", "c.pcd",
       content("VERSION 0.7\nFIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 1\n"
               "HEIGHT 1\nPOINTS 1\nDATA binary\n" + std::string(24, '\0')),
       0, 'I', "success to save pointcloud map: out/map.pcd"},
      {"binary data called Binary", "c.pcd",
       content(fields + "WIDTH 1\nHEIGHT 1\nPOINTS 1\nDATA Binary\n" + std::string(12, '\0')), 1, 'E',
       "unknown DATA encoding Binary"},
      {"NaN and infinite coordinates", "c.pcd",
       content(pcdText({"nan nan nan", "inf -inf 1", "1 nan 1", "1 0 0.5", "0 1 1"})), 0, 'W',
       "3 of 5 points have a coordinate that is not a finite number"},
      {"only NaN and infinite coordinates", "c.pcd", content(pcdText({"nan nan nan", "inf 0 1"})), 1,
       'E', "c.pcd: not one point has finite coordinates"},
      {"no points", "c.pcd", content(pcdText({})), 1, 'W', "pointcloud map is empty"},
      {"one point", "c.pcd", content(pcdText({"1 0.5 0.5"})), 0, 'I',
       "success to save pointcloud map: out/map.pcd"},
      {"points 1000 km apart", "c.pcd", content(binaryPcd(kFarApart)), 0, 'W',
       "2 of 4 points in the band lie outside the octree's key range"},
  });
}

TEST_F(BadInputTest, ObjFiles) {
  std::string no_vertices = garbage(4096, 4);
  for (char& c : no_vertices) c = c == 'v' ? 'x' : c;
  expectHandled({
      {"empty", "c.obj", content(""), 1, 'W', "pointcloud map is empty"},
      {"garbage", "c.obj", content(no_vertices), 1, 'W', "pointcloud map is empty"},
      // Both made PCL's OBJ reader write past its buffer.
      {"more normals than vertices", "c.obj", content(objText(kRoom, "vn 0 0 1\nvn 0 0 1\nvn 0 0 1\n"
                                                                     "vn 0 0 1\nvn 0 0 1\nvn 0 1 0\n")),
       0, 'I', "success to save pointcloud map: out/map.pcd"},
      {"vertices separated by tabs", "c.obj", content("v\t1\t0\t0.5\nv\t0 1 1\nv 2 2 1.5\n"), 0, 'I',
       "pointcloud size: 3 after downsampling."},
      {"vertex without three numbers", "c.obj", content("v 1 0 0.5\nv 1 2\n"), 1, 'E',
       "failed to load obj file: c.obj: line 2: a vertex needs three numbers"},
      {"NaN and infinite coordinates", "c.obj",
       content("v nan nan nan\nv 1 -inf 1\nv 1 0 0.5\nv 0 1 1\n"), 0, 'W',
       "2 of 4 points have a coordinate that is not a finite number"},
      {"faces only", "c.obj", content("f 1 2 3\nf 1 2 99\n"), 1, 'W', "pointcloud map is empty"},
      {"one vertex", "c.obj", content("v 1 0.5 0.5\n"), 0, 'I',
       "success to save pointcloud map: out/map.pcd"},
      {"points 1000 km apart", "c.obj", content(objText(kFarApart)), 0, 'W',
       "2 of 4 points in the band lie outside the octree's key range"},
  });
}

TEST_F(BadInputTest, ExtensionsThatLieAboutTheContent) {
  expectHandled({
      {"PLY named .pcd", "c.pcd", content(plyText(rows(kRoom))), 1, 'E', "is no PCD header line"},
      {"OBJ named .pcd", "c.pcd", content(objText(kRoom)), 1, 'E', "is no PCD header line"},
      {"LAS named .pcd", "c.pcd", content(las(kRoom)), 1, 'E', "failed to load pcd file: c.pcd: "},
      {"LAS named .ply", "c.ply", content(las(kRoom)), 1, 'E', "no \"ply\" magic line"},
      {"PCD named .ply", "c.ply", content(pcdText(rows(kRoom))), 1, 'E', "no \"ply\" magic line"},
      {"PCD named .las", "c.las", content(binaryPcd(kRoom)), 1, 'E',
       "not a LAS file (no LASF signature)"},
      {"PLY named .las", "c.las", content(binaryPly(kRoom)), 1, 'E', "not a LAS file"},
      {"PCD named .obj", "c.obj", content(pcdText(rows(kRoom))), 1, 'W', "pointcloud map is empty"},
  });
}

TEST_F(BadInputTest, PathsThatAreNotReadableFiles) {
  auto directory = [](const std::string& path) { ::mkdir(path.c_str(), 0755); };
  // Opening a pipe for reading waits for a writer that never comes.
  auto pipe = [](const std::string& path) { ::mkfifo(path.c_str(), 0644); };
  std::vector<BadInput> cases = {
      {"directory .las", "d.las", directory, 1, 'E', "failed to open las file: d.las: is a directory"},
      {"directory .ply", "d.ply", directory, 1, 'E', "failed to load ply file: d.ply: is a directory"},
      {"directory .pcd", "d.pcd", directory, 1, 'E', "failed to load pcd file: d.pcd: is a directory"},
      {"directory .obj", "d.obj", directory, 1, 'E', "failed to load obj file: d.obj: is a directory"},
      {"pipe .las", "p.las", pipe, 1, 'E', "failed to open las file: p.las: not a regular file"},
      {"pipe .ply", "p.ply", pipe, 1, 'E', "p.ply: is not a regular file"},
      {"pipe .pcd", "p.pcd", pipe, 1, 'E', "p.pcd: is not a regular file"},
      {"pipe .obj", "p.obj", pipe, 1, 'E', "p.obj: is not a regular file"},
  };
  if (::geteuid() != 0) {
    auto locked = [](const std::string& contents) {
      return [contents](const std::string& path) {
        writeFile(path, contents);
        ::chmod(path.c_str(), 0);
      };
    };
    cases.push_back({"unreadable .las", "u.las", locked(las(kRoom)), 1, 'E',
                     "failed to open las file: u.las: Permission denied"});
    cases.push_back({"unreadable .ply", "u.ply", locked(plyText(rows(kRoom))), 1, 'E',
                     "u.ply: cannot be opened (Permission denied)"});
    cases.push_back({"unreadable .pcd", "u.pcd", locked(pcdText(rows(kRoom))), 1, 'E',
                     "u.pcd: cannot be opened (Permission denied)"});
    cases.push_back({"unreadable .obj", "u.obj", locked(objText(kRoom)), 1, 'E',
                     "u.obj: cannot be opened (Permission denied)"});
  }
  expectHandled(cases);
}

TEST_F(BadInputTest, ExtentsTooLargeForTheFloorGrid) {
  // Within the octree's key range at 5 cm, yet 64000 cells a side.
  writePcd(dir.file("wide.pcd"), {{-1600.0f, -1600.0f, 0.5f}, {1600.0f, 1600.0f, 0.5f}, {1, 0, 1}});
  writeFile(dir.file("config.json"),
            configJson("out", "wide.pcd", 0.05, 0.05,
                       "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2}]"));
  const CommandResult result = run({"config.json"});
  expectOutcome({"1600 m from the sensor at 5 cm", "", nullptr, 1, 'E',
                 "cells is too large for memory, refusing it"},
                result);
  EXPECT_FALSE(fileExists(dir.file("out/L1.png")));
}

// Configurations: each run goes through the binary with the file as its argument.
class BadConfigTest : public BadInputTest {
 protected:
  void expectConfigs(const std::vector<std::pair<std::string, std::string>>& documents,
                     const std::function<std::string(const std::string&)>& record, int status) {
    for (const auto& [name, text] : documents) {
      writeFile(dir.file("config.json"), text);
      expectOutcome({name, "", nullptr, status, 'E', record(name)}, run({"config.json"}));
      EXPECT_FALSE(fileExists(dir.file("out"))) << name;
    }
  }

  static json base() {
    return json::parse(configJson("out", "c.pcd", 0.05, 0.05,
                                  "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2}]"));
  }
};

TEST_F(BadConfigTest, EveryMemberOfTheWrongType) {
  struct Member {
    std::string pointer;
    std::string name;
    std::string type;      // of the right value
    std::string expected;  // what the record says the member must be
  };
  const std::vector<Member> members = {
      {"/output_path", "output_path", "string", "a string"},
      {"/input_pointcloud", "input_pointcloud", "string", "a string"},
      {"/downsample_size", "downsample_size", "number", "a number"},
      {"/map_resolution", "map_resolution", "number", "a number"},
      {"/transform_matrix", "transform_matrix", "object", "an object"},
      {"/transform_matrix/rotation", "rotation", "numbers", "an array of numbers"},
      {"/transform_matrix/translation", "translation", "numbers", "an array of numbers"},
      {"/sensor_origin", "sensor_origin", "numbers", "an array of numbers"},
      {"/floors/0", "floors", "object", "an object"},
      {"/floors/0/floor_name", "floor_name", "string", "a string"},
      {"/floors/0/min_height", "min_height", "number", "a number"},
      {"/floors/0/max_height", "max_height", "number", "a number"},
  };
  // The array holds strings, wrong for every member; a rotation or
  // translation of numbers but the wrong length stops the process through
  // its fatal check by design.
  const std::vector<std::pair<std::string, json>> values = {
      {"number", 7},       {"string", "7"},        {"boolean", true},
      {"null", nullptr},   {"array", {"a", "b", "c", "d"}}, {"object", {{"a", 1}}}};
  int tried = 0;
  for (const Member& member : members) {
    for (const auto& [type, value] : values) {
      if (type == member.type) continue;
      json document = base();
      document[json::json_pointer(member.pointer)] = value;
      writeFile(dir.file("config.json"), document.dump(2));
      const std::string record = "member \"" + member.name + "\" must be " + member.expected;
      expectOutcome({member.pointer + " as " + type, "", nullptr, kUsageStatus, 'E', record},
                    run({"config.json"}));
      ++tried;
    }
  }
  // The floors themselves: an array, an object of floors or null are fine.
  for (const json& value : {json(7), json("L1"), json(false)}) {
    json document = base();
    document["floors"] = value;
    writeFile(dir.file("config.json"), document.dump());
    expectOutcome({"floors as " + value.dump(), "", nullptr, kUsageStatus, 'E',
                   "member \"floors\" must be an object"},
                  run({"config.json"}));
    ++tried;
  }
  EXPECT_EQ(tried, 9 * 5 + 3 * 6 + 3);
  EXPECT_FALSE(fileExists(dir.file("out")));
}

TEST_F(BadConfigTest, EveryRequiredMemberMissing) {
  std::vector<std::pair<std::string, std::string>> documents;
  for (const char* pointer : {"/output_path", "/input_pointcloud", "/downsample_size",
                              "/map_resolution", "/transform_matrix", "/transform_matrix/rotation",
                              "/transform_matrix/translation", "/sensor_origin",
                              "/floors/0/floor_name", "/floors/0/min_height", "/floors/0/max_height"}) {
    json document = base();
    const json::json_pointer at(pointer);
    document[at.parent_pointer()].erase(at.back());
    documents.emplace_back(at.back(), document.dump());
  }
  expectConfigs(documents,
                [](const std::string& name) { return "member \"" + name + "\" is missing"; },
                kUsageStatus);
}

TEST_F(BadConfigTest, DocumentsThatAreNotConfigurations) {
  const std::string valid = base().dump(2);
  std::string nested;
  for (int i = 0; i < 100000; ++i) nested += "[";
  for (int i = 0; i < 100000; ++i) nested += "]";
  const std::vector<std::pair<std::string, std::string>> not_json = {
      {"empty", ""},
      {"garbage", garbage(2048, 5)},
      {"cut short", valid.substr(0, valid.size() / 2)},
      {"NUL inside", valid.substr(0, 20) + std::string(1, '\0') + valid.substr(20)},
      {"number beyond double", "{\"output_path\": 1e400}"},
      {"NaN", "{\"output_path\": NaN}"},
  };
  expectConfigs(not_json, [](const std::string&) { return "is not valid JSON"; }, kUsageStatus);
  expectConfigs({{"100000 nested arrays", nested}},
                [](const std::string&) { return "member \"the document\" must be an object, not array"; },
                kUsageStatus);

  json huge_rotation = base(), huge_translation = base();
  huge_rotation["transform_matrix"]["rotation"] = {1e300, 1e300, 0, 0};
  huge_translation["transform_matrix"]["translation"] = {0, 0, -1e39};
  expectConfigs({{"rotation", huge_rotation.dump()}, {"translation", huge_translation.dump()}},
                [](const std::string& name) {
                  return "member \"" + name + "\" holds ";
                },
                kUsageStatus);
}

TEST_F(BadConfigTest, PathsThatAreNotRegularFiles) {
  ASSERT_EQ(::mkdir(dir.file("folder.json").c_str(), 0755), 0);
  expectOutcome({"directory", "", nullptr, kUsageStatus, 'E', "folder.json: is a directory"},
                run({"folder.json"}));
  // Opening it would wait for a writer forever.
  ASSERT_EQ(::mkfifo(dir.file("pipe.json").c_str(), 0644), 0);
  expectOutcome({"pipe", "", nullptr, kUsageStatus, 'E', "pipe.json: is not a regular file"},
                run({"pipe.json"}));
}

TEST_F(BadConfigTest, UnreadableFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root from reading";
  writeFile(dir.file("locked.json"), base().dump());
  ::chmod(dir.file("locked.json").c_str(), 0);
  expectOutcome({"unreadable", "", nullptr, kUsageStatus, 'E',
                 "locked.json: cannot be opened for reading (Permission denied)"},
                run({"locked.json"}));
}

TEST_F(BadConfigTest, ValuesThatCannotMakeARunAreRefusedBeforeAnythingIsWritten) {
  writePcd(dir.file("c.pcd"), kRoom);
  const json floor = {{"floor_name", "L1"}, {"min_height", 0}, {"max_height", 2}};
  auto named = [&](const std::string& name) {
    json other = floor;
    other["floor_name"] = name;
    return other;
  };
  struct Case {
    std::string name;
    std::string pointer;
    json value;
    int status;
    char severity;
    std::string record;
  };
  const std::vector<Case> cases = {
      {"zero voxel", "/downsample_size", 0, kUsageStatus, 'E',
       "member \"downsample_size\" holds 0: it must be a finite size of at least 1e-06 m"},
      {"voxel below single precision's reach", "/downsample_size", 1e-40, kUsageStatus, 'E',
       "member \"downsample_size\" holds 1e-40"},
      {"voxel beyond single precision", "/downsample_size", 1e300, kUsageStatus, 'E',
       "member \"downsample_size\" holds 1e+300"},
      {"zero resolution", "/map_resolution", 0, kUsageStatus, 'E',
       "member \"map_resolution\" holds 0: it must be a finite size of at least 0.0001 m"},
      {"negative resolution", "/map_resolution", -1, kUsageStatus, 'E', "member \"map_resolution\" holds -1"},
      {"resolution the YAML rounds to 0", "/map_resolution", 4e-7, kUsageStatus, 'E',
       "member \"map_resolution\" holds 4e-07"},
      {"resolution beyond single precision", "/map_resolution", 1e300, kUsageStatus, 'E',
       "member \"map_resolution\" holds 1e+300"},
      {"floor name climbing out", "/floors", json::array({named("../escape")}), kUsageStatus, 'E',
       "member \"floor_name\" holds \"../escape\", which is no plain file name: it holds a \"/\""},
      {"floor name in a folder", "/floors", json::array({named("sub/L1")}), kUsageStatus, 'E',
       "\"sub/L1\", which is no plain file name"},
      {"empty floor name", "/floors", json::array({named("")}), kUsageStatus, 'E',
       "member \"floor_name\" holds \"\", which is no plain file name: it is empty"},
      {"hidden floor name", "/floors", json::array({named(".L1")}), kUsageStatus, 'E',
       "it starts with a \".\""},
      {"two floors of one name", "/floors", json::array({floor, named("L2"), floor}), kUsageStatus, 'E',
       "member \"floor_name\" holds \"L1\" twice"},
      {"sensor far outside the key range", "/sensor_origin", {1e30, 0, 0}, 1, 'W',
       "could not generate key for sensor_origin_"},
  };
  for (const Case& c : cases) {
    json document = base();
    document[json::json_pointer(c.pointer)] = c.value;
    writeFile(dir.file("config.json"), document.dump());
    const CommandResult result = run({"config.json"});
    expectOutcome({c.name, "", nullptr, c.status, c.severity, c.record}, result);
    if (c.status == kUsageStatus) {
      EXPECT_TRUE(result.hasRecord('E', "Failed to  load config ")) << c.name;
      EXPECT_FALSE(fileExists(dir.file("out"))) << c.name;
    }
  }
}

TEST_F(BadConfigTest, InputThatIsAlsoAnOutputIsRefused) {
  ASSERT_TRUE(boost::filesystem::create_directories(dir.file("site/maps")));
  writePcd(dir.file("site/maps/map.pcd"), kRoom);
  writePcd(dir.file("site/maps/L1.png"), kRoom);
  const std::string scan = readFile(dir.file("site/maps/map.pcd"));
  const struct {
    std::string output;
    std::string input;
    std::string record;
  } cases[] = {
      {"site/maps", "site/maps/map.pcd", "which is also the output site/maps/map.pcd"},
      {"site/../site/maps/", "./site/maps/map.pcd", "which is also the output"},
      {"site/maps", "site/maps/L1.png", "which is also the output site/maps/L1.png"},
  };
  for (const auto& c : cases) {
    json document = base();
    document["output_path"] = c.output;
    document["input_pointcloud"] = c.input;
    document["floors"] = json::array({{{"floor_name", "L1"}, {"min_height", 0}, {"max_height", 2}}});
    writeFile(dir.file("config.json"), document.dump());
    expectOutcome({c.input, "", nullptr, kUsageStatus, 'E', c.record}, run({"config.json"}));
  }
  EXPECT_EQ(readFile(dir.file("site/maps/map.pcd")), scan);
}

TEST_F(BadConfigTest, OctreesBeyondTheMachinesMemoryAreRefusedBeforeTheyAreBuilt) {
  // 20,000 rays of 3 m at a tenth of a millimetre: some 29 GB of cells.
  std::vector<Point> ring;
  for (int i = 0; i < 20000; ++i) {
    const double angle = 2 * M_PI * i / 20000;
    ring.push_back({static_cast<float>(3 * std::cos(angle)), static_cast<float>(3 * std::sin(angle)), 0.5f});
  }
  writePcd(dir.file("ring.pcd"), ring);
  json fine = base();
  fine["input_pointcloud"] = "ring.pcd";
  fine["downsample_size"] = 0.0001;
  fine["map_resolution"] = 0.0001;
  writeFile(dir.file("config.json"), fine.dump());
  expectOutcome({"fine cells", "", nullptr, 1, 'E', "choose a coarser map_resolution than 0.0001 m"},
                run({"config.json"}));

  // A sensor origin 600 m off a 16 m floor of 100,000 points.
  std::vector<Point> floor;
  for (int i = 0; i < 100000; ++i) floor.push_back({0.05f * (i % 316), 0.05f * (i / 316), 0.5f});
  writePcd(dir.file("floor.pcd"), floor);
  json far = base();
  far["input_pointcloud"] = "floor.pcd";
  far["sensor_origin"] = {470, 0, 400};
  writeFile(dir.file("config.json"), far.dump());
  const CommandResult result = run({"config.json"});
  EXPECT_TRUE(result.hasRecord('W', "m outside the bounding box of the band's points")) << result.output;
  EXPECT_TRUE(result.hasRecord('E', "move sensor_origin into the building"));
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(fileExists(dir.file("out/map.pcd")));
}

// A run that fails halfway leaves every output either as it was or wholly
// replaced, and no temporary file behind.
class AtomicOutputTest : public BadInputTest {
 protected:
  const std::string floors =
      "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2},"
      " {\"floor_name\": \"L2\", \"min_height\": 0.5, \"max_height\": 2}]";

  void SetUp() override {
    writePcd(dir.file("first.pcd"), kRoom);
    // Large enough that its map.pcd exceeds the file size bound below.
    writePcd(dir.file("second.pcd"), manyPoints(20000, 20.0f));
    ASSERT_EQ(runConfig("out", "first.pcd").status, 0);
    before = snapshot("out");
    ASSERT_EQ(before.size(), 5u);
  }

  CommandResult runConfig(const std::string& out, const std::string& cloud,
                          const RunLimits& limits = kLimits) {
    writeFile(dir.file("config.json"), configJson(out, cloud, 0.1, 0.1, floors));
    return run({"config.json"}, limits);
  }

  std::map<std::string, std::string> snapshot(const std::string& out) const {
    std::map<std::string, std::string> files;
    for (boost::filesystem::directory_iterator it(dir.file(out)), end; it != end; ++it) {
      if (boost::filesystem::is_regular_file(it->path())) {
        files[it->path().filename().string()] = readFile(it->path().string());
      }
    }
    return files;
  }

  std::vector<std::string> temporaries(const std::string& out) const {
    std::vector<std::string> found;
    for (boost::filesystem::recursive_directory_iterator it(dir.file(out)), end; it != end; ++it) {
      if (it->path().filename().string().find(".tmp-") != std::string::npos) {
        found.push_back(it->path().string());
      }
    }
    return found;
  }

  std::map<std::string, std::string> before;
};

TEST_F(AtomicOutputTest, FloorThatCannotBeWrittenLeavesEveryOldFileAsItWas) {
  // A directory where L2.png stands: no file can take its place.
  boost::filesystem::remove(dir.file("out/L2.png"));
  ASSERT_EQ(::mkdir(dir.file("out/L2.png").c_str(), 0755), 0);
  before.erase("L2.png");

  const CommandResult result = runConfig("out", "second.pcd");
  expectOutcome({"L2.png a directory", "", nullptr, 1, 'E',
                 "Failed to save grid map image: out/L2.png: cannot replace out/L2.png (Is a directory)"},
                result);
  EXPECT_EQ(snapshot("out"), before) << "map.pcd and L1's maps were replaced by a failed run";
  EXPECT_EQ(temporaries("out"), std::vector<std::string>());
}

TEST_F(AtomicOutputTest, InterruptedRunLeavesEveryOldFileAndNoTemporaryFile) {
  writePcd(dir.file("large.pcd"), manyPoints(400000, 20.0f));
  writeFile(dir.file("config.json"), configJson("out", "large.pcd", 0.02, 0.02, floors));
  for (const int signal_number : {SIGINT, SIGTERM}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::chdir(dir.path().c_str());
      ::freopen("/dev/null", "w", stderr);
      ::execl(MAP_GENERATOR_BINARY, MAP_GENERATOR_BINARY, "config.json", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Interrupted while map.pcd waits in its temporary file.
    bool pending = false;
    for (int i = 0; i < 20000 && !pending; ++i) {
      pending = !temporaries("out").empty();
      if (!pending) ::usleep(500);
    }
    ::kill(child, signal_number);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(pending) << "no temporary file was seen";
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_EQ(snapshot("out"), before);
    EXPECT_EQ(temporaries("out"), std::vector<std::string>());
  }
}

TEST_F(AtomicOutputTest, FullDiskLeavesEveryOldFileAsItWas) {
  RunLimits full_disk = kLimits;
  full_disk.file_size_bytes = 64 * 1024;
  const CommandResult result = runConfig("out", "second.pcd", full_disk);
  expectOutcome({"map.pcd beyond the disk", "", nullptr, 1, 'W', "failed to write out/map.pcd"},
                result);
  EXPECT_TRUE(result.hasRecord('E', "Failed to generate pcd map"));
  EXPECT_EQ(snapshot("out"), before);
  EXPECT_EQ(temporaries("out"), std::vector<std::string>());
}

TEST_F(AtomicOutputTest, ReadOnlyOutputLeavesEveryOldFileAsItWas) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root from writing";
  ASSERT_EQ(::chmod(dir.file("out").c_str(), 0555), 0);
  const CommandResult result = runConfig("out", "second.pcd");
  expectOutcome({"read-only output", "", nullptr, 1, 'W', "failed to write out/map.pcd"}, result);
  EXPECT_EQ(snapshot("out"), before);
  EXPECT_EQ(temporaries("out"), std::vector<std::string>());
}

// Files PCL's readers crashed on, misread or refused without a reason, and
// exporters' files they read correctly that were refused.
TEST_F(BadInputTest, PointCloudFilesReadAsPclReadsThem) {
  const std::string xyz = "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\n";
  std::string room_rows;
  for (const std::string& row : rows(kRoom)) room_rows += row + "\n";
  expectHandled({
      // PCL's reader crashed on both.
      {"PCD comment without #", "c.pcd", content("Point cloud\n" + pcdText(rows(kRoom))), 1, 'E',
       "failed to load pcd file: c.pcd: header line 1 \"Point cloud\" is no PCD header line"},
      {"PCD blank header line", "c.pcd", content("VERSION 0.7\n \n" + xyz + "POINTS 4\nDATA ascii\n" + room_rows),
       1, 'E', "failed to load pcd file: c.pcd: header line 2 is blank"},
      {"PCD unknown line after FIELDS", "c.pcd", content(xyz + "made by hand\nPOINTS 4\nDATA ascii\n" + room_rows),
       1, 'E', "c.pcd: header line 4 \"made by hand\" is no PCD header line"},
      {"PCD text short of its points", "c.pcd", content(pcdText(rows(kRoom), "5")), 1, 'E',
       "failed to load pcd file: c.pcd: the header declares 5 points but the file holds only 4 data lines"},
      {"PLY text short of its vertices", "c.ply", content(plyText(rows(kRoom), "5")), 1, 'E',
       "failed to load ply file: c.ply: the header declares 5 vertex rows but the file holds only 4"},
      {"PCD word for a value", "c.pcd", content(pcdText({"1 0 0.5", "abc 1 1"})), 1, 'E',
       "failed to load pcd file: c.pcd: line 12: \"abc\" is not a number"},
      {"PLY row of too many values", "c.ply", content(plyText({"1 2 3 4 5 6", "1 2 3"})), 1, 'E',
       "failed to load ply file: c.ply: line 8 holds more values than a vertex row declares"},
      {"PCD text after its points", "c.pcd", content(pcdText(rows(kRoom)) + "5 5 5\n"), 0, 'W',
       "c.pcd: text after the 4 points the header declares is left out"},
  });
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
  for (const std::string& row : rows(kRoom)) trailing_blanks += row + " \n";
  const std::vector<std::pair<std::string, std::string>> files = {
      {"doubles.ply", doubles_ply}, {"pdal.pcd", pdal_pcd}, {"blanks.ply", trailing_blanks}};
  for (const auto& [name, bytes] : files) {
    boost::filesystem::remove_all(dir.file("out"));
    writeFile(dir.file(name), bytes);
    expectOutcome({name, name, nullptr, 0, 'I', "success to save pointcloud map: out/map.pcd"},
                  run({"out", name, "0", "2"}));
    EXPECT_EQ(sortedPoints(readPcdPoints(dir.file("out/map.pcd"))), sortedPoints(kRoom)) << name;
  }
}

}  // namespace
