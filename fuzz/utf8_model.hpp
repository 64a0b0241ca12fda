#pragma once
// Plain models of lossy UTF-8 decoding and White_Space stripping, written from the Unicode
// tables rather than from the code under test; shared by the fuzz targets that check text.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qv_fuzz {

// ---- reference UTF-8 decoding: Table 3-7 of the Unicode standard, row by row ----------------

struct Range {
  unsigned char lo, hi;
};
struct Row {
  int length;
  Range bytes[4];
};
inline constexpr Row kWellFormed[] = {
    {1, {{0x00, 0x7F}}},
    {2, {{0xC2, 0xDF}, {0x80, 0xBF}}},
    {3, {{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}},
    {3, {{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {3, {{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}},
    {3, {{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}},
};

// How many leading bytes of s[0..n) match `row` (at most its length).
inline int matching_prefix(const Row& row, const unsigned char* s, std::size_t n) {
  int k = 0;
  while (k < row.length && static_cast<std::size_t>(k) < n && s[k] >= row.bytes[k].lo &&
         s[k] <= row.bytes[k].hi)
    ++k;
  return k;
}

// One code point per step: a whole well-formed sequence is copied; otherwise the maximal
// subpart (the longest start of some well-formed sequence, at least one byte) becomes U+FFFD.
inline std::string reference_decode(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::string out;
  std::size_t i = 0;
  while (i < n) {
    int whole = 0;
    int subpart = 1;
    for (const Row& row : kWellFormed) {
      const int k = matching_prefix(row, s + i, n - i);
      if (k == row.length) whole = k;
      else if (k > subpart) subpart = k;
    }
    if (whole > 0) {
      out.append(bytes.substr(i, static_cast<std::size_t>(whole)));
      i += static_cast<std::size_t>(whole);
    } else {
      out += "\xEF\xBF\xBD";
      i += static_cast<std::size_t>(subpart);
    }
  }
  return out;
}

inline bool is_valid_utf8(std::string_view bytes) {
  return reference_decode(bytes) == bytes;
}

// ---- reference stripping: decode code points, drop White_Space ones at both ends -------------

// PropList.txt, White_Space.
inline bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

struct CodePoint {
  char32_t value;
  std::size_t offset, length;
};

inline std::vector<CodePoint> code_points(std::string_view valid) {
  std::vector<CodePoint> out;
  std::size_t i = 0;
  while (i < valid.size()) {
    const auto lead = static_cast<unsigned char>(valid[i]);
    const std::size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t value = len == 1 ? lead : len == 2 ? (lead & 0x1F) : len == 3 ? (lead & 0x0F) : (lead & 0x07);
    for (std::size_t k = 1; k < len; ++k)
      value = (value << 6) | (static_cast<unsigned char>(valid[i + k]) & 0x3F);
    out.push_back({value, i, len});
    i += len;
  }
  return out;
}

inline std::string_view reference_strip(std::string_view valid) {
  const auto cps = code_points(valid);
  std::size_t first = 0;
  std::size_t last = cps.size();
  while (first < last && is_white_space(cps[first].value)) ++first;
  while (last > first && is_white_space(cps[last - 1].value)) --last;
  if (first == last) return valid.substr(0, 0);
  const std::size_t begin = cps[first].offset;
  const std::size_t end = cps[last - 1].offset + cps[last - 1].length;
  return valid.substr(begin, end - begin);
}

}  // namespace qv_fuzz
