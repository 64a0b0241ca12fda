#include "session/core/sync_connection.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "commands/core/wire_line.hpp"
#include "net/socket.hpp"

namespace qv {
namespace {

// The socket's receive timeout. A wait with at least this long to go receives straight away,
// blocking at most this long: one system call for a reply, as a plain blocking client makes,
// instead of a poll() and then a recv(). Shorter waits poll() for their exact deadline.
constexpr auto kBlockingReceive = std::chrono::milliseconds(40);

// How often a sender waiting for room, while another thread reads, looks whether the reader's
// role came free (a waiter blocked in poll() cannot be woken by the condition variable).
constexpr auto kRoleCheck = std::chrono::milliseconds(10);

// A read this recent says the connection was alive: a request in a tight loop then saves the
// system call that would find a connection the server closed while nobody waited.
constexpr auto kRecentlyRead = std::chrono::milliseconds(5);

// Milliseconds for poll() until `until` (rounded up, so a wait never ends early): -1 for no
// deadline, 0 when it has passed.
int poll_timeout(SteadyTime until) {
  if (until == kNoDeadline) return -1;
  const SteadyTime now = SteadyClock::now();
  if (until <= now) return 0;  // compared first: until - now could overflow
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  return ms < INT_MAX ? static_cast<int>(ms) : INT_MAX;
}

// The end of the next slice of a wait until `deadline`.
SteadyTime slice_end(SteadyTime deadline) {
  const SteadyTime now = SteadyClock::now();
  return deadline - now > kWaitSlice ? now + kWaitSlice : deadline;
}

// Where routing puts what answers no request: the queue, counted for wait_event().
struct Sink {
  EventQueue<QueuedEvent>& queue;
  std::uint64_t& generation;
  std::atomic<bool>& queued;
  std::size_t push(Incoming&& in) {
    ++generation;
    const std::size_t dropped = queue.push(std::move(in));
    queued.store(true, std::memory_order_relaxed);
    return dropped;
  }
};

}  // namespace

SyncConnection::SyncConnection(LinkConfig link, std::size_t max_line, std::size_t max_events,
                               std::size_t hand_back)
    : link_(std::move(link)), core_(max_line), events_(max_events), hand_back_(hand_back) {}

SyncConnection::~SyncConnection() {
  // Nobody waits any more (each waiting thread holds the session alive).
  if (fd_ >= 0) ::close(fd_);
  if (closing_fd_ >= 0) ::close(closing_fd_);
}

char* SyncConnection::buffer() {
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(kSessionReceiveBytes);
  return buffer_.get();
}

// ---- the connection's life ----------------------------------------------------------------

SyncConnection::Role SyncConnection::claim(LinkStep& first, std::optional<CallBound> bound) {
  const std::lock_guard lock(mutex_);
  if (link_.up()) return Role::Up;
  if (link_.connecting())
    return connector_ == std::this_thread::get_id() ? Role::Own : Role::Other;
  first = transition_locked(LinkInput::start(core_.new_tag(), bound));
  connector_ = std::this_thread::get_id();
  return Role::Mine;
}

LinkStep SyncConnection::advance(LinkInput input) {
  const std::lock_guard lock(mutex_);
  return transition_locked(std::move(input));
}

LinkStep SyncConnection::transition_locked(LinkInput input) {
  LinkStep step = link_.advance(SteadyClock::now(), std::move(input));
  shown_.store(link_.state(), std::memory_order_release);
  return step;
}

void SyncConnection::finish_connect() {
  const std::lock_guard lock(mutex_);
  connector_ = {};
  if (link_.connecting()) (void)transition_locked(LinkInput::Kind::Abandon);
  if (!link_.up()) lose_locked(false);  // a socket the attempt left behind
  changed_.notify_all();
}

WaitOutcome SyncConnection::wait_connecting(SteadyTime until) {
  std::unique_lock lock(mutex_);
  const auto done = [&] { return connector_ == std::thread::id{}; };
  if (until == kNoDeadline) {
    changed_.wait(lock, done);
    return WaitOutcome::Ready;
  }
  return changed_.wait_until(lock, until, done) ? WaitOutcome::Ready : WaitOutcome::Slice;
}

bool SyncConnection::ever_up() {
  const std::lock_guard lock(mutex_);
  return link_.ever_up();
}

void SyncConnection::attach(int fd) {
  std::unique_lock lock(mutex_);
  lose_locked(false);
  // The socket before it may still be shut down around a last user; the two never overlap.
  changed_.wait(lock, [&] { return closing_fd_ < 0; });
  fd_ = fd;
  core_.attach();
  timeval limit{};
  limit.tv_usec = std::chrono::duration_cast<std::chrono::microseconds>(kBlockingReceive).count();
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  last_read_ = SteadyClock::now();
}

void SyncConnection::disconnect(bool mark) {
  const std::lock_guard lock(mutex_);
  lose_locked(mark);
}

void SyncConnection::close() {
  const std::lock_guard lock(mutex_);
  (void)transition_locked(LinkInput::Kind::Close);
  lose_locked(false);
  changed_.notify_all();
}

bool SyncConnection::pause(SteadyTime until) {
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, until, [&] { return link_.state() == LinkState::Closed; });
  return link_.state() != LinkState::Closed;
}

