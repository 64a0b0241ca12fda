#pragma once
// The connection's life, written once for both session classes and free of I/O: one state,
// one place that decides what comes next. A driver feeds it what happened (a call needs the
// connection, the resolver answered, an address connected or failed, the Login was answered,
// a pause is over, the connection was lost) and is told what to do (resolve, connect to this
// address by then, log in, pause, the connection is up, connecting failed with this text).
// Session drives it as a blocking loop in the thread that connects; AsyncSession from its
// event loop's callbacks. Every text and log note of connecting is written here.
//
// Limits, each phase by the session's `timeout`: resolving the name; connecting, shared
// among the addresses the name resolved to (a dead first address of two costs at most half,
// and the next one gets what is left); the Login, with a limit of its own from the moment an
// address connected. A call that makes a Session connect bounds all of it by its own deadline.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/ip_address.hpp"
#include "net/resolve.hpp"
#include "session/core/connect_failure.hpp"
#include "session/core/reconnect_policy.hpp"

namespace qv {

using LinkClock = std::chrono::steady_clock;
using LinkTime = LinkClock::time_point;

struct LinkConfig {
  std::string host;
  std::uint16_t port = 0;
  std::string username;           // for the log note of a login
  std::optional<double> timeout;  // each phase's limit; none: no limit
  std::uint32_t reconnect_attempts = 0;
  double reconnect_delay = 0;
  double reconnect_max_delay = 0;
};

enum class LinkState : std::uint8_t {
  Down,        // no connection (never made, or lost)
  Resolving,   // asking the resolver for the server's addresses
  Connecting,  // connecting to one of them
  LoggingIn,   // connected; the Login is waiting for its reply
  Pausing,     // between two attempts
  Up,          // logged in
  Closed,      // closed by the program: never again
};

// The deadline of the call that made the session connect, and its limit in seconds (for the
// message when it passes).
struct CallBound {
  LinkTime at;
  std::optional<double> limit;
};

// Why connecting ended, for the driver to raise.
struct LinkFailure {
  enum class Kind : std::uint8_t {
    System,      // the first connect: the system's error type for `err`
    Resolve,     // the first connect: the name did not resolve (socket.gaierror)
    Connection,  // ConnectionError
    Timeout,     // TimeoutError
    Closed,      // the session was closed meanwhile
    Login,       // what the Login's reply or its wait came to, which the driver holds
  };
  Kind kind = Kind::Connection;
  int err = 0;
  std::string text;
};

// How the wait for the Login's reply ended, when it did not end in a good reply.
enum class LoginEnd : std::uint8_t { Refused, TimedOut, Lost };

struct LinkStep {
  enum class Do : std::uint8_t {
    Wait,     // nothing until the next input (another thread or callback drives it)
    Resolve,  // ask the resolver for the host, by `until`
    Connect,  // connect to `address`, by `until`
    LogIn,    // the socket is connected: send the Login under `login_tag`, reply by `until`
    Pause,    // wait `pause` seconds, then pause_over()
    Up,       // logged in; `reconnected` after a loss (mark it), `gap` seconds after it
    Fail,     // connecting ended with `failure`
  };
  Do what = Do::Wait;
  IpAddress address{};
  std::optional<LinkTime> until;
  std::uint64_t login_tag = 0;
  double pause = 0;
  bool reconnected = false;
  double gap = 0;
  LinkFailure failure{};
  // What happened on the way, in order, for the session's log (INFO).
  std::vector<std::string> notes;
};

// The state as a session's repr shows it: "disconnected", "connecting", "logging in",
// "connected" or "closed".
const char* link_state_text(LinkState state) noexcept;

// Seconds as the session's messages write them ("1", "0.25", "1e-05"): Python's shortest
// repr of the float, a whole number without its ".0".
std::string seconds_text(double seconds);

// What happened, as the driver tells the link.
struct LinkInput {
  enum class Kind : std::uint8_t {
    Start,            // a call needs the connection (`login_tag`, `bound`)
    Resolved,         // the resolver answered with `addresses`
    ResolveFailed,    // ... or failed (`resolve_failure`)
    ResolveTimedOut,  // ... or gave no answer by the step's `until`
    Connected,        // the address of the Connect step connected
    ConnectFailed,    // ... or failed with `err` (ETIMEDOUT when its `until` passed)
    LoggedIn,         // the Login's reply was good
    LoginFailed,      // ... or `login_end`
    PauseOver,        // the Pause step's time is over
    Lost,             // the connection that was up is gone
    Abandon,          // the driver gave up connecting (a signal): back to Down, quietly
    Close,            // closed by the program: never again
  };
  // An input that carries nothing more converts from its kind.
  LinkInput(Kind k) noexcept : kind(k) {}  // NOLINT: implicit on purpose

