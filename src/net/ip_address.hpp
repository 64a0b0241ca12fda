#pragma once
// Server addresses: IP literals only (no names, ports, brackets or zones).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

struct IpAddress {
  enum class Family : std::uint8_t { V4, V6 };
  Family family = Family::V4;
  // V4 uses bytes[0..3]; V6 all 16, network order.
  std::array<std::uint8_t, 16> bytes{};
};

// Strict parse: IPv4 dotted quad (no leading zeros, octets 0..255), else RFC 4291 IPv6
// text ("::" compression, trailing dotted IPv4). The whole text must be consumed.
std::optional<IpAddress> parse_ip_address(std::string_view text);

// IPv4 dotted decimal; IPv6 in RFC 5952 canonical form (IPv4-mapped shown dotted).
std::string format_ip_address(const IpAddress& address);

}  // namespace qv
