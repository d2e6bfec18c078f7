// Writes the starting corpora of the fuzz targets and their dictionaries:
//   fuzz_seeds <dir>  ->  <dir>/las/, <dir>/laz/, <dir>/config/, <dir>/cloud/, <dir>/layout/, <dir>/e57/,
//                         <dir>/config.dict, <dir>/cloud.dict, <dir>/e57.dict, <dir>/laz.dict
// Generated rather than committed, so that the repository holds no binary
// inputs.
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include "e57_writer.h"
#include "las_writer.h"
#include "laz_writer.h"

using namespace korvane_navigation;

namespace {

void write(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(content.data(), 1, content.size(), file) != content.size()) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fclose(file);
}

std::string bytes(const std::vector<uint8_t>& data) { return std::string(data.begin(), data.end()); }

std::string floatBytes(const std::vector<float>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}

std::string doubleBytes(const std::vector<double>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
}

void lasSeeds(const std::string& dir) {
  const std::vector<std::array<double, 3>> points = {{0, 0, 0}, {1.5, -2.25, 3}, {100, 200, 0.5}};
  int n = 0;
  for (uint8_t minor = 0; minor <= 4; ++minor) {
    for (uint8_t format : {0, 1, 3, 6, 10}) {
      if (format > 5 && minor < 4) continue;
      LasWriteOptions options;
      options.version_minor = minor;
      options.point_format = format;
      options.vlr_count = minor % 2;
      options.extra_record_bytes = minor == 3 ? 4 : 0;
      options.legacy_count_zero = format >= 6;
      write(dir + "/las_" + std::to_string(n++), bytes(encodeLas(points, options)));
    }
  }
  LasWriteOptions overdeclared;
  overdeclared.declared_count = 1000;
  const std::string truncated = bytes(encodeLas(points, overdeclared));
  write(dir + "/las_truncated", truncated.substr(0, truncated.size() - 7));
  write(dir + "/las_empty", bytes(encodeLas({})));
}

// LAZ files of a few points in chunks of three (none, one, a chunk, a chunk
// and one more), LAS 1.2 and 1.4, and one cut inside its second chunk.
void lazSeeds(const std::string& dir) {
  std::vector<std::array<double, 3>> points;
  for (int i = 0; i < 7; ++i) points.push_back({1.5 * i, -2.25 * i * i, 0.5 + i % 3});
  int n = 0;
  for (uint8_t minor : {2, 4}) {
    for (size_t count : {0, 1, 3, 4, 7}) {
      LazWriteOptions options;
      options.las.version_minor = minor;
      options.chunk_points = 3;
      write(dir + "/laz_" + std::to_string(n++),
            bytes(encodeLaz(std::vector<std::array<double, 3>>(points.begin(), points.begin() + count), options)));
    }
  }
  LazWriteOptions options;
  options.chunk_points = 3;
  const std::string whole = bytes(encodeLaz(points, options));
  write(dir + "/laz_cut", whole.substr(0, whole.size() - 40));
  write(dir + "/../laz.dict",
        "\"LASF\"\n\"laszip encoded\"\n\"\\xbc\\x56\"\n\"\\x80\"\n\"\\x02\\x00\"\n\"\\x03\\x00\"\n"
        "\"\\x50\\xc3\\x00\\x00\"\n\"\\xff\\xff\\xff\\xff\"\n");
}

