#include "session/core/sync_connection.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <utility>

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


// Milliseconds for poll() until `until` (rounded up, so a wait never ends early): -1 for no
// deadline, 0 when it has passed.
int poll_timeout(SteadyTime until) {
  if (until == kNoDeadline) return -1;
  const SteadyTime now = SteadyClock::now();
  if (until <= now) return 0;  // compared first: until - now could overflow
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  return ms < INT_MAX ? static_cast<int>(ms) : INT_MAX;
}

}  // namespace

SyncConnection::SyncConnection(std::size_t max_line, std::size_t max_events,
                               std::size_t hand_back)
    : core_(max_line), events_(max_events), hand_back_(hand_back) {}

SyncConnection::~SyncConnection() {
  // Nobody waits any more (each waiting thread holds the session alive).
  if (fd_ >= 0) ::close(fd_);
  if (closing_fd_ >= 0) ::close(closing_fd_);
}

// ---- connection ---------------------------------------------------------------------------

bool SyncConnection::begin_connect() {
  const std::lock_guard lock(mutex_);
  if (connecting_) return false;
  connecting_ = true;
  return true;
}

WaitOutcome SyncConnection::wait_connecting(SteadyTime until) {
  std::unique_lock lock(mutex_);
  const auto done = [&] { return !connecting_; };
  if (until == kNoDeadline) {
    changed_.wait(lock, done);
    return WaitOutcome::Ready;
  }
  return changed_.wait_until(lock, until, done) ? WaitOutcome::Ready : WaitOutcome::Slice;
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

void SyncConnection::end_connect() {
  const std::lock_guard lock(mutex_);
  connecting_ = false;
  changed_.notify_all();
}

bool SyncConnection::connected() {
  const std::lock_guard lock(mutex_);
  return fd_ >= 0 && !connecting_;
}

void SyncConnection::disconnect(bool mark) {
  const std::lock_guard lock(mutex_);
  lose_locked(mark);
}

void SyncConnection::lose_locked(bool mark) {
  if (fd_ < 0) return;
  auto lost = core_.lose(mark, events_);
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

bool SyncConnection::add_new(std::span<PendingReply> replies) {
  const std::lock_guard lock(mutex_);
  for (PendingReply& reply : replies) reply.tag = core_.new_tag();
  if (fd_ < 0) return false;
  std::size_t added = 0;
  try {
    for (PendingReply& reply : replies) {
      reply.state = PendingReply::State::Waiting;
      core_.add(reply.tag, &reply);
      ++added;
    }
  } catch (...) {
    for (std::size_t i = 0; i < added; ++i) (void)core_.settle(replies[i].tag);
    throw;
  }
  return true;
}

bool SyncConnection::add(PendingReply& reply) {
  const std::lock_guard lock(mutex_);
  if (fd_ < 0) return false;
  reply.state = PendingReply::State::Waiting;
  core_.add(reply.tag, &reply);
  return true;
}

void SyncConnection::remove(PendingReply& reply) {
  const std::lock_guard lock(mutex_);
  PendingReply** found = core_.find(reply.tag);
  if (found && *found == &reply) (void)core_.settle(reply.tag);
}

WaitOutcome SyncConnection::wait_reply(PendingReply& reply, SteadyTime until) {
  return wait([&] { return reply.state != PendingReply::State::Waiting; }, until, false);
}

// ---- events -------------------------------------------------------------------------------

WaitOutcome SyncConnection::wait_event(SteadyTime until) {
  std::uint64_t wakes;
  {
    const std::lock_guard lock(mutex_);
    wakes = event_wakes_;
  }
  return wait([&] { return !events_.empty() || event_wakes_ != wakes; }, until, true);
}

void SyncConnection::wake_event_waiters() {
  const std::lock_guard lock(mutex_);
  ++event_wakes_;
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

bool SyncConnection::read_within(SteadyClock::duration span) {
  const std::lock_guard lock(mutex_);
  return SteadyClock::now() - last_read_ < span;
}

std::deque<QueuedEvent> SyncConnection::take_events() {
  const std::lock_guard lock(mutex_);
  return events_.take_all();
}

void SyncConnection::consumed(std::size_t lines) {
  const std::lock_guard lock(mutex_);
  events_.consumed(lines);
}

void SyncConnection::mark(Incoming::Kind kind) {
  const std::lock_guard lock(mutex_);
  events_.mark(kind);
  changed_.notify_all();
}

SyncConnection::Snapshot SyncConnection::snapshot() {
  const std::lock_guard lock(mutex_);
  return {core_.size(), events_.lines(), events_.received(), events_.dropped()};
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
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(kSessionReceiveBytes);
  const SteadyTime now = SteadyClock::now();
  if (until == kNoDeadline || (until > now && until - now >= kBlockingReceive))
    return route_received(::recv(fd, buffer_.get(), kSessionReceiveBytes, 0));  // SO_RCVTIMEO
  pollfd entry{fd, POLLIN, 0};
  const int ready = ::poll(&entry, 1, poll_timeout(until));
  if (ready == 0) return Read::Nothing;
  if (ready < 0) return errno == EINTR ? Read::Interrupted : Read::Ended;
  return receive_now(fd);
}

SyncConnection::Read SyncConnection::receive_now(int fd) {
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(kSessionReceiveBytes);
  return route_received(::recv(fd, buffer_.get(), kSessionReceiveBytes, MSG_DONTWAIT));
}

SyncConnection::Read SyncConnection::route_received(ssize_t received) {
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Read::Nothing;
    if (errno == EINTR) return Read::Interrupted;
  }
  if (received <= 0) return Read::Ended;  // closed, or broken (a reset, say)
  const std::lock_guard lock(mutex_);
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
  core_.feed(data, size, events_, [](std::uint64_t, PendingReply* reply, std::string&& text) {
    reply->text = std::move(text);
    reply->state = PendingReply::State::Replied;
  });
}

// ---- sending ------------------------------------------------------------------------------

SendStep SyncConnection::send(const char* data, std::size_t size, std::size_t& written,
                              SteadyTime until) {
  std::unique_lock lock(mutex_);
  const int fd = use_locked();
  if (fd < 0) return {SendStep::State::Failed, ENOTCONN};
  lock.unlock();
  SendStep step{SendStep::State::Done};
  bool reader = false;  // took the reader's role while waiting for room
  for (;;) {
    const SendAvailable some = send_available(fd, data, size, written);
    if (some.state == SendAvailable::State::Done) break;
    if (some.state == SendAvailable::State::Interrupted) {
      step = {SendStep::State::Interrupted};
      break;
    }
    if (some.state == SendAvailable::State::Failed) {
      step = {SendStep::State::Failed, some.err};
      break;
    }
    // No room: wait for it, reading meanwhile if nobody else does. Without the role, look
    // again now and then: the reader may hand it on while we wait.
    SteadyTime wait_until = until;
    if (!reader) {
      lock.lock();
      if (!reading_) reading_ = reader = true;
      lock.unlock();
      if (!reader) wait_until = std::min(until, SteadyClock::now() + kRoleCheck);
    }
    pollfd entry{fd, static_cast<short>(reader ? POLLOUT | POLLIN : POLLOUT), 0};
    const int ready = ::poll(&entry, 1, poll_timeout(wait_until));
    if (ready < 0 && errno == EINTR) {
      step = {SendStep::State::Interrupted};
      break;
    }
    if (ready == 0 && wait_until == until) {
      step = {SendStep::State::Slice};
      break;
    }
    if (reader && ready > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const Read read = receive_now(fd);
      lock.lock();
      if (read == Read::Ended) lose_locked(true);  // the next send says how it failed
      changed_.notify_all();                        // replies routed
      lock.unlock();
      if (read == Read::Interrupted) {
        step = {SendStep::State::Interrupted};
        break;
      }
    }
  }
  lock.lock();
  if (reader) {
    reading_ = false;
    changed_.notify_all();  // the role is free for a waiter
  }
  release_locked();
  return step;
}

}  // namespace qv
