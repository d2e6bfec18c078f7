// The tool as a user runs it: argument forms, exit statuses, the records of
// every failure, and the map.pcd written for each input format.
#include <cmath>
#include <gtest/gtest.h>
#include <pcl/common/transforms.h>
#include <pcl/filters/voxel_grid.h>
#include <pcl/io/ply_io.h>
#include <sys/stat.h>
#include <unistd.h>

#include "formats/las_writer.h"
#include "support/test_support.h"

using namespace test_support;

namespace {

constexpr int kUsageStatus = 255;  // -1 as the shell sees it

std::vector<Point> gridOfPoints(float spacing, int nx, int ny, int nz, float z0 = 0.0f) {
  std::vector<Point> points;
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j)
      for (int k = 0; k < nz; ++k) points.push_back({i * spacing, j * spacing, z0 + k * spacing});
  return points;
}

// What map.pcd must hold: pcl::VoxelGrid's thinning, then the rigid transform.
std::vector<Point> expectedMap(const std::vector<Point>& input, float leaf,
                               const Eigen::Matrix4f& transform) {
  auto cloud = std::make_shared<pcl::PointCloud<pcl::PointXYZ>>();
  for (const Point& p : input) cloud->push_back(pcl::PointXYZ(p[0], p[1], p[2]));
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setLeafSize(leaf, leaf, leaf);
  grid.setInputCloud(cloud);
  pcl::PointCloud<pcl::PointXYZ> thinned;
  grid.filter(thinned);
  pcl::transformPointCloud(thinned, thinned, transform);
  std::vector<Point> points;
  for (const pcl::PointXYZ& p : thinned.points) points.push_back({p.x, p.y, p.z});
  return sortedPoints(points);
}

class CommandLineTest : public ::testing::Test {
 protected:
  TempDir dir;
  CommandResult run(const std::vector<std::string>& args) { return runMapGenerator(args, dir.path()); }
  CommandResult runConfig(const std::string& json) {
    writeFile(dir.file("config.json"), json);
    return run({"config.json"});
  }
};

TEST_F(CommandLineTest, ArgumentCountsOtherThanZeroOneFourOrSixPrintTheUsage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"a", "b"}, {"a", "b", "c"}, {"a", "b", "c", "d", "e"},
        {"a", "b", "c", "d", "e", "f", "g"}}) {
    const CommandResult result = run(args);
    EXPECT_EQ(result.status, kUsageStatus) << args.size() << " arguments";
    EXPECT_TRUE(result.hasRecord('I', "map_generator Usage:")) << result.output;
    EXPECT_TRUE(result.contains(
        "map_generator <output-path> <pointcloud-path> <min_height> <max_height> "
        "<downsample_size> <map_resolution>"));
    EXPECT_FALSE(result.contains("Start Generating Maps"));
  }
}

TEST_F(CommandLineTest, HelpAndVersionEndWithSuccess) {
  for (const char* flag : {"--help", "-h"}) {
    const CommandResult result = run({flag});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.contains("map_generator <path/to/config/file>")) << result.output;
  }
  const CommandResult version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.contains("map_generator 0.")) << version.output;
}

TEST_F(CommandLineTest, MissingConfigurationFileEndsWithMinusOne) {
  const CommandResult result = run({});
  EXPECT_EQ(result.status, kUsageStatus);
  EXPECT_EQ(result.count("config.json does not exist..."), 1) << result.output;
  EXPECT_TRUE(result.hasRecord('E', "config.json does not exist..."));
  const CommandResult named = run({"elsewhere.json"});
  EXPECT_EQ(named.status, kUsageStatus);
  EXPECT_TRUE(named.contains("elsewhere.json does not exist..."));
}

