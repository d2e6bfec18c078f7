// Progress records for stages that can run long on big sites: nothing for a
// stage that ends within a couple of seconds, then at most one record every
// two seconds, with the share done and the rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace korvane_navigation {

// Work done so far out of a total; cheap enough to call for every item.
using ProgressCallback = std::function<void(uint64_t done, uint64_t total)>;

class ProgressLog {
 public:
  using Clock = std::chrono::steady_clock;

  // `what` names the stage and `unit` the items counted ("points", "leaves").
  ProgressLog(std::string what, std::string unit, double interval_seconds = 2.0);

  void update(uint64_t done, uint64_t total);
  // For a stage that reads input and keeps fewer items than it reads: the
  // share is of the bytes, the rate of the items read.
  void updateReading(uint64_t bytes_done, uint64_t bytes_total, uint64_t items_read, uint64_t items_kept);
  int recordsWritten() const { return records_; }

 private:
  std::string what_;
  std::string unit_;
  Clock::duration interval_;
  Clock::time_point start_;
  Clock::time_point next_record_;
  int records_ = 0;

  // Seconds since the start when a record is due now, else a negative number.
  double due(uint64_t total);
};

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// "12.3 M" style rendering of a count.
std::string humanCount(double count);

}  // namespace korvane_navigation
