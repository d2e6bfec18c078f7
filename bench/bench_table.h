// The benchmark's table: each item measures our side (A) against what it
// stands in for (B) in one process, and prints both with their ratio and target.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "resource_probe.h"

namespace bench {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

inline double mb(double kb) { return kb / 1024.0; }

// One side of an item: the best wall time of its runs, the processor time of
// that run, and the largest peak memory any run added.
struct Side {
  std::string name;
  double wall = NAN;
  double cpu = NAN;
  double mb = NAN;
};

// Starts measuring when made; record() ends it into a side.
class Measurement {
 public:
  Measurement();
  void record(Side& side) const;

 private:
  PeakMemory memory_;
  WallClock wall_;
  CpuClock cpu_;
};

// One item of the table: side A is ours, side B what it is measured against.
struct Row {
  std::string item;
  Side a, b;
  std::vector<std::string> ratios;  // one line per target
  std::vector<std::string> targets;
  std::vector<std::string> verdicts;
};

std::string verdict(bool met);

// For a reader against read() of the same bytes on side B: the throughput
// ratio, held to at least half; returns the ratio.
double judgeAgainstRead(Row& row);
void printTable(const std::vector<Row>& rows);

// Reads the whole file into fresh memory with read(), as the yardstick of
// the readers; false on a short read.
bool rawRead(const std::string& path, Side* side);

// Reads the whole file with read() in 4 MiB blocks into one buffer: the bytes
// alone, without fresh memory to hold them.
bool rawReadInBlocks(const std::string& path, Side* side);

}  // namespace bench