TEST_F(CommandLineTest, UnusableConfigurationsFailToLoad) {
  const std::string base = configJson("out", "cloud.pcd", 0.05, 0.05);
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string text = base;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"syntax error", "{\"output_path\": "},
      {"empty file", ""},
      {"comment", "// maps\n" + base},
      {"trailing text", base + "x"},
      {"root not an object", "[1, 2]"},
      {"output_path missing", replace("\"output_path\": \"out\",", "")},
      {"downsample_size quoted", replace("\"downsample_size\": 0.05", "\"downsample_size\": \"0.05\"")},
      {"map_resolution boolean", replace("\"map_resolution\": 0.05", "\"map_resolution\": true")},
      {"transform_matrix missing", replace("\"transform_matrix\"", "\"transform\"")},
      {"rotation with a string", replace("[1, 0, 0, 0]", "[1, 0, \"0\", 0]")},
      {"translation missing, rotation too short",
       replace("\"rotation\": [1, 0, 0, 0], \"translation\": [0, 0, 0]", "\"rotation\": [1, 0, 0]")},
      {"sensor_origin string", replace("\"sensor_origin\": [0, 0, 0]", "\"sensor_origin\": \"0\"")},
      {"sensor_origin short", replace("\"sensor_origin\": [0, 0, 0]", "\"sensor_origin\": [0, 0]")},
      {"floors number", replace("\"floors\": []", "\"floors\": 3")},
      {"floor not an object", replace("\"floors\": []", "\"floors\": [[0, 1]]")},
      {"floor lacks a member",
       replace("\"floors\": []", "\"floors\": [{\"floor_name\": \"L1\", \"min_height\": 0}]")},
      {"floor name a number",
       replace("\"floors\": []",
               "\"floors\": [{\"floor_name\": 1, \"min_height\": 0, \"max_height\": 1}]")},
  };
  for (const auto& c : cases) {
    const CommandResult result = runConfig(c.second);
    EXPECT_EQ(result.status, kUsageStatus) << c.first;
    EXPECT_EQ(result.count("Failed to  load config "), 1) << c.first << "\n" << result.output;
    EXPECT_TRUE(result.hasRecord('E', "Failed to  load config ")) << c.first;
    EXPECT_TRUE(result.contains("config.json: ")) << c.first << ": the cause names the file";
    EXPECT_FALSE(result.contains("Start Generating Maps")) << c.first;
    EXPECT_FALSE(fileExists(dir.file("out"))) << c.first;
  }
}

TEST_F(CommandLineTest, DirectoryAsConfigurationFailsToLoad) {
  ASSERT_EQ(::mkdir(dir.file("folder.json").c_str(), 0755), 0);
  const CommandResult folder = run({"folder.json"});
  EXPECT_EQ(folder.status, kUsageStatus);
  EXPECT_TRUE(folder.contains("Failed to  load config ")) << folder.output;
}

TEST_F(CommandLineTest, UnreadableConfigurationFailsToLoad) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root from reading";
  writeFile(dir.file("locked.json"), configJson("out", "cloud.pcd", 0.05, 0.05));
  ::chmod(dir.file("locked.json").c_str(), 0);
  const CommandResult locked = run({"locked.json"});
  EXPECT_EQ(locked.status, kUsageStatus);
  EXPECT_TRUE(locked.contains("Failed to  load config ")) << locked.output;
}

TEST_F(CommandLineTest, WrongTransformLengthsAreRefusedWithTheMemberNamed) {
  const CommandResult rotation =
      runConfig(configJson("out", "cloud.pcd", 0.05, 0.05, "\"not floors\"", "[1, 0, 0]"));
  EXPECT_EQ(rotation.status, kUsageStatus);
  EXPECT_TRUE(rotation.contains("member \"rotation\" must hold four numbers w, x, y, z, not 3"))
      << rotation.output;
  EXPECT_TRUE(rotation.contains("Failed to  load config "));

  const CommandResult translation =
      runConfig(configJson("out", "cloud.pcd", 0.05, 0.05, "[]", "[1, 0, 0, 0]", "[0, 0]"));
  EXPECT_EQ(translation.status, kUsageStatus);
  EXPECT_TRUE(translation.contains("member \"translation\" must hold three numbers x, y, z, not 2"))
      << translation.output;
  EXPECT_FALSE(fileExists(dir.file("out")));
}

