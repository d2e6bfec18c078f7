// What a configuration file puts into the generator's Config, and how each
// unusable one is refused with the member or fault named.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "map_generator.h"
#include "support/test_support.h"

using namespace test_support;
using korvane_navigation::Config;
using korvane_navigation::NavMapGenerator;
using nlohmann::json;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  bool load(const std::string& text) {
    writeFile(dir.file("config.json"), text);
    generator.config_ = Config();
    return generator.loadConfig(dir.file("config.json"));
  }
  Eigen::Vector3f apply(const Eigen::Vector3f& p) const {
    return (generator.config_.transform_matrix * p.cast<double>()).cast<float>();
  }
  TempDir dir;
  NavMapGenerator generator;
};

TEST_F(ConfigTest, ReadsEveryMember) {
  ASSERT_TRUE(load(configJson("/data/site/maps", "/data/site/scan.las", 0.02, 0.1,
                              "[{\"floor_name\": \"L1\", \"min_height\": 0.1, \"max_height\": 1.8},"
                              " {\"floor_name\": \"L2\", \"max_height\": 4.8, \"min_height\": 3.1,"
                              "  \"comment\": \"ignored\"}]",
                              "[1, 0, 0, 0]", "[0, 0, -1.2]", "[1, 2, 3, 9]")));
  const Config& config = generator.config_;
  EXPECT_EQ(config.output_path, "/data/site/maps");
  EXPECT_EQ(config.input_pointcloud, "/data/site/scan.las");
  EXPECT_EQ(config.downsample_size, 0.02);
  EXPECT_EQ(config.map_resolution, 0.1);
  EXPECT_TRUE(config.sensor_origin.isApprox(Eigen::Vector3f(1, 2, 3)));  // extra numbers are ignored
  ASSERT_EQ(config.floors.size(), 2u);
  EXPECT_EQ(config.floors[0].name, "L1");
  EXPECT_EQ(config.floors[0].min_height, 0.1);
  EXPECT_EQ(config.floors[0].max_height, 1.8);
  EXPECT_EQ(config.floors[1].min_height, 3.1);
  EXPECT_EQ(config.floors[1].max_height, 4.8);
  EXPECT_TRUE(apply({1, 2, 3}).isApprox(Eigen::Vector3f(1, 2, 1.8f)));
}

TEST_F(ConfigTest, FloorsMayBeAbsentNullOrAnObjectInNameOrder) {
  std::string without = configJson("out", "in.pcd", 0.05, 0.05);
  without.erase(without.find(",\n  \"floors\""), std::string::npos);
  ASSERT_TRUE(load(without + "}"));
  EXPECT_TRUE(generator.config_.floors.empty());
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "null")));
  EXPECT_TRUE(generator.config_.floors.empty());
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05,
                              "{\"b\": {\"floor_name\": \"upper\", \"min_height\": 3, \"max_height\": 5},"
                              " \"a\": {\"floor_name\": \"lower\", \"min_height\": 0, \"max_height\": 2}}")));
  ASSERT_EQ(generator.config_.floors.size(), 2u);
  EXPECT_EQ(generator.config_.floors[0].name, "lower");
  EXPECT_EQ(generator.config_.floors[1].name, "upper");
}

TEST_F(ConfigTest, RotationIsANormalisedQuaternionScalarFirst) {
  for (const char* identity : {"[2, 0, 0, 0]", "[0, 0, 0, 0]"}) {
    ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", identity)));
    EXPECT_TRUE(generator.config_.transform_matrix.matrix().isIdentity()) << identity;
  }
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[0, 1, 0, 0]", "[1, 2, 3]")));
  EXPECT_TRUE(apply({0, 1, 1}).isApprox(Eigen::Vector3f(1, 1, 2)));
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[0.7071, 0, 0, 0.7071]")));
  EXPECT_TRUE(apply({1, 0, 0}).isApprox(Eigen::Vector3f(0, 1, 0), 1e-5f));
  // Squares of these overflow a float, yet they are still a quarter turn.
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[7.0710678e25, 0, 0, 7.0710678e25]")));
  EXPECT_TRUE(apply({1, 0, 0}).isApprox(Eigen::Vector3f(0, 1, 0), 1e-5f));
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[1, 0, 0, 0]", "[0, 3e38, 0]")));
}

