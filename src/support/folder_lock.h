// One run at a time in an output folder: two runs staging and renaming into
// the same folder at once would leave a set made of both.
#pragma once

#include <string>

namespace korvane_navigation {

// The file in the output folder whose lock marks the folder as in use. It
// stays, empty, between runs: removing it would let a run that opened it just
// before lock a file no one else can see.
constexpr const char kFolderLockName[] = ".map_generator.lock";

// Holds the lock of one folder from acquire() until release() or its
// destruction. The lock is the kernel's, so a killed run never leaves the
// folder locked.
class FolderLock {
 public:
  FolderLock() = default;
  ~FolderLock() { release(); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Returns at once: false, with `error` naming the folder and, when it can
  // be told, the process holding it, when another holder has it.
  bool acquire(const std::string& folder, std::string* error = nullptr);
  void release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace korvane_navigation
