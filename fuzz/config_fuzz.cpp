// Feeds arbitrary bytes to the configuration loader as the content of a
// config file. Rotations of other than 4 numbers and translations of other
// than 3 stop the process by design (a fatal check), so those inputs are
// skipped.
#include <glog/logging.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_support.h"
#include "map_generator.h"

using namespace korvane_navigation;

namespace {

bool reachesFatalCheck(const uint8_t* data, size_t size) {
  const nlohmann::json root = nlohmann::json::parse(data, data + size, nullptr, false);
  if (!root.is_object()) return false;
  const auto transform = root.find("transform_matrix");
  if (transform == root.end() || !transform->is_object()) return false;
  const auto rotation = transform->find("rotation");
  const auto translation = transform->find("translation");
  return (rotation != transform->end() && rotation->is_array() && rotation->size() != 4) ||
         (translation != transform->end() && translation->is_array() && translation->size() != 3);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every refused input logs an error; the output would drown the fuzzer's.
  FLAGS_minloglevel = google::GLOG_FATAL;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (reachesFatalCheck(data, size)) return -1;  // kept out of the corpus
  const std::string& path = fuzz_support::scratchFile("config_fuzz");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
  NavMapGenerator generator;
  generator.loadConfig(path);
  return 0;
}
