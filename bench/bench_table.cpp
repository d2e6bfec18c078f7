#include "bench_table.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

namespace {

std::string cell(double value, const char* pattern) {
  return std::isnan(value) ? std::string("-") : format(pattern, value);
}

std::string sideText(const Side& s) {
  return format("%-8s %9s %9s %8s", s.name.c_str(), cell(s.wall, "%.3f s").c_str(), cell(s.cpu, "(%.2f)").c_str(),
                cell(s.mb, "%.0f MiB").c_str());
}

}  // namespace

Measurement::Measurement() {
  memory_.start();
  wall_ = WallClock();
  cpu_ = CpuClock();
}

void Measurement::record(Side& side) const {
  const double wall = wall_.seconds(), cpu = cpu_.seconds();
  const double added = mb(memory_.addedKb());
  if (std::isnan(side.wall) || wall < side.wall) {
    side.wall = wall;
    side.cpu = cpu;
  }
  if (std::isnan(side.mb) || added > side.mb) side.mb = added;
}

std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, pattern, args);
  va_end(args);
  std::string text(length > 0 ? length : 0, '\0');
  std::vsnprintf(&text[0], text.size() + 1, pattern, again);
  va_end(again);
  return text;
}

std::string verdict(bool met) { return met ? "met" : "MISSED"; }

void printTable(const std::vector<Row>& rows) {
  const std::string line = std::string(36, '-') + "-+-" + std::string(38, '-') + "-+-" + std::string(38, '-') +
                           "-+-" + std::string(22, '-') + "-+-" + std::string(21, '-') + "-+----------\n";
  std::printf("%-36s | %-38s | %-38s | %-22s | %-21s | %s\n", "item", "side A: wall (cpu) s, +peak RSS",
              "side B: wall (cpu) s, +peak RSS", "ratio", "target", "verdict");
  std::printf("%s", line.c_str());
  for (const Row& r : rows) {
    for (size_t i = 0; i < std::max<size_t>(1, r.ratios.size()); ++i) {
      std::printf("%-36s | %-38s | %-38s | %-22s | %-21s | %s\n", i == 0 ? r.item.c_str() : "",
                  i == 0 ? sideText(r.a).c_str() : "", i == 0 ? sideText(r.b).c_str() : "",
                  i < r.ratios.size() ? r.ratios[i].c_str() : "", i < r.targets.size() ? r.targets[i].c_str() : "",
                  i < r.verdicts.size() ? r.verdicts[i].c_str() : "");
    }
  }
  std::printf("%s", line.c_str());
}

double judgeAgainstRead(Row& row) {
  const double ratio = row.b.wall / row.a.wall;
  row.ratios = {format("%.2fx raw MiB/s", ratio)};
  row.targets = {">= 0.5x raw MiB/s"};
  row.verdicts = {verdict(ratio >= 0.5)};
  return ratio;
}

bool rawRead(const std::string& path, Side* side) {
  const Measurement measurement;
  const int fd = open(path.c_str(), O_RDONLY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  char* buffer = static_cast<char*>(std::malloc(st.st_size));
  off_t done = 0;
  while (buffer && done < st.st_size) {
    const ssize_t n = read(fd, buffer + done, st.st_size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  close(fd);
  if (side) measurement.record(*side);
  std::free(buffer);
  return done == st.st_size;
}

bool rawReadInBlocks(const std::string& path, Side* side) {
  constexpr size_t kBlock = size_t{4} << 20;
  std::unique_ptr<char[]> buffer(new char[kBlock]);
  const Measurement measurement;
  const int fd = open(path.c_str(), O_RDONLY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  off_t done = 0;
  while (done < st.st_size) {
    const ssize_t n = read(fd, buffer.get(), kBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  close(fd);
  if (side) measurement.record(*side);
  return done == st.st_size;
}

}  // namespace bench
