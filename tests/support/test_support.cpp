#include "support/test_support.h"

#include <boost/filesystem.hpp>
#include <cctype>
#include <csignal>
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <fstream>
#include <pcl/io/pcd_io.h>
#include <pcl/point_types.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

namespace test_support {

TempDir::TempDir() {
  char pattern[] = "/tmp/map_generator_test_XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  boost::system::error_code ignored;
  // Tests may take permissions away; give them back so the tree can go.
  for (boost::filesystem::recursive_directory_iterator it(path_, ignored), end; it != end;
       it.increment(ignored)) {
    boost::filesystem::permissions(it->path(), boost::filesystem::owner_all | boost::filesystem::add_perms,
                                   ignored);
  }
  boost::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) { return boost::filesystem::exists(path); }

bool CommandResult::hasRecord(char severity, const std::string& text) const {
  // A record starts with its severity letter and the date; its text may go
  // on over further lines.
  std::istringstream lines(output);
  char current = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > 9 && std::string("IWEF").find(line[0]) != std::string::npos &&
        std::isdigit(static_cast<unsigned char>(line[1]))) {
      current = line[0];
    }
    if (current == severity && line.find(text) != std::string::npos) return true;
  }
  return false;
}

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// In the child, before exec: limits and an ignored disposition outlive exec.
void applyLimits(const RunLimits& limits) {
  // Sanitizer shadow memory needs terabytes of address space.
  if (limits.address_space_bytes > 0 && !kSanitized) {
    const rlimit bound{limits.address_space_bytes, limits.address_space_bytes};
    ::setrlimit(RLIMIT_AS, &bound);
  }
  if (limits.file_size_bytes > 0) {
    const rlimit bound{limits.file_size_bytes, limits.file_size_bytes};
    ::setrlimit(RLIMIT_FSIZE, &bound);
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the bound then fails instead of killing
  }
  if (limits.seconds > 0) ::alarm(limits.seconds);
}

}  // namespace

CommandResult runMapGenerator(const std::vector<std::string>& args, const std::string& working_dir,
                              const RunLimits& limits) {
  const std::string capture = working_dir + "/.map_generator_output";
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int fd = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::chdir(working_dir.c_str()) != 0) ::_exit(127);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    applyLimits(limits);
    ::setenv("GLOG_log_dir", working_dir.c_str(), 1);
    ::setenv("TERM", "dumb", 1);
    std::vector<char*> argv{const_cast<char*>(MAP_GENERATOR_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(MAP_GENERATOR_BINARY, argv.data());
    ::_exit(127);
  }
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  CommandResult result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  result.output = readFile(capture);
  ::unlink(capture.c_str());
  return result;
}

void LogCapture::send(google::LogSeverity severity, const char*, const char*, int,
                      const google::LogMessageTime&, const char* message, size_t message_len) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.emplace_back(severity, std::string(message, message_len));
}

bool LogCapture::has(google::LogSeverity severity, const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& record : records_) {
    if (record.first == severity && record.second.find(text) != std::string::npos) return true;
  }
  return false;
}

void writePcd(const std::string& path, const std::vector<Point>& points) {
  pcl::PointCloud<pcl::PointXYZ> cloud;
  for (const Point& p : points) cloud.push_back(pcl::PointXYZ(p[0], p[1], p[2]));
  if (pcl::io::savePCDFileBinary(path, cloud) != 0) throw std::runtime_error("cannot write " + path);
}

std::vector<Point> readPcdPoints(const std::string& path) {
  pcl::PointCloud<pcl::PointXYZ> cloud;
  if (pcl::io::loadPCDFile(path, cloud) != 0) throw std::runtime_error("cannot read " + path);
  std::vector<Point> points;
  for (const pcl::PointXYZ& p : cloud.points) points.push_back({p.x, p.y, p.z});
  return points;
}

std::string lasFile(const std::vector<Point>& points, const korvane_navigation::LasWriteOptions& options) {
  std::vector<std::array<double, 3>> coordinates;
  for (const Point& p : points) coordinates.push_back({p[0], p[1], p[2]});
  const std::vector<uint8_t> bytes = korvane_navigation::encodeLas(coordinates, options);
  return std::string(bytes.begin(), bytes.end());
}

korvane_navigation::GridMap loadMap(const std::string& yaml_path) {
  using korvane_navigation::GridMap;
  const YAML::Node description = YAML::LoadFile(yaml_path);
  const std::string directory = yaml_path.substr(0, yaml_path.rfind('/') + 1);
  const cv::Mat image = cv::imread(directory + description["image"].as<std::string>(), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(image.type(), CV_8UC1);
  EXPECT_EQ(description["negate"].as<int>(), 0);
  EXPECT_EQ(description["mode"].as<std::string>(), "trinary");
  GridMap grid(image.cols, image.rows, description["resolution"].as<double>());
  for (int i = 0; i < 3; ++i) grid.origin[i] = description["origin"][i].as<double>();
  const double occupied = description["occupied_thresh"].as<double>();
  const double free = description["free_thresh"].as<double>();
  for (int r = 0; r < image.rows; ++r) {
    for (int c = 0; c < image.cols; ++c) {
      const double occupancy = (255.0 - image.at<uint8_t>(r, c)) / 255.0;
      grid.data[(image.rows - 1 - r) * image.cols + c] =
          occupancy > occupied ? GridMap::kOccupied : occupancy < free ? GridMap::kFree : GridMap::kUnknown;
    }
  }
  return grid;
}

int32_t cellAt(const korvane_navigation::GridMap& map, double x, double y) {
  const double col = std::floor((x - map.origin[0]) / map.resolution);
  const double row = std::floor((y - map.origin[1]) / map.resolution);
  if (col < 0 || row < 0 || col >= map.width || row >= map.height) return korvane_navigation::GridMap::kUnknown;
  return map.data[static_cast<uint64_t>(row) * map.width + static_cast<uint64_t>(col)];
}

std::string configJson(const std::string& output_path, const std::string& input, double downsample_size,
                       double map_resolution, const std::string& floors, const std::string& rotation,
                       const std::string& translation, const std::string& sensor_origin) {
  std::ostringstream json;
  json << "{\n  \"output_path\": \"" << output_path << "\",\n  \"input_pointcloud\": \"" << input
       << "\",\n  \"downsample_size\": " << downsample_size << ",\n  \"map_resolution\": " << map_resolution
       << ",\n  \"transform_matrix\": {\"rotation\": " << rotation << ", \"translation\": " << translation
       << "},\n  \"sensor_origin\": " << sensor_origin << ",\n  \"floors\": " << floors << "\n}\n";
  return json.str();
}

}  // namespace test_support
