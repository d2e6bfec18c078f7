// What a configuration file puts into the generator's Config.
#include <gtest/gtest.h>

#include "map_generator.h"
#include "support/test_support.h"

using namespace test_support;
using korvane_navigation::Config;
using korvane_navigation::NavMapGenerator;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  TempDir dir;
  NavMapGenerator generator;
  bool load(const std::string& json) {
    writeFile(dir.file("config.json"), json);
    return generator.loadConfig(dir.file("config.json"));
  }
  Eigen::Vector3f apply(const Eigen::Vector3f& p) const {
    return (generator.config_.transform_matrix * p.homogeneous()).head<3>();
  }
};

TEST(ConfigDefaults, MatchTheDocumentedValues) {
  const Config config;
  EXPECT_TRUE(config.floors.empty());
  EXPECT_TRUE(config.output_path.empty());
  EXPECT_TRUE(config.input_pointcloud.empty());
  EXPECT_TRUE(config.transform_matrix.isIdentity());
  EXPECT_TRUE(config.sensor_origin.isZero());
  EXPECT_EQ(config.downsample_size, 0.05);
  EXPECT_EQ(config.map_resolution, 0.05);
  const Config::Floor floor("L1", 2.0, 0.5);
  EXPECT_EQ(floor.max_height, 2.0);
  EXPECT_EQ(floor.min_height, 0.5);
}

TEST_F(ConfigTest, ReadsEveryMember) {
  ASSERT_TRUE(load(configJson("/data/site/maps", "/data/site/scan.las", 0.02, 0.1,
                              "[{\"floor_name\": \"L1\", \"min_height\": 0.1, \"max_height\": 1.8},"
                              " {\"floor_name\": \"L2\", \"min_height\": 3.1, \"max_height\": 4.8,"
                              "  \"comment\": \"ignored\"}]",
                              "[1, 0, 0, 0]", "[0, 0, -1.2]", "[1, 2, 3]")));
  const Config& config = generator.config_;
  EXPECT_EQ(config.output_path, "/data/site/maps");
  EXPECT_EQ(config.input_pointcloud, "/data/site/scan.las");
  EXPECT_EQ(config.downsample_size, 0.02);
  EXPECT_EQ(config.map_resolution, 0.1);
  EXPECT_TRUE(config.sensor_origin.isApprox(Eigen::Vector3f(1, 2, 3)));
  ASSERT_EQ(config.floors.size(), 2u);
  EXPECT_EQ(config.floors[0].name, "L1");
  EXPECT_EQ(config.floors[0].min_height, 0.1);
  EXPECT_EQ(config.floors[0].max_height, 1.8);
  EXPECT_EQ(config.floors[1].name, "L2");
  EXPECT_TRUE(apply({1, 2, 3}).isApprox(Eigen::Vector3f(1, 2, 1.8f)));
  EXPECT_EQ(config.transform_matrix.row(3), Eigen::RowVector4f(0, 0, 0, 1));
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

TEST_F(ConfigTest, InvertedBandsAreKeptAsGiven) {
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05,
                              "[{\"floor_name\": \"F\", \"min_height\": 2.0, \"max_height\": 0.5}]")));
  EXPECT_EQ(generator.config_.floors[0].min_height, 2.0);
  EXPECT_EQ(generator.config_.floors[0].max_height, 0.5);
}

TEST_F(ConfigTest, RotationIsANormalisedQuaternionScalarFirst) {
  for (const char* identity : {"[2, 0, 0, 0]", "[0, 0, 0, 0]"}) {
    ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", identity)));
    EXPECT_TRUE(generator.config_.transform_matrix.isIdentity()) << identity;
  }
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[0, 1, 0, 0]", "[0, 0, 0]")));
  EXPECT_TRUE(apply({0, 1, 1}).isApprox(Eigen::Vector3f(0, -1, -1)));
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[0, 1, 0, 0]", "[1, 2, 3]")));
  EXPECT_TRUE(apply({0, 1, 1}).isApprox(Eigen::Vector3f(1, 1, 2)));
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[0.7071, 0, 0, 0.7071]")));
  EXPECT_TRUE(apply({1, 0, 0}).isApprox(Eigen::Vector3f(0, 1, 0), 1e-5f));
  // Squares of these overflow a float, yet they are still a quarter turn.
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[7.0710678e25, 0, 0, 7.0710678e25]")));
  EXPECT_TRUE(apply({1, 0, 0}).isApprox(Eigen::Vector3f(0, 1, 0), 1e-5f));
}

TEST_F(ConfigTest, TransformsBeyondSinglePrecisionAreRefused) {
  LogCapture log;
  EXPECT_FALSE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[1e300, 1e300, 0, 0]")));
  EXPECT_TRUE(log.has(google::GLOG_ERROR, "member \"rotation\" holds 1e+300, beyond single precision"));
  EXPECT_FALSE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[1, 0, 0, 0]", "[0, -4e38, 0]")));
  EXPECT_TRUE(log.has(google::GLOG_ERROR, "member \"translation\" holds -4e+38, beyond single precision"));
  EXPECT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[1, 0, 0, 0]", "[0, 3e38, 0]")));
}

TEST_F(ConfigTest, ExtraSensorOriginNumbersAreIgnored) {
  ASSERT_TRUE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[1, 0, 0, 0]", "[0, 0, 0]",
                              "[5, 5, 5, 9]")));
  EXPECT_TRUE(generator.config_.sensor_origin.isApprox(Eigen::Vector3f(5, 5, 5)));
}

TEST_F(ConfigTest, FailuresNameTheCause) {
  LogCapture log;
  EXPECT_FALSE(load(configJson("out", "in.pcd", 0.05, 0.05, "[]", "[1, 0, 0, 0]", "[0, 0, 0]",
                               "[true, 0, 0]")));
  EXPECT_TRUE(log.has(google::GLOG_ERROR, "member \"sensor_origin\" must be an array of numbers"));
  EXPECT_TRUE(log.has(google::GLOG_ERROR, "Failed to  load config "));
}

}  // namespace
