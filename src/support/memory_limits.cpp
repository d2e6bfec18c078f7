#include "support/memory_limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace korvane_navigation {
namespace {

constexpr char kCgroupRoot[] = "/sys/fs/cgroup";

// A whole non-negative decimal number, as the kernel writes it (a newline may follow).
std::optional<uint64_t> parseCount(const std::string& text) {
  const size_t end = text.find_last_not_of(" \n");
  if (end == std::string::npos) return std::nullopt;
  const std::string digits = text.substr(0, end + 1);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  errno = 0;
  const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return value;
}

std::optional<uint64_t> tighter(std::optional<uint64_t> a, std::optional<uint64_t> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// The room a group's limit leaves over its use, or none when either file is
// missing or the limit is "max".
std::optional<uint64_t> groupRoom(const std::string& folder, const char* limit_file, const char* usage_file,
                                  const CgroupFileReader& read) {
  const std::optional<std::string> limit_text = read(folder + "/" + limit_file);
  const std::optional<std::string> usage_text = read(folder + "/" + usage_file);
  if (!limit_text || !usage_text) return std::nullopt;
  const std::optional<uint64_t> limit = parseCount(*limit_text), usage = parseCount(*usage_text);
  if (!limit || !usage) return std::nullopt;
  return *limit > *usage ? *limit - *usage : 0;
}

// The tightest room of the group at `path` under `mount` and of every group
// above it: a limit set on a parent binds its children too.
std::optional<uint64_t> hierarchyRoom(const std::string& mount, std::string path, const char* limit_file,
                                      const char* usage_file, const CgroupFileReader& read) {
  std::optional<uint64_t> room;
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    room = tighter(room, groupRoom(path == "/" ? mount : mount + path, limit_file, usage_file, read));
    if (path.empty() || path == "/") return room;
    const size_t slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
}

bool listsController(const std::string& controllers, const std::string& wanted) {
  std::istringstream list(controllers);
  std::string name;
  while (std::getline(list, name, ','))
    if (name == wanted) return true;
  return false;
}

std::optional<std::string> readSmallFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

uint64_t virtualBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  if (!(statm >> pages)) return 0;
  return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

std::optional<uint64_t> memAvailableBytes(const std::string& meminfo) {
  std::istringstream lines(meminfo);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("MemAvailable:", 0) != 0) continue;
    std::istringstream fields(line.substr(13));
    uint64_t kib = 0;
    std::string unit;
    if (fields >> kib >> unit && unit == "kB") return kib * 1024;
    return std::nullopt;
  }
  return std::nullopt;
}

std::optional<uint64_t> addressSpaceRoom(std::optional<uint64_t> limit_bytes, uint64_t virtual_bytes) {
  if (!limit_bytes) return std::nullopt;
  return *limit_bytes > virtual_bytes ? *limit_bytes - virtual_bytes : 0;
}

std::optional<uint64_t> cgroupRoom(const std::string& proc_self_cgroup, const CgroupFileReader& read) {
  std::optional<uint64_t> room;
  std::istringstream lines(proc_self_cgroup);
  std::string line;
  while (std::getline(lines, line)) {
    // hierarchy-id:controllers:path; v2's single hierarchy is "0::path".
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string id = line.substr(0, first);
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (path.empty() || path[0] != '/') continue;
    if (id == "0" && controllers.empty()) {
      room = tighter(room, hierarchyRoom(kCgroupRoot, path, "memory.max", "memory.current", read));
      // Where v1 and v2 are mounted side by side, v2 lives in "unified".
      room = tighter(room, hierarchyRoom(std::string(kCgroupRoot) + "/unified", path, "memory.max",
                                         "memory.current", read));
    } else if (listsController(controllers, "memory")) {
      room = tighter(room, hierarchyRoom(std::string(kCgroupRoot) + "/memory", path, "memory.limit_in_bytes",
                                         "memory.usage_in_bytes", read));
    }
  }
  return room;
}

MemoryBudget memoryBudget() {
  MemoryBudget budget;
  const auto consider = [&budget](std::optional<uint64_t> room, const char* bound) {
    if (room && (budget.bound.empty() || *room < budget.bytes)) budget.bytes = *room, budget.bound = bound;
  };
  if (const std::optional<std::string> meminfo = readSmallFile("/proc/meminfo"))
    consider(memAvailableBytes(*meminfo), "MemAvailable");
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    consider(addressSpaceRoom(static_cast<uint64_t>(limit.rlim_cur), virtualBytes()), "the address-space limit");
  if (const std::optional<std::string> groups = readSmallFile("/proc/self/cgroup"))
    consider(cgroupRoom(*groups, readSmallFile), "the control group's memory limit");
  // A room of 0 would read as "no bound known"; one byte refuses everything.
  if (!budget.bound.empty() && budget.bytes == 0) budget.bytes = 1;
  return budget;
}

uint64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0, resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

uint64_t availableMemoryBytes() {
  std::ifstream meminfo("/proc/meminfo");
  std::string line;
  while (std::getline(meminfo, line)) {
    if (line.rfind("MemAvailable:", 0) == 0) {
      std::istringstream fields(line.substr(13));
      uint64_t kib = 0;
      if (fields >> kib) return kib * 1024;
    }
  }
  return 0;
}

}  // namespace korvane_navigation
