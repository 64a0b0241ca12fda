#pragma once
// What a server setting names: an IP literal stands for itself; a host name is asked of the
// system's resolver each time it is needed, so a server moved by DNS is found again.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
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

using ResolveResult = std::variant<std::vector<IpAddress>, ResolveFailure>;

// A lookup by a thread of its own, so that whoever waits for it can give up (a deadline, a
// signal) while the resolver is still at work, which a call of getaddrinfo() cannot: the
// answer that comes later is dropped with the last reference to the lookup.
class Lookup {
 public:
  // Starts resolving `host`. Throws std::system_error when no thread can be started.
  static std::shared_ptr<Lookup> start(std::string host);
  // The answer, once there, else nullopt when `until` passed first.
  std::optional<ResolveResult> wait_until(std::chrono::steady_clock::time_point until);
  // The host it resolves.
  const std::string& host() const noexcept { return host_; }

  explicit Lookup(std::string host) : host_(std::move(host)) {}

 private:
  std::string host_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::optional<ResolveResult> answer_;
};

// Whether `text` is an IP literal rather than a name: it then needs no resolver.
inline bool is_ip_literal(std::string_view text) { return parse_ip_address(text).has_value(); }

}  // namespace qv