void configSeeds(const std::string& dir) {
  const std::string floors =
      "[{\"floor_name\": \"L1\", \"min_height\": 0.1, \"max_height\": 2.0},"
      " {\"floor_name\": \"L2\", \"min_height\": 3, \"max_height\": 5.5}]";
  auto config = [](const std::string& floors_value, const std::string& origin) {
    return "{\n  \"output_path\": \"out\",\n  \"input_pointcloud\": \"cloud.las\",\n"
           "  \"downsample_size\": 0.05,\n  \"map_resolution\": 0.05,\n"
           "  \"transform_matrix\": {\"rotation\": [1, 0, 0, 0], \"translation\": [0, 0, 1.5]},\n"
           "  \"sensor_origin\": " + origin + ",\n  \"floors\": " + floors_value + "\n}\n";
  };
  write(dir + "/config_floors", config(floors, "[0, 0, 1]"));
  write(dir + "/config_no_floors", config("[]", "[0.5, -1e3, 2e-3]"));
  write(dir + "/config_floor_object",
        config("{\"b\": {\"floor_name\": \"B\", \"min_height\": -1, \"max_height\": 0}}", "[0,0,0]"));
  write(dir + "/config_null_floors", config("null", "[1, 2, 3, 4]"));
  // Values refused while loading: an inverted band, an origin beyond single
  // precision, a key given twice, no output folder.
  write(dir + "/config_inverted_band",
        config("[{\"floor_name\": \"L1\", \"min_height\": 2.5, \"max_height\": 0.5}]", "[0, 0, 1]"));
  write(dir + "/config_far_origin", config(floors, "[0, 0, 1e39]"));
  std::string repeated = config(floors, "[0, 0, 1]");
  repeated.insert(repeated.find("  \"map_resolution\""), "  \"downsample_size\": 0.1,\n");
  write(dir + "/config_repeated_key", repeated);
  std::string no_output = config(floors, "[0, 0, 1]");
  no_output.replace(no_output.find("\"out\""), 5, "\"\"");
  write(dir + "/config_empty_output", no_output);

  write(dir + "/../config.dict",
        "\"output_path\"\n\"input_pointcloud\"\n\"downsample_size\"\n\"map_resolution\"\n"
        "\"transform_matrix\"\n\"rotation\"\n\"translation\"\n\"sensor_origin\"\n\"floors\"\n"
        "\"floor_name\"\n\"min_height\"\n\"max_height\"\n\"[1, 0, 0, 0]\"\n\"[0, 0, 0]\"\n"
        "\"true\"\n\"null\"\n\"1e308\"\n\"-0.0\"\n\"\\\\u0000\"\n\"1e39\"\n\"\\\"\\\"\"\n");
}