void SyncConnection::lose_locked(bool mark) {
  if (fd_ < 0) return;
  // A loss while logging in is the Login's: the connecting thread learns of it from its reply.
  if (link_.up()) (void)transition_locked(LinkInput::Kind::Lost);
  Sink sink{events_, generation_, queued_};
  auto lost = core_.lose(mark, sink);
  SessionCore<PendingReply*>::drain(
      lost, [](std::uint64_t, PendingReply* reply) { reply->state = PendingReply::State::Lost; });
  // Wakes a reader blocked in poll() and a sender blocked on a full socket; the descriptor
  // itself is closed once neither uses it, so its number cannot be reused under them.
  ::shutdown(fd_, SHUT_RDWR);
  closing_fd_ = fd_;
  fd_ = -1;
  if (users_ == 0) {
    ::close(closing_fd_);
    closing_fd_ = -1;
  }
  changed_.notify_all();
}

int SyncConnection::use_locked() {
  if (fd_ < 0) return -1;
  ++users_;
  return fd_;
}

void SyncConnection::release_locked() {
  if (--users_ == 0 && closing_fd_ >= 0) {
    ::close(closing_fd_);
    closing_fd_ = -1;
    changed_.notify_all();
  }
}

// ---- requests -----------------------------------------------------------------------------

Exchange SyncConnection::exchange(std::span<const std::string_view> lines,
                                  std::span<PendingReply> replies, LineBuffer& wire,
                                  SteadyTime deadline, WaitHooks& hooks) {
  return run(lines, replies, wire, deadline, hooks, false);
}

Exchange SyncConnection::log_in(std::string_view line, PendingReply& reply, LineBuffer& wire,
                                SteadyTime deadline, WaitHooks& hooks) {
  return run({&line, 1}, {&reply, 1}, wire, deadline, hooks, true);
}

