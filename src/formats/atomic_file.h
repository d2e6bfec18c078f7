// Output files replaced whole or not at all, and a run's outputs replaced
// together: a run that fails halfway, or is interrupted, never leaves a
// truncated map where a good one stood, nor a new map.pcd beside floor maps
// made from another cloud.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace korvane_navigation {

// True when `path` exists (whatever kind of entry it is) or has been created
// as a directory together with its missing parents.
bool ensureDirectory(const std::string& path);

// Writes a file to a temporary path that the writer is given.
using FileWriter = std::function<bool(const std::string& temp_path)>;

// Files written one by one and put in place together. Each is written to a
// fresh temporary file beside its final path and flushed to the disk;
// commit() renames them all over their final paths once every one has been
// written. A set destroyed or discarded before commit() removes its
// temporary files and leaves every final path untouched.
class StagedOutputs {
 public:
  StagedOutputs() = default;
  ~StagedOutputs() { discard(); }
  StagedOutputs(const StagedOutputs&) = delete;
  StagedOutputs& operator=(const StagedOutputs&) = delete;

  // False, with `error` naming the step that failed and why, when the file
  // cannot be written; nothing of it is left then.
  bool stage(const std::string& path, const FileWriter& write_to, std::string* error = nullptr);
  bool stage(const std::string& path, const void* data, size_t size, std::string* error = nullptr);

  bool commit(std::string* error = nullptr);
  void discard();

  size_t size() const { return staged_.size(); }

 private:
  struct Staged {
    std::string path;
    std::string temp_path;
  };
  std::vector<Staged> staged_;
};

// One file replaced on its own: staged and committed at once.
bool replaceFileAtomically(const std::string& path, const FileWriter& write_to,
                           std::string* error = nullptr);
bool writeFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* error = nullptr);

// On SIGINT and SIGTERM, removes every temporary output file still pending,
// then ends the process by the same signal (so the shell sees the usual
// status, 130 or 143).
void removeTemporaryOutputsOnSignals();

}  // namespace korvane_navigation
