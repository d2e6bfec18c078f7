#include "support/atomic_file.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <dirent.h>
#include <new>
#include <boost/filesystem.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane_navigation {

namespace {

// Temporary files not yet renamed, for the signal handler: it may only read
// what is already in memory and call async-signal-safe functions (unlink).
// A list that only grows, one slot per file pending at the same time: a slot
// whose file is renamed or removed is emptied and taken by the next file, and
// a new slot is linked in front when none is free. The handler walks it
// without taking any lock, so nothing is ever unlinked from it.
struct PendingSlot {
  std::atomic<char*> path{nullptr};
  PendingSlot* next = nullptr;
};
std::atomic<PendingSlot*> g_pending{nullptr};

bool registerPending(const std::string& temp_path) {
  char* copy = ::strdup(temp_path.c_str());
  if (copy == nullptr) return false;
  for (PendingSlot* slot = g_pending.load(); slot != nullptr; slot = slot->next) {
    char* empty = nullptr;
    if (slot->path.compare_exchange_strong(empty, copy)) return true;
  }
  PendingSlot* added = new (std::nothrow) PendingSlot;
  if (added == nullptr) {
    std::free(copy);
    errno = ENOMEM;
    return false;
  }
  added->path.store(copy);
  added->next = g_pending.load();
  while (!g_pending.compare_exchange_weak(added->next, added)) {
  }
  return true;
}

void forgetPending(const std::string& temp_path) {
  for (PendingSlot* slot = g_pending.load(); slot != nullptr; slot = slot->next) {
    char* held = slot->path.load();
    if (held != nullptr && temp_path == held && slot->path.compare_exchange_strong(held, nullptr)) {
      std::free(held);
      return;
    }
  }
}

// Set while a set of files is being put in place, which must not stop
// halfway: a signal then is kept for its end.
std::atomic<bool> g_committing{false};
std::atomic<int> g_deferred_signal{0};

void removePendingAndDie(int signal_number) {
  if (g_committing.load()) {
    g_deferred_signal.store(signal_number);
    return;
  }
  for (PendingSlot* slot = g_pending.load(); slot != nullptr; slot = slot->next) {
    if (char* path = slot->path.load()) ::unlink(path);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// The signals that end a run and after which its temporary files are removed.
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// Keeps the interrupts away while it lives: for the steps between creating a
// file and noting it, and for the final renames, which must run to the end.
class InterruptsHeld {
 public:
  InterruptsHeld() {
    sigset_t interrupts;
    sigemptyset(&interrupts);
    for (const int signal_number : kInterrupts) sigaddset(&interrupts, signal_number);
    ::pthread_sigmask(SIG_BLOCK, &interrupts, &previous_);
  }
  ~InterruptsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  sigset_t previous_;
};

// The process's file creation mask. Reading it means setting it, so the
// floors that stage their files side by side take turns.
mode_t creationMask() {
  static std::mutex turns;
  const std::lock_guard<std::mutex> lock(turns);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
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

bool ensureDirectory(const std::string& path, std::string* error) {
  if (path.empty()) {
    if (error) *error = "the path is empty";
    return false;
  }
  boost::system::error_code fs_error;
  if (boost::filesystem::exists(path, fs_error)) return true;
  if (!fs_error || fs_error == boost::system::errc::no_such_file_or_directory) {
    fs_error.clear();
    if (boost::filesystem::create_directories(path, fs_error)) return true;
    // Made meanwhile by someone else.
    if (!fs_error && boost::filesystem::is_directory(path, fs_error)) return true;
  }
  if (error) *error = fs_error ? fs_error.message() : "it could not be created";
  return false;
}

LeftoverKind leftoverKind(const std::string& file_name) {
  constexpr size_t kUniqueLength = 6;  // mkstemp's XXXXXX
  for (const auto& [infix, kind] : {std::make_pair(std::string(kTemporaryInfix), LeftoverKind::kTemporary),
                                    std::make_pair(std::string(kBackupInfix), LeftoverKind::kBackup)}) {
    const size_t tail = infix.size() + kUniqueLength;
    if (file_name.size() <= tail) continue;
    const size_t at = file_name.size() - tail;
    if (file_name.compare(at, infix.size(), infix) != 0) continue;
    const bool unique = std::all_of(file_name.end() - kUniqueLength, file_name.end(),
                                    [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
    if (unique) return kind;
  }
  return LeftoverKind::kNone;
}

std::string leftoverOwner(const std::string& file_name) {
  const LeftoverKind kind = leftoverKind(file_name);
  if (kind == LeftoverKind::kNone) return "";
  const size_t infix = kind == LeftoverKind::kTemporary ? std::strlen(kTemporaryInfix) : std::strlen(kBackupInfix);
  return file_name.substr(0, file_name.size() - infix - 6);
}

std::vector<std::string> removeStaleTemporaries(const std::string& folder) {
  std::vector<std::string> done;
  DIR* directory = ::opendir(folder.c_str());
  if (directory == nullptr) return done;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(directory)) names.emplace_back(entry->d_name);
  ::closedir(directory);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const LeftoverKind kind = leftoverKind(name);
    if (kind == LeftoverKind::kNone) continue;
    const std::string path = folder + "/" + name;
    struct stat entry;
    if (::lstat(path.c_str(), &entry) != 0 || !S_ISREG(entry.st_mode)) continue;
    const std::string owner = folder + "/" + leftoverOwner(name);
    struct stat standing;
    // An old output moved aside by a run killed before it could put the new
    // one there is the only copy left: it goes back.
    if (kind == LeftoverKind::kBackup && ::lstat(owner.c_str(), &standing) != 0 && errno == ENOENT) {
      if (::rename(path.c_str(), owner.c_str()) == 0) done.push_back("put back " + owner + " from " + path);
      continue;
    }
    if (::unlink(path.c_str()) == 0) done.push_back("removed " + path);
  }
  return done;
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
  std::string temp_path = path + kTemporaryInfix + "XXXXXX";
  int fd;
  bool noted;
  {
    // A signal between creating the file and noting it would leave it behind.
    const InterruptsHeld held;
    fd = ::mkstemp(&temp_path[0]);
    noted = fd >= 0 && registerPending(temp_path);
  }
  if (fd < 0) return fail(error, "cannot create a temporary file beside " + path);
  if (!noted) {
    const int saved = errno;
    ::close(fd);
    ::unlink(temp_path.c_str());
    errno = saved;
    return fail(error, "cannot keep track of " + temp_path);
  }
  // mkstemp creates the file 0600; give it the usual permissions of a new file.
  ::fchmod(fd, 0666 & ~creationMask());
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
  const std::lock_guard<std::mutex> lock(staged_mutex_);
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
  bool committed;
  {
    const InterruptsHeld held;
    g_committing.store(true);
    committed = putInPlace(error);
    g_committing.store(false);
  }
  folder_lock_.release();
  // A signal that came to another thread while the files were being renamed
  // was kept for now: it ends the process once the set is whole.
  if (const int deferred = g_deferred_signal.exchange(0)) removePendingAndDie(deferred);
  return committed;
}

// Moves each old file aside, then each new one in; on any failure every old
// file is put back. Only when all are in are the old ones removed.
bool StagedOutputs::putInPlace(std::string* error) {
  std::vector<std::string> aside(staged_.size());  // empty where nothing stood
  // Puts back the old files of the first `placed` outputs over their new ones
  // (or removes a new one where none stood) and those of the rest over
  // nothing; names what could not be put back.
  const auto restore = [&](size_t placed) {
    std::string unrestored;
    for (size_t i = 0; i < staged_.size(); ++i) {
      if (!aside[i].empty()) {
        if (::rename(aside[i].c_str(), staged_[i].path.c_str()) != 0) {
          unrestored += (unrestored.empty() ? "" : ", ") + staged_[i].path + " (left in " + aside[i] + ")";
        }
      } else if (i < placed) {
        ::unlink(staged_[i].path.c_str());
      }
    }
    discard();
    return unrestored.empty() ? std::string("; every earlier output is as it was")
                              : "; these could not be put back: " + unrestored;
  };
  for (size_t i = 0; i < staged_.size(); ++i) {
    struct stat existing;
    if (::lstat(staged_[i].path.c_str(), &existing) != 0) continue;
    std::string backup = staged_[i].path + kBackupInfix + "XXXXXX";
    const int fd = ::mkstemp(&backup[0]);
    errno = 0;
    const bool moved = fd >= 0 && ::close(fd) == 0 && ::rename(staged_[i].path.c_str(), backup.c_str()) == 0;
    if (!moved) {
      const int cause = errno;
      if (fd >= 0) ::unlink(backup.c_str());
      errno = cause;
      fail(error, "cannot move " + staged_[i].path + " aside");
      if (error) *error += restore(0);
      return false;
    }
    aside[i] = backup;
  }
  for (size_t i = 0; i < staged_.size(); ++i) {
    errno = 0;
    if (::rename(staged_[i].temp_path.c_str(), staged_[i].path.c_str()) != 0) {
      fail(error, "cannot replace " + staged_[i].path);
      if (error) *error += restore(i);
      return false;
    }
    forgetPending(staged_[i].temp_path);
  }
  for (const std::string& backup : aside) {
    if (!backup.empty()) ::unlink(backup.c_str());
  }
  staged_.clear();
  return true;
}

void StagedOutputs::discard() {
  for (const Staged& staged : staged_) removeTemporary(staged.temp_path);
  staged_.clear();
  folder_lock_.release();
}

bool StagedOutputs::holdFolder(const std::string& folder, std::vector<std::string>* cleaned,
                               std::string* error) {
  if (!folder_lock_.acquire(folder, error)) return false;
  const std::vector<std::string> removed = removeStaleTemporaries(folder);
  if (cleaned) *cleaned = removed;
  return true;
}

void removeTemporaryOutputsOnSignals() {
  struct sigaction action {};
  action.sa_handler = removePendingAndDie;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kInterrupts) ::sigaction(signal_number, &action, nullptr);
}

}  // namespace korvane_navigation
