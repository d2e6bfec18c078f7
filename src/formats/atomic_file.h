// Output files replaced whole or not at all: a run that fails halfway never
// leaves a truncated map where a good one stood.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace korvane_navigation {

// True when `path` exists (whatever kind of entry it is) or has been created
// as a directory together with its missing parents.
bool ensureDirectory(const std::string& path);

// Writes through `write_to`, which is given the path of a fresh temporary
// file in the same directory as `path`; renames it over `path` only when
// `write_to` returned true and the data reached the disk. On failure the
// temporary file is removed, `path` is untouched and `error` (when given)
// says which step failed and why.
bool replaceFileAtomically(const std::string& path,
                           const std::function<bool(const std::string& temp_path)>& write_to,
                           std::string* error = nullptr);

bool writeFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string* error = nullptr);

}  // namespace korvane_navigation
