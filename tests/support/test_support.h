// Helpers shared by the tests: temporary directories, running the built
// binary, capturing log records, small point-cloud files, reading maps back.
#pragma once

#include <array>
#include <cstdint>
#include <glog/logging.h>
#include <mutex>
#include <string>
#include <vector>

#include "las_writer.h"
#include "map_postprocess.h"

namespace test_support {

using Point = std::array<float, 3>;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

struct CommandResult {
  int status = 0;      // exit status as the shell sees it (0..255), 128 + signal when killed
  std::string output;  // standard output and standard error
  bool contains(const std::string& text) const { return output.find(text) != std::string::npos; }
  // True when a log record of the severity ('I', 'W', 'E', 'F') contains `text`.
  bool hasRecord(char severity, const std::string& text) const;
};

// Bounds on one run of the binary; 0 leaves a bound off.
struct RunLimits {
  unsigned seconds = 0;              // SIGALRM ends a run that outlives this
  uint64_t address_space_bytes = 0;  // ignored in sanitized builds
  uint64_t file_size_bytes = 0;      // writes beyond fail with EFBIG, as on a full disk
};

// Runs the built map_generator with `args` in `working_dir`.
CommandResult runMapGenerator(const std::vector<std::string>& args, const std::string& working_dir,
                              const RunLimits& limits = RunLimits());

// Collects the log records written while it lives.
class LogCapture : public google::LogSink {
 public:
  LogCapture() { google::AddLogSink(this); }
  ~LogCapture() override { google::RemoveLogSink(this); }
  void send(google::LogSeverity severity, const char*, const char*, int, const google::LogMessageTime&,
            const char* message, size_t message_len) override;
  // True when a record of `severity` contains `text`.
  bool has(google::LogSeverity severity, const std::string& text) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<google::LogSeverity, std::string>> records_;
};

void writePcd(const std::string& path, const std::vector<Point>& points);
std::vector<Point> readPcdPoints(const std::string& path);
// A LAS file's bytes.
std::string lasFile(const std::vector<Point>& points, const korvane_navigation::LasWriteOptions& options = {});

// A floor map read back the way map servers read it: occupancy is
// (255 - pixel) / 255, above occupied_thresh occupied, below free_thresh free.
korvane_navigation::GridMap loadMap(const std::string& yaml_path);
// The cell under a point of the map frame; kUnknown outside the map.
int32_t cellAt(const korvane_navigation::GridMap& map, double x, double y);

// A config.json document; `floors` is spliced in verbatim as the "floors" value.
std::string configJson(const std::string& output_path, const std::string& input, double downsample_size,
                       double map_resolution, const std::string& floors = "[]",
                       const std::string& rotation = "[1, 0, 0, 0]",
                       const std::string& translation = "[0, 0, 0]",
                       const std::string& sensor_origin = "[0, 0, 0]");

}  // namespace test_support