TEST_F(ConfigTest, UnusableDocumentsAreRefusedWithTheCauseNamed) {
  const json base = json::parse(configJson("out", "c.pcd", 0.05, 0.05,
                                           "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2}]"));
  const std::string valid = base.dump(2);
  std::vector<std::pair<std::string, std::string>> cases = {
      {"", "is not valid JSON"},
      {"\x89PNG\r\n\x1a\n", "is not valid JSON"},
      {valid.substr(0, valid.size() / 2), "is not valid JSON"},
      {valid.substr(0, 20) + std::string(1, '\0') + valid.substr(20), "is not valid JSON"},
      {"// maps\n" + valid, "is not valid JSON"},
      {valid + "x", "is not valid JSON"},
      {"{\"output_path\": 1e400}", "is not valid JSON"},
      {"{\"output_path\": NaN}", "is not valid JSON"},
      {"[1, 2]", "member \"the document\" must be an object, not array"},
      // The JSON library would keep the last of a key given twice.
      {valid.substr(0, valid.rfind('}')) + ", \"downsample_size\": 0.5}",
       "member \"downsample_size\" is given twice in one object"},
      {"{\"a\": {\"x\": 1, \"x\": 2}}", "member \"x\" is given twice"},
      {std::string(100000, '[') + std::string(100000, ']'), "member \"the document\" must be an object"},
  };
  // Each member of a wrong type; a boolean must not pass for a number.
  const std::vector<std::tuple<std::string, json, std::string>> wrong = {
      {"/output_path", 7, "\"output_path\" must be a string, not number"},
      {"/input_pointcloud", nullptr, "\"input_pointcloud\" must be a string"},
      {"/downsample_size", "0.05", "\"downsample_size\" must be a number, not string"},
      {"/map_resolution", true, "\"map_resolution\" must be a number, not boolean"},
      {"/transform_matrix", json::array({1, 0, 0, 0}), "\"transform_matrix\" must be an object"},
      {"/transform_matrix/rotation", json::array({1, 0, "0", 0}), "\"rotation\" must be an array of numbers"},
      {"/transform_matrix/translation", 0, "\"translation\" must be an array of numbers"},
      {"/sensor_origin", json::array({true, 0, 0}), "\"sensor_origin\" must be an array of numbers"},
      {"/floors", 3, "\"floors\" must be an object"},
      {"/floors/0", json::array({0, 1}), "\"floors\" must be an object"},
      {"/floors/0/floor_name", 1, "\"floor_name\" must be a string"},
      {"/floors/0/min_height", "0", "\"min_height\" must be a number"},
      {"/floors/0/max_height", false, "\"max_height\" must be a number"},
      // Numbers that cannot be used.
      {"/transform_matrix/rotation", json::array({1, 0, 0}), "\"rotation\" must hold four numbers w, x, y, z, not 3"},
      {"/transform_matrix/translation", json::array({0, 0}), "\"translation\" must hold three numbers x, y, z, not 2"},
      {"/sensor_origin", json::array({0, 0}), "\"sensor_origin\" must hold three numbers x, y, z, not 2"},
      {"/transform_matrix/rotation", json::array({1e300, 1e300, 0, 0}),
       "\"rotation\" holds 1e+300, beyond single precision"},
      {"/transform_matrix/translation", json::array({0, -4e38, 0}),
       "\"translation\" holds -4e+38, beyond single precision"},
      // Values the arithmetic, the YAML or the output folder cannot hold.
      {"/downsample_size", 0, "\"downsample_size\" holds 0: it must be a finite size of at least 1e-06 m"},
      {"/downsample_size", 1e-40, "\"downsample_size\" holds 1e-40"},
      {"/downsample_size", 1e300, "\"downsample_size\" holds 1e+300"},
      {"/map_resolution", -1, "\"map_resolution\" holds -1: it must be a finite size of at least 0.0001 m"},
      {"/map_resolution", 4e-7, "\"map_resolution\" holds 4e-07"},
      {"/floors/0/floor_name", "../escape", "\"floor_name\" holds \"../escape\", which is no plain file name: it holds a \"/\""},
      {"/floors/0/floor_name", "", "\"floor_name\" holds \"\", which is no plain file name: it is empty"},
      {"/floors/0/floor_name", ".L1", "\"floor_name\" holds \".L1\", which is no plain file name: it starts with a \".\""},
      {"/floors/0/floor_name", std::string(239, 'n'),
       "\"floor_name\" holds \"" + std::string(239, 'n') +
           "\", which is no plain file name: it is 239 bytes long, more than the 238 a file name leaves for it"},
      {"/floors/0/floor_name", "L\n1", "\"floor_name\" holds \"L\n1\", which is no plain file name: it holds a control character"},
      {"/floors/1", base["floors"][0], "\"floor_name\" holds \"L1\" twice"},
      {"/floors/0/min_height", 2.5,
       "\"min_height\" of floor \"L1\" holds 2.5, above its member \"max_height\" 2: the band between them holds nothing"},
      {"/sensor_origin", json::array({0, 0, 1e39}), "\"sensor_origin\" holds 1e+39, beyond single precision"},
      {"/output_path", "", "\"output_path\" is empty"},
      {"/output_path", std::string(4076, 'o'), "\"output_path\" makes the output " + std::string(60, 'o') +
       "... 4084 bytes long, more than the 4083 a path may have"},
  };
  for (const auto& [pointer, value, expected] : wrong) {
    json document = base;
    document[json::json_pointer(pointer)] = value;
    cases.emplace_back(document.dump(), "member " + expected);
  }
  for (const char* pointer : {"/output_path", "/input_pointcloud", "/downsample_size", "/map_resolution",
                              "/transform_matrix", "/transform_matrix/rotation", "/transform_matrix/translation",
                              "/sensor_origin", "/floors/0/floor_name", "/floors/0/min_height",
                              "/floors/0/max_height"}) {
    json document = base;
    const json::json_pointer at(pointer);
    document[at.parent_pointer()].erase(at.back());
    cases.emplace_back(document.dump(), "member \"" + at.back() + "\" is missing");
  }
  for (const auto& [document, expected] : cases) {
    SCOPED_TRACE(expected + " in " + document.substr(0, 120));
    LogCapture log;
    EXPECT_FALSE(load(document));
    EXPECT_TRUE(log.has(google::GLOG_ERROR, dir.file("config.json") + ": "));
    EXPECT_TRUE(log.has(google::GLOG_ERROR, expected));
    EXPECT_TRUE(log.has(google::GLOG_ERROR, "Failed to  load config "));
  }
}

