#include "formats/file_reading.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace korvane_navigation {

ssize_t readAt(int fd, uint8_t* buffer, size_t size, uint64_t position) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, buffer + done, size - done, static_cast<off_t>(position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

OpenFault openRegularFile(const std::string& path, FileDescriptor& file, uint64_t& size, int& error_number) {
  file.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) {
    error_number = errno;
    return OpenFault::kCannotOpen;
  }
  struct stat info;
  if (::fstat(file.get(), &info) != 0) {
    error_number = errno;
    return OpenFault::kCannotExamine;
  }
  if (S_ISDIR(info.st_mode)) return OpenFault::kDirectory;
  if (!S_ISREG(info.st_mode)) return OpenFault::kNotRegularFile;
  size = static_cast<uint64_t>(info.st_size);
  return OpenFault::kNone;
}

std::string openFaultText(OpenFault fault, int error_number) {
  switch (fault) {
    case OpenFault::kNone: return "";
    case OpenFault::kCannotOpen:
    case OpenFault::kCannotExamine: return std::strerror(error_number);
    case OpenFault::kDirectory: return "is a directory";
    case OpenFault::kNotRegularFile: return "not a regular file";
  }
  return "";
}

}  // namespace korvane_navigation
