#pragma once
// How a session connects again after a loss, written once for both session classes: how
// many attempts, and the pause before each (exponential backoff with full jitter, so many
// clients of one restarted server do not come back in step). Each class only waits the pause
// its own way: a thread sleeps, the event loop sets a timer.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

namespace qv {

class ReconnectPolicy {
 public:
  // `attempts` for a reconnect (0: a lost connection stays lost); the first connect of a
  // session is one attempt. `delay` is the longest first pause, doubling up to `max_delay`.
  ReconnectPolicy(bool reconnecting, std::uint32_t attempts, double delay,
                  double max_delay) noexcept
      : attempts_(reconnecting ? attempts : 1), ceiling_(delay), max_delay_(max_delay) {}

  std::uint32_t attempts() const noexcept { return attempts_; }
  std::uint32_t made() const noexcept { return made_; }

  // Counts an attempt about to start; false when the budget is spent.
  bool start_attempt() noexcept {
    if (made_ >= attempts_) return false;
    ++made_;
    return true;
  }
  bool more_attempts() const noexcept { return made_ < attempts_; }

  // Seconds to pause before the next attempt (none before the first).
  double pause() {
    if (made_ == 0) return 0;
    thread_local std::minstd_rand jitter{std::random_device{}()};
    const double pause =
        std::uniform_real_distribution<double>(0.0, std::min(ceiling_, max_delay_))(jitter);
    ceiling_ *= 2;
    return pause;
  }

  // The pause before the next attempt, cut to `left` seconds: what the request that made the
  // session connect has left of its own timeout bounds the reconnect too.
  double pause_within(double left) { return std::min(pause(), std::max(left, 0.0)); }

  // What the attempts came to when the calling request's time ran out, after `connect_error`
  // of the last one.
  std::string ran_out_text(const std::string& connect_error) const {
    if (made_ == 0) return "no time was left to connect";
    return std::to_string(made_) + " of " + std::to_string(attempts_) +
           " attempts failed, the last: " + connect_error;
  }

  // The text of the error that ends connecting, after `connect_error` ("Failed to connect:
  // ...") of the last attempt: as it is on the first connect, or saying the reconnect failed.
  std::string failure_text(bool reconnecting, const std::string& connect_error) const {
    if (!reconnecting) return connect_error;
    return "the connection was lost, and " + std::to_string(attempts_) +
           " attempts to reconnect failed: " + connect_error;
  }

 private:
  std::uint32_t attempts_;
  std::uint32_t made_ = 0;
  double ceiling_;
  double max_delay_;
};

}  // namespace qv
