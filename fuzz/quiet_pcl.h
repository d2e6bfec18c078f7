// For the fuzz targets that run PCL's readers: PCL prints every file it
// refuses, and a fuzzer feeds it millions.
#pragma once

#include <pcl/console/print.h>

namespace fuzz_support {

inline void quietPcl() {
  static const bool quiet = [] {
    pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
    return true;
  }();
  (void)quiet;
}

}  // namespace fuzz_support
