#pragma once
// What a session says about itself, for either class: a one-line repr, and `stats`, its
// counters for monitoring as a SessionStats (a named tuple: requests, replies, events,
// dropped, reconnects).
#include <cstddef>
#include <cstdint>
#include <string>

#include "binding/ref.hpp"

namespace qv::py {

struct SessionCounts {
  std::uint64_t requests = 0;    // request lines sent, the Login of each connection included
  std::uint64_t replies = 0;     // replies received
  std::uint64_t events = 0;      // lines received that answered no request
  std::uint64_t dropped = 0;     // ... of them dropped: max_events were held, not taken
  std::uint64_t reconnects = 0;  // connections made and logged in again after a loss
};

// The SessionStats class, made once (kept for the process); null with the error set.
PyTypeObject* stats_class();
// A SessionStats of `counts`; null with the error set.
Ref make_stats(const SessionCounts& counts);

// "<Session 127.0.0.1:5038 connected, 2 requests pending, 0 events held>".
struct SessionLook {
  const char* owner;  // the class name
  const std::string& server;
  std::uint16_t port;
  const char* state;  // "connected", "connecting", "logging in", "disconnected", "closed"
  std::size_t pending;
  std::size_t held;
};
PyObject* session_repr(const SessionLook& look);

}  // namespace qv::py
