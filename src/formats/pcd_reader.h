// Reader for PCD point clouds: ascii, binary and binary_compressed data,
// fields of every type, x, y, z as floats of 4 or 8 bytes or as integers.
#pragma once

#include <string>

#include "formats/cloud_read_result.h"
#include "formats/pcd_header.h"
#include "formats/point_blocks.h"

namespace korvane_navigation {

struct PcdReadResult : CloudReadResult {
  PcdHeader header;  // the viewpoint among it
};

// Reads the file a block of points at a time into `sink`, never holding the
// whole cloud: binary data are read on `threads` threads (block k on thread
// k % threads, block 0 before the others start), text on the caller's.
// Compressed data are one LZF block by nature, unpacked whole; its size is
// bounded by the header's points and by what the file's compressed bytes
// can unpack to. NaNs of organized clouds are handed on as they are.
// `progress`, when given, is called on the calling thread as the file is read.
PcdReadResult readPcdPoints(const std::string& path, const PointBlockSink& sink,
                            const ReadProgress& progress = nullptr, unsigned threads = 1);

}  // namespace korvane_navigation
