// The memory bounds a floor stage is held to: MemAvailable, the address-space
// limit and the control groups' limits, read from texts as the kernel writes them.
#include "support/memory_limits.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

using namespace korvane_navigation;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

TEST(MemAvailableBytes, ReadsTheLineInKibibytes) {
  const std::pair<const char*, std::optional<uint64_t>> cases[] = {
      {"MemTotal:       24000000 kB\nMemFree:  100 kB\nMemAvailable:   2048 kB\nBuffers: 1 kB\n", 2048 * 1024},
      {"MemAvailable:0 kB\n", 0},
      {"MemTotal:       24000000 kB\nMemFree:  100 kB\n", std::nullopt},  // kernels before 3.14
      {"MemAvailable:   many kB\n", std::nullopt},
      {"MemAvailable:   12\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(memAvailableBytes(text), expected) << text;
}

TEST(AddressSpaceRoom, IsTheLimitLessWhatIsMapped) {
  EXPECT_EQ(addressSpaceRoom(std::nullopt, 5 * kMiB), std::nullopt);
  EXPECT_EQ(addressSpaceRoom(4096 * kMiB, 1000 * kMiB), 3096 * kMiB);
  EXPECT_EQ(addressSpaceRoom(100 * kMiB, 300 * kMiB), 0u);
}

// A control-group tree as files under /sys/fs/cgroup.
CgroupFileReader files(std::map<std::string, std::string> contents) {
  return [contents](const std::string& path) -> std::optional<std::string> {
    const auto it = contents.find(path);
    if (it == contents.end()) return std::nullopt;
    return it->second;
  };
}

TEST(CgroupRoom, TakesTheTightestGroupOnTheWayUp) {
  struct Case {
    const char* name;
    std::string proc_self_cgroup;
    std::map<std::string, std::string> files;
    std::optional<uint64_t> room;
  };
  const std::string v2 = "/sys/fs/cgroup";
  const std::string v1 = "/sys/fs/cgroup/memory";
  const std::vector<Case> cases = {
      {"v2 limit on the process's group",
       "0::/app/run\n",
       {{v2 + "/app/run/memory.max", "1073741824\n"}, {v2 + "/app/run/memory.current", "268435456\n"}},
       768 * kMiB},
      {"v2 limit on a parent binds the child",
       "0::/app/run\n",
       {{v2 + "/app/run/memory.max", "max\n"},
        {v2 + "/app/run/memory.current", "100\n"},
        {v2 + "/app/memory.max", "209715200\n"},
        {v2 + "/app/memory.current", "104857600\n"}},
       100 * kMiB},
      {"v2 without any limit", "0::/app\n", {{v2 + "/app/memory.max", "max\n"}, {v2 + "/app/memory.current", "5\n"}},
       std::nullopt},
      {"v2 use beyond the limit leaves nothing",
       "0::/\n",
       {{v2 + "/memory.max", "1000\n"}, {v2 + "/memory.current", "4000\n"}},
       0u},
      {"v1 memory controller among others",
       "12:pids:/x\n4:memory:/process_api/abc\n1:cpu,cpuacct:/\n",
       {{v1 + "/process_api/abc/memory.limit_in_bytes", "536870912\n"},
        {v1 + "/process_api/abc/memory.usage_in_bytes", "134217728\n"},
        {v1 + "/memory.limit_in_bytes", "9223372036854771712\n"},
        {v1 + "/memory.usage_in_bytes", "738689024\n"}},
       384 * kMiB},
      {"v1 group not visible in the container: its mount's root counts",
       "4:memory:/process_api/abc\n",
       {{v1 + "/memory.limit_in_bytes", "2147483648\n"}, {v1 + "/memory.usage_in_bytes", "1073741824\n"}},
       1024 * kMiB},
      {"v1 line of another controller only", "3:cpuset:/a\n", {{v1 + "/a/memory.limit_in_bytes", "1\n"},
                                                              {v1 + "/a/memory.usage_in_bytes", "0\n"}},
       std::nullopt},
      {"v1 and v2 side by side, v2 under unified",
       "4:memory:/a\n0::/a\n",
       {{v1 + "/a/memory.limit_in_bytes", "4000\n"},
        {v1 + "/a/memory.usage_in_bytes", "1000\n"},
        {v2 + "/unified/a/memory.max", "2500\n"},
        {v2 + "/unified/a/memory.current", "500\n"}},
       2000u},
      {"unreadable numbers are no limit",
       "0::/a\n",
       {{v2 + "/a/memory.max", "-5\n"}, {v2 + "/a/memory.current", "1\n"}},
       std::nullopt},
      {"garbled lines", "no colons here\n7:memory\n", {}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(cgroupRoom(c.proc_self_cgroup, files(c.files)), c.room) << c.name;
}

TEST(MemoryBudget, NamesItsBoundAndNeverReadsAsUnbounded) {
  const MemoryBudget budget = memoryBudget();
  // Every Linux since 3.14 reports MemAvailable, so some bound is always known.
  ASSERT_FALSE(budget.bound.empty());
  EXPECT_GT(budget.bytes, 0u);
}

}  // namespace
