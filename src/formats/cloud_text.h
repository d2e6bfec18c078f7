// What the PCD and PLY header checks share: PCL's limits, its way of
// splitting lines and reading numbers, and the layout of a file's text data.
// Internal to the checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "formats/cloud_file_checks.h"

namespace korvane_navigation {
namespace cloud_text {

// PCL keeps point counts in 32-bit integers; more would wrap.
inline constexpr uint64_t kMostPoints = INT32_MAX;
// PCL adds up field offsets in an int.
inline constexpr uint64_t kMostPointBytes = INT32_MAX;
// An ASCII value takes a character and a separator at the least.
inline constexpr uint64_t kLeastAsciiBytesPerValue = 2;
// LZF's longest back reference expands 3 bytes into 264.
inline constexpr uint64_t kLzfMostExpansion = 88;
inline constexpr uint64_t kLzfLongestRun = 264;
// A text data line may be this long beyond 64 bytes a value: a longer one
// is no row of numbers, and reading it whole would take its length in memory.
inline constexpr size_t kLongestTextLine = 4096;

using Tokens = std::vector<std::string>;

// Blanks as the C locale's isspace knows them, which PCL's streams use.
inline bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The blanks PCL's PCD reader splits a line at (pcl::split with "\t\r ").
inline bool isPcdSeparator(char c) { return c == ' ' || c == '\t' || c == '\r'; }

template <typename Separator>
inline Tokens splitLine(const char* begin, const char* end, Separator separator) {
  Tokens tokens;
  const char* p = begin;
  while (p < end) {
    while (p < end && separator(*p)) ++p;
    const char* start = p;
    while (p < end && !separator(*p)) ++p;
    if (p > start) tokens.emplace_back(start, p);
  }
  return tokens;
}

inline bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

inline bool equalsIgnoringCase(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) &&
         std::equal(a.begin(), a.end(), b, [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

// Plain decimal digits only: a sign or trailing text would be read by PCL
// as something else than what it says.
inline bool parseCount(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

inline bool matchesWord(const char*& p, const char* end, const char* word) {
  const char* q = p;
  for (; *word; ++word, ++q) {
    if (q == end || (*q | 0x20) != *word) return false;
  }
  p = q;
  return true;
}

// A decimal number, or nan, inf or infinity in any case, with an optional
// sign: what both PCL readers turn into the value it says. They read "1.5x"
// as 1.5, "0x10" as 0 or NaN and "abc" as 0 or NaN, so nothing else is a number.
inline bool isNumber(const char* p, const char* end) {
  if (p < end && (*p == '+' || *p == '-')) ++p;
  if (p == end) return false;
  if (!isDigit(*p) && *p != '.') {
    if (matchesWord(p, end, "nan")) return p == end;
    if (!matchesWord(p, end, "inf")) return false;
    return p == end || (matchesWord(p, end, "inity") && p == end);
  }
  const char* digits = p;
  while (p < end && isDigit(*p)) ++p;
  bool any = p > digits;
  if (p < end && *p == '.') {
    const char* fraction = ++p;
    while (p < end && isDigit(*p)) ++p;
    any = any || p > fraction;
  }
  if (!any) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* exponent = p;
    while (p < end && isDigit(*p)) ++p;
    if (p == exponent) return false;
  }
  return p == end;
}

// A line's text as a message quotes it: at most 40 characters, anything
// unprintable as '?'.
inline std::string quoted(const char* begin, const char* end) {
  std::string text = "\"";
  for (const char* p = begin; p < end && p < begin + 40; ++p) {
    text += (*p >= 0x20 && *p < 0x7f) ? *p : '?';
  }
  return text + (end - begin > 40 ? "...\"" : "\"");
}

// a * b, saturating at the largest uint64_t.
inline uint64_t times(uint64_t a, uint64_t b) {
  uint64_t product;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

inline uint64_t plus(uint64_t a, uint64_t b) {
  uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

inline uint32_t loadU32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

inline std::string headerNotEnded(const char* what, size_t size) {
  return size >= kCloudHeaderLimit
             ? std::string("no ") + what + " line within the first " +
                   std::to_string(kCloudHeaderLimit) + " bytes"
             : std::string("no ") + what + " line: not a complete header";
}

inline bool checkDataSize(uint64_t needed, uint64_t available, uint64_t points, const std::string& unit,
                   std::string& error) {
  if (needed <= available) return true;
  error = "the header declares " + std::to_string(points) + " points" + unit + ", at least " +
          (needed == UINT64_MAX ? std::string("2^64") : std::to_string(needed)) +
          " bytes of data, but the file holds only " + std::to_string(available) +
          " bytes after its header";
  return false;
}

inline bool checkPointCount(uint64_t points, std::string& error) {
  if (points <= kMostPoints) return true;
  error = "the header declares " + std::to_string(points) + " points, more than the " +
          std::to_string(kMostPoints) + " a point cloud file can hold";
  return false;
}

// How the text data of a checked file are laid out, for the data scan.
struct TextLayout {
  struct Property {
    bool list = false;
    uint64_t most_items = 0;  // of a list
  };
  struct Element {
    std::string name;
    uint64_t rows = 0;
    std::vector<Property> properties;
  };
  bool text = false;
  bool pcd = false;
  uint64_t data_start = 0;
  int header_lines = 0;
  // PLY files whose magic line ends in CR: PCL splits lines at CR and drops
  // the character after each.
  bool cr_lines = false;
  uint64_t pcd_values = 0;  // per point
  std::vector<Element> elements;
};

bool checkPcd(const char* data, size_t size, uint64_t file_size, TextLayout& layout,
              DeclaredCloud& declared, std::string& error);
bool checkPly(const char* data, size_t size, uint64_t file_size, TextLayout& layout,
              DeclaredCloud& declared, std::string& error);

}  // namespace cloud_text
}  // namespace korvane_navigation
