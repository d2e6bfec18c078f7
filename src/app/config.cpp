#include "app/config.h"

#include <charconv>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <climits>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "core/coordinates.h"
#include "formats/file_reading.h"

namespace korvane_navigation {

namespace {

using nlohmann::json;

bool fail(std::string& error, const std::string& message) {
  error = message;
  return false;
}

// Reads the members of the configuration file with explicit type tests:
// the JSON library would silently take a boolean for a number. Each failure
// names the member, so that the user knows what to fix.
class ConfigReader {
 public:
  explicit ConfigReader(std::string* error) : error_(error) {}

  bool string(const json& object, const char* key, std::string& out) {
    const json* value = member(object, key);
    if (!value) return false;
    if (!value->is_string()) return wrongType(key, "a string", *value);
    out = value->get<std::string>();
    return true;
  }

  bool number(const json& object, const char* key, double& out) {
    const json* value = member(object, key);
    if (!value) return false;
    if (!value->is_number()) return wrongType(key, "a number", *value);
    out = value->get<double>();
    return true;
  }

  bool numbers(const json& object, const char* key, std::vector<double>& out) {
    const json* value = member(object, key);
    if (!value) return false;
    if (!value->is_array()) return wrongType(key, "an array of numbers", *value);
    out.clear();
    for (const json& element : *value) {
      if (!element.is_number()) return wrongType(key, "an array of numbers", element);
      out.push_back(element.get<double>());
    }
    return true;
  }

  bool object(const json& value, const char* what) {
    if (value.is_object()) return true;
    return wrongType(what, "an object", value);
  }

  bool fail(const std::string& message) {
    *error_ = message;
    return false;
  }

 private:
  const json* member(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) {
      fail(std::string("member \"") + key + "\" is missing");
      return nullptr;
    }
    return &*it;
  }

  bool wrongType(const char* key, const char* expected, const json& value) {
    return fail(std::string("member \"") + key + "\" must be " + expected + ", not " +
                value.type_name());
  }

  std::string* error_;
};

// The elements of the "floors" member: an array in order, an object's values
// in the order of their names, nothing for null, and any other value as a
// single (invalid) element.
std::vector<const json*> floorElements(const json& floors) {
  std::vector<const json*> elements;
  if (floors.is_null()) return elements;
  if (floors.is_array() || floors.is_object()) {
    for (const json& element : floors) elements.push_back(&element);
  } else {
    elements.push_back(&floors);
  }
  return elements;
}

// The whole file, or all a pipe gives (`map_generator <(jq ... config.json)`),
// up to a size no configuration reaches. A named pipe no one writes to reads
// as empty rather than waiting for a writer.
bool readConfigText(const std::string& path, std::string& text, std::string& error) {
  constexpr size_t kLargestConfig = size_t{64} << 20;
  FileDescriptor file;
  uint64_t size = 0;
  std::string fault;
  if (openFileToRead(path, FileKinds::kRegularOrPipe, file, size, fault) != OpenFault::kNone) return fail(error, fault);
  text.clear();
  char block[65536];
  for (;;) {
    const ssize_t got = ::read(file.get(), block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(error, std::string("cannot be read (") + std::strerror(errno) + ")");
    if (got == 0) break;
    if (text.size() + static_cast<size_t>(got) > kLargestConfig) {
      return fail(error, "holds more than " + std::to_string(kLargestConfig >> 20) +
                             " MiB, far more than any configuration");
    }
    text.append(block, static_cast<size_t>(got));
  }
  return true;
}

// A parser callback that notes the first key given twice in one object: the
// JSON library would keep the last silently.
json::parser_callback_t repeatedKeyFinder(std::string& repeated_key) {
  auto open_objects = std::make_shared<std::vector<std::set<std::string>>>();
  return [open_objects, &repeated_key](int, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
        open_objects->emplace_back();
        break;
      case json::parse_event_t::object_end:
        if (!open_objects->empty()) open_objects->pop_back();
        break;
      case json::parse_event_t::key:
        if (!open_objects->empty() && !open_objects->back().insert(parsed.get<std::string>()).second &&
            repeated_key.empty()) {
          repeated_key = parsed.get<std::string>();
        }
        break;
      default:
        break;
    }
    return true;
  };
}

}  // namespace

