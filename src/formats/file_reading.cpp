#include "formats/file_reading.h"

#include <cerrno>

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

}  // namespace korvane_navigation
