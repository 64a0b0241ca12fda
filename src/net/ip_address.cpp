#include "net/ip_address.hpp"

#include <cstddef>

namespace qv {
namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly "a.b.c.d" with octets 0..255 and no leading zeros ("010" could be read as octal by
// other tools, so it is refused rather than guessed at).
bool parse_dotted_quad(std::string_view text, std::uint8_t* out) {
  std::size_t i = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const std::size_t first = i;
    unsigned value = 0;
    // At most three digits; a fourth is then neither '.' nor the end, so it is refused.
    while (i < text.size() && is_digit(text[i]) && i - first < 3) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const std::size_t digits = i - first;
    if (digits == 0 || value > 255) return false;
    if (digits > 1 && text[first] == '0') return false;
    out[octet] = static_cast<std::uint8_t>(value);
  }
  return i == text.size();
}

bool parse_ipv6(std::string_view text, std::uint8_t* out) {
  std::uint16_t words[8] = {};
  int count = 0;
  int gap = -1;  // index in `words` where "::" stands, if present
  std::size_t i = 0;
  const std::size_t n = text.size();

  if (n >= 2 && text[0] == ':' && text[1] == ':') {
    gap = 0;
    i = 2;
    if (i == n) {
      for (int k = 0; k < 16; ++k) out[k] = 0;
      return true;
    }
  } else if (n == 0 || text[0] == ':') {
    return false;
  }

  for (;;) {
    const std::size_t token = i;
    unsigned value = 0;
    while (i < n && i - token < 5) {
      const int h = hex_value(text[i]);
      if (h < 0) break;
      value = (value << 4) | static_cast<unsigned>(h);
      ++i;
    }
    if (i < n && text[i] == '.') {
      // Embedded IPv4 fills the last two words and must end the text.
      if (count > 6) return false;
      std::uint8_t quad[4];
      if (!parse_dotted_quad(text.substr(token), quad)) return false;
      words[count++] = static_cast<std::uint16_t>((quad[0] << 8) | quad[1]);
      words[count++] = static_cast<std::uint16_t>((quad[2] << 8) | quad[3]);
      break;
    }
    const std::size_t digits = i - token;
    if (digits == 0 || digits > 4 || count == 8) return false;
    words[count++] = static_cast<std::uint16_t>(value);
    if (i == n) break;
    if (text[i] != ':') return false;
    ++i;
    if (i < n && text[i] == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++i;
      if (i == n) break;
    } else if (i == n) {
      return false;  // a single trailing ':'
    }
  }

  if (gap < 0) {
    if (count != 8) return false;
  } else {
    // "::" always stands for at least one zero word.
    if (count > 7) return false;
    const int tail = count - gap;
    const int shift = 8 - count;
    for (int k = tail - 1; k >= 0; --k) words[gap + shift + k] = words[gap + k];
    for (int k = 0; k < shift; ++k) words[gap + k] = 0;
  }
  for (int k = 0; k < 8; ++k) {
    out[2 * k] = static_cast<std::uint8_t>(words[k] >> 8);
    out[2 * k + 1] = static_cast<std::uint8_t>(words[k] & 0xff);
  }
  return true;
}

void append_decimal(std::string& out, unsigned value) {
  char digits[3];
  int len = 0;
  do {
    digits[len++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (len > 0) out.push_back(digits[--len]);
}

void append_dotted(std::string& out, const std::uint8_t* quad) {
  for (int k = 0; k < 4; ++k) {
    if (k > 0) out.push_back('.');
    append_decimal(out, quad[k]);
  }
}

void append_hex_word(std::string& out, unsigned word) {
  static constexpr char kHex[] = "0123456789abcdef";
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    const unsigned nibble = (word >> shift) & 0xf;
    if (nibble != 0 || started || shift == 0) {
      out.push_back(kHex[nibble]);
      started = true;
    }
  }
}

}  // namespace

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  IpAddress address;
  if (parse_dotted_quad(text, address.bytes.data())) {
    address.family = IpAddress::Family::V4;
    return address;
  }
  if (parse_ipv6(text, address.bytes.data())) {
    address.family = IpAddress::Family::V6;
    return address;
  }
  return std::nullopt;
}

std::string format_ip_address(const IpAddress& address) {
  const auto& b = address.bytes;
  std::string out;
  if (address.family == IpAddress::Family::V4) {
    out.reserve(15);
    append_dotted(out, b.data());
    return out;
  }
  out.reserve(39);

  bool mapped = b[10] == 0xff && b[11] == 0xff;
  for (int k = 0; k < 10 && mapped; ++k) mapped = b[k] == 0;
  if (mapped) {
    out += "::ffff:";
    append_dotted(out, b.data() + 12);
    return out;
  }

  unsigned words[8];
  for (int k = 0; k < 8; ++k) words[k] = (unsigned{b[2 * k]} << 8) | b[2 * k + 1];

  // The first longest run of at least two zero words becomes "::".
  int best_start = -1;
  int best_len = 1;
  for (int k = 0; k < 8;) {
    if (words[k] != 0) {
      ++k;
      continue;
    }
    int end = k;
    while (end < 8 && words[end] == 0) ++end;
    if (end - k > best_len) {
      best_start = k;
      best_len = end - k;
    }
    k = end;
  }

  for (int k = 0; k < 8; ++k) {
    if (k == best_start) {
      out += "::";
      k += best_len - 1;
      continue;
    }
    if (k > 0 && k != best_start + best_len) out.push_back(':');
    append_hex_word(out, words[k]);
  }
  return out;
}

}  // namespace qv
