#include "session/core/link.hpp"

#include <netdb.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <utility>

namespace qv {

const char* link_state_text(LinkState state) noexcept {
  switch (state) {
    case LinkState::Down: return "disconnected";
    case LinkState::Resolving:
    case LinkState::Connecting:
    case LinkState::Pausing: return "connecting";
    case LinkState::LoggingIn: return "logging in";
    case LinkState::Up: return "connected";
    case LinkState::Closed: return "closed";
  }
  return "disconnected";
}

std::string seconds_text(double seconds) {
  // Shortest digits that read back as the same double, then Python's choice of notation
  // (format 'r'): positional for exponents from -4 to 15, else scientific with a two-digit
  // exponent; a whole number shows no point, as the session's other messages write it.
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, seconds,
                                 std::chars_format::scientific).ptr;
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  std::string sign;
  if (!text.empty() && text.front() == '-') {
    sign = "-";
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  if (e == std::string_view::npos) return sign + std::string(text);  // inf, nan
  std::string digits;
  for (const char c : text.substr(0, e))
    if (c != '.') digits += c;
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  if (exponent < -4 || exponent >= 16) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int magnitude = std::abs(exponent);
    out += exponent < 0 ? "e-" : "e+";
    if (magnitude < 10) out += '0';
    return out + std::to_string(magnitude);
  }
  if (exponent < 0) return sign + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  const auto whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) return sign + digits + std::string(whole - digits.size(), '0');
  return sign + digits.substr(0, whole) + "." + digits.substr(whole);
}

Link::Link(LinkConfig config) : config_(std::move(config)), policy_(false, 0, 0, 0) {}

bool Link::connecting() const noexcept {
  return state_ == LinkState::Resolving || state_ == LinkState::Connecting ||
         state_ == LinkState::LoggingIn || state_ == LinkState::Pausing;
}

std::string Link::no_reconnect_text() {
  return "the connection was lost, and the session does not reconnect (reconnect_attempts is 0)";
}

std::string Link::reconnect_timeout_text(std::optional<double> limit, const std::string& detail) {
  return "the connection was lost, and the session could not connect and log in again" +
         (limit ? " within " + seconds_text(*limit) + " s" : std::string()) + " (" + detail +
         "); nothing was sent: try again later, or give a longer timeout";
}

std::optional<LinkTime> Link::limit_after(LinkTime now, std::optional<double> span) const {
  std::optional<LinkTime> until;
  if (span) {
    until = now + std::chrono::duration_cast<LinkClock::duration>(
                      std::chrono::duration<double>(std::min(*span, 1e9)));
  }
  if (bound_ && (!until || bound_->at < *until)) until = bound_->at;
  return until;
}

LinkStep Link::fail(LinkFailure failure) {
  if (state_ != LinkState::Closed) state_ = LinkState::Down;
  bound_.reset();
  login_tag_.reset();
  LinkStep step;
  step.what = LinkStep::Do::Fail;
  step.failure = std::move(failure);
  return with_notes(std::move(step));
}

LinkStep Link::call_ran_out(const std::string& detail) {
  const std::optional<double> limit = bound_ ? bound_->limit : std::nullopt;
  return fail({LinkFailure::Kind::Timeout, 0, reconnect_timeout_text(limit, detail)});
}

LinkStep Link::with_notes(LinkStep step) {
  step.notes = std::exchange(notes_, {});
  return step;
}

LinkStep Link::advance(LinkTime now, LinkInput input) {
  using K = LinkInput::Kind;
  notes_.clear();
  if (input.kind == K::Close) {
    state_ = LinkState::Closed;
    bound_.reset();
    login_tag_.reset();
    return {};
  }
  if (state_ == LinkState::Closed) return fail({LinkFailure::Kind::Closed, 0, {}});
  switch (input.kind) {
    case K::Start:
      if (state_ != LinkState::Down) return {};
      return start(now, input.login_tag, input.bound);
    case K::Resolved:
      if (state_ != LinkState::Resolving) return {};
      return resolved(now, std::move(input.addresses));
    case K::ResolveFailed:
      if (state_ != LinkState::Resolving) return {};
      return attempt_failed(now, AttemptFailure{0, input.resolve_failure});
    case K::ResolveTimedOut: {
      if (state_ != LinkState::Resolving) return {};
      const std::string within =
          config_.timeout ? " within " + seconds_text(*config_.timeout) + " s" : std::string();
      return attempt_failed(
          now, AttemptFailure{0, ResolveFailure{EAI_AGAIN, 0, "the resolver gave no answer" + within}});
    }
    case K::Connected:
      if (state_ != LinkState::Connecting) return {};
      return connected(now);
    case K::ConnectFailed:
      if (state_ != LinkState::Connecting) return {};
      return next_address(now, input.err);
    case K::LoggedIn:
      if (state_ != LinkState::LoggingIn) return {};
      return logged_in(now);
    case K::LoginFailed:
      if (state_ != LinkState::LoggingIn) return {};
      return login_failed(now, input.login_end);
    case K::PauseOver:
      if (state_ != LinkState::Pausing) return {};
      return attempt(now);
    case K::Lost:
      if (state_ == LinkState::Up) {
        state_ = LinkState::Down;
        lost_at_ = now;
      }
      return {};
    case K::Abandon:
      if (connecting()) state_ = LinkState::Down;
      bound_.reset();
      login_tag_.reset();
      return {};
    case K::Close: break;  // above
  }
  return {};
}

