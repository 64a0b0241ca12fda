#pragma once
// The sessions' trace through Python's `logging`: DEBUG one record per line sent or received
// (logger "quelvant_rs.wire"), INFO connecting, logging in and reconnecting, WARNING events
// dropped (logger "quelvant_rs.session"). A Login line's password never appears.
//
// With logging off the trace costs one isEnabledFor() call per batch of lines read or
// written: callers ask tracing() once per batch and log its lines only when it says so.
// Called with the interpreter lock held only (never from a core).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv::py::wire_log {

// Whether the wire logger takes DEBUG records now. A failure to ask is reported as
// unraisable and taken for "no": tracing never makes a session call fail.
bool tracing();

// One DEBUG record per line of `lines` (each ending with '\n'; a last one without it is a
// line too): "<server>:<port> > <line>" when sent, "... < <line>" when received.
void lines(const std::string& server, std::uint16_t port, bool sent, std::string_view lines);

// One record on the session logger, when it takes `level` (logging's numbers: INFO 20,
// WARNING 30); "<server>:<port> <text>".
void note(int level, const std::string& server, std::uint16_t port, std::string_view text);
inline constexpr int kInfo = 20;
inline constexpr int kWarning = 30;

// WARNING: `count` events were dropped, `max_events` being held and not taken.
void dropped(const std::string& server, std::uint16_t port, std::uint64_t count,
             std::size_t max_events);

// `line` as the trace shows it: a Login line keeps its command word and user name, and
// everything after them but its tag reads "***".
std::string masked(std::string_view line);

}  // namespace qv::py::wire_log
