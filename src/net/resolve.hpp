#pragma once
// What a server setting names: an IP literal stands for itself; a host name is asked of the
// system's resolver each time it is needed, so a server moved by DNS is found again.
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "net/ip_address.hpp"

namespace qv {

struct ResolveFailure {
  int code;          // getaddrinfo's EAI_* code
  int err;           // errno, for EAI_SYSTEM
  std::string text;  // the resolver's own words
};

// The TCP addresses of `host`, in the order the resolver prefers, each once. Blocks while the
// resolver works: the Python layer calls it without the interpreter lock.
std::variant<std::vector<IpAddress>, ResolveFailure> resolve_host(const std::string& host);

// Whether `text` is an IP literal rather than a name: it then needs no resolver.
inline bool is_ip_literal(std::string_view text) { return parse_ip_address(text).has_value(); }

}  // namespace qv
