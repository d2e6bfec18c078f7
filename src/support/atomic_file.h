// Output files replaced whole or not at all, and a run's outputs replaced
// together: a run that fails halfway, or is interrupted, never leaves a
// truncated map where a good one stood, nor a new map.pcd beside floor maps
// made from another cloud.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/folder_lock.h"

namespace korvane_navigation {

// True when `path` exists (whatever kind of entry it is) or has been created
// as a directory together with its missing parents; otherwise `error` says
// why (the system's reason, or that the path is empty).
bool ensureDirectory(const std::string& path, std::string* error = nullptr);

// How a file waiting to be put in place is named beside its final path
// `<name>`: `<name>.tmp-XXXXXX` while it is written, and the old file
// `<name>.prev-XXXXXX` while the new set is put in place.
constexpr const char kTemporaryInfix[] = ".tmp-";
constexpr const char kBackupInfix[] = ".prev-";
enum class LeftoverKind { kNone, kTemporary, kBackup };
LeftoverKind leftoverKind(const std::string& file_name);
// The final file name a temporary or moved-aside file stands for; empty for
// any other name.
std::string leftoverOwner(const std::string& file_name);

// What a killed run (SIGKILL, a power cut) left in `folder` of the files
// named above: temporary files are removed, and an old output moved aside is
// put back where no file took its place (removed where one did). Only safe
// while the folder's lock is held. Returns what was done, one line a file.
std::vector<std::string> removeStaleTemporaries(const std::string& folder);

// Writes a file to a temporary path that the writer is given.
using FileWriter = std::function<bool(const std::string& temp_path)>;

// Files written one by one and put in place together. Each is written to a
// fresh temporary file beside its final path and flushed to the disk;
// commit() puts them all in place once every one has been written, all or
// none: the old files are moved aside first and put back on any failure. A
// set destroyed or discarded before commit() removes its temporary files and
// leaves every final path untouched.
class StagedOutputs {
 public:
  StagedOutputs() = default;
  ~StagedOutputs() { discard(); }
  StagedOutputs(const StagedOutputs&) = delete;
  StagedOutputs& operator=(const StagedOutputs&) = delete;

  // False, with `error` naming the step that failed and why, when the file
  // cannot be written; nothing of it is left then. Several threads may stage
  // files at once.
  bool stage(const std::string& path, const FileWriter& write_to, std::string* error = nullptr);
  bool stage(const std::string& path, const void* data, size_t size, std::string* error = nullptr);

  // Locks `folder` for this set until commit() or discard() (see FolderLock),
  // then clears what killed runs left there; `cleaned` says what was done.
  bool holdFolder(const std::string& folder, std::vector<std::string>* cleaned = nullptr,
                  std::string* error = nullptr);

  // On failure `error` names the file that could not be moved and whether
  // every old file could be put back.
  bool commit(std::string* error = nullptr);
  void discard();

  size_t size() const { return staged_.size(); }

 private:
  struct Staged {
    std::string path;
    std::string temp_path;
  };
  std::mutex staged_mutex_;
  std::vector<Staged> staged_;
  FolderLock folder_lock_;

  bool putInPlace(std::string* error);
};

// On SIGINT, SIGTERM and SIGHUP, removes every temporary output file still
// pending, then ends the process by the same signal (so the shell sees the
// usual status, 130, 143 or 129). A signal while a set is being put in place
// waits for the set to be whole.
void removeTemporaryOutputsOnSignals();

}  // namespace korvane_navigation
