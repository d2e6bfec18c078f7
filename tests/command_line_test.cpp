// The tool as a user runs it: argument forms, the exit status of every kind
// of failure with its record, and the map.pcd written for each input format.
#include <boost/filesystem.hpp>
#include <cmath>
#include <gtest/gtest.h>
#include <pcl/common/transforms.h>
#include <pcl/filters/voxel_grid.h>
#include <pcl/io/ply_io.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.h"
#include "synthetic_building.h"

using namespace test_support;

namespace {

constexpr int kUsageStatus = 255;  // -1 as the shell sees it
const std::string kFloor = "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 1}]";

class CommandLineTest : public ::testing::Test {
 protected:
  CommandResult run(const std::vector<std::string>& args) { return runMapGenerator(args, dir.path()); }
  CommandResult runConfig(const std::string& json) {
    writeFile(dir.file("config.json"), json);
    return run({"config.json"});
  }
  TempDir dir;
};

TEST_F(CommandLineTest, ArgumentFormsAndTheirStatuses) {
  const std::string usage =
      "map_generator <output-path> <pointcloud-path> <min_height> <max_height> <downsample_size> <map_resolution>";
  writeFile(dir.file("bad.json"), "{\"output_path\": ");
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
      {{"a", "b"}, kUsageStatus, usage},
      {{"a", "b", "c", "d", "e"}, kUsageStatus, usage},
      {{"a", "b", "c", "d", "e", "f", "g"}, kUsageStatus, usage},
      {{"out", "cloud.pcd", "abc", "2"}, kUsageStatus, "argument 3 <min_height> must be a number, not \"abc\""},
      {{"out", "cloud.pcd", "0", "1.5m"}, kUsageStatus, "argument 4 <max_height> must be a number, not \"1.5m\""},
      {{"out", "cloud.pcd", "", "2"}, kUsageStatus, "argument 3 <min_height> must be a number, not \"\""},
      {{"out", "cloud.pcd", "0", "2", "5cm", "0.05"}, kUsageStatus,
       "argument 5 <downsample_size> must be a number, not \"5cm\""},
      {{"out", "cloud.pcd", "0", "2", "0.05", "nan"}, kUsageStatus,
       "argument 6 <map_resolution> must be a number, not \"nan\""},
      // The checks of the configuration name the argument that holds the value.
      {{"out", "cloud.pcd", "0", "2", "0.05", "0"}, kUsageStatus, "argument 6 <map_resolution> holds 0"},
      {{"out", "cloud.pcd", "0", "2", "1e-9", "0.05"}, kUsageStatus, "argument 5 <downsample_size> holds 1e-09"},
      {{"out", "cloud.pcd", "3", "2"}, kUsageStatus,
       "argument 3 <min_height> of floor \"L1\" holds 3, above its argument 4 <max_height> 2"},
      {{"", "cloud.pcd", "0", "1"}, kUsageStatus, "argument 1 <output-path> is empty"},
      {{"--help"}, 0, "map_generator <path/to/config/file>"},
      {{"--version"}, 0, "map_generator 0."},
      {{}, kUsageStatus, "config.json does not exist..."},
      {{"elsewhere.json"}, kUsageStatus, "elsewhere.json does not exist..."},
      {{"bad.json"}, kUsageStatus, "Failed to  load config "},
  };
  for (const auto& [args, status, text] : cases) {
    SCOPED_TRACE(args.empty() ? "no arguments" : args[0] + ", " + std::to_string(args.size()) + " arguments");
    const CommandResult result = run(args);
    EXPECT_EQ(result.status, status);
    EXPECT_TRUE(result.contains(text)) << result.output;
    EXPECT_FALSE(result.contains("Start Generating Maps"));
  }
}

