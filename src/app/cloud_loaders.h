// The loaders behind NavMapGenerator's loader table, one per file format.
#pragma once

#include <string>

namespace korvane_navigation {

// The text after the last "." of a path, the whole path when it has none.
std::string fileExtension(const std::string& path);

}  // namespace korvane_navigation
