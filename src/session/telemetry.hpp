#pragma once
// A session's own metrics and traces, through the OpenTelemetry API when the program has it
// installed and has set the process's providers: a span per request (named by its command
// word, a child of the caller's current span, ended when the reply or its failure is
// settled), a span per connect attempt and per Login, and the instruments listed below. The
// module depends on nothing for it: without the package, without providers set when the
// session is made, or with the session's `telemetry=False`, every hook is one test of a flag.
// No attribute ever holds a line's text, so a Login's password is never in one.
//
// Instruments (the meter "quelvant_rs"), each with server.address and server.port:
//   quelvant.client.request.duration     histogram, s: send to reply; quelvant.command,
//                                        quelvant.outcome (reply, failure, timeout, loss, cancel)
//   quelvant.client.requests.in_flight   up-down counter, {request}
//   quelvant.client.events               counter, {event}: handed on, by quelvant.consumer
//                                        (window, subscription, resource)
//   quelvant.client.events.dropped       counter, {event}: by quelvant.consumer (window,
//                                        subscription, resource, before: not yet handed on)
//   quelvant.client.reconnects           counter, {reconnect}
//   quelvant.client.reconnect.gap        histogram, s: from the loss to the new Login
//   quelvant.client.connection.up        up-down counter, {connection}: 1 while logged in
//   quelvant.client.connection.duration  counter, s: time logged in, added when a connection ends
//   quelvant.client.completion.wait      histogram, s: a completion() call's wait
//
// Everything here runs with the interpreter lock held, at the points where the wire trace's
// handlers may run too. A hook that fails returns false with the exception set.
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "binding/ref.hpp"
#include "session/core/link.hpp"

namespace qv::py {

class Telemetry {
 public:
  using Clock = std::chrono::steady_clock;

  // Turns it on when `wanted` and the package is there with a provider set; false with the
  // error set only when asking failed for another reason.
  bool start(bool wanted, const std::string& server, std::uint16_t port);
  bool on() const noexcept { return on_; }

  // How a request ended, as its span and duration say.
  enum class Outcome : std::uint8_t { Reply, Failure, Timeout, Loss, Cancel };

  // ---- requests: what a call sends, from its send to its outcome ----

  // Starts a span per line (its command word; its tag when known) in the caller's current
  // context: `token` holds them. Off: `token` stays empty.
  bool requests_started(std::span<const std::string_view> words,
                        std::span<const std::uint64_t> tags, Ref& token);
  // Ends them with the outcome of `result`: the reply (or list), or null with the exception
  // being raised, which stays raised. Returns `result`; `tags` are set on spans that lacked one.
  static Ref requests_ended(Ref token, std::span<const std::uint64_t> tags, Ref result);
  // AsyncSession: the spans end when `future` is done, with its outcome.
  static bool end_when_done(PyObject* token, PyObject* future);

  // A completion() call's wait: started now, recorded by `completion_ended` or when `future`
  // is done.
  bool completion_started(Ref& token);
  static Ref completion_ended(Ref token, Ref result);

  // ---- the connection ----

  // Follows the link's steps: a connect attempt's span from Connect to what comes next, the
  // Login's from LogIn; Up counts the connection (and a reconnect with its gap).
  bool follow(const LinkStep& step);
  // The connection is gone (idempotent): its time is added, the state goes down.
  bool connection_down();
  // Closed by the program: open spans end as failed, the connection goes down.
  bool closing();

  // ---- events ----

  // What the pipeline did, as totals since the session was made (the counters get the rest).
  struct EventTotals {
    std::uint64_t window = 0, subscription = 0, resource = 0;
    std::uint64_t dropped_window = 0, dropped_subscription = 0, dropped_resource = 0,
                  dropped_before = 0;
  };
  bool events(const EventTotals& now);

 private:
  // A CLIENT span in the current context, with `attrs` (null: the server's alone).
  bool span_started(const char* name, Ref& span, PyObject* attrs = nullptr);
  bool connection_up(bool reconnected, double gap);

  bool on_ = false;
  Ref base_;  // {server.address, server.port}
  EventTotals seen_;
  bool up_ = false;
  Clock::time_point up_since_{};
  Ref connect_span_, login_span_;
};

}  // namespace qv::py