TEST_F(CommandLineTest, FailedStagesEndWithStatusOne) {
  writePcd(dir.file("cloud.pcd"), gridOfPoints(0.1f, 5, 5, 5));
  writeFile(dir.file("cloud.xyz"), "0 0 0\n");
  writeFile(dir.file("CLOUD.LAS"), "LASF");
  writeFile(dir.file("noextension"), "");
  writeFile(dir.file("trailing."), "");
  ASSERT_EQ(::mkdir(dir.file("v1.0").c_str(), 0755), 0);
  writeFile(dir.file("v1.0/cloud"), "");

  struct Case {
    std::vector<std::string> args;
    std::string record;
  };
  const std::vector<Case> cases = {
      {{"out", "missing.pcd", "0", "1"}, "missing.pcd dose not exist."},
      {{"out", "cloud.xyz", "0", "1"}, "xyz format pointcloud is not suppurted now"},
      {{"out", "CLOUD.LAS", "0", "1"}, "failed to load map: CLOUD.LAS"},
      {{"out", "noextension", "0", "1"}, "noextension format pointcloud is not suppurted now"},
      {{"out", "trailing.", "0", "1"}, "]  format pointcloud is not suppurted now"},
      {{"out", "v1.0/cloud", "0", "1"}, "v1.0/cloud format pointcloud is not suppurted now"},
      {{"", "cloud.pcd", "0", "1"}, "Failed to create directory: "},
  };
  for (const Case& c : cases) {
    const CommandResult result = run(c.args);
    EXPECT_EQ(result.status, 1) << c.args[1];
    EXPECT_TRUE(result.hasRecord('E', c.record)) << c.record << "\n" << result.output;
    EXPECT_EQ(result.count("Failed to generate pcd map"), 1) << result.output;
    EXPECT_FALSE(result.contains("Generate Nav Map for :"));
  }
}

TEST_F(CommandLineTest, FloorStagesThatFailStopTheRun) {
  writePcd(dir.file("cloud.pcd"), gridOfPoints(0.1f, 10, 10, 5, 0.2f));
  const std::string floor = "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 1}]";
  const CommandResult origin = runConfig(
      configJson("out", "cloud.pcd", 0.1, 0.05, floor, "[1, 0, 0, 0]", "[0, 0, 0]", "[5000, 0, 0]"));
  EXPECT_EQ(origin.status, 1);
  EXPECT_TRUE(origin.hasRecord('W', "could not generate key for sensor_origin_(5000 0 0)")) << origin.output;
  EXPECT_TRUE(origin.hasRecord('E', "Failed to construct octomap"));

  const std::string empty_band = "[{\"floor_name\": \"L1\", \"min_height\": 7, \"max_height\": 9}]";
  const CommandResult band = runConfig(configJson("out", "cloud.pcd", 0.1, 0.05, empty_band));
  EXPECT_EQ(band.status, 1);
  EXPECT_TRUE(band.hasRecord('W', "octotree map is empty.")) << band.output;
  EXPECT_TRUE(band.hasRecord('E', "Failed to generate nav map"));
  EXPECT_FALSE(fileExists(dir.file("out/L1.png")));
}

TEST_F(CommandLineTest, LasPathThatCannotBeOpenedFailsToLoad) {
  ASSERT_EQ(::mkdir(dir.file("folder.las").c_str(), 0755), 0);
  const CommandResult result = run({"out", "folder.las", "0", "1"});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.hasRecord('E', "failed to open las file: folder.las")) << result.output;
  EXPECT_TRUE(result.hasRecord('E', "failed to load map: folder.las"));
}

TEST_F(CommandLineTest, OutputPathThatIsAFileFailsTheWrite) {
  writePcd(dir.file("cloud.pcd"), gridOfPoints(0.1f, 5, 5, 5));
  writeFile(dir.file("taken"), "precious");
  const CommandResult result = run({"taken", "cloud.pcd", "0", "1"});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.hasRecord('W', "taken/map.pcd")) << result.output;
  EXPECT_TRUE(result.contains("Failed to generate pcd map"));
  EXPECT_EQ(readFile(dir.file("taken")), "precious");
}

TEST_F(CommandLineTest, EmptyCloudsStopBeforeTheOutputDirectory) {
  korvane_navigation::LasWriteOptions options;
  const auto bytes = korvane_navigation::encodeLas({}, options);
  writeFile(dir.file("empty.las"), std::string(bytes.begin(), bytes.end()));
  const CommandResult result = run({"out", "empty.las", "0", "1"});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.hasRecord('W', "pointcloud map is empty")) << result.output;
  EXPECT_FALSE(fileExists(dir.file("out")));
}

TEST_F(CommandLineTest, UnreadableCloudsFailToLoad) {
  writeFile(dir.file("garbage.pcd"), "this is not a point cloud\n");
  writeFile(dir.file("empty.pcd"), "");
  writeFile(dir.file("garbage.ply"), "ply\nformat nonsense\n");
  writeFile(dir.file("garbage.las"), std::string(400, 'x'));
  for (const char* name : {"garbage.pcd", "empty.pcd", "garbage.ply", "garbage.las"}) {
    const CommandResult result = run({"out", name, "0", "1"});
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_TRUE(result.contains(std::string("failed to load map: ") + name)) << result.output;
    EXPECT_TRUE(result.contains("Failed to generate pcd map"));
  }
}