void cloudSeeds(const std::string& dir) {
  const std::string pcd_fields =
      "# .PCD v0.7\nVERSION 0.7\nFIELDS x y z intensity\nSIZE 4 4 4 1\nTYPE F F F U\nCOUNT 1 1 1 1\n";
  write(dir + "/pcd_ascii", pcd_fields +
                                "WIDTH 2\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\nDATA ascii\n"
                                "1 2 3 4\nnan inf -1.5e3 0\n");
  const std::string records = floatBytes({1, 2, 3}) + "\x07" + floatBytes({4, 5, 6}) + "\x08";
  write(dir + "/pcd_binary",
        pcd_fields + "WIDTH 2\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\nDATA binary\n" + records);
  // An LZF block of one literal run: a control byte of length - 1, then the bytes.
  const std::string sizes = std::string("\x1b\x00\x00\x00\x1a\x00\x00\x00", 8);
  write(dir + "/pcd_compressed", pcd_fields +
                                     "WIDTH 2\nHEIGHT 1\nPOINTS 2\nDATA binary_compressed\n" +
                                     sizes + "\x19" + records);

  const std::string ply_vertex =
      "element vertex 2\nproperty float x\nproperty float y\nproperty float z\n"
      "property uchar red\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n";
  write(dir + "/ply_ascii", "ply\nformat ascii 1.0\ncomment seed\n" + ply_vertex +
                                "1 2 3 255\n4 5 6 0\n3 0 1 1\n");
  write(dir + "/ply_binary", "ply\nformat binary_little_endian 1.0\n" + ply_vertex + records +
                                 std::string("\x03\x00\x00\x00\x00\x01\x00\x00\x00\x01\x00\x00\x00", 13));
  // What exporters write: 8-byte floats, X Y Z, CR LF, colours, cameras, padding.
  const std::string wide = doubleBytes({1, 2, 3, 4, 5, 6});
  write(dir + "/pcd_doubles", "VERSION 0.7\nFIELDS X Y Z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\n"
                              "WIDTH 2\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\nDATA binary\n" + wide);
  write(dir + "/pcd_doubles_compressed",
        "FIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nPOINTS 2\nDATA binary_compressed\n" +
            std::string("\x31\x00\x00\x00\x30\x00\x00\x00\x2f", 9) + wide);
  write(dir + "/pcd_old_crlf", "  FIELDS x _ y z\r\nPOINTS 2\r\nDATA ascii\r\n\r\n1 0 2 3\r\nnan 0 -inf 1e5\r\n");
  write(dir + "/ply_doubles_big_endian",
        "ply \nformat binary_big_endian 1.0\nelement vertex 2\nproperty double x\nproperty double y\n"
        "property double z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
        "element camera 1\nproperty int viewportx\nproperty int viewporty\n"
        "element range_grid 2\nproperty list uchar int vertex_indices\nend_header\n" +
            wide.substr(0, 24) + "abc" + wide.substr(24) + "def" + std::string("\0\0\0\2\0\0\0\1", 8) +
            std::string("\x01\0\0\0\0\x01\0\0\0\1", 10));
  write(dir + "/ply_ascii_crlf",
        "ply\r\nformat ascii 1.0\r\nelement vertex 2\r\nproperty float32 X\r\nproperty float64 Y\r\n"
        "property float Z extra\r\nproperty uchar intensity\r\nelement face 1\r\n"
        "property list ushort float l\r\nend_header\r\n1 2 3 4\r\n-1e3 inf nan 0\r\n2 0.5 1\r\n");
  write(dir + "/obj", "# mesh\nmtllib a.mtl\nv 1 2 3\nv\t4.5 -5 6e2 1\nvn 0 0 1\nvt 0.5 0.5\n"
                      "f 1//1 2//1 1//1\n");
  write(dir + "/obj_cr_bom", "\xEF\xBB\xBFv 1 2 3\rv 4 5 6\r\nvn 0 0 1\rv -1e3 nan inf");
  // Layouts only our readers take: integer coordinates, lists among the
  // vertices' properties, faces before them, no POINTS.
  const std::string shorts = std::string("\x01\x00\xff\xff\x02\x00\x03\x00\x04\x00\x05\x80", 12);
  write(dir + "/pcd_integers", "VERSION .5\nFIELDS x y z\nSIZE 2 2 2\nTYPE I U I\nWIDTH 2\nHEIGHT 1\nDATA binary\n" + shorts);
  write(dir + "/ply_vertex_lists",
        "ply\nformat binary_little_endian 1.0\nelement face 1\nproperty list uchar int vertex_indices\n"
        "element vertex 2\nproperty short x\nproperty list uchar uchar n\nproperty short y\nproperty short z\n"
        "end_header\n" + std::string("\x01\x00\x00\x00\x00", 5) + shorts.substr(0, 2) + "\x02\x07\x08" +
            shorts.substr(2, 4) + shorts.substr(6, 2) + std::string("\x00", 1) + shorts.substr(8, 4));

  write(dir + "/../cloud.dict",
        "\"FIELDS\"\n\"SIZE\"\n\"TYPE\"\n\"COUNT\"\n\"WIDTH\"\n\"HEIGHT\"\n\"POINTS\"\n"
        "\"VIEWPOINT\"\n\"DATA ascii\\x0a\"\n\"DATA binary\\x0a\"\n\"DATA binary_compressed\\x0a\"\n"
        "\"ply\\x0a\"\n\"format ascii 1.0\\x0a\"\n\"format binary_little_endian 1.0\\x0a\"\n"
        "\"element vertex \"\n\"property float \"\n\"property list uchar int \"\n"
        "\"end_header\\x0a\"\n\"v \"\n\"4294967295\"\n\"18446744073709551615\"\n"
        "\"VERSION 0.7\\x0a\"\n\"COLUMNS\"\n\"SIZE 8 8 8\\x0a\"\n\"TYPE F F F\\x0a\"\n\"\\x0d\\x0a\"\n"
        "\"property double \"\n\"property uchar red\\x0a\"\n\"property uchar blue\\x0a\"\n"
        "\"property uchar alpha\\x0a\"\n\"element face \"\n\"element camera 1\\x0a\"\n"
        "\"element range_grid \"\n\"viewportx\"\n\"vertex_indices\"\n\"nan\"\n\"-inf\"\n\"1e400\"\n"
        "\"\\xef\\xbb\\xbf\"\n\"\\x0d\"\n\"binary_big_endian\"\n\"property list uchar uchar \"\n\"TYPE I I I\\x0a\"\n");
}

