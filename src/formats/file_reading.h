// Reading files at known offsets, as the LAS and E57 readers do.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane_navigation {

// Reads until `size` bytes are in or the file ends; -1 on an I/O error.
ssize_t readAt(int fd, uint8_t* buffer, size_t size, uint64_t position);

// Closes the descriptor it holds when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// What keeps a path from being read at offsets.
enum class OpenFault { kNone, kCannotOpen, kCannotExamine, kDirectory, kNotRegularFile };

// Opens `path` read-only into `file`, without blocking on a pipe that has no
// writer, and requires a regular file: its size, in `size`, bounds what is
// read, so pipes and devices are out. For kCannotOpen and kCannotExamine,
// `error_number` is the system's reason.
OpenFault openRegularFile(const std::string& path, FileDescriptor& file, uint64_t& size, int& error_number);

// The LAS and E57 readers' words for a fault: the system's reason, or what
// the path is instead of a file.
std::string openFaultText(OpenFault fault, int error_number);

}  // namespace korvane_navigation
