// Reader for PLY point clouds: ascii, binary_little_endian and
// binary_big_endian. The vertex element gives the points; every other
// element, before or after it, is passed over.
#pragma once

#include <string>

#include "formats/cloud_read_result.h"
#include "formats/ply_header.h"
#include "formats/point_blocks.h"

namespace korvane_navigation {

struct PlyReadResult : CloudReadResult {
  PlyHeader header;
};

// Reads the vertices a block at a time into `sink`, never holding the whole
// cloud: binary vertices of fixed size are read on `threads` threads (block
// k on thread k % threads, block 0 before the others start); text, and
// vertices with list properties, on the caller's. The elements before the
// vertices are read only to find where those begin. `progress`, when given,
// is called on the calling thread as the file is read.
PlyReadResult readPlyPoints(const std::string& path, const PointBlockSink& sink,
                            const ReadProgress& progress = nullptr, unsigned threads = 1);

}  // namespace korvane_navigation