TEST_F(CommandLineTest, EveryFormatWritesTheThinnedTransformedCloud) {
  std::vector<Point> input;
  for (int i = 0; i < 400; ++i) {
    input.push_back({std::fmod(i * 0.137f, 3.0f), std::fmod(i * 0.291f, 2.0f), std::fmod(i * 0.071f, 1.5f)});
  }
  writePcd(dir.file("cloud.pcd"), input);
  {
    pcl::PointCloud<pcl::PointXYZ> cloud;
    for (const Point& p : input) cloud.push_back(pcl::PointXYZ(p[0], p[1], p[2]));
    ASSERT_EQ(pcl::io::savePLYFileBinary(dir.file("cloud.ply"), cloud), 0);
  }
  {
    std::string obj = "# test mesh\n";
    for (const Point& p : input) {
      obj += "v " + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + "\n";
    }
    obj += "f 1 2 3\nf 2 3 4\n";
    writeFile(dir.file("cloud.obj"), obj);
  }
  std::vector<Point> obj_input;
  for (const Point& p : input) {
    obj_input.push_back({std::stof(std::to_string(p[0])), std::stof(std::to_string(p[1])),
                         std::stof(std::to_string(p[2]))});
  }
  std::vector<Point> las_input;
  {
    korvane_navigation::LasWriteOptions options;
    options.version_minor = 4;
    options.point_format = 6;
    std::vector<std::array<double, 3>> las_points;
    for (const Point& p : input) las_points.push_back({p[0], p[1], p[2]});
    const auto bytes = korvane_navigation::encodeLas(las_points, options);
    writeFile(dir.file("cloud.las"), std::string(bytes.begin(), bytes.end()));
    for (const auto& p : las_points) {
      Point q;
      for (int i = 0; i < 3; ++i) q[i] = static_cast<float>(std::round(p[i] / 0.001) * 0.001);
      las_input.push_back(q);
    }
  }

  // A quarter turn about z and a lift of 1.5 m.
  const std::string rotation = "[0.70710678, 0, 0, 0.70710678]";
  Eigen::Matrix4f transform = Eigen::Matrix4f::Identity();
  transform.block<3, 3>(0, 0) =
      Eigen::Quaternionf(0.70710678f, 0, 0, 0.70710678f).normalized().toRotationMatrix();
  transform(2, 3) = 1.5f;

  for (const auto& format : std::vector<std::pair<std::string, const std::vector<Point>*>>{
           {"pcd", &input}, {"ply", &input}, {"obj", &obj_input}, {"las", &las_input}}) {
    const std::string out = "out_" + format.first;
    const CommandResult result = runConfig(
        configJson(out, "cloud." + format.first, 0.25, 0.05, "[]", rotation, "[0, 0, 1.5]"));
    ASSERT_EQ(result.status, 0) << format.first << "\n" << result.output;
    const std::string header = readFile(dir.file(out + "/map.pcd")).substr(0, 300);
    EXPECT_NE(header.find("VERSION 0.7"), std::string::npos) << header;
    EXPECT_NE(header.find("FIELDS x y z\nSIZE 4 4 4\nTYPE F F F"), std::string::npos) << header;
    EXPECT_NE(header.find("DATA binary\n"), std::string::npos) << header;
    const std::vector<Point> written = sortedPoints(readPcdPoints(dir.file(out + "/map.pcd")));
    const std::vector<Point> expected = expectedMap(*format.second, 0.25f, transform);
    ASSERT_EQ(written.size(), expected.size()) << format.first;
    for (size_t i = 0; i < written.size(); ++i) {
      for (int a = 0; a < 3; ++a) EXPECT_NEAR(written[i][a], expected[i][a], 1e-5) << format.first;
    }
    EXPECT_TRUE(result.contains("pointcloud size: " + std::to_string(expected.size()) +
                                " after downsampling."));
    EXPECT_TRUE(result.contains("success to save pointcloud map: " + out + "/map.pcd"));
  }
}

