// Writes PCD and PLY files of known points in layouts chosen by the input:
// fields or properties of every type around x, y, z in any order, colours,
// padding, faces, cameras, text or binary of either byte order, blanks, tabs,
// CR LF and lone CR. Each goes to its reader on one to three threads, which
// must take it and give back the points written, to the bit of the double or
// float each was written as.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "formats/pcd_reader.h"
#include "formats/ply_reader.h"
#include "fuzz_support.h"

using namespace korvane_navigation;

namespace {

struct Column {
  std::string name;
  char type;      // F, I, U
  int size;       // bytes
  int count = 1;  // PCD only
  int axis = -1;  // 0, 1, 2 for x, y, z
};

std::string pick(FuzzedDataProvider& in, const std::vector<std::string>& choices) {
  return choices[in.ConsumeIntegralInRange<size_t>(0, choices.size() - 1)];
}

std::string blank(FuzzedDataProvider& in) { return pick(in, {" ", " ", " ", "\t", "  ", " \t"}); }

// Digits enough for the value to read back exactly: the double itself, or
// the single float nearest it for a 4-byte field.
std::string text(double value, bool wide) {
  char buffer[40];
  if (wide) {
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(static_cast<float>(value)));
  }
  return buffer;
}

// `value` as `column` holds it, in the file's byte order.
std::string binary(const Column& column, double value, bool big_endian) {
  char raw[8] = {};
  if (column.type == 'F' && column.size == 8) {
    std::memcpy(raw, &value, 8);
  } else if (column.type == 'F') {
    const float narrow = static_cast<float>(value);
    std::memcpy(raw, &narrow, 4);
  } else {
    const int64_t whole = static_cast<int64_t>(value);
    std::memcpy(raw, &whole, 8);
  }
  if (big_endian) std::reverse(raw, raw + column.size);
  return std::string(raw, static_cast<size_t>(column.size));
}

std::vector<Column> columns(FuzzedDataProvider& in, bool ply) {
  std::vector<Column> result;
  for (int axis = 0; axis < 3; ++axis) {
    const bool upper = in.ConsumeBool() && in.ConsumeBool();
    result.push_back({std::string(1, static_cast<char>((upper ? 'X' : 'x') + axis)), 'F',
                      in.ConsumeBool() ? 8 : 4, 1, axis});
  }
  const int extras = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < extras; ++i) {
    Column column;
    column.name = ply ? pick(in, {"red", "green", "blue", "alpha", "intensity", "nx", "w", "diffuse_red",
                                  "diffuse_blue", "quality"})
                      : pick(in, {"_", "rgb", "intensity", "normal_x", "w", "label", "curvature"});
    column.type = pick(in, {"F", "I", "U"})[0];
    column.size = column.type == 'F' ? (in.ConsumeBool() ? 4 : 8) : pick(in, {"1", "2", "4"})[0] - '0';
    column.count = ply ? 1 : in.ConsumeIntegralInRange(1, 3);
    bool taken = false;
    for (const Column& other : result) taken = taken || other.name == column.name;
    if (!taken || column.name == "_") result.push_back(column);
  }
  // Any order, by swaps the input picks.
  for (size_t i = result.size(); i > 1; --i) {
    std::swap(result[i - 1], result[in.ConsumeIntegralInRange<size_t>(0, i - 1)]);
  }
  return result;
}

std::string pcdType(const Column& column) { return std::string(1, column.type); }

std::string plyType(const Column& column) {
  if (column.type == 'F') return column.size == 8 ? "double" : "float";
  static const char* const kSigned[] = {"", "char", "short", "", "int"};
  static const char* const kUnsigned[] = {"", "uchar", "ushort", "", "uint"};
  return column.type == 'I' ? kSigned[column.size] : kUnsigned[column.size];
}

std::string pcdFile(FuzzedDataProvider& in, const std::vector<Column>& cols,
                    const std::vector<std::array<double, 3>>& points) {
  const std::string end = in.ConsumeBool() ? "\n" : "\r\n";
  const bool indent = in.ConsumeBool() && in.ConsumeBool();
  auto line = [&](const std::string& keyword, const std::vector<std::string>& values) {
    std::string text = (indent ? blank(in) : "") + keyword;
    for (const std::string& value : values) text += blank(in) + value;
    return text + end;
  };
  std::vector<std::string> names, sizes, types, counts;
  for (const Column& c : cols) {
    names.push_back(c.name);
    sizes.push_back(std::to_string(c.size));
    types.push_back(pcdType(c));
    counts.push_back(std::to_string(c.count));
  }
  const std::string n = std::to_string(points.size());
  std::string file = in.ConsumeBool() ? "# .PCD v0.7 - Point Cloud Data file format" + end : "";
  if (in.ConsumeBool()) file += line("VERSION", {"0.7"});
  file += line(in.ConsumeBool() ? "FIELDS" : "COLUMNS", names);
  file += line("SIZE", sizes) + line("TYPE", types);
  // Without COUNT every field holds one value.
  const bool count_line = in.ConsumeBool();
  if (count_line) file += line("COUNT", counts);
  if (in.ConsumeBool()) file += line("WIDTH", {n}) + line("HEIGHT", {"1"});
  if (in.ConsumeBool()) file += line("VIEWPOINT", {"0", "0", "0", "1", "0", "0", "0"});
  file += line("POINTS", {n});
  const bool text_data = in.ConsumeBool();
  file += line("DATA", {text_data ? "ascii" : "binary"});
  for (const auto& point : points) {
    std::string row;
    for (const Column& c : cols) {
      for (int k = 0; k < (count_line ? c.count : 1); ++k) {
        const double value = c.axis >= 0 ? point[static_cast<size_t>(c.axis)] : 7;
        if (text_data) {
          row += (row.empty() ? "" : blank(in)) + text(value, c.size == 8);
        } else {
          row += binary(c, value, false);
        }
      }
    }
    file += text_data ? row + end : row;
  }
  return file;
}