LinkStep Link::start(LinkTime now, std::uint64_t login_tag, std::optional<CallBound> bound) {
  if (ever_up_ && config_.reconnect_attempts == 0)
    return fail({LinkFailure::Kind::Connection, 0, no_reconnect_text()});
  reconnecting_ = ever_up_;
  policy_ = ReconnectPolicy(reconnecting_, config_.reconnect_attempts, config_.reconnect_delay,
                            config_.reconnect_max_delay);
  bound_ = bound;
  login_tag_ = login_tag;
  last_failure_ = {};
  return attempt(now);
}

LinkStep Link::attempt(LinkTime now) {
  if (call_over(now)) return call_ran_out(policy_.ran_out_text(last_failure_.text(config_.host)));
  policy_.start_attempt();
  addresses_.clear();
  next_ = 0;
  if (const auto literal = parse_ip_address(config_.host)) {
    addresses_.push_back(*literal);
    connect_ends_ = limit_after(now, config_.timeout);
    return next_address(now, 0);
  }
  state_ = LinkState::Resolving;
  LinkStep step;
  step.what = LinkStep::Do::Resolve;
  step.until = limit_after(now, config_.timeout);
  return with_notes(std::move(step));
}

LinkStep Link::resolved(LinkTime now, std::vector<IpAddress> addresses) {
  if (addresses.empty())
    return attempt_failed(now, AttemptFailure{0, ResolveFailure{EAI_NONAME, 0, "no IP address"}});
  addresses_ = std::move(addresses);
  next_ = 0;
  connect_ends_ = limit_after(now, config_.timeout);
  return next_address(now, 0);
}

LinkStep Link::next_address(LinkTime now, int err) {
  if (next_ >= addresses_.size() || (next_ > 0 && call_over(now)))
    return attempt_failed(now, AttemptFailure{err, std::nullopt});
  LinkStep step;
  step.what = LinkStep::Do::Connect;
  step.address = addresses_[next_];
  // The time left for connecting, shared among the addresses still to try: a dead one
  // leaves the others their part.
  if (connect_ends_) {
    const auto left = std::max(*connect_ends_ - now, LinkClock::duration::zero());
    step.until = now + left / static_cast<long>(addresses_.size() - next_);
  } else if (bound_) {
    step.until = bound_->at;
  }
  ++next_;
  state_ = LinkState::Connecting;
  return with_notes(std::move(step));
}

LinkStep Link::attempt_failed(LinkTime now, const AttemptFailure& failure) {
  last_failure_ = failure;
  const std::string why = failure.text(config_.host);
  notes_.push_back("connect attempt failed: " + why);
  if (call_over(now)) return call_ran_out(policy_.ran_out_text(why));
  if (policy_.more_attempts()) {
    state_ = LinkState::Pausing;
    LinkStep step;
    step.what = LinkStep::Do::Pause;
    step.pause = bound_ ? policy_.pause_within(std::chrono::duration<double>(bound_->at - now).count())
                        : policy_.pause();
    step.notes = std::exchange(notes_, {});
    return step;
  }
  LinkFailure end;
  end.kind = reconnecting_       ? LinkFailure::Kind::Connection
             : failure.resolving ? LinkFailure::Kind::Resolve
                                 : LinkFailure::Kind::System;
  end.err = failure.err;
  end.text = policy_.failure_text(reconnecting_, why);
  return fail(std::move(end));
}

LinkStep Link::connected(LinkTime now) {
  state_ = LinkState::LoggingIn;
  notes_.push_back("connected");
  LinkStep step;
  step.what = LinkStep::Do::LogIn;
  step.login_tag = login_tag_.value_or(0);
  step.reconnected = reconnecting_;
  step.until = limit_after(now, config_.timeout);
  return with_notes(std::move(step));
}

LinkStep Link::logged_in(LinkTime now) {
  state_ = LinkState::Up;
  notes_.push_back("logged in as '" + config_.username + "'");
  LinkStep step;
  step.what = LinkStep::Do::Up;
  step.reconnected = reconnecting_;
  if (reconnecting_) {
    notes_.push_back("reconnected after the connection was lost");
    step.gap = std::chrono::duration<double>(now - lost_at_).count();
  }
  ever_up_ = true;
  bound_.reset();
  login_tag_.reset();
  return with_notes(std::move(step));
}

LinkStep Link::login_failed(LinkTime now, LoginEnd end) {
  if (end == LoginEnd::TimedOut && call_over(now))
    return call_ran_out("the server did not answer Login in time");
  // A reconnect whose connection is lost during its Login (a server restarting accepts, then
  // drops it) is a failed attempt, as a refused connect is: the next follows after a pause.
  if (end == LoginEnd::Lost && reconnecting_ && policy_.more_attempts()) {
    AttemptFailure lost;
    lost.lost_in_login = true;
    return attempt_failed(now, lost);
  }
  return fail({LinkFailure::Kind::Login, 0, {}});
}

}  // namespace qv
