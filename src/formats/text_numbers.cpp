#include "formats/text_numbers.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace korvane_navigation {

bool parseDecimal(const char* begin, const char* end, double& value) {
  const char* p = begin;
  // from_chars takes a minus but no plus.
  if (p < end && *p == '+') {
    ++p;
    if (p < end && (*p == '-' || *p == '+')) return false;
  }
  if (p == end) return false;
  const std::from_chars_result parsed = std::from_chars(p, end, value, std::chars_format::general);
  if (parsed.ptr != end) return false;
  if (parsed.ec == std::errc::result_out_of_range) {
    // strtod tells overflow from underflow; the token is short, since it parsed.
    char text[512];
    const size_t length = static_cast<size_t>(end - p);
    if (length >= sizeof text) {
      value = 0.0;  // hundreds of digits: only a long run of zeros gets here
      return true;
    }
    std::memcpy(text, p, length);
    text[length] = '\0';
    value = std::strtod(text, nullptr);
    return true;
  }
  return parsed.ec == std::errc();
}

bool parseCount(const char* begin, const char* end, uint64_t& value) {
  if (begin == end || end - begin > 19) return false;
  value = 0;
  for (const char* p = begin; p < end; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  return true;
}

std::string quotedText(const char* begin, const char* end) {
  std::string text = "\"";
  for (const char* p = begin; p < end && p < begin + 40; ++p) text += (*p >= 0x20 && *p < 0x7f) ? *p : '?';
  return text + (end - begin > 40 ? "...\"" : "\"");
}

}  // namespace korvane_navigation
