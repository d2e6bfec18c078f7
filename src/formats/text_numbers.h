// Numbers written as text in PCD, PLY and OBJ data.
#pragma once

#include <cstdint>
#include <string>

namespace korvane_navigation {

// Reads [begin, end) as a whole decimal number, with an optional sign and
// exponent, or nan, inf or infinity in any case. Anything else, a number run
// into other text ("1.5x") or hexadecimal included, is no number. Magnitudes
// beyond a double become infinities, below its smallest become zero.
bool parseDecimal(const char* begin, const char* end, double& value);

// Reads [begin, end) as plain decimal digits (no sign), at most 19 of them.
bool parseCount(const char* begin, const char* end, uint64_t& value);
inline bool parseCount(const std::string& text, uint64_t& value) {
  return parseCount(text.data(), text.data() + text.size(), value);
}

// A token as a message quotes it: at most 40 characters, anything
// unprintable as '?'.
std::string quotedText(const char* begin, const char* end);

inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Moves `p` past blanks, then returns the end of the token there (p itself when none).
inline const char* nextToken(const char*& p, const char* end) {
  while (p < end && isBlank(*p)) ++p;
  const char* token_end = p;
  while (token_end < end && !isBlank(*token_end)) ++token_end;
  return token_end;
}

}  // namespace korvane_navigation
