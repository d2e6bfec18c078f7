// Reading files at known offsets, as the LAS and E57 readers do.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace korvane_navigation {

// Reads until `size` bytes are in or the file ends; -1 on an I/O error.
ssize_t readAt(int fd, uint8_t* buffer, size_t size, uint64_t position);

// Closes the descriptor it holds when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace korvane_navigation