Exchange SyncConnection::run(std::span<const std::string_view> lines,
                             std::span<PendingReply> replies, LineBuffer& wire,
                             SteadyTime deadline, WaitHooks& hooks, bool login) {
  using Outcome = Exchange::Outcome;
  int fd;
  {
    std::unique_lock lock(mutex_);
    const bool usable = fd_ >= 0 && (login ? link_.state() == LinkState::LoggingIn : link_.up());
    if (!usable) return {Outcome::NotConnected};
    // A connection the server closed while nobody waited shows here, before a line is sent
    // into it: the caller connects again and nothing was lost.
    if (!login && !reading_ && SteadyClock::now() - last_read_ >= kRecentlyRead) {
      const Read probe = route_received(::recv(fd_, buffer(), kSessionReceiveBytes, MSG_DONTWAIT));
      if (probe == Read::Ended) lose_locked(true);
      if (fd_ < 0) return {Outcome::NotConnected};
    }
    std::size_t added = 0;
    try {
      for (PendingReply& reply : replies) {
        if (!login) reply.tag = core_.new_tag();
        reply.state = PendingReply::State::Waiting;
        core_.add(reply.tag, &reply);
        ++added;
      }
    } catch (...) {
      for (std::size_t i = 0; i < added; ++i) (void)core_.settle(replies[i].tag);
      throw;
    }
    fd = use_locked();
  }
  try {
    hooks.tagged(replies);
    wire.clear();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      wire.append(lines[i]);
      append_tag_suffix(wire, replies[i].tag);
    }
  } catch (...) {
    {
      const std::lock_guard lock(mutex_);
      release_locked();
    }
    unregister(replies);
    throw;
  }
  const Exchange sent = send_wire(fd, wire, deadline, hooks);
  if (sent.outcome != Outcome::Done || !hooks.sent(wire.view())) {
    unregister(replies);
    return sent.outcome != Outcome::Done ? sent : Exchange{Outcome::Stopped};
  }
  bool settled = true;
  for (PendingReply& reply : replies) {
    const Waited waited = wait_hooked(
        [&] { return reply.state != PendingReply::State::Waiting; }, deadline, hooks, false);
    if (waited == Waited::Stopped) {
      unregister(replies);
      return {Outcome::Stopped};
    }
    if (waited == Waited::TimedOut) {
      settled = false;
      break;
    }
  }
  if (!settled) unregister(replies);
  return {Outcome::Done};
}

void SyncConnection::unregister(std::span<PendingReply> replies) {
  const std::lock_guard lock(mutex_);
  for (PendingReply& reply : replies) {
    PendingReply** found = core_.find(reply.tag);
    if (found && *found == &reply) (void)core_.settle(reply.tag);
  }
}

bool SyncConnection::add(PendingReply& reply) {
  const std::lock_guard lock(mutex_);
  if (fd_ < 0) return false;
  reply.state = PendingReply::State::Waiting;
  core_.add(reply.tag, &reply);
  return true;
}

void SyncConnection::remove(PendingReply& reply) { unregister({&reply, 1}); }

WaitOutcome SyncConnection::wait_reply(PendingReply& reply, SteadyTime until) {
  return wait([&] { return reply.state != PendingReply::State::Waiting; }, until, false);
}

template <class Ready>
SyncConnection::Waited SyncConnection::wait_hooked(Ready ready, SteadyTime deadline,
                                                   WaitHooks& hooks, bool quick_ack) {
  for (;;) {
    const SteadyTime slice = slice_end(deadline);
    hooks.release();
    const WaitOutcome outcome = wait(ready, slice, quick_ack);
    hooks.reacquire();
    if (outcome == WaitOutcome::Ready) return Waited::Ready;
    if (outcome == WaitOutcome::Disconnected) return Waited::Disconnected;
    if (!hooks.between()) return Waited::Stopped;
    if (deadline != kNoDeadline && SteadyClock::now() >= deadline) return Waited::TimedOut;
  }
}

// ---- events -------------------------------------------------------------------------------

WaitOutcome SyncConnection::wait_event(SteadyTime until, std::uint64_t& seen) {
  const WaitOutcome outcome = wait([&] { return generation_ != seen; }, until, true);
  const std::lock_guard lock(mutex_);
  seen = generation_;
  return outcome;
}

std::uint64_t SyncConnection::event_generation() {
  const std::lock_guard lock(mutex_);
  return generation_;
}

void SyncConnection::wake_event_waiters() {
  const std::lock_guard lock(mutex_);
  ++generation_;
  changed_.notify_all();
}

void SyncConnection::read_arrived() {
  std::unique_lock lock(mutex_);
  if (reading_ || fd_ < 0) return;
  const int fd = use_locked();
  reading_ = true;
  lock.unlock();
  const Read read = read_once(fd, SteadyTime::min());
  lock.lock();
  reading_ = false;
  release_locked();
  if (read == Read::Ended) lose_locked(true);
  changed_.notify_all();
}

std::deque<QueuedEvent> SyncConnection::take_events() {
  const std::lock_guard lock(mutex_);
  queued_.store(false, std::memory_order_relaxed);
  return events_.take_all();
}

