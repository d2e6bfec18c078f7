// Reader for ASTM E57 point clouds: the x, y, z of every valid point of every
// scan in data3D, in the file's common frame. Only bit-packed compressed
// vectors are decoded (the codec every known writer uses); images are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "formats/point_blocks.h"

namespace korvane_navigation {

namespace e57 {

constexpr size_t kFileHeaderSize = 48;
constexpr size_t kChecksumSize = 4;  // ends every page
constexpr size_t kSectionHeaderSize = 32;
constexpr uint8_t kCompressedVectorSectionId = 1;
constexpr uint8_t kIndexPacket = 0;
constexpr uint8_t kDataPacket = 1;
constexpr uint8_t kEmptyPacket = 2;
constexpr size_t kLargestPacket = 65536;  // the length field holds length - 1 in 16 bits
constexpr const char* kNamespace = "http://www.astm.org/COMMIT/E57/2010-e57-v1.0";

}  // namespace e57

// CRC-32C (Castagnoli), as stored big-endian at the end of every page.
uint32_t crc32c(const uint8_t* data, size_t size);
// The same from tables alone: what crc32c falls back on where the processor
// has no CRC-32C instruction.
uint32_t crc32cPortable(const uint8_t* data, size_t size);

// Whether the reader may use the processor's CRC-32C and vector instructions
// where it has them (the default). Without them it runs the portable code
// that other processors run, to the same results: tests compare the two.
void setE57ProcessorInstructions(bool allowed);

// Reads a `width`-bit value (0..64) that starts `bit_offset` bits into `data`,
// bits packed least significant first. Touches only the bytes the value spans.
uint64_t unpackBits(const uint8_t* data, uint64_t bit_offset, unsigned width);

struct E57Header {
  uint32_t version_major = 0;
  uint32_t version_minor = 0;
  uint64_t physical_length = 0;
  uint64_t xml_physical_offset = 0;
  uint64_t xml_logical_length = 0;
  uint64_t page_size = 0;
};

// Parses and checks the 48-byte file header against the real `file_size`.
// On failure returns false and describes the fault in `error` (without the
// file name). Page checksums are not checked here.
bool parseE57Header(const uint8_t* data, size_t size, uint64_t file_size, E57Header& header,
                    std::string& error);

enum class E57ReadStatus { kOk, kCannotOpen, kInvalid };

struct E57ReadResult {
  E57ReadStatus status = E57ReadStatus::kInvalid;
  uint64_t points_read = 0;     // valid points handed to the sink
  uint64_t invalid_points = 0;  // left out: their cartesian or spherical invalid state is not 0
  uint32_t scans = 0;
  uint64_t bytes_total = 0;     // for progress
  std::string error;            // "<path>: <reason>" unless kOk
};

// Points arrive in chunks on thread 0, already in the file's common frame
// (pose applied in double), scans in file order. When the result is not kOk
// the sink may already have received the points before the fault.
//
// Streams the file packet by packet; memory stays near one chunk of points
// plus what the file's own layout forces to be held (bytestreams that run
// ahead of each other). `progress(done, total)` is called as the file is read.
E57ReadResult readE57File(const std::string& path, const PointBlockSink& sink,
                          const ReadProgress& progress = nullptr);

}  // namespace korvane_navigation