std::string plyFile(FuzzedDataProvider& in, const std::vector<Column>& cols,
                    const std::vector<std::array<double, 3>>& points) {
  const std::string format = pick(in, {"ascii", "binary_little_endian", "binary_big_endian"});
  const bool text_data = format == "ascii";
  // A lone CR before binary data could not be told from CR LF.
  const std::string end = text_data ? pick(in, {"\n", "\r\n", "\r"}) : pick(in, {"\n", "\r\n"});
  const bool big_endian = format == "binary_big_endian";
  const bool faces_first = in.ConsumeBool();
  const bool faces = faces_first || in.ConsumeBool();
  const bool camera = in.ConsumeBool() && in.ConsumeBool();
  auto trail = [&] { return in.ConsumeBool() && in.ConsumeBool() ? blank(in) : ""; };
  std::string file = "ply" + trail() + end + "format " + format + " 1.0" + trail() + end;
  if (in.ConsumeBool()) file += "comment made by a fuzzer" + end;
  const std::string face_header = "element face 1" + end + "property list uchar int vertex_indices" + end;
  const std::string face_data = text_data ? "3 0 1 2" + end
                                          : std::string("\3") + (big_endian ? std::string("\0\0\0\0\0\0\0\1\0\0\0\2", 12)
                                                                            : std::string("\0\0\0\0\1\0\0\0\2\0\0\0", 12));
  if (faces_first) file += face_header;
  file += "element vertex " + std::to_string(points.size()) + trail() + end;
  for (const Column& c : cols) file += "property " + plyType(c) + " " + c.name + trail() + end;
  if (faces && !faces_first) file += face_header;
  if (camera) file += "element camera 1" + end + "property int viewportx" + end + "property int viewporty" + end;
  file += "end_header" + end;
  if (faces_first) file += face_data;
  for (const auto& point : points) {
    std::string row;
    for (const Column& c : cols) {
      const double value = c.axis >= 0 ? point[static_cast<size_t>(c.axis)] : 7;
      if (text_data) {
        row += (row.empty() ? "" : blank(in)) + text(value, c.size == 8);
      } else {
        row += binary(c, value, big_endian);
      }
    }
    file += text_data ? row + end : row;
  }
  if (faces && !faces_first) file += face_data;
  if (camera) {
    file += text_data ? "5 7" + end
                      : binary({"", 'I', 4}, 5, big_endian) + binary({"", 'I', 4}, 7, big_endian);
  }
  return file;
}

void check(bool condition, const char* what) { fuzz_support::require(condition, "cloud_layout_fuzz", what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool ply = in.ConsumeBool();
  const std::vector<Column> cols = columns(in, ply);
  std::vector<std::array<double, 3>> points(in.ConsumeIntegralInRange<size_t>(1, 4));
  for (auto& point : points) {
    for (double& value : point) value = in.ConsumeFloatingPointInRange<double>(-1e6, 1e6);
  }
  const std::string file = ply ? plyFile(in, cols, points) : pcdFile(in, cols, points);
  const unsigned threads = in.ConsumeIntegralInRange(1, 3);

  const std::string& path = fuzz_support::scratchFile("cloud_layout_fuzz");
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out || std::fwrite(file.data(), 1, file.size(), out) != file.size() || std::fclose(out) != 0) {
    std::abort();
  }
  std::vector<std::array<double, 3>> read;
  const auto sink = [&](unsigned, const double* xyz, size_t count) {
    for (size_t i = 0; i < count; ++i) read.push_back({xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]});
  };
  // Every layout made here is one the readers take.
  const CloudReadResult result = ply ? CloudReadResult(readPlyPoints(path, sink, nullptr, threads))
                                     : CloudReadResult(readPcdPoints(path, sink, nullptr, threads));
  check(result.status == CloudReadStatus::kOk, "a layout written to the format refused");
  check(read.size() == points.size(), "another number of points than written");
  check(result.warning.empty(), "a warning on a file of only its points");
  for (size_t i = 0; i < points.size(); ++i) {
    for (const Column& c : cols) {
      if (c.axis < 0) continue;
      const auto a = static_cast<size_t>(c.axis);
      const double written = c.size == 8 ? points[i][a] : static_cast<float>(points[i][a]);
      check(read[i][a] == written, "a coordinate read otherwise than written");
    }
  }
  return 0;
}
