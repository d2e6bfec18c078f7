// The loaders behind NavMapGenerator's loader table, one per file format.
#pragma once

#include <string>

namespace korvane_navigation {

// The text after the last "." of a path's file name, the whole path when the
// name has none.
std::string fileExtension(const std::string& path);

// The loader table's key for an extension: extensions match whatever their
// case ("SCAN.LAS" is a LAS file).
std::string loaderKey(const std::string& extension);

}  // namespace korvane_navigation
