// How much more memory the process may take: the smallest of what the system
// can give without swapping, what the address-space limit leaves and what the
// control group's limit leaves. A run refuses a stage that would need more,
// before allocating it, rather than dying of std::bad_alloc or the OOM killer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace korvane_navigation {

struct MemoryBudget {
  uint64_t bytes = 0;  // 0 when no bound is known
  // Which bound it is, for messages: "MemAvailable", "the address-space
  // limit" or "the control group's memory limit".
  std::string bound;
};

// MemAvailable of a /proc/meminfo text, in bytes.
std::optional<uint64_t> memAvailableBytes(const std::string& meminfo);

// What an address-space limit leaves to a process of `virtual_bytes`; none
// for an unlimited one.
std::optional<uint64_t> addressSpaceRoom(std::optional<uint64_t> limit_bytes, uint64_t virtual_bytes);

// Reads a control-group file (a path under /sys/fs/cgroup); none when it
// does not exist or cannot be read.
using CgroupFileReader = std::function<std::optional<std::string>(const std::string& path)>;

// What the memory limits of the process's control group and of every group
// above it leave, the tightest of them, from the text of /proc/self/cgroup:
// memory.max less memory.current under cgroup v2, memory.limit_in_bytes less
// memory.usage_in_bytes under v1. None when no group has a limit.
std::optional<uint64_t> cgroupRoom(const std::string& proc_self_cgroup, const CgroupFileReader& read);

// The tightest bound of this process now.
MemoryBudget memoryBudget();

// Memory the system can still give without swapping (MemAvailable), and the
// process's resident memory; 0 when unknown.
uint64_t availableMemoryBytes();
uint64_t residentBytes();

}  // namespace korvane_navigation