TEST_F(CommandLineTest, FailedRunsEndWithStatusOneAndNameTheCause) {
  writePcd(dir.file("cloud.pcd"), {{1.0f, 0.0f, 0.5f}, {0.0f, 1.2f, 0.7f}, {-1.5f, -0.5f, 0.3f}});
  writeFile(dir.file("cloud.xyz"), "0 0 0\n");
  writeFile(dir.file("CLOUD.LAS"), "LASF");
  writeFile(dir.file("noextension"), "");
  ::mkdir(dir.file("v1.0").c_str(), 0755);
  writeFile(dir.file("v1.0/cloud"), "");
  writeFile(dir.file("empty.las"), lasFile({}));
  ::mkdir(dir.file("folder.las").c_str(), 0755);
  const auto config = [](double downsample, double resolution, const std::string& sensor = "[0, 0, 0]",
                         const std::string& floors = kFloor) {
    return configJson("out", "cloud.pcd", downsample, resolution, floors, "[1, 0, 0, 0]", "[0, 0, 0]", sensor);
  };
  struct Case {
    std::vector<std::string> args;  // empty: the configuration below
    std::string config;
    char severity;
    std::string record;
  };
  const std::vector<Case> cases = {
      {{"out", "missing.pcd", "0", "1"}, "", 'E', "missing.pcd dose not exist."},
      {{"out", "cloud.xyz", "0", "1"}, "", 'E', "xyz format pointcloud is not suppurted now"},
      {{"out", "CLOUD.LAS", "0", "1"}, "", 'E', "failed to load map: CLOUD.LAS"},
      {{"out", "v1.0/cloud", "0", "1"}, "", 'E', "v1.0/cloud format pointcloud is not suppurted now"},
      {{"out", "noextension", "0", "1"}, "", 'E', "noextension format pointcloud is not suppurted now"},
      {{"out", "folder.las", "0", "1"}, "", 'E', "failed to open las file: folder.las"},
      {{"out", "empty.las", "0", "1"}, "", 'W', "pointcloud map is empty"},
      {{"cloud.pcd/maps", "cloud.pcd", "0", "1"}, "", 'E', "Failed to create directory: cloud.pcd/maps: Not a directory"},
      {{"cloud.pcd", "cloud.pcd", "0", "1"}, "", 'E',
       "cannot lock the output folder cloud.pcd: cannot open cloud.pcd/.map_generator.lock (Not a directory)"},
      {{}, config(0.1, 0.05, "[5000, 0, 0]"), 'W', "could not generate key for sensor_origin_(5000 0 0)"},
      {{}, config(0.1, 0.05, "[0, 0, 0]", "[{\"floor_name\": \"L1\", \"min_height\": 7, \"max_height\": 9}]"), 'W',
       "octotree map is empty."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    boost::filesystem::remove_all(dir.file("out"));
    const CommandResult result = c.args.empty() ? runConfig(c.config) : run(c.args);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.hasRecord(c.severity, c.record)) << result.output;
    EXPECT_FALSE(fileExists(dir.file("out/L1.png")));
  }
}

// map.pcd must hold pcl::VoxelGrid's thinning, then the rigid transform.
TEST_F(CommandLineTest, EveryFormatWritesTheThinnedTransformedCloud) {
  // On a millimetre grid, which every format stores exactly.
  std::vector<Point> input;
  pcl::PointCloud<pcl::PointXYZ> cloud;
  std::string obj = "# test mesh\n";
  for (int i = 0; i < 400; ++i) {
    const Point p{std::round(std::fmod(i * 137.0f, 3000.0f)) / 1000, std::round(std::fmod(i * 291.0f, 2000.0f)) / 1000,
                  std::round(std::fmod(i * 71.0f, 1500.0f)) / 1000};
    input.push_back(p);
    cloud.push_back(pcl::PointXYZ(p[0], p[1], p[2]));
    obj += "v " + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + "\n";
  }
  writePcd(dir.file("cloud.pcd"), input);
  ASSERT_EQ(pcl::io::savePLYFileBinary(dir.file("cloud.ply"), cloud), 0);
  writeFile(dir.file("cloud.obj"), obj + "f 1 2 3\nf 2 3 4\n");
  korvane_navigation::LasWriteOptions las14;
  las14.version_minor = 4;
  las14.point_format = 6;
  writeFile(dir.file("cloud.las"), lasFile(input, las14));

  // A quarter turn about z and a lift of 1.5 m.
  Eigen::Matrix4f transform = Eigen::Matrix4f::Identity();
  transform.block<3, 3>(0, 0) = Eigen::Quaternionf(0.70710678f, 0, 0, 0.70710678f).toRotationMatrix();
  transform(2, 3) = 1.5f;
  auto expected = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>(cloud);
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setLeafSize(0.25f, 0.25f, 0.25f);
  grid.setInputCloud(expected);
  pcl::PointCloud<pcl::PointXYZ> thinned;
  grid.filter(thinned);
  pcl::transformPointCloud(thinned, thinned, transform);
  for (const std::string format : {"pcd", "ply", "obj", "las"}) {
    SCOPED_TRACE(format);
    const std::string out = "out_" + format;
    const CommandResult result = runConfig(
        configJson(out, "cloud." + format, 0.25, 0.05, "[]", "[0.70710678, 0, 0, 0.70710678]", "[0, 0, 1.5]"));
    ASSERT_EQ(result.status, 0) << result.output;
    const std::string header = readFile(dir.file(out + "/map.pcd")).substr(0, 300);
    EXPECT_NE(header.find("FIELDS x y z\nSIZE 4 4 4\nTYPE F F F"), std::string::npos) << header;
    EXPECT_NE(header.find("DATA binary\n"), std::string::npos) << header;
    const std::vector<Point> written = readPcdPoints(dir.file(out + "/map.pcd"));
    ASSERT_EQ(written.size(), thinned.size());
    for (size_t i = 0; i < written.size(); ++i) {
      for (int a = 0; a < 3; ++a) ASSERT_NEAR(written[i][a], thinned[i].data[a], 1e-5) << "point " << i;
    }
    EXPECT_TRUE(result.contains("success to save pointcloud map: " + out + "/map.pcd"));
  }
}

