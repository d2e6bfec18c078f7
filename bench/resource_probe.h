// Measuring helpers for the benchmark: wall clock, the peak resident memory a
// stretch of code adds, and running a child program with its peak memory.
#pragma once

#include <chrono>
#include <ctime>
#include <cstdint>
#include <string>
#include <vector>

#include "core/progress.h"

namespace bench {

using WallClock = korvane_navigation::Stopwatch;

// Processor time of this process: unlike wall time, barely moved by other
// programs competing for the cores.
class CpuClock {
 public:
  CpuClock() : start_(now()) {}
  double seconds() const { return now() - start_; }

 private:
  static double now();
  double start_;
};

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"); -1 when unreadable.
long statusKb(const char* field);

// The peak resident memory added between start() and addedKb(). start()
// hands freed heap back to the system first and resets the kernel's
// high-water mark, so a stretch is charged only for what it held itself, not
// for what an earlier one left mapped.
class PeakMemory {
 public:
  // False when the kernel refuses the reset; the figures are then upper bounds.
  bool start();
  long addedKb() const;
  long baseKb() const { return base_kb_; }

 private:
  long base_kb_ = 0;
};

struct ChildRun {
  bool started = false;
  int exit_code = -1;      // -1 when killed by a signal
  double seconds = 0.0;
  long max_rss_kb = 0;     // the child's own peak (from wait4)
  long parent_rss_kb = 0;  // our resident size when spawning: the child's peak cannot be below it
  std::string output;      // standard output and error
  std::string error;       // why it did not start
};

// Runs `argv` (argv[0] a path) with its standard output and error sent to
// `log_path`, and `extra_env` ("NAME=value") added to our environment.
ChildRun runChild(const std::vector<std::string>& argv, const std::string& log_path,
                  const std::vector<std::string>& extra_env);

}  // namespace bench
