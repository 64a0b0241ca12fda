#pragma once
// Decimal digits of an integer, two at a time from a table: the numbers on a command line are
// short, and this is several times cheaper than a general conversion for them.
#include <cstdint>
#include <cstring>

namespace qv {

inline constexpr std::size_t kMaxDecimalDigits = 20;  // 18446744073709551615

// Writes the digits of `value` at `out` (at most 20 bytes); returns the end.
inline char* write_decimal(char* out, std::uint64_t value) noexcept {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char buffer[kMaxDecimalDigits];
  char* at = buffer + sizeof buffer;
  while (value >= 100) {
    const auto pair = static_cast<std::size_t>(value % 100) * 2;
    value /= 100;
    at -= 2;
    std::memcpy(at, kPairs + pair, 2);
  }
  if (value >= 10) {
    at -= 2;
    std::memcpy(at, kPairs + value * 2, 2);
  } else {
    *--at = static_cast<char>('0' + value);
  }
  const auto length = static_cast<std::size_t>(buffer + sizeof buffer - at);
  std::memcpy(out, at, length);
  return out + length;
}

// The same for a signed value ("-" in front when negative); at most 20 bytes.
inline char* write_decimal(char* out, std::int64_t value) noexcept {
  if (value >= 0) return write_decimal(out, static_cast<std::uint64_t>(value));
  *out = '-';
  // Negating in unsigned arithmetic keeps the most negative value exact.
  return write_decimal(out + 1, 0 - static_cast<std::uint64_t>(value));
}

}  // namespace qv
