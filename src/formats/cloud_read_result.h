// What reading a PCD, PLY or OBJ file ends with.
#pragma once

#include <cstdint>
#include <string>

namespace korvane_navigation {

enum class CloudReadStatus { kOk, kCannotOpen, kInvalid };

struct CloudReadResult {
  CloudReadStatus status = CloudReadStatus::kInvalid;
  uint64_t points_read = 0;  // handed to the sink, non-finite ones included
  std::string error;         // set unless status is kOk; starts with the file's path
  std::string warning;       // what a file read correctly left out, with its path; empty when nothing
};

}  // namespace korvane_navigation