void SyncConnection::mark(Incoming::Kind kind) {
  const std::lock_guard lock(mutex_);
  ++generation_;
  events_.mark(kind);
  queued_.store(true, std::memory_order_relaxed);
  changed_.notify_all();
}

SyncConnection::Snapshot SyncConnection::snapshot() {
  const std::lock_guard lock(mutex_);
  std::size_t pending = core_.size();
  if (const auto login = link_.login_tag(); login && core_.find(*login) && pending > 0) --pending;
  return {pending, events_.lines(), events_.received(), events_.dropped(), link_.state()};
}

// ---- reading ------------------------------------------------------------------------------

template <class Ready>
WaitOutcome SyncConnection::wait(Ready ready, SteadyTime until, bool quick_ack) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (ready()) return WaitOutcome::Ready;
    if (fd_ < 0) return WaitOutcome::Disconnected;
    if (until != kNoDeadline && SteadyClock::now() >= until) return WaitOutcome::Slice;
    if (reading_) {
      // Someone else reads; whatever it routes, or its handing on the role, wakes us.
      if (until == kNoDeadline)
        changed_.wait(lock);
      else
        changed_.wait_until(lock, until);
      continue;
    }
    // Events nobody has taken yet: handed back before reading on (a reply waits behind them).
    if (events_.lines() >= hand_back_) return WaitOutcome::Slice;
    reading_ = true;
    const int fd = use_locked();
    lock.unlock();
    // Our acknowledgements leave at once (a pending one now) while we wait for more than
    // came: a server holding its next small write for them (Nagle's algorithm) would wait
    // for a delayed one, tens of milliseconds. Not while a reply is awaited right after its
    // request: the request carried the acknowledgement, and one of its own for each reply
    // would cost a packet per round trip.
    if (quick_ack) rearm_quick_ack(fd);
    const Read read = read_once(fd, until);
    lock.lock();
    reading_ = false;
    release_locked();
    if (read == Read::Ended) lose_locked(true);
    changed_.notify_all();  // replies routed, or the role is free for another waiter
    if (read == Read::Interrupted) return WaitOutcome::Interrupted;
    if (read == Read::Data) quick_ack = true;  // and still waiting, unless ready() says not
  }
}

SyncConnection::Read SyncConnection::read_once(int fd, SteadyTime until) {
  const SteadyTime now = SteadyClock::now();
  if (until == kNoDeadline || (until > now && until - now >= kBlockingReceive)) {
    const ssize_t received = ::recv(fd, buffer(), kSessionReceiveBytes, 0);  // SO_RCVTIMEO
    const std::lock_guard lock(mutex_);
    return route_received(received);
  }
  pollfd entry{fd, POLLIN, 0};
  const int ready = ::poll(&entry, 1, poll_timeout(until));
  if (ready == 0) return Read::Nothing;
  if (ready < 0) return errno == EINTR ? Read::Interrupted : Read::Ended;
  return receive_now(fd);
}

SyncConnection::Read SyncConnection::receive_now(int fd) {
  const ssize_t received = ::recv(fd, buffer(), kSessionReceiveBytes, MSG_DONTWAIT);
  const std::lock_guard lock(mutex_);
  return route_received(received);
}

// Called with the lock held.
SyncConnection::Read SyncConnection::route_received(ssize_t received) {
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Read::Nothing;
    if (errno == EINTR) return Read::Interrupted;
  }
  if (received <= 0) return Read::Ended;  // closed, or broken (a reset, say)
  last_read_ = SteadyClock::now();
  try {
    route_locked(buffer_.get(), static_cast<std::size_t>(received));
  } catch (...) {
    // Out of memory for a line: the stream cannot go on whole, so the connection is lost
    // (the reader's role and the socket's use are handed back as after any end).
    return Read::Ended;
  }
  return Read::Data;
}

void SyncConnection::route_locked(const char* data, std::size_t size) {
  Sink sink{events_, generation_, queued_};
  core_.feed(data, size, sink, [](std::uint64_t, PendingReply* reply, std::string&& text) {
    reply->text = std::move(text);
    reply->state = PendingReply::State::Replied;
  });
}

