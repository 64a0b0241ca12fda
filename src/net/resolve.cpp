#include "net/resolve.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

namespace qv {

std::variant<std::vector<IpAddress>, ResolveFailure> resolve_host(const std::string& host) {
  if (const auto literal = parse_ip_address(host)) return std::vector<IpAddress>{*literal};
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;  // no IPv6 addresses on a host without IPv6, say
  addrinfo* found = nullptr;
  const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (code != 0) {
    const int err = code == EAI_SYSTEM ? errno : 0;
    return ResolveFailure{code, err, code == EAI_SYSTEM ? std::strerror(err) : ::gai_strerror(code)};
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
  std::vector<IpAddress> addresses;
  for (const addrinfo* at = found; at; at = at->ai_next) {
    IpAddress address;
    if (at->ai_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(at->ai_addr);
      address.family = IpAddress::Family::V4;
      std::memcpy(address.bytes.data(), &in->sin_addr, 4);
    } else if (at->ai_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(at->ai_addr);
      address.family = IpAddress::Family::V6;
      std::memcpy(address.bytes.data(), &in6->sin6_addr, 16);
    } else {
      continue;
    }
    const bool seen = std::any_of(addresses.begin(), addresses.end(), [&](const IpAddress& a) {
      return a.family == address.family && a.bytes == address.bytes;
    });
    if (!seen) addresses.push_back(address);
  }
  if (addresses.empty()) return ResolveFailure{EAI_NONAME, 0, ::gai_strerror(EAI_NONAME)};
  return addresses;
}

std::shared_ptr<Lookup> Lookup::start(std::string host) {
  auto lookup = std::make_shared<Lookup>(std::move(host));
  std::thread([lookup] {
    ResolveResult answer = resolve_host(lookup->host_);
    const std::lock_guard lock(lookup->mutex_);
    lookup->answer_ = std::move(answer);
    lookup->done_.notify_all();
  }).detach();
  return lookup;
}

std::optional<ResolveResult> Lookup::wait_until(std::chrono::steady_clock::time_point until) {
  std::unique_lock lock(mutex_);
  if (!done_.wait_until(lock, until, [&] { return answer_.has_value(); })) return std::nullopt;
  return answer_;
}

}  // namespace qv
