// Numbers as the maps' YAML and the run's messages print them: no exponent,
// no trailing zeros, and never "-0".
#pragma once

#include <string>

namespace korvane_navigation {

// A number in plain decimal notation, rounded to 6 decimals, trailing zeros dropped.
std::string plainDecimal(double value);

}  // namespace korvane_navigation
