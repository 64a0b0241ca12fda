#pragma once
// A session's settings, from its constructor's arguments: where to connect and as whom, and
// the keyword-only settings, each with a documented default.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "net/ip_address.hpp"
#include "binding/args.hpp"

namespace qv::py {

struct SessionSettings {
  IpAddress server;
  std::uint16_t port = 0;
  std::string username;
  std::string password;
  std::optional<double> timeout;  // every wait's limit unless a call gives its own; none: forever
  std::uint32_t reconnect_attempts = 0;  // 0: a lost connection stays lost
  double reconnect_delay = 0;            // before the second attempt; doubling, with jitter
  double reconnect_max_delay = 0;
  std::size_t max_events = 0;  // events held and not yet taken by the program
  std::size_t max_line = 0;    // longer received lines are cut
  Ref is_failure;              // predicate over a Reply, or empty
};

inline constexpr double kDefaultTimeout = 10.0;
inline constexpr std::uint32_t kDefaultReconnectAttempts = 5;
inline constexpr double kDefaultReconnectDelay = 0.1;
inline constexpr double kDefaultReconnectMaxDelay = 5.0;
inline constexpr std::size_t kDefaultMaxEvents = 10000;

// The constructor's signature: server, control_port, username, password, then keyword-only
// timeout, reconnect_attempts, reconnect_delay, reconnect_max_delay, max_events, max_line,
// is_failure. False with the error set (the parameter names could not be made).
bool make_settings_signature(Signature& sig, const char* class_name);

// Binds and converts the constructor's arguments; false with the error set.
bool read_settings(const Signature& sig, PyObject* args, PyObject* kwargs, SessionSettings& out);

// The text signature of the constructor, for the class's docstring.
std::string settings_text_signature(const char* class_name);

}  // namespace qv::py
