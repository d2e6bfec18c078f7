// Opening the files the program reads, and reading them at known offsets.
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

// Which kinds of file a reader takes. Readers that seek need a regular
// file, whose size bounds what they read; a stream may also come through a
// pipe (`map_generator <(jq ... config.json)`).
enum class FileKinds { kRegular, kRegularOrPipe };

// What keeps a path from being read; kMissing is kCannotOpen for a path
// that names nothing.
enum class OpenFault { kNone, kMissing, kCannotOpen, kCannotExamine, kDirectory, kWrongKind };

// Opens `path` read-only into `file` without waiting for a writer on a
// named pipe (one no one writes to then reads as empty), and requires it to
// be of `kinds`. `size` is a regular file's size, 0 for a pipe. Unless it
// returns kNone, `fault` says what is wrong in the words every reader
// uses, without the path, which the caller puts in front: "cannot be opened
// (<reason>)", "cannot be examined (<reason>)", "is a directory", "is not a
// regular file" or "is neither a regular file nor a pipe".
OpenFault openFileToRead(const std::string& path, FileKinds kinds, FileDescriptor& file, uint64_t& size,
                         std::string& fault);

}  // namespace korvane_navigation