TEST_F(CommandLineTest, PositionalFormsMakeFloorL1) {
  std::vector<Point> walls;
  for (int i = -20; i <= 20; ++i) {
    for (int k = 0; k < 10; ++k) {
      const float z = 0.05f + 0.1f * k;
      for (const float side : {-2.0f, 2.0f}) {
        walls.push_back({i * 0.1f, side, z});
        walls.push_back({side, i * 0.1f, z});
      }
    }
  }
  writePcd(dir.file("room.pcd"), walls);
  const CommandResult result = run({"maps/site", "room.pcd", "0", "2.5"});
  ASSERT_EQ(result.status, 0) << result.output;
  const std::string yaml = readFile(dir.file("maps/site/L1.yaml"));
  EXPECT_NE(yaml.find("image: L1.png\n"), std::string::npos) << yaml;
  EXPECT_NE(yaml.find("resolution: 0.1\n"), std::string::npos) << yaml;
  EXPECT_TRUE(fileExists(dir.file("maps/site/L1.png")) && fileExists(dir.file("maps/site/map.pcd")));
  EXPECT_TRUE(result.hasRecord('I', "floor L1: ")) << "the run ends with its summary";

  const CommandResult six = run({"maps/fine", "room.pcd", "0", "2.5", "0.05", "0.025"});
  ASSERT_EQ(six.status, 0) << six.output;
  EXPECT_NE(readFile(dir.file("maps/fine/L1.yaml")).find("resolution: 0.025\n"), std::string::npos);
}

// The positional forms have no translation: a georeferenced cloud stays far
// from the origin, which the precision warning and the refusal say.
TEST_F(CommandLineTest, GeoreferencedCoordinatesAreWarnedAbout) {
  writePcd(dir.file("utm.pcd"), {{500000.0f, 4000000.0f, 10.0f}, {500001.0f, 4000001.0f, 10.5f}});
  const CommandResult result = run({"out", "utm.pcd", "0", "1"});
  EXPECT_TRUE(result.hasRecord(
      'W', "coordinates reach 4000001.0 m in the map frame, where single precision holds a point only to 0.125 m"))
      << result.output;
  EXPECT_TRUE(result.hasRecord('E', "set transform_matrix.translation to [-50000")) << result.output;
  EXPECT_EQ(result.status, 1);
  writePcd(dir.file("local.pcd"), {{50.0f, 40.0f, 1.0f}});
  EXPECT_FALSE(run({"out", "local.pcd", "0", "1"}).contains("single precision"));
}

// Runs the binary with its standard output on `output_path` (a full disk:
// /dev/full) and its records kept apart.
CommandResult runWithStandardOutput(const std::vector<std::string>& args, const std::string& dir,
                                    const std::string& output_path) {
  const std::string records = dir + "/records.txt";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(output_path.c_str(), O_WRONLY);
    const int err = ::open(records.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::chdir(dir.c_str()) != 0) ::_exit(127);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::setenv("TERM", "dumb", 1);  // records without colour codes
    ::setenv("GLOG_log_dir", dir.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(MAP_GENERATOR_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(MAP_GENERATOR_BINARY, argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  CommandResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.output = readFile(records);
  return result;
}

TEST_F(CommandLineTest, SuggestFloorsTakesItsOptionAnywhereAndNeedsNoFloors) {
  ASSERT_TRUE(korvane_navigation::writeBuildingLas(dir.file("building.las"), korvane_navigation::demoBuilding(),
                                                   korvane_navigation::planBuilding(korvane_navigation::demoBuilding()))
                  .ok);
  // Floors that could make no run: the same name twice, an inverted band.
  writeFile(dir.file("config.json"),
            configJson("maps", "building.las", 0.05, 0.05,
                       "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2},"
                       " {\"floor_name\": \"L1\", \"min_height\": 5, \"max_height\": 3}]"));
  const std::string answer = "{\"floors\": [{\"floor_name\": \"L1\", \"min_height\": 0.1, \"max_height\": 1.2}";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--suggest-floors", "config.json", "--robot-height", "1.2"},
        std::vector<std::string>{"--suggest-floors", "--robot-height", "1.2", "config.json"}}) {
    SCOPED_TRACE(args[1]);
    const CommandResult result = run(args);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(result.contains(answer)) << result.output;
  }
  const CommandResult full = runWithStandardOutput({"--suggest-floors", "config.json"}, dir.path(), "/dev/full");
  EXPECT_EQ(full.status, 1) << full.output;
  EXPECT_TRUE(full.hasRecord('E', "cannot write the suggested floors to standard output (No space left on device)"))
      << full.output;
}

}  // namespace