// ---- sending ------------------------------------------------------------------------------

Exchange SyncConnection::send_wire(int fd, const LineBuffer& wire, SteadyTime deadline,
                                   WaitHooks& hooks) {
  using Outcome = Exchange::Outcome;
  const auto done_with_socket = [&] {
    const std::lock_guard lock(mutex_);
    release_locked();
  };
  std::unique_lock sending(send_mutex_, std::try_to_lock);
  if (!sending) {
    // A thread that holds the send lock and calls back in (from a signal handler, say)
    // would wait for itself.
    if (sender_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      done_with_socket();
      return {Outcome::Reentrant};
    }
    // Another thread is sending: wait for it, no longer than this call may (a server that
    // does not read can hold that sender for its whole timeout).
    for (;;) {
      hooks.release();
      const bool locked = sending.try_lock_until(slice_end(deadline));
      hooks.reacquire();
      if (locked) break;
      if (!hooks.check_signals()) {
        done_with_socket();
        return {Outcome::Stopped};
      }
      if (deadline != kNoDeadline && SteadyClock::now() >= deadline) {
        done_with_socket();
        return {Outcome::SendTimedOut, 0, SendHold::OtherSender};
      }
    }
  }
  sender_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  const char* data = wire.data();
  const std::size_t size = wire.size();
  std::size_t written = 0;
  std::size_t written_before_wait = 0;
  bool waited = false;
  bool reader = false;  // took the reader's role while waiting for room
  Exchange result{Outcome::Done};
  for (;;) {
    const SendAvailable some = send_available(fd, data, size, written);
    if (some.state == SendAvailable::State::Done) break;
    if (some.state == SendAvailable::State::Failed) {
      result = {Outcome::SendFailed, some.err};
      break;
    }
    if (some.state == SendAvailable::State::Full) {
      if (waited && deadline != kNoDeadline && SteadyClock::now() >= deadline) {
        result = {Outcome::SendTimedOut, 0,
                  written == 0                     ? SendHold::NotRead
                  : written > written_before_wait ? SendHold::TooSlow
                                                   : SendHold::StoppedReading};
        break;
      }
      if (!waited) written_before_wait = written;
      waited = true;
      // No room: wait for it, reading meanwhile if nobody else does. Without the role, look
      // again now and then: the reader may hand it on while we wait.
      const SteadyTime slice = slice_end(deadline);
      SteadyTime wait_until = slice;
      if (!reader) {
        const std::lock_guard lock(mutex_);
        if (!reading_) reading_ = reader = true;
      }
      if (!reader) wait_until = std::min(slice, SteadyClock::now() + kRoleCheck);
      hooks.release();
      pollfd entry{fd, static_cast<short>(reader ? POLLOUT | POLLIN : POLLOUT), 0};
      const int ready = ::poll(&entry, 1, poll_timeout(wait_until));
      Read read = Read::Nothing;
      if (reader && ready > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        read = receive_now(fd);
        const std::lock_guard lock(mutex_);
        if (read == Read::Ended) lose_locked(true);  // the next send says how it failed
        changed_.notify_all();                        // replies routed
      }
      hooks.reacquire();
      const bool interrupted = (ready < 0 && errno == EINTR) || read == Read::Interrupted;
      if ((interrupted || wait_until == slice) && !hooks.check_signals()) {
        result = {Outcome::Stopped};
        break;
      }
      continue;
    }
    // Interrupted: the handlers run, then it goes on.
    if (!hooks.check_signals()) {
      result = {Outcome::Stopped};
      break;
    }
  }
  sender_.store(std::thread::id{}, std::memory_order_relaxed);
  sending.unlock();
  {
    const std::lock_guard lock(mutex_);
    if (reader) {
      reading_ = false;
      changed_.notify_all();  // the role is free for a waiter
    }
    // A line cut short would run into the next one: the connection is given up.
    if (result.outcome != Outcome::Done && written > 0) lose_locked(true);
    if (result.outcome == Outcome::SendFailed) lose_locked(true);
    release_locked();
  }
  return result;
}

}  // namespace qv