bool readConfigFile(const std::string& path, Config& config, std::string& error, FloorsMember floors_member) {
  ConfigReader read(&error);
  std::string text;
  if (!readConfigText(path, text, error)) return false;
  json root;
  std::string repeated_key;
  try {
    root = json::parse(text, repeatedKeyFinder(repeated_key));
  } catch (const json::exception& e) {
    return read.fail(std::string("is not valid JSON: ") + e.what());
  }
  if (!repeated_key.empty()) {
    return read.fail("member \"" + repeated_key + "\" is given twice in one object: which one is meant is unclear");
  }
  if (!read.object(root, "the document")) return false;

  if (!read.string(root, "output_path", config.output_path) ||
      !read.string(root, "input_pointcloud", config.input_pointcloud) ||
      !read.number(root, "downsample_size", config.downsample_size) ||
      !read.number(root, "map_resolution", config.map_resolution)) {
    return false;
  }
  const auto transform = root.find("transform_matrix");
  if (transform == root.end()) return read.fail("member \"transform_matrix\" is missing");
  if (!read.object(*transform, "transform_matrix")) return false;
  std::vector<double> rotation, translation;
  if (!read.numbers(*transform, "rotation", rotation) ||
      !read.numbers(*transform, "translation", translation)) {
    return false;
  }
  if (rotation.size() != 4) {
    return read.fail("member \"rotation\" must hold four numbers w, x, y, z, not " +
                     std::to_string(rotation.size()));
  }
  if (translation.size() != 3) {
    return read.fail("member \"translation\" must hold three numbers x, y, z, not " +
                     std::to_string(translation.size()));
  }
  // The map's points and the rays from the sensor origin are single
  // precision: a larger value would turn every point of map.pcd, or the
  // origin, into infinities or NaN.
  std::vector<double> origin;
  if (!read.numbers(root, "sensor_origin", origin)) return false;
  if (origin.size() < 3) {
    return read.fail("member \"sensor_origin\" must hold three numbers x, y, z, not " +
                     std::to_string(origin.size()));
  }
  origin.resize(3);  // further numbers are ignored
  for (const auto& member : {std::make_pair("rotation", &rotation),
                             std::make_pair("translation", &translation),
                             std::make_pair("sensor_origin", &origin)}) {
    for (const double value : *member.second) {
      if (std::fabs(value) > std::numeric_limits<float>::max()) {
        std::ostringstream text;
        text << "member \"" << member.first << "\" holds " << value
             << ", beyond single precision";
        return read.fail(text.str());
      }
    }
  }
  config.transform_matrix = rigidTransform(rotation[0], rotation[1], rotation[2], rotation[3],
                                           Eigen::Vector3d(translation[0], translation[1], translation[2]));

  config.sensor_origin = Eigen::Vector3d(origin[0], origin[1], origin[2]).cast<float>();

  const auto floors = root.find("floors");
  config.floors.clear();
  if (floors == root.end() || floors_member == FloorsMember::kIgnored) return true;
  for (const json* floor : floorElements(*floors)) {
    if (!read.object(*floor, "floors")) return false;
    double min_height = 0.0, max_height = 0.0;
    std::string name;
    if (!read.number(*floor, "min_height", min_height) ||
        !read.number(*floor, "max_height", max_height) ||
        !read.string(*floor, "floor_name", name)) {
      return false;
    }
    config.floors.emplace_back(name, max_height, min_height);
  }
  return true;
}

