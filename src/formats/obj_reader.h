// Reader for the vertices of Wavefront OBJ files: "v x y z [w]" lines; faces,
// normals, texture coordinates and everything else are left alone.
#pragma once

#include <string>

#include "formats/cloud_read_result.h"
#include "formats/point_blocks.h"

namespace korvane_navigation {

using ObjReadResult = CloudReadResult;

// Reads the vertices a block at a time into `sink`, on the caller's thread
// (OBJ text has no fixed records to share out). Lines may end in LF, CR LF
// or a lone CR; a UTF-8 byte-order mark is skipped. A vertex line without
// three numbers fails the read, naming its line. `threads` is accepted for
// the shape the other readers share.
ObjReadResult readObjPoints(const std::string& path, const PointBlockSink& sink,
                            const ReadProgress& progress = nullptr, unsigned threads = 1);

// The x, y, z of one vertex line, [begin, end) without its line end:
// true with `xyz` set for a vertex; false and `is_vertex` set when the
// line is a vertex without three numbers; false otherwise.
bool parseObjVertex(const char* begin, const char* end, double (&xyz)[3], bool& is_vertex);

}  // namespace korvane_navigation
