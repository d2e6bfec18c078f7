#include "formats/atomic_file.h"

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane_navigation {

namespace {

// Flushes a written file to the disk so that the rename never publishes
// data still only in the page cache.
bool syncFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

bool writeAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

bool ensureDirectory(const std::string& path) {
  boost::system::error_code error;
  if (boost::filesystem::exists(path, error)) return true;
  if (error && error != boost::system::errc::no_such_file_or_directory) return false;
  try {
    return boost::filesystem::create_directories(path);
  } catch (const boost::filesystem::filesystem_error&) {
    return false;
  }
}

bool replaceFileAtomically(const std::string& path,
                           const std::function<bool(const std::string& temp_path)>& write_to,
                           std::string* error) {
  auto fail = [&](const std::string& step) {
    if (error) *error = errno != 0 ? step + " (" + std::strerror(errno) + ")" : step;
    return false;
  };
  std::string temp_path = path + ".tmp-XXXXXX";
  const int fd = ::mkstemp(&temp_path[0]);
  if (fd < 0) return fail("cannot create a temporary file beside " + path);
  // mkstemp creates the file 0600; give it the usual permissions of a new file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);

  auto discard = [&](const std::string& step) {
    const bool failed = fail(step);
    ::unlink(temp_path.c_str());
    return failed;
  };
  try {
    errno = 0;
    if (!write_to(temp_path)) return discard("cannot write " + temp_path);
  } catch (...) {
    ::unlink(temp_path.c_str());
    throw;
  }
  if (!syncFile(temp_path)) return discard("cannot flush " + temp_path);
  if (::rename(temp_path.c_str(), path.c_str()) != 0) return discard("cannot replace " + path);
  return true;
}

bool writeFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* error) {
  return replaceFileAtomically(path, [&](const std::string& temp_path) {
    const int fd = ::open(temp_path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return false;
    const bool written = writeAll(fd, data, size);
    return ::close(fd) == 0 && written;
  }, error);
}

}  // namespace korvane_navigation