namespace {

bool sizeFails(const std::string& member, double value, double smallest, std::string& error) {
  if (isCellSize(value) && value >= smallest && value <= std::numeric_limits<float>::max()) {
    return false;
  }
  std::ostringstream text;
  text << member << " holds " << value << ": it must be a finite size of at least " << smallest << " m";
  error = text.str();
  return true;
}

// Why `name` cannot name a floor's files, empty when it can: the maps are
// `<name>.png` and `<name>.yaml` in the output folder, and the YAML refers to
// its image by that bare name.
std::string floorNameFault(const std::string& name) {
  // The longest file name most file systems take, less the suffixes the map
  // files carry while they are put in place: a longer name would fail only
  // after all the work.
  constexpr size_t kLongestName = 255 - sizeof(".yaml.prev-XXXXXX") + 1;
  if (name.empty()) return "it is empty";
  if (name.size() > kLongestName) {
    return "it is " + std::to_string(name.size()) + " bytes long, more than the " + std::to_string(kLongestName) +
           " a file name leaves for it";
  }
  if (name.find('/') != std::string::npos) return "it holds a \"/\"";
  if (name.front() == '.') return "it starts with a \".\"";
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "it holds a control character";
  }
  return "";
}

bool sameFile(const std::string& a, const std::string& b) {
  boost::system::error_code error;
  return boost::filesystem::exists(b, error) && boost::filesystem::equivalent(a, b, error);
}

}  // namespace

std::string jsonMemberName(const std::string& member) { return "member \"" + member + "\""; }

bool checkConfig(const Config& config, std::string& error, const MemberNamer& name) {
  if (sizeFails(name("downsample_size"), config.downsample_size, kSmallestDownsampleSize, error) ||
      sizeFails(name("map_resolution"), config.map_resolution, kSmallestMapResolution, error)) {
    return false;
  }
  if (config.output_path.empty()) {
    error = name("output_path") + " is empty: the maps would be written at the root of the file system";
    return false;
  }
  std::set<std::string> names;
  for (const Config::Floor& floor : config.floors) {
    const std::string fault = floorNameFault(floor.name);
    if (!fault.empty()) {
      error = name("floor_name") + " holds \"" + floor.name + "\", which is no plain file name: " + fault;
      return false;
    }
    if (!names.insert(floor.name).second) {
      error = name("floor_name") + " holds \"" + floor.name +
              "\" twice: the second floor's maps would overwrite the first's";
      return false;
    }
    if (floor.min_height > floor.max_height) {
      std::ostringstream text;
      text << name("min_height") << " of floor \"" << floor.name << "\" holds " << floor.min_height
           << ", above its " << name("max_height") << " " << floor.max_height
           << ": the band between them holds nothing";
      error = text.str();
      return false;
    }
  }
  const boost::filesystem::path folder(config.output_path);
  std::vector<std::string> outputs = {(folder / "map.pcd").string()};
  for (const Config::Floor& floor : config.floors) {
    outputs.push_back((folder / (floor.name + ".png")).string());
    outputs.push_back((folder / (floor.name + ".yaml")).string());
  }
  // The system takes no longer path, with the suffix a file carries while it
  // is put in place: found now rather than after the work.
  constexpr size_t kLongestPath = PATH_MAX - 1 - (sizeof(".prev-XXXXXX") - 1);
  for (const std::string& output : outputs) {
    if (output.size() > kLongestPath) {
      error = name("output_path") + " makes the output " + output.substr(0, 60) + "... " +
              std::to_string(output.size()) + " bytes long, more than the " + std::to_string(kLongestPath) +
              " a path may have";
      return false;
    }
  }
  for (const std::string& output : outputs) {
    if (sameFile(config.input_pointcloud, output)) {
      error = name("input_pointcloud") + " names \"" + config.input_pointcloud +
              "\", which is also the output " + output + ": the run would replace its own input";
      return false;
    }
  }
  return true;
}

namespace {

// The shortest decimal that reads back as `value`.
std::string shortestDecimal(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::string numbersJson(std::initializer_list<double> values) {
  std::string text = "[";
  for (const double v : values) text += (text.size() > 1 ? ", " : "") + shortestDecimal(v == 0.0 ? 0.0 : v);
  return text + "]";
}

}  // namespace

std::string translationJson(const Eigen::Vector3d& t) { return numbersJson({t.x(), t.y(), t.z()}); }

std::string transformMatrixJson(const Eigen::Affine3d& transform) {
  const Eigen::Quaterniond q(transform.linear());
  return "{\"rotation\": " + numbersJson({q.w(), q.x(), q.y(), q.z()}) +
         ", \"translation\": " + translationJson(transform.translation()) + "}";
}

}  // namespace korvane_navigation
