#include "core/plain_decimal.h"

#include <cstdio>

namespace korvane_navigation {

std::string plainDecimal(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%.6f", value);
  std::string text(buffer);
  const size_t dot = text.find('.');
  if (dot != std::string::npos) {
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
  }
  if (text == "-0") text = "0";
  return text;
}

}  // namespace korvane_navigation
