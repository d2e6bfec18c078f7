#include "formats/atomic_file.h"

#include <atomic>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane_navigation {

namespace {

// Temporary files not yet renamed, for the signal handler: it may only read
// what is already in memory and call async-signal-safe functions (unlink).
constexpr size_t kMostPendingFiles = 4096;
std::atomic<char*> g_pending[kMostPendingFiles];

bool registerPending(const std::string& temp_path) {
  char* copy = ::strdup(temp_path.c_str());
  if (copy == nullptr) return false;
  for (std::atomic<char*>& slot : g_pending) {
    char* empty = nullptr;
    if (slot.compare_exchange_strong(empty, copy)) return true;
  }
  std::free(copy);
  errno = EMFILE;
  return false;
}

void forgetPending(const std::string& temp_path) {
  for (std::atomic<char*>& slot : g_pending) {
    char* held = slot.load();
    if (held != nullptr && temp_path == held && slot.compare_exchange_strong(held, nullptr)) {
      std::free(held);
      return;
    }
  }
}

void removePendingAndDie(int signal_number) {
  for (std::atomic<char*>& slot : g_pending) {
    if (char* path = slot.load()) ::unlink(path);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

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

bool fail(std::string* error, const std::string& step) {
  if (error) *error = errno != 0 ? step + " (" + std::strerror(errno) + ")" : step;
  return false;
}

void removeTemporary(const std::string& temp_path) {
  ::unlink(temp_path.c_str());
  forgetPending(temp_path);
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

bool StagedOutputs::stage(const std::string& path, const FileWriter& write_to, std::string* error) {
  errno = 0;
  // Found now rather than when the run's files are put in place, where the
  // ones before it would already be replaced.
  struct stat existing;
  if (::stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
    errno = EISDIR;
    return fail(error, "cannot replace " + path);
  }
  errno = 0;
  std::string temp_path = path + ".tmp-XXXXXX";
  // A signal between creating the file and noting it would leave it behind.
  sigset_t interrupts, previous;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  sigaddset(&interrupts, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
  const int fd = ::mkstemp(&temp_path[0]);
  const bool noted = fd >= 0 && registerPending(temp_path);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (fd < 0) return fail(error, "cannot create a temporary file beside " + path);
  if (!noted) {
    const int saved = errno;
    ::close(fd);
    ::unlink(temp_path.c_str());
    errno = saved;
    return fail(error, "cannot keep track of " + temp_path);
  }
  // mkstemp creates the file 0600; give it the usual permissions of a new file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);

  auto discard_this = [&](const std::string& step) {
    const bool failed = fail(error, step);
    removeTemporary(temp_path);
    return failed;
  };
  try {
    errno = 0;
    if (!write_to(temp_path)) return discard_this("cannot write " + temp_path);
  } catch (...) {
    removeTemporary(temp_path);
    throw;
  }
  errno = 0;
  if (!syncFile(temp_path)) return discard_this("cannot flush " + temp_path);
  staged_.push_back({path, temp_path});
  return true;
}

bool StagedOutputs::stage(const std::string& path, const void* data, size_t size, std::string* error) {
  return stage(path, [&](const std::string& temp_path) {
    const int fd = ::open(temp_path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) return false;
    const bool written = writeAll(fd, data, size);
    return ::close(fd) == 0 && written;
  }, error);
}

bool StagedOutputs::commit(std::string* error) {
  for (size_t i = 0; i < staged_.size(); ++i) {
    errno = 0;
    if (::rename(staged_[i].temp_path.c_str(), staged_[i].path.c_str()) != 0) {
      // Those already renamed stay: a rename cannot be taken back once the
      // old file is gone. The rest are dropped.
      const bool failed = fail(error, "cannot replace " + staged_[i].path);
      staged_.erase(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(i));
      discard();
      return failed;
    }
    forgetPending(staged_[i].temp_path);
  }
  staged_.clear();
  return true;
}

void StagedOutputs::discard() {
  for (const Staged& staged : staged_) removeTemporary(staged.temp_path);
  staged_.clear();
}

bool replaceFileAtomically(const std::string& path, const FileWriter& write_to, std::string* error) {
  StagedOutputs outputs;
  return outputs.stage(path, write_to, error) && outputs.commit(error);
}

bool writeFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* error) {
  StagedOutputs outputs;
  return outputs.stage(path, data, size, error) && outputs.commit(error);
}

void removeTemporaryOutputsOnSignals() {
  struct sigaction action {};
  action.sa_handler = removePendingAndDie;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace korvane_navigation
