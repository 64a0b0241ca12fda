#pragma once
// The sessions' trace through Python's `logging`: DEBUG one record per line sent or received
// (logger "quelvant_rs.wire"), INFO connecting, logging in and reconnecting (logger
// "quelvant_rs.session"), and events dropped: from the recent window at DEBUG (routine with
// a small window), by a subscription or before being handed on at WARNING. The package
// logger "quelvant_rs" has a NullHandler, so a program that configured no logging sees
// nothing of it. A Login line's password never appears.
//
// With logging off the trace costs one look-up in logging's own cache per batch of lines:
// callers ask tracing() once per batch and log its lines only when it says so. Called with
// the interpreter lock held only, and never while a session is mid-change: a handler is
// Python code that may call the session back. Every function that can fail returns false
// (tracing(): -1) with the exception set, which the caller passes on: what a handler raises
// (KeyboardInterrupt above all) reaches the program.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv::py::wire_log {

// Whether the wire logger takes DEBUG records now: 1 or 0, or -1 with the error set.
int tracing();

// One DEBUG record per line of `lines` (each ending with '\n'; a last one without it is a
// line too): "<server>:<port> > <line>" when sent, "... < <line>" when received.
bool lines(const std::string& server, std::uint16_t port, bool sent, std::string_view lines);

// One record on the session logger, when it takes `level` (logging's numbers: INFO 20,
// WARNING 30); "<server>:<port> <text>".
bool note(int level, const std::string& server, std::uint16_t port, std::string_view text);
inline constexpr int kDebug = 10;
inline constexpr int kInfo = 20;
inline constexpr int kWarning = 30;

// `count` events dropped from the recent window (DEBUG), by a subscription (WARNING), or
// before they could be handed on (WARNING).
bool window_dropped(const std::string& server, std::uint16_t port, std::uint64_t count,
                    std::size_t max_events);
bool subscription_dropped(const std::string& server, std::uint16_t port, std::uint64_t count);
bool dropped_before_handing_on(const std::string& server, std::uint16_t port,
                               std::uint64_t count);

// `line` as the trace shows it: a Login line, however its words are separated, keeps its
// command word and user name, and everything after them but its tag reads "***".
std::string masked(std::string_view line);

}  // namespace qv::py::wire_log
