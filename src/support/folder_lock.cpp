#include "support/folder_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace korvane_navigation {

namespace {

// A record lock beside the flock, only so that a refused run can name the
// holder: the kernel reports a record lock's owner, never a flock's. The flock
// alone decides, since record locks do not exclude threads of one process.
void markOwner(int fd, bool writable) {
  struct flock owner {};
  owner.l_type = writable ? F_WRLCK : F_RDLCK;
  owner.l_whence = SEEK_SET;
  ::fcntl(fd, F_SETLK, &owner);
}

// 0 when the holder cannot be told (it holds no record lock, or let go).
pid_t ownerOf(int fd) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (::fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return 0;
  return probe.l_pid > 0 ? probe.l_pid : 0;
}

bool fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

}  // namespace

bool FolderLock::acquire(const std::string& folder, std::string* error) {
  release();
  const std::string path = folder + "/" + kFolderLockName;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  // Another user's lock file in a shared folder: a lock needs no writing.
  const bool writable = fd >= 0;
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return fail(error, "cannot lock the output folder " + folder + ": cannot open " + path + " (" +
                           std::strerror(errno) + ")");
  }
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int cause = errno;
    std::string message;
    if (cause == EWOULDBLOCK) {
      const pid_t owner = ownerOf(fd);
      message = "the output folder " + folder + " is in use by another map_generator run" +
                (owner > 0 ? " (process " + std::to_string(owner) + ")" : std::string()) +
                ": wait for it to end, or write the maps elsewhere";
    } else {
      message = "cannot lock the output folder " + folder + " (" + std::strerror(cause) + ")";
    }
    ::close(fd);
    return fail(error, message);
  }
  markOwner(fd, writable);
  fd_ = fd;
  return true;
}

void FolderLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);  // lets go of both locks
  fd_ = -1;
}

}  // namespace korvane_navigation
