// Server address parsing and printing. Every input is used twice: as address text, and (its
// first 17 bytes) as an address to print.
//
// Checks: parse -> print -> parse gives the same address everywhere; the printed form is
// canonical (lower-case hex, no leading zeros, one "::" at most, printing it again gives the
// same text); acceptance and bytes agree with the C library's inet_pton (except that a
// library may take a zero-led octet in dotted text, which we refuse); the text agrees with inet_ntop except where that one
// departs from RFC 5952 (it shows IPv4-compatible addresses, ::a.b.c.d, dotted).
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "net/ip_address.hpp"
#include "fuzz_check.hpp"

using namespace qv_fuzz;
using qv::IpAddress;

namespace {

std::string_view address_bytes(const IpAddress& a) {
  return {reinterpret_cast<const char*>(a.bytes.data()), a.family == IpAddress::Family::V4 ? 4u : 16u};
}

bool same_address(const IpAddress& a, const IpAddress& b) {
  return a.family == b.family && address_bytes(a) == address_bytes(b);
}

void check_canonical_text(const IpAddress& address, const std::string& text) {
  const auto again = qv::parse_ip_address(text);
  if (!again) fail("printed address does not parse", text);
  if (!same_address(*again, address))
    fail("parse(print(a)) != a", address_bytes(*again), address_bytes(address));
  check_eq(qv::format_ip_address(*again), text, "printing is idempotent");
  if (address.family == IpAddress::Family::V4) {
    check(text.size() >= 7 && text.size() <= 15, "dotted quad length");
    return;
  }
  check(text.size() >= 2 && text.size() <= 45, "IPv6 text length");
  const std::size_t gap = text.find("::");
  check(gap == std::string::npos || text.find("::", gap + 1) == std::string::npos,
        "at most one '::'");
  check(text.find(":::") == std::string::npos, "no ':::'");
  const bool dotted = text.find('.') != std::string::npos;
  std::size_t group_start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != ':') {
      const char c = text[i];
      check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (dotted && c == '.'),
            "IPv6 text uses lower-case hex");
      continue;
    }
    const std::string_view group = std::string_view(text).substr(group_start, i - group_start);
    if (!dotted || group.find('.') == std::string_view::npos)
      check(group.size() <= 4 && (group.size() <= 1 || group[0] != '0'),
            "IPv6 groups have no leading zeros");
    group_start = i + 1;
  }
  // Every single zero group stays written out; only a run of two or more may be "::".
  if (gap != std::string::npos) {
    int zero_words = 0;
    for (std::size_t k = 0; k < 16; k += 2)
      zero_words += address.bytes[k] == 0 && address.bytes[k + 1] == 0;
    check(zero_words >= 2, "'::' stands for at least two zero groups");
  }
}

// Some C libraries read "01" as an octet inside IPv6 text; we refuse it everywhere (it could
// be meant as octal), so such texts are not compared.
bool has_zero_led_octet(std::string_view text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    const bool starts_octet = i == 0 || text[i - 1] == '.' || text[i - 1] == ':';
    if (starts_octet && text[i] == '0' && text[i + 1] >= '0' && text[i + 1] <= '9' &&
        text.find('.') != std::string_view::npos)
      return true;
  }
  return false;
}

void check_text(std::string_view text) {
  const auto parsed = qv::parse_ip_address(text);
  if (parsed) check_canonical_text(*parsed, qv::format_ip_address(*parsed));

  // inet_pton reads a C string: compare only texts without an embedded NUL.
  if (text.find('\0') != std::string_view::npos) return;
  const std::string c_text(text);
  unsigned char v4[4];
  unsigned char v6[16];
  const bool libc_v4 = ::inet_pton(AF_INET, c_text.c_str(), v4) == 1;
  const bool libc_v6 = !libc_v4 && ::inet_pton(AF_INET6, c_text.c_str(), v6) == 1;
  if (!parsed) {
    if ((libc_v4 || libc_v6) && !has_zero_led_octet(text))
      fail("inet_pton accepts an address we refuse", text);
    return;
  }
  if (parsed->family == IpAddress::Family::V4) {
    if (!libc_v4) fail("we accept an IPv4 address inet_pton refuses", text);
    check(std::memcmp(v4, parsed->bytes.data(), 4) == 0, "IPv4 bytes agree with inet_pton");
  } else {
    if (!libc_v6) fail("we accept an IPv6 address inet_pton refuses", text);
    check(std::memcmp(v6, parsed->bytes.data(), 16) == 0, "IPv6 bytes agree with inet_pton");
  }
}

void check_printing(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return;
  IpAddress address;
  address.family = (data[0] & 1) ? IpAddress::Family::V6 : IpAddress::Family::V4;
  const std::size_t n = address.family == IpAddress::Family::V4 ? 4 : 16;
  // Short inputs leave the rest zero, which is where the interesting IPv6 runs are.
  std::memcpy(address.bytes.data(), data + 1, std::min(n, size - 1));
  // Zero runs are what RFC 5952 is about: let option bits blank out words.
  if (address.family == IpAddress::Family::V6)
    for (int k = 0; k < 8; ++k)
      if (size > 17 && ((data[17] >> k) & 1)) address.bytes[2 * k] = address.bytes[2 * k + 1] = 0;
  const std::string text = qv::format_ip_address(address);
  check_canonical_text(address, text);

  char libc[INET6_ADDRSTRLEN];
  const int af = address.family == IpAddress::Family::V4 ? AF_INET : AF_INET6;
  check(::inet_ntop(af, address.bytes.data(), libc, sizeof libc) != nullptr, "inet_ntop");
  if (address.family == IpAddress::Family::V6) {
    const auto& b = address.bytes;
    bool first_96_zero = true;
    for (int k = 0; k < 12; ++k) first_96_zero = first_96_zero && b[k] == 0;
    const bool ipv4_compatible = first_96_zero && (b[12] != 0 || b[13] != 0);
    if (ipv4_compatible) return;  // inet_ntop: "::1.2.3.4"; RFC 5952: "::102:304"
  }
  check_eq(text, libc, "format_ip_address agrees with inet_ntop");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_text(std::string_view(reinterpret_cast<const char*>(data), size));
  check_printing(data, size);
  return 0;
}