TEST_F(CommandLineTest, QuarterTurnAboutZTakesXToY) {
  writePcd(dir.file("point.pcd"), {{1.0f, 0.0f, 0.0f}});
  const CommandResult result = runConfig(
      configJson("out/", "point.pcd", 0.05, 0.05, "[]", "[0.7071, 0, 0, 0.7071]", "[0, 0, 0]"));
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(result.contains("success to save pointcloud map: out//map.pcd"));
  const std::vector<Point> written = readPcdPoints(dir.file("out/map.pcd"));
  ASSERT_EQ(written.size(), 1u);
  EXPECT_NEAR(written[0][0], 0.0f, 1e-6);
  EXPECT_NEAR(written[0][1], 1.0f, 1e-6);
  EXPECT_NEAR(written[0][2], 0.0f, 1e-6);
  EXPECT_FALSE(result.contains("Generate Nav Map for :"));
}

TEST_F(CommandLineTest, PositionalFormsMakeFloorL1) {
  std::vector<Point> walls;
  for (int i = -20; i <= 20; ++i) {
    for (int k = 0; k < 10; ++k) {
      const float z = 0.05f + 0.1f * k;
      walls.push_back({i * 0.1f, 2.0f, z});
      walls.push_back({i * 0.1f, -2.0f, z});
      walls.push_back({2.0f, i * 0.1f, z});
      walls.push_back({-2.0f, i * 0.1f, z});
    }
  }
  writePcd(dir.file("room.pcd"), walls);
  const CommandResult result = run({"maps/site", "room.pcd", "0", "2.5"});
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(result.contains("Generate Nav Map for :L1"));
  const std::string yaml = readFile(dir.file("maps/site/L1.yaml"));
  EXPECT_NE(yaml.find("image: L1.png\n"), std::string::npos) << yaml;
  EXPECT_NE(yaml.find("resolution: 0.1\n"), std::string::npos) << yaml;
  EXPECT_TRUE(fileExists(dir.file("maps/site/L1.png")));
  EXPECT_TRUE(fileExists(dir.file("maps/site/map.pcd")));
  EXPECT_TRUE(result.hasRecord('I', "floor L1: ")) << "the run ends with its summary";

  const CommandResult six = run({"maps/fine", "room.pcd", "0", "2.5", "0.05", "0.025"});
  ASSERT_EQ(six.status, 0) << six.output;
  EXPECT_NE(readFile(dir.file("maps/fine/L1.yaml")).find("resolution: 0.025\n"), std::string::npos);
  EXPECT_TRUE(six.contains("after thinning"));
}

TEST_F(CommandLineTest, PositionalValuesThatAreNotWhollyNumbersAreRefused) {
  writePcd(dir.file("room.pcd"), {{0.0f, 0.0f, 0.5f}});
  const struct {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"out", "room.pcd", "abc", "2"}, "argument 3 <min_height> must be a number, not \"abc\""},
      {{"out", "room.pcd", "0", "1.5m"}, "argument 4 <max_height> must be a number, not \"1.5m\""},
      {{"out", "room.pcd", "", "2"}, "argument 3 <min_height> must be a number, not \"\""},
      {{"out", "room.pcd", "0", "2", "0.05", "nan"},
       "argument 6 <map_resolution> must be a number, not \"nan\""},
      {{"out", "room.pcd", "0", "2", "5cm", "0.05"},
       "argument 5 <downsample_size> must be a number, not \"5cm\""},
  };
  for (const auto& c : cases) {
    const CommandResult result = run(c.args);
    EXPECT_EQ(result.status, kUsageStatus) << c.error;
    EXPECT_TRUE(result.hasRecord('E', c.error)) << result.output;
    EXPECT_TRUE(result.contains("map_generator Usage:"));
    EXPECT_FALSE(fileExists(dir.file("out")));
  }
}

TEST_F(CommandLineTest, GeoreferencedCoordinatesAreWarnedAbout) {
  writePcd(dir.file("utm.pcd"), {{500000.0f, 4000000.0f, 10.0f}, {500001.0f, 4000001.0f, 10.5f}});
  const CommandResult result = run({"out", "utm.pcd", "0", "1"});
  EXPECT_TRUE(result.hasRecord('W', "coordinates reach 4000001.0 m, where single precision holds a point only to 0.125 m")) << result.output;
  EXPECT_TRUE(result.hasRecord('W', "local coordinates"));
  writePcd(dir.file("local.pcd"), {{50.0f, 40.0f, 1.0f}});
  EXPECT_FALSE(run({"out", "local.pcd", "0", "1"}).contains("single precision"));
}

}  // namespace
