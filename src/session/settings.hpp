#pragma once
// A session's settings, from its constructor's arguments: where to connect and as whom, and
// the keyword-only settings. Their names, conversions, defaults and documentation are the
// table in session/core/settings_table.hpp.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "binding/args.hpp"

namespace qv::py {

struct SessionSettings {
  std::string server;  // an IP literal, or a host name resolved at every connect
  std::uint16_t port = 0;
  std::string username;
  std::string password;
  std::optional<double> timeout;  // every wait's limit unless a call gives its own; none: forever
  std::uint32_t reconnect_attempts = 0;  // 0: a lost connection stays lost
  double reconnect_delay = 0;            // before the second attempt; doubling, with jitter
  double reconnect_max_delay = 0;
  std::size_t max_events = 0;  // events held and not yet taken by the program
  std::size_t max_line = 0;    // longer received lines are cut
  // How a reply is judged: not at all (is_failure=None), by its first word (ERROR: the
  // default), or by the program's predicate `is_failure`.
  enum class FailureRule : std::uint8_t { None, ErrorWord, Predicate };
  FailureRule failure_rule = FailureRule::ErrorWord;
  Ref is_failure;
  std::string resource_key;  // an event's resource is its `<resource_key>=<id>` token
  Ref on_reconnect;          // called after a reconnect's Login, or empty
  bool telemetry = true;     // metrics and traces when OpenTelemetry is there (telemetry.hpp)
};

// The constructor's signature, from the table. False with the error set (the parameter
// names could not be made).
bool make_settings_signature(Signature& sig, const char* class_name);

// Binds and converts the constructor's arguments; false with the error set.
bool read_settings(const Signature& sig, PyObject* args, PyObject* kwargs, SessionSettings& out);

// The class's docstring: its text signature, `summary`, and a line on each parameter.
std::string settings_class_doc(const char* class_name, const char* summary);

}  // namespace qv::py
