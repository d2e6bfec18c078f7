// The loaders behind NavMapGenerator's loader table, one per file format.
#pragma once

#include <functional>
#include <string>

#include "formats/point_blocks.h"

namespace korvane_navigation {

// The text after the last "." of a path's file name, the whole path when the
// name has none.
std::string fileExtension(const std::string& path);

// The loader table's key for an extension: extensions match whatever their
// case ("SCAN.LAS" is a LAS file).
std::string loaderKey(const std::string& extension);

// Reads a file into `sink` on up to `threads` threads, reporting `progress`;
// true when the file was read whole and its points are wanted.
using SurveyReader = std::function<bool(const PointBlockSink& sink, const ReadProgress& progress, unsigned threads)>;

}  // namespace korvane_navigation
