// Opening a PCD, PLY or OBJ file to be read, refused into its reader's
// result in the words of openFileToRead.
#pragma once

#include <cstdint>
#include <string>

#include "formats/cloud_read_result.h"
#include "formats/file_reading.h"

namespace korvane_navigation {

// Opens `path` into `file` and measures it; false, with `result` refused
// and its error naming the file, when it cannot be opened or is no regular
// file (the readers need the size to bound what they read).
bool openCloudFile(const std::string& path, FileDescriptor& file, uint64_t& size, CloudReadResult& result);

// Refuses `result` with `fault`, prefixed by the path.
inline void refuse(CloudReadResult& result, const std::string& path, const std::string& fault,
                   CloudReadStatus status = CloudReadStatus::kInvalid) {
  result.status = status;
  result.error = path + ": " + fault;
}

}  // namespace korvane_navigation
