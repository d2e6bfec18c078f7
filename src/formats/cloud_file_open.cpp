#include "formats/cloud_file_open.h"

#include <cstring>

namespace korvane_navigation {

bool openCloudFile(const std::string& path, FileDescriptor& file, uint64_t& size, CloudReadResult& result) {
  int error_number = 0;
  switch (openRegularFile(path, file, size, error_number)) {
    case OpenFault::kNone: return true;
    case OpenFault::kCannotOpen:
      refuse(result, path, std::string("cannot be opened (") + std::strerror(error_number) + ")",
             CloudReadStatus::kCannotOpen);
      return false;
    case OpenFault::kCannotExamine:
      refuse(result, path, std::string("cannot be examined (") + std::strerror(error_number) + ")",
             CloudReadStatus::kCannotOpen);
      return false;
    case OpenFault::kDirectory: refuse(result, path, "is a directory", CloudReadStatus::kCannotOpen); return false;
    case OpenFault::kNotRegularFile:
      refuse(result, path, "is not a regular file", CloudReadStatus::kCannotOpen);
      return false;
  }
  return false;
}

}  // namespace korvane_navigation