// Small files (a few pages each), so that the fuzzer's length limit,
// taken from the largest seed, stays small too.
void e57Seeds(const std::string& dir) {
  std::vector<E57Scan> scans(2);
  for (int i = 0; i < 12; ++i) scans[0].points.push_back({0.5 * i, -0.25 * i, 1.0 + 0.125 * (i % 3)});
  scans[0].invalid.assign(scans[0].points.size(), false);
  scans[0].invalid[3] = true;
  scans[1].points = {{1, 2, 3}, {-4, 5, -6}, {7.5, 0, 0}};
  scans[1].invalid.assign(scans[1].points.size(), false);
  scans[1].pose = E57Pose{std::array<double, 4>{0.9, 0, 0, 0.1}, std::array<double, 3>{10, -20, 1.5}};

  struct Variant {
    const char* name;
    void (*set)(E57WriteOptions&);
  };
  // Zeros of the pose left empty, as the format's reference library writes them.
  const auto empty_zeros = [](std::string& xml) {
    for (const char axis : {'x', 'y', 'z'}) {
      const std::string zero = std::string("<") + axis + " type=\"Float\">0</" + axis + ">";
      for (size_t at; (at = xml.find(zero)) != std::string::npos;)
        xml.replace(at, zero.size(), std::string("<") + axis + " type=\"Float\"/>");
    }
  };
  // Structures nested past what the reader takes.
  const auto nested = [](std::string& xml) {
    std::string open, close;
    for (int i = 0; i < 80; ++i) open += "<s type=\"Structure\">", close += "</s>";
    xml.insert(xml.find("<cartesianZ "), open + "<deep type=\"Integer\" minimum=\"0\" maximum=\"1\"/>" + close);
  };
  const Variant variants[] = {
      {"double", [](E57WriteOptions&) {}},
      {"single_spherical", [](E57WriteOptions& o) {
         o.spherical = true;
         o.encoding = E57CoordinateEncoding::kSingleFloat;
         o.invalid_state_field = true;
       }},
      {"scaled_extras", [](E57WriteOptions& o) {
         o.encoding = E57CoordinateEncoding::kScaledInteger;
         o.scale = 0.01;
         o.invalid_state_field = true;
         o.extra_fields = true;
       }},
      {"small_packets", [](E57WriteOptions& o) {
         o.encoding = E57CoordinateEncoding::kScaledInteger;
         o.scale = 0.003;
         o.page_size = 128;
         o.max_packet_bytes = 48;
         o.index_and_empty_packets = true;
       }},
  };
  const std::pair<const char*, std::function<void(std::string&)>> xml_edits[] = {
      {"empty_pose_zeros", empty_zeros}, {"nested_prototype", nested}};
  for (const auto& [name, edit] : xml_edits) {
    E57WriteOptions options;
    options.edit_xml = edit;
    options.invalid_state_field = true;
    std::string error;
    if (!writeE57File(dir + "/e57_" + name, scans, options, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
  }
  for (const Variant& variant : variants) {
    E57WriteOptions options;
    variant.set(options);
    std::vector<E57Scan> variant_scans = scans;
    if (!options.invalid_state_field)
      for (E57Scan& scan : variant_scans) scan.invalid.clear();
    std::string error;
    if (!writeE57File(dir + "/e57_" + variant.name, variant_scans, options, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
  }

  write(dir + "/../e57.dict",
        "\"ASTM-E57\"\n\"<data3D\"\n\"<vectorChild type=\\\"Structure\\\">\"\n\"type=\\\"CompressedVector\\\"\"\n"
        "\"type=\\\"ScaledInteger\\\"\"\n\"type=\\\"Integer\\\"\"\n\"type=\\\"Float\\\"\"\n"
        "\"precision=\\\"single\\\"\"\n\"minimum=\\\"\"\n\"maximum=\\\"\"\n\"scale=\\\"\"\n"
        "\"offset=\\\"\"\n\"fileOffset=\\\"\"\n\"recordCount=\\\"\"\n\"<prototype\"\n\"<codecs\"\n"
        "\"<pose\"\n\"<rotation\"\n\"<translation\"\n\"cartesianX\"\n\"sphericalRange\"\n"
        "\"cartesianInvalidState\"\n\"sphericalInvalidState\"\n\"-9223372036854775808\"\n"
        "\"18446744073709551615\"\n\"\\x01\\x00\\xff\\xff\"\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <dir>\n");
    return 2;
  }
  const std::string root = argv[1];
  for (const char* sub : {"", "/las", "/laz", "/config", "/cloud", "/layout", "/e57"}) ::mkdir((root + sub).c_str(), 0755);
  lasSeeds(root + "/las");
  lazSeeds(root + "/laz");
  configSeeds(root + "/config");
  cloudSeeds(root + "/cloud");
  e57Seeds(root + "/e57");
  // cloud_layout_fuzz makes its files from any bytes: a few to start from.
  for (int i = 0; i < 4; ++i) write(root + "/layout/bytes_" + std::to_string(i), std::string(64, static_cast<char>(i * 85)));
  return 0;
}