  Kind kind;
  std::uint64_t login_tag = 0;
  std::optional<CallBound> bound;
  std::vector<IpAddress> addresses;
  ResolveFailure resolve_failure{};
  int err = 0;
  LoginEnd login_end = LoginEnd::Refused;

  static LinkInput start(std::uint64_t tag, std::optional<CallBound> bound = std::nullopt) {
    LinkInput in(Kind::Start);
    in.login_tag = tag;
    in.bound = bound;
    return in;
  }
  static LinkInput resolved(std::vector<IpAddress> found) {
    LinkInput in(Kind::Resolved);
    in.addresses = std::move(found);
    return in;
  }
  static LinkInput resolve_failed(ResolveFailure failure) {
    LinkInput in(Kind::ResolveFailed);
    in.resolve_failure = std::move(failure);
    return in;
  }
  static LinkInput connect_failed(int err) {
    LinkInput in(Kind::ConnectFailed);
    in.err = err;
    return in;
  }
  static LinkInput login_failed(LoginEnd end) {
    LinkInput in(Kind::LoginFailed);
    in.login_end = end;
    return in;
  }
};

class Link {
 public:
  explicit Link(LinkConfig config);

  // The one transition: what `input` does in the state the link is in, and what the driver
  // is to do next. An input that does not belong to the state (a late timer, a callback of
  // an attempt given up) changes nothing and says Wait. In Closed every input fails (Closed).
  LinkStep advance(LinkTime now, LinkInput input);

  LinkState state() const noexcept { return state_; }
  bool up() const noexcept { return state_ == LinkState::Up; }
  // Resolving, connecting, logging in or pausing between attempts.
  bool connecting() const noexcept;
  bool ever_up() const noexcept { return ever_up_; }
  const LinkConfig& config() const noexcept { return config_; }
  // The Login's tag while one is under way.
  std::optional<std::uint64_t> login_tag() const noexcept { return login_tag_; }

  // The texts both classes use for a connection that cannot be had.
  static std::string no_reconnect_text();
  // "the connection was lost, and the session could not connect and log in again within 1 s
  // (<detail>); nothing was sent: ..."
  static std::string reconnect_timeout_text(std::optional<double> limit, const std::string& detail);

 private:
  LinkStep start(LinkTime now, std::uint64_t login_tag, std::optional<CallBound> bound);
  LinkStep attempt(LinkTime now);
  LinkStep resolved(LinkTime now, std::vector<IpAddress> addresses);
  LinkStep next_address(LinkTime now, int err);
  LinkStep attempt_failed(LinkTime now, const AttemptFailure& failure);
  LinkStep connected(LinkTime now);
  LinkStep logged_in(LinkTime now);
  LinkStep login_failed(LinkTime now, LoginEnd end);
  LinkStep fail(LinkFailure failure);
  LinkStep call_ran_out(const std::string& detail);
  // A step's limit: `span` seconds from now (none: no limit), cut to the call's.
  std::optional<LinkTime> limit_after(LinkTime now, std::optional<double> span) const;
  bool call_over(LinkTime now) const { return bound_ && now >= bound_->at; }
  LinkStep with_notes(LinkStep step);

  LinkConfig config_;
  LinkState state_ = LinkState::Down;
  bool ever_up_ = false;
  bool reconnecting_ = false;
  ReconnectPolicy policy_;
  std::optional<CallBound> bound_;
  std::optional<std::uint64_t> login_tag_;
  std::vector<IpAddress> addresses_;
  std::size_t next_ = 0;                  // the next of addresses_ to try
  std::optional<LinkTime> connect_ends_;  // when this attempt's connecting must end
  AttemptFailure last_failure_;
  LinkTime lost_at_{};
  std::vector<std::string> notes_;  // of the step under way
};

}  // namespace qv
