#include "formats/cloud_file_open.h"

namespace korvane_navigation {

bool openCloudFile(const std::string& path, FileDescriptor& file, uint64_t& size, CloudReadResult& result) {
  std::string fault;
  if (openFileToRead(path, FileKinds::kRegular, file, size, fault) == OpenFault::kNone) return true;
  refuse(result, path, fault, CloudReadStatus::kCannotOpen);
  return false;
}

}  // namespace korvane_navigation
