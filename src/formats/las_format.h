// Byte positions in the public header block of a LAS file, shared by the
// reader and the writer.
#pragma once

#include <cstddef>

namespace korvane_navigation {
namespace las {

constexpr size_t kVersionMajorAt = 24;
constexpr size_t kVersionMinorAt = 25;
constexpr size_t kSystemIdentifierAt = 26;
constexpr size_t kGeneratingSoftwareAt = 58;
constexpr size_t kHeaderSizeAt = 94;
constexpr size_t kOffsetToPointDataAt = 96;
constexpr size_t kVlrCountAt = 100;
constexpr size_t kPointFormatAt = 104;
constexpr size_t kPointRecordLengthAt = 105;
constexpr size_t kLegacyPointCountAt = 107;
constexpr size_t kScaleAt = 131;
constexpr size_t kOffsetAt = 155;
constexpr size_t kBoundsAt = 179;  // max x, min x, max y, min y, max z, min z
constexpr size_t kPointCount64At = 247;

// Byte positions in a point record.
constexpr size_t kClassificationAt = 15;       // formats 0 to 5: class, then the synthetic, key-point, withheld bits
constexpr size_t kClassificationFlagsAt = 15;  // formats 6 to 10: synthetic, key-point, withheld, overlap bits

}  // namespace las
}  // namespace korvane_navigation
