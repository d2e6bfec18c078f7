// Helpers shared by the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_support {

// One scratch file for the whole run, removed when the fuzzer exits normally.
inline const std::string& scratchFile(const char* name) {
  static const std::string path = [name] {
    std::string pattern = std::string("/tmp/") + name + "_XXXXXX";
    const int fd = ::mkstemp(&pattern[0]);
    if (fd < 0) std::abort();
    ::close(fd);
    std::atexit([] { ::unlink(path.c_str()); });
    return pattern;
  }();
  return path;
}

// A property every input must keep; its failure is a finding.
inline void require(bool condition, const char* target, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
  }
}

}  // namespace fuzz_support
