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

OpenFault openFileToRead(const std::string& path, FileKinds kinds, FileDescriptor& file, uint64_t& size,
                         std::string& fault) {
  const auto withReason = [&fault](const char* what, int error_number) {
    fault = std::string(what) + " (" + std::strerror(error_number) + ")";
  };
  file.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) {
    const int error_number = errno;
    withReason("cannot be opened", error_number);
    return error_number == ENOENT ? OpenFault::kMissing : OpenFault::kCannotOpen;
  }
  struct stat info;
  if (::fstat(file.get(), &info) != 0) {
    withReason("cannot be examined", errno);
    return OpenFault::kCannotExamine;
  }
  if (S_ISDIR(info.st_mode)) {
    fault = "is a directory";
    return OpenFault::kDirectory;
  }
  const bool pipe = S_ISFIFO(info.st_mode) && kinds == FileKinds::kRegularOrPipe;
  if (!S_ISREG(info.st_mode) && !pipe) {
    fault = kinds == FileKinds::kRegular ? "is not a regular file" : "is neither a regular file nor a pipe";
    return OpenFault::kWrongKind;
  }
  // From here on a read waits for what a writer still has to give.
  if (pipe) ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
  size = pipe ? 0 : static_cast<uint64_t>(info.st_size);
  fault.clear();
  return OpenFault::kNone;
}

}  // namespace korvane_navigation
