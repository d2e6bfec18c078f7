// Helpers shared by the tests: temporary directories, running the built
// binary, capturing log records, and small point-cloud files.
#pragma once

#include <array>
#include <cstdint>
#include <glog/logging.h>
#include <mutex>
#include <string>
#include <vector>

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
  int status = 0;       // exit status as the shell sees it (0..255), 128 + signal when killed
  std::string output;   // standard output and standard error
  bool contains(const std::string& text) const { return output.find(text) != std::string::npos; }
  // Lines of the output that contain `text`.
  int count(const std::string& text) const;
  // True when a log record of the severity ('I', 'W', 'E', 'F') contains `text`.
  bool hasRecord(char severity, const std::string& text) const;
};

// Bounds on one run of the binary; 0 leaves a bound off.
struct RunLimits {
  // SIGALRM ends a run that outlives this, so a hang fails as a signal.
  unsigned seconds = 0;
  // An allocation beyond this fails; ignored in sanitized builds, whose
  // shadow memory needs terabytes of address space.
  uint64_t address_space_bytes = 0;
  // Writes beyond this fail with EFBIG, as on a full disk.
  uint64_t file_size_bytes = 0;
};

// Runs the built map_generator with `args` in `working_dir`; its glog files
// go to `working_dir` too.
CommandResult runMapGenerator(const std::vector<std::string>& args, const std::string& working_dir,
                              const RunLimits& limits = RunLimits());

// Collects the log records written while it lives.
class LogCapture : public google::LogSink {
 public:
  struct Record {
    google::LogSeverity severity;
    std::string text;
  };
  LogCapture();
  ~LogCapture() override;
  void send(google::LogSeverity severity, const char* full_filename, const char* base_filename,
            int line, const google::LogMessageTime& time, const char* message,
            size_t message_len) override;
  std::vector<Record> records() const;
  // True when a record of `severity` contains `text`.
  bool has(google::LogSeverity severity, const std::string& text) const;
  bool hasText(const std::string& text) const;

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

void writePcd(const std::string& path, const std::vector<Point>& points);
std::vector<Point> readPcdPoints(const std::string& path);
// Sorted, so that two clouds compare as point sets.
std::vector<Point> sortedPoints(std::vector<Point> points);

// A config.json document; `floors` is spliced in verbatim as the "floors" value.
std::string configJson(const std::string& output_path, const std::string& input,
                       double downsample_size, double map_resolution,
                       const std::string& floors = "[]",
                       const std::string& rotation = "[1, 0, 0, 0]",
                       const std::string& translation = "[0, 0, 0]",
                       const std::string& sensor_origin = "[0, 0, 0]");

}  // namespace test_support