TEST_F(ConfigTest, PathsThatAreNotReadableFilesAreRefused) {
  LogCapture log;
  ASSERT_EQ(::mkdir(dir.file("folder.json").c_str(), 0755), 0);
  EXPECT_FALSE(generator.loadConfig(dir.file("folder.json")));
  EXPECT_TRUE(log.has(google::GLOG_ERROR, "folder.json: is a directory"));
  EXPECT_FALSE(generator.loadConfig("/dev/null"));
  EXPECT_TRUE(log.has(google::GLOG_ERROR, "/dev/null: is neither a regular file nor a pipe"));
  // A named pipe no one writes to reads as empty, without waiting for a writer.
  ASSERT_EQ(::mkfifo(dir.file("pipe.json").c_str(), 0644), 0);
  EXPECT_FALSE(generator.loadConfig(dir.file("pipe.json")));
  EXPECT_TRUE(log.has(google::GLOG_ERROR, "pipe.json: is not valid JSON"));
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop root from reading";
  writeFile(dir.file("locked.json"), configJson("out", "c.pcd", 0.05, 0.05));
  ::chmod(dir.file("locked.json").c_str(), 0);
  EXPECT_FALSE(generator.loadConfig(dir.file("locked.json")));
  EXPECT_TRUE(log.has(google::GLOG_ERROR, "locked.json: cannot be opened (Permission denied)"));
}

// `map_generator <(jq ... config.json)`: the shell passes a pipe's /dev/fd path.
TEST_F(ConfigTest, AConfigurationThroughAPipeIsReadAsAStream) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string text = configJson("piped", "c.pcd", 0.04, 0.05,
                                      "[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2}]");
  ASSERT_LT(text.size(), 4096u) << "must fit the pipe's buffer";
  ASSERT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(ends[1]);
  generator.config_ = Config();
  const bool loaded = generator.loadConfig("/dev/fd/" + std::to_string(ends[0]));
  ::close(ends[0]);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(generator.config_.output_path, "piped");
  EXPECT_EQ(generator.config_.downsample_size, 0.04);
  ASSERT_EQ(generator.config_.floors.size(), 1u);
}

// --suggest-floors looks for the floors: the file's own may be anything.
TEST_F(ConfigTest, FloorsLeftOutAreNeitherReadNorChecked) {
  for (const char* floors : {"[{\"floor_name\": \"L1\", \"min_height\": 0, \"max_height\": 2},"
                             " {\"floor_name\": \"L1\", \"min_height\": 3, \"max_height\": 1}]",
                             "7", "[{\"floor_name\": 1}]"}) {
    SCOPED_TRACE(floors);
    writeFile(dir.file("config.json"), configJson("out", "in.pcd", 0.05, 0.05, floors));
    generator.config_ = Config();
    EXPECT_FALSE(generator.loadConfig(dir.file("config.json")));
    EXPECT_TRUE(generator.loadConfig(dir.file("config.json"), korvane_navigation::FloorsMember::kIgnored));
    EXPECT_TRUE(generator.config_.floors.empty());
  }
}

}  // namespace
