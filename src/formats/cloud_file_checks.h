// Checks made on PCD and PLY files before PCL reads them, and the reading
// of OBJ vertices.
//
// PCL sizes its buffers from the counts in a header before it looks at the
// data, so a header of a few bytes declaring billions of points makes it
// allocate gigabytes; counts that wrap in its 32-bit arithmetic make it read
// past its buffers. Its readers also take many lines silently for something
// else than they say: a PCD header line it does not know ends its header
// (and then it crashes or reads nothing), a text value it cannot parse
// becomes 0 or NaN, a text line with too few values becomes a point at the
// origin. So every header line is read here the way PCL will read it, and
// text data are read through once, and whatever PCL would misread is
// refused with the line that says so. Its OBJ reader writes past its buffer
// on ordinary files (tab-separated vertices, more normals than vertices), so
// OBJ is read here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

#include "core/point_vector.h"

namespace korvane_navigation {

// A header that does not end within this many bytes is refused.
constexpr size_t kCloudHeaderLimit = size_t{1} << 20;

// What a header declares, once it has passed its check.
struct DeclaredCloud {
  uint64_t points = 0;
  // What PCL's reader will leave out of a file it reads correctly (text
  // after the declared points), empty when nothing.
  std::string warning;
};

// `data` holds the first `size` bytes of the file: the whole header when it
// ends within kCloudHeaderLimit, and for binary_compressed PCD data the 8
// bytes that follow it when the file has them. `file_size` is the length of
// the whole file. On refusal `error` says why, with the numbers involved
// (without the file name).
bool checkPcdHeader(const char* data, size_t size, uint64_t file_size, DeclaredCloud& declared,
                    std::string& error);
bool checkPlyHeader(const char* data, size_t size, uint64_t file_size, DeclaredCloud& declared,
                    std::string& error);

enum class CloudFileFormat { kPcd, kPly };

// Checks the header of the file at `path` and, when its data are text,
// every data line. Anything but a regular file is refused: a directory or a
// pipe would never end a read.
bool checkCloudFile(const std::string& path, CloudFileFormat format, DeclaredCloud& declared,
                    std::string& error);

// The same check of a whole file held in memory.
bool checkCloudBytes(const char* data, size_t size, CloudFileFormat format, DeclaredCloud& declared,
                     std::string& error);

// Why `path` is no file to read through a stream, empty when it is one: a
// pipe would block the open until a writer comes, and a directory reads as
// nothing or never ends.
std::string notAFileToRead(const std::string& path);

// Appends the vertices ("v x y z [w]" lines) of an OBJ document to `points`;
// every other line is left alone. A vertex line without three numbers fails
// the whole read, with its line number in `error`.
bool readObjVertices(std::istream& in, PointVector& points, std::string& error);

}  // namespace korvane_navigation
