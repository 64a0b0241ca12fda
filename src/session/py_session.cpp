// Session: a connection that hears the server, for threads. Each request waits for its reply
// with the interpreter lock released; whoever waits reads (see SyncConnection, which drives
// the session core shared with AsyncSession: tags, the request table, routing, loss).
#include "session/py_session.hpp"

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <variant>
#include <vector>

#include "net/os_error.hpp"
#include "net/resolve.hpp"
#include "commands/core/tagged_send.hpp"
#include "commands/build_command.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/type_support.hpp"
#include "session/core/fork_generation.hpp"
#include "session/core/reconnect_policy.hpp"
#include "session/core/sync_connection.hpp"
#include "session/held_events.hpp"
#include "session/py_received.hpp"
#include "session/py_subscription.hpp"
#include "session/requests.hpp"
#include "session/session_class.hpp"
#include "session/session_methods.hpp"
#include "session/session_report.hpp"
#include "session/wire_log.hpp"

namespace qv::py {

namespace {

// Waits give the interpreter back this often, so that a signal (Ctrl-C) is handled promptly
// even when it arrived just before the wait began.
constexpr auto kSignalSlice = std::chrono::milliseconds(50);

// The events the connection queues between a thread's read and its return to Python, where
// they are handed on: a wait (for a reply too) comes back for them once this many are queued.
constexpr std::size_t kStagedEvents = 4096;

struct SessionObject {
  PyObject_HEAD
  SessionSettings settings;
  std::unique_ptr<SyncConnection> connection;  // its core numbers the requests
  EventHub hub;  // where events go once taken from the connection (which bounds them)
  std::uint64_t fork_generation;
  bool closed;
  bool ever_connected;
  unsigned long connecting_thread;  // the thread connecting and logging in, or 0
  SessionCounts counts;             // events and dropped: the connection's own
  bool tracing;                     // the wire trace is on: asked once per line or batch sent
};

SessionObject* as_session(PyObject* self) { return reinterpret_cast<SessionObject*>(self); }

SessionSignatures g_sigs;

// The interpreter lock released for the lifetime of the object.
class WithoutInterpreter {
 public:
  WithoutInterpreter() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutInterpreter() {
    // A daemon thread coming back while the interpreter exits would be ended inside
    // PyEval_RestoreThread, by an unwind no C++ frame here may pass (the process would
    // abort): it sleeps instead until the process is gone.
    while (interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::hours(1));
    PyEval_RestoreThread(state_);
  }
  WithoutInterpreter(const WithoutInterpreter&) = delete;
  WithoutInterpreter& operator=(const WithoutInterpreter&) = delete;

 private:
  PyThreadState* state_;
};

SteadyTime deadline_after(std::optional<double> limit) {
  if (!limit) return kNoDeadline;
  const auto span = std::chrono::duration_cast<SteadyClock::duration>(
      std::chrono::duration<double>(std::min(*limit, 1e9)));
  return SteadyClock::now() + span;
}

// A call's own deadline, set when it starts: connecting again, sending and waiting all end by
// it. `limit` is what it came from, for messages.
struct Deadline {
  SteadyTime at;
  std::optional<double> limit;
};

Deadline deadline_of(std::optional<double> limit) { return {deadline_after(limit), limit}; }

// The end of the next slice of a wait until `deadline`: the interpreter gets the lock back
// between slices, to run signal handlers.
SteadyTime slice_end(SteadyTime deadline) {
  const SteadyTime now = SteadyClock::now();
  return deadline - now > kSignalSlice ? now + kSignalSlice : deadline;
}

// Refuses calls on a closed session, and in a child process after fork().
bool usable(const SessionObject* s) {
  if (s->fork_generation != fork_generation()) {
    raise_forked();
    return false;
  }
  if (s->closed) {
    raise_closed();
    return false;
  }
  return true;
}

enum class Waited : std::uint8_t { Ready, Timeout, Error, Disconnected };

// Runs `wait(until)` with the interpreter lock released until it is Ready or `deadline`
// passes, giving the lock back every slice to run signal handlers.
// `between` runs with the lock held before every slice but the first (the events read
// meanwhile are handed on there).
template <class Wait, class Between = void (*)()>
Waited wait_released(Wait wait, SteadyTime deadline, Between between = [] {}) {
  for (bool first = true;; first = false) {
    if (!first) between();
    const SteadyTime slice = slice_end(deadline);
    WaitOutcome outcome;
    {
      WithoutInterpreter released;
      outcome = wait(slice);
    }
    if (outcome == WaitOutcome::Ready) return Waited::Ready;
    if (outcome == WaitOutcome::Disconnected) return Waited::Disconnected;
    if (PyErr_CheckSignals() < 0) return Waited::Error;
    if (SteadyClock::now() >= deadline) return Waited::Timeout;
  }
}

// Sleeps with the interpreter lock released, answering signals; false with the error set.
bool sleep_released(SteadyTime until) {
  for (;;) {
    const SteadyTime now = SteadyClock::now();
    if (now >= until) return true;
    {
      WithoutInterpreter released;
      std::this_thread::sleep_for(std::min<SteadyClock::duration>(until - now, kSignalSlice));
    }
    if (PyErr_CheckSignals() < 0) return false;
  }
}

void collect(SessionObject* s);

// Between the slices of a wait for a reply: the events read meanwhile are handed on, so that
// the connection reads on past them. Not while a connection logs in (a predicate could not
// use the session then).
void hand_on_events(SessionObject* s) {
  if (s->connecting_thread == 0) collect(s);
}

// ---- sending and waiting ------------------------------------------------------------------

// Writes the wire line in `line`. A line cut short (a signal, a timeout) would run into the
// next one, so its connection is given up. False with the error set.
bool send_line(SessionObject* s, const LineBuffer& line, std::string_view word, std::uint64_t tag,
               const Deadline& deadline) {
  SyncConnection& connection = *s->connection;
  std::unique_lock lock(connection.send_mutex(), std::try_to_lock);
  // Another thread is sending: wait for it without the interpreter lock, and no longer than
  // this call may (a server that does not read can hold that sender for its whole timeout).
  while (!lock) {
    bool locked;
    {
      WithoutInterpreter released;
      locked = lock.try_lock_until(slice_end(deadline.at));
    }
    if (locked) break;
    if (PyErr_CheckSignals() < 0) return false;
    if (SteadyClock::now() >= deadline.at) {
      raise_send_timeout(word, tag, deadline.limit,
                         "another thread's line is still being sent, as the server does not "
                         "read; this one was not sent: try it again later");
      return false;
    }
  }
  std::size_t written = 0;
  // First without waiting and without giving up the interpreter: this is the common case.
  SendStep step = connection.send(line.data(), line.size(), written, SteadyTime::min());
  bool waited = false;
  std::size_t written_before_wait = 0;
  while (step.state != SendStep::State::Done) {
    if (step.state == SendStep::State::Failed) {
      connection.disconnect(true);
      set_error(PyExc_ConnectionError, "the connection was lost while sending " +
                                           std::string(word) + " (tag " + std::to_string(tag) +
                                           "): " + os_error_text(step.err));
      return false;
    }
    if (waited && PyErr_CheckSignals() < 0) break;
    if (waited && SteadyClock::now() >= deadline.at) {
      raise_send_timeout(word, tag, deadline.limit,
                         written == 0 ? "the server does not read; it was not sent: try it "
                                        "again later"
                         : written > written_before_wait
                             ? "the server reads, but too slowly to take all of it in time; "
                               "it was cut short, so the connection was given up: give a "
                               "longer timeout"
                             : "the server stopped reading; it was cut short, so the "
                               "connection was given up");
      break;
    }
    if (!waited) written_before_wait = written;
    waited = true;
    const SteadyTime slice = slice_end(deadline.at);
    WithoutInterpreter released;
    step = connection.send(line.data(), line.size(), written, slice);
  }
  if (step.state == SendStep::State::Done) {
    const std::string_view sent = line.view();
    s->counts.requests += static_cast<std::uint64_t>(std::count(sent.begin(), sent.end(), '\n'));
    s->tracing = wire_log::tracing();  // once per request: its reply is traced by it too
    if (s->tracing) wire_log::lines(s->settings.server, s->settings.port, true, sent);
    return true;
  }
  if (written > 0) connection.disconnect(true);
  return false;
}

// Requests registered with the connection until each is answered, lost or given up.
class Registered {
 public:
  Registered(SyncConnection& connection, std::span<PendingReply> replies)
      : c_(connection), replies_(replies) {}
  ~Registered() {
    for (PendingReply& r : replies_) c_.remove(r);  // a no-op for those answered or lost
  }
  Registered(const Registered&) = delete;
  Registered& operator=(const Registered&) = delete;

 private:
  SyncConnection& c_;
  std::span<PendingReply> replies_;
};

// The outcome of one waited request as the caller sees it: the Reply, or null with the error.
Ref outcome(SessionObject* s, PendingReply& reply, Waited waited, std::string_view word,
            std::optional<double> limit) {
  // Out of the pending map first: only then does no reader write to it any more.
  if (waited != Waited::Ready) s->connection->remove(reply);
  switch (waited) {
    case Waited::Error: return {};
    case Waited::Timeout:
      if (reply.state == PendingReply::State::Waiting) {
        raise_timeout(word, reply.tag, limit);
        return {};
      }
      break;
    case Waited::Ready:
    case Waited::Disconnected: break;
  }
  if (reply.state != PendingReply::State::Replied) {
    raise_lost(word, reply.tag, s->closed);
    return {};
  }
  ++s->counts.replies;
  if (s->tracing) wire_log::lines(s->settings.server, s->settings.port, false, reply.text);
  return checked_reply(s->settings, word, make_reply(reply.tag, reply.text));
}

// Sends the command text in `line` tagged and waits for its reply, on the connection as it
// is (connecting is the caller's affair).
Ref exchange_connected(SessionObject* s, LineBuffer& line, std::string_view word,
                       const Deadline& deadline) {
  PendingReply reply;
  SyncConnection& connection = *s->connection;
  const Registered registered(connection, {&reply, 1});
  if (!connection.add_new({&reply, 1})) {
    raise_lost(word, reply.tag, s->closed);
    return {};
  }
  append_tag_suffix(line, reply.tag);
  const bool sent = send_line(s, line, word, reply.tag, deadline);
  line.release_if_large();
  if (!sent) return {};
  const Waited waited = wait_released(
      [&](SteadyTime until) { return connection.wait_reply(reply, until); }, deadline.at,
      [&] { hand_on_events(s); });
  return outcome(s, reply, waited, word, deadline.limit);
}

// ---- connecting ---------------------------------------------------------------------------

// Milliseconds for a connect that ends by `until`: -1 for none, at least 1.
int connect_timeout_ms(SteadyTime until) {
  if (until == kNoDeadline) return -1;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - SteadyClock::now()).count();
  return static_cast<int>(std::clamp<decltype(ms)>(ms, 1, 2'000'000'000));
}

// The TCP connection of one attempt: the server's name resolved now (a server moved by DNS is
// found again), without the interpreter lock, then every address in turn, each under the
// session's timeout and all by `deadline`. The socket, else why it failed, or null with the
// error set (a signal).
std::optional<std::variant<int, AttemptFailure>> connect_any(SessionObject* s,
                                                             const Deadline& deadline) {
  std::variant<std::vector<IpAddress>, ResolveFailure> resolved;
  {
    WithoutInterpreter released;
    resolved = resolve_host(s->settings.server);
  }
  if (const auto* failure = std::get_if<ResolveFailure>(&resolved))
    return AttemptFailure{0, *failure};
  AttemptFailure failed;
  for (const IpAddress& address : std::get<std::vector<IpAddress>>(resolved)) {
    const SteadyTime address_ends = std::min(deadline_after(s->settings.timeout), deadline.at);
    std::variant<int, OsFailure> connected;
    for (;;) {
      {
        WithoutInterpreter released;
        auto give_up = [](void*) { return false; };  // signals are handled with the lock, below
        connected = connect_tcp_within(address, s->settings.port, connect_timeout_ms(address_ends),
                                       InterruptCheck{give_up});
      }
      const auto* failure = std::get_if<OsFailure>(&connected);
      if (!failure || !failure->interrupted) break;
      if (PyErr_CheckSignals() < 0) return std::nullopt;
    }
    if (const int* fd = std::get_if<int>(&connected)) return *fd;
    failed.err = std::get<OsFailure>(connected).err;
    if (SteadyClock::now() >= deadline.at) break;
  }
  return failed;
}

// One attempt: connect and log in, each under the session's timeout and by the calling
// request's `deadline`. False with the error set; else `failed` says whether it connected.
bool connect_once(SessionObject* s, std::optional<AttemptFailure>& failed,
                  const Deadline& deadline) {
  const SteadyTime attempt_ends = std::min(deadline_after(s->settings.timeout), deadline.at);
  const auto connected = connect_any(s, deadline);
  if (!connected) return false;
  if (const auto* failure = std::get_if<AttemptFailure>(&*connected)) {
    failed = *failure;
    return true;  // not connected; the caller decides what to raise
  }
  failed.reset();
  const int fd = std::get<int>(*connected);
  wire_log::note(wire_log::kInfo, s->settings.server, s->settings.port, "connected");
  set_no_delay(fd);
  {
    WithoutInterpreter released;
    s->connection->attach(fd);
  }
  Command login(kLoginVariant);
  if (!build_login(login, s->settings.username, s->settings.password)) return false;
  LineBuffer line;  // not the request buffer: the request that made us connect is in there
  build_command_line(login, line);
  Ref reply = exchange_connected(s, line, "Login", {attempt_ends, s->settings.timeout});
  if (!reply) {
    s->connection->disconnect(false);  // refused or unanswered: this connection is no use
    if (SteadyClock::now() >= deadline.at && PyErr_ExceptionMatches(PyExc_TimeoutError)) {
      PyErr_Clear();
      raise_reconnect_timeout(deadline.limit, "the server did not answer Login in time");
    }
    return false;
  }
  wire_log::note(wire_log::kInfo, s->settings.server, s->settings.port,
                 "logged in as '" + s->settings.username + "'");
  return true;
}

// Waits for another thread's connecting to end, by `deadline`. False with the error set.
bool wait_for_connecting(SessionObject* s, const Deadline& deadline) {
  SyncConnection& connection = *s->connection;
  const Waited waited = wait_released(
      [&](SteadyTime until) { return connection.wait_connecting(until); }, deadline.at);
  if (waited == Waited::Ready) return true;
  if (waited == Waited::Timeout)
    raise_reconnect_timeout(deadline.limit, "another thread was still connecting");
  return false;
}

// Makes sure there is a logged-in connection: on the first use, or after one was lost (when
// reconnecting is on: bounded attempts, exponential backoff with full jitter), all by the
// calling request's `deadline`. The first reconnect is marked in the events. False with the
// error set.
bool ensure_connected(SessionObject* s, const Deadline& deadline) {
  SyncConnection& connection = *s->connection;
  if (connection.connected()) return true;
  const bool reconnecting = s->ever_connected;
  if (reconnecting && s->settings.reconnect_attempts == 0) {
    PyErr_SetString(PyExc_ConnectionError,
                    "the connection was lost, and the session does not reconnect "
                    "(reconnect_attempts is 0)");
    return false;
  }
  // is_failure judging the Login of a new connection runs in the thread connecting; a call
  // from it would wait for that very thread.
  if (s->connecting_thread == PyThread_get_thread_ident()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the session is logging in on a new connection, and is_failure was called "
                    "to judge the reply to Login: is_failure cannot use the session then (it "
                    "would wait for itself); let it judge the reply alone");
    return false;
  }
  if (!connection.begin_connect()) {
    if (!wait_for_connecting(s, deadline)) return false;
    if (connection.connected()) return true;
    PyErr_SetString(PyExc_ConnectionError,
                    "the connection was lost, and reconnecting failed (in another thread)");
    return false;
  }
  s->connecting_thread = PyThread_get_thread_ident();
  struct EndConnect {
    SessionObject* s;
    ~EndConnect() {
      s->connecting_thread = 0;
      s->connection->end_connect();
    }
  } end{s};

  ReconnectPolicy policy(reconnecting, s->settings.reconnect_attempts,
                         s->settings.reconnect_delay, s->settings.reconnect_max_delay);
  AttemptFailure last;
  while (policy.more_attempts()) {
    if (policy.made() > 0) {
      const double left =
          std::chrono::duration<double>(deadline.at - SteadyClock::now()).count();
      if (!sleep_released(deadline_after(policy.pause_within(left)))) return false;
      if (s->closed) {
        raise_closed();
        return false;
      }
    }
    if (SteadyClock::now() >= deadline.at) break;
    policy.start_attempt();
    std::optional<AttemptFailure> failed;
    if (!connect_once(s, failed, deadline)) return false;
    if (!failed && s->closed) {  // closed by another thread meanwhile
      connection.disconnect(false);
      raise_closed();
      return false;
    }
    if (failed) {
      last = *failed;
      wire_log::note(wire_log::kInfo, s->settings.server, s->settings.port,
                     "connect attempt failed: " + last.text(s->settings.server));
    }
    if (!failed) {
      if (reconnecting) {
        connection.mark(Incoming::Kind::Reconnected);
        ++s->counts.reconnects;
        wire_log::note(wire_log::kInfo, s->settings.server, s->settings.port,
                       "reconnected after the connection was lost");
      }
      s->ever_connected = true;
      return true;
    }
  }
  if (SteadyClock::now() >= deadline.at) {
    raise_reconnect_timeout(deadline.limit, policy.ran_out_text(last.text(s->settings.server)));
    return false;
  }
  // The first connect fails as the system said (ConnectionRefusedError and the like).
  raise_connect_failed(reconnecting, last,
                       policy.failure_text(reconnecting, last.text(s->settings.server)));
  return false;
}

// A connection the server closed while nobody was waiting shows here, before a line is sent
// into it. One read from a moment ago says it was alive: a request in a tight loop then
// saves the system call.
bool check_idle_connection(SessionObject* s, const Deadline& deadline) {
  constexpr auto kRecentlyRead = std::chrono::milliseconds(5);
  if (s->connection->read_within(kRecentlyRead)) return true;
  {
    WithoutInterpreter released;
    s->connection->read_arrived();
  }
  return ensure_connected(s, deadline);
}

Ref exchange(SessionObject* s, LineBuffer& line, std::string_view word,
             std::optional<double> limit) {
  const Deadline deadline = deadline_of(limit);
  if (!usable(s) || !ensure_connected(s, deadline) || !check_idle_connection(s, deadline))
    return {};
  return exchange_connected(s, line, word, deadline);
}

// ---- events -------------------------------------------------------------------------------

std::deque<QueuedEvent> take_queued(SessionObject* s) {
  std::deque<QueuedEvent> queued = s->connection->take_events();
  std::size_t lines = 0;
  for (const QueuedEvent& e : queued) lines += e.in.kind == Incoming::Kind::Line;
  s->connection->consumed(lines);  // held here now, in bounded queues of their own
  return queued;
}

// Hands what the connection queued on to the subscriptions and the window. Predicates run
// here, in whichever thread comes back to Python first; one called from a predicate (or
// while another thread's predicate runs) leaves it to the handing on under way.
void collect(SessionObject* s) {
  if (s->hub.dispatching()) return;
  std::deque<QueuedEvent> queued = take_queued(s);
  if (queued.empty()) return;
  const bool tracing = wire_log::tracing();
  const std::uint64_t dropped_before = s->hub.dropped();
  std::uint64_t staged_drops = 0;
  for (QueuedEvent& e : queued) {
    if (tracing && e.in.kind == Incoming::Kind::Line)
      wire_log::lines(s->settings.server, s->settings.port, false, e.in.text);
    if (e.in.kind == Incoming::Kind::Dropped) {
      wire_log::dropped(s->settings.server, s->settings.port, e.in.count, s->settings.max_events);
      staged_drops += e.in.count;
    }
    s->hub.dispatch(std::move(e.in));
  }
  // Dropped from the window or by a subscription while handing on: said once too.
  const std::uint64_t dropped_here = s->hub.dropped() - dropped_before;
  if (dropped_here > staged_drops)
    wire_log::dropped(s->settings.server, s->settings.port, dropped_here - staged_drops,
                      s->settings.max_events);
  // A subscription's consumer in another thread may be waiting for what it was just given.
  if (s->hub.has_subscriptions()) s->connection->wake_event_waiters();
}

// The same for a wait_for(): the first event the predicate accepts among those held, else
// among those handed on, each looked at as it lands in the window (however many come at
// once, the window keeps only the latest). The rest are handed on all the same.
Taken collect_matching(SessionObject* s, PyObject* predicate, std::uint64_t& from) {
  Taken taken = s->hub.window().take_match(predicate, from);
  if (taken.found || PyErr_Occurred() || s->hub.dispatching()) return taken;
  Ref raised;
  std::deque<QueuedEvent> queued = take_queued(s);
  const std::uint64_t dropped_before = s->hub.dropped();
  for (QueuedEvent& e : queued) {
    if (s->closed) break;  // by a predicate: what it held is let go of
    if (e.in.kind == Incoming::Kind::Line && wire_log::tracing())
      wire_log::lines(s->settings.server, s->settings.port, false, e.in.text);
    s->hub.dispatch(std::move(e.in));
    if (taken.found || raised) continue;
    taken = s->hub.window().take_match(predicate, from);
    if (PyErr_Occurred()) raised = Ref::steal(take_raised_exception());
  }
  if (!queued.empty() && s->hub.has_subscriptions()) s->connection->wake_event_waiters();
  if (s->hub.dropped() > dropped_before)
    wire_log::dropped(s->settings.server, s->settings.port, s->hub.dropped() - dropped_before,
                      s->settings.max_events);
  if (raised) set_raised_exception(raised.release());
  return taken;
}

bool subscribed(const SubscriptionObject* sub) { return sub->hub != nullptr; }

// A stream met the loss of the connection: it goes on once connected again (the reconnect
// is marked in it), when the session reconnects; else it ends with ConnectionError. False
// with the error set.
bool stream_reconnect(SessionObject* s, const Deadline& deadline) {
  if (s->settings.reconnect_attempts == 0) {
    raise_events_lost();
    return false;
  }
  return ensure_connected(s, deadline);
}

// A subscription's next event, waiting up to `limit`. `iterating`: the end of its stream is
// null without an error (the session or the subscription closed, or no event within `limit`);
// else those raise.
Ref next_event(SubscriptionObject* sub, std::optional<double> limit, bool iterating) {
  SessionObject* s = as_session(sub->session.get());
  if (s->fork_generation != fork_generation()) {
    raise_forked();
    return {};
  }
  const auto ended = [&]() -> Ref {
    if (iterating) return {};
    if (s->closed)
      raise_closed();
    else
      raise_subscription_closed();
    return {};
  };
  std::optional<Deadline> deadline;
  for (;;) {
    if (s->closed || !subscribed(sub)) return ended();
    // What it holds came before anything the connection queued since.
    SubscriptionStep step = take_next(sub);
    if (step.kind == SubscriptionStep::Kind::Empty) {
      collect(s);
      step = take_next(sub);
    }
    if (step.kind == SubscriptionStep::Kind::Event) return std::move(step.event);
    if (step.kind == SubscriptionStep::Kind::Error) return {};
    if (!deadline) deadline = deadline_of(limit);
    if (step.kind == SubscriptionStep::Kind::Lost) {
      if (!stream_reconnect(s, *deadline)) {
        // Connecting again took all the time there was: no event came within it.
        if (iterating && SteadyClock::now() >= deadline->at &&
            PyErr_ExceptionMatches(PyExc_TimeoutError))
          PyErr_Clear();
        return {};
      }
      continue;  // the reconnect's mark comes next
    }
    if (!ensure_connected(s, *deadline)) {
      if (iterating && SteadyClock::now() >= deadline->at &&
          PyErr_ExceptionMatches(PyExc_TimeoutError))
        PyErr_Clear();
      return {};
    }
    SyncConnection& connection = *s->connection;
    const Waited waited = wait_released(
        [&](SteadyTime until) { return connection.wait_event(until); }, slice_end(deadline->at));
    if (waited == Waited::Error) return {};
    if (waited == Waited::Timeout && SteadyClock::now() >= deadline->at) {
      collect(s);
      if (!sub->queue.empty()) continue;
      if (iterating) return {};
      raise_no_event(limit);
      return {};
    }
    // Disconnected: what it left is collected next, and connecting again is tried there.
  }
}

// The first event the predicate accepts among those no subscription took, leaving the others
// where they are.
Ref wait_for_event(SessionObject* s, PyObject* predicate, std::optional<double> limit) {
  const Deadline deadline = deadline_of(limit);
  if (!usable(s) || !ensure_connected(s, deadline)) return {};
  std::uint64_t from = 0;
  for (bool disconnected = false;; ) {
    Taken taken = collect_matching(s, predicate, from);
    if (taken.found || PyErr_Occurred()) return std::move(taken.event);
    if (s->closed) {
      raise_closed();
      return {};
    }
    if (disconnected) {  // gone without a mark: no waiting on it
      raise_events_lost();
      return {};
    }
    SyncConnection& connection = *s->connection;
    const Waited waited =
        wait_released([&](SteadyTime until) { return connection.wait_event(until); }, deadline.at);
    if (waited == Waited::Error) return {};
    if (waited == Waited::Timeout) {
      taken = collect_matching(s, predicate, from);
      if (taken.found || PyErr_Occurred()) return std::move(taken.event);
      raise_no_event(limit);
      return {};
    }
    disconnected = waited == Waited::Disconnected;
  }
}

// ---- Python methods -----------------------------------------------------------------------

PyObject* Session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  SessionSettings settings;
  if (!read_settings(g_sigs.constructor, args, kwargs, settings)) return nullptr;
  Ref self = Ref::steal(type_alloc(type));
  if (!self) return nullptr;
  SessionObject* s = as_session(self.get());
  std::construct_at(&s->settings, std::move(settings));
  std::construct_at(&s->hub, s->settings.max_events);
  std::construct_at(&s->connection,
                    std::make_unique<SyncConnection>(
                        // A receive brings at most one line per byte on top.
                        s->settings.max_line, kStagedEvents + kSessionReceiveBytes,
                        kStagedEvents));
  s->fork_generation = fork_generation();
  s->closed = false;
  s->ever_connected = false;
  s->connecting_thread = 0;
  std::construct_at(&s->counts);
  s->tracing = false;
  if (!ensure_connected(s, deadline_of(std::nullopt))) return nullptr;
  return self.release();
}

// ---- garbage collection -------------------------------------------------------------------

int Session_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  SessionObject* s = as_session(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(s->settings.is_failure.get());
  return s->hub.window().traverse(visit, arg);
}

int Session_clear(PyObject* self) noexcept {
  SessionObject* s = as_session(self);
  // Let go of once the session is consistent: its deallocation may run Python code.
  Ref is_failure = std::move(s->settings.is_failure);
  s->hub.window().clear();
  return 0;
}

// A session collected (or deallocated) while its connection is up closes it, and says so.
void Session_finalize(PyObject* self) noexcept {
  SessionObject* s = as_session(self);
  if (s->closed || !s->connection || s->fork_generation != fork_generation() ||
      !s->connection->connected())
    return;
  warn_unclosed(self);
  s->closed = true;
  s->connection->disconnect(false);
}

void Session_dealloc(PyObject* self) noexcept {
  if (call_finalizer_from_dealloc(self) < 0) return;  // brought back to life
  PyObject_GC_UnTrack(self);
  SessionObject* s = as_session(self);
  if (s->connection) {
    if (s->fork_generation == fork_generation()) {
      s->connection->disconnect(false);
    } else {
      // In a child after fork(): its locks may be held by threads that are not here, and a
      // shutdown would end the parent's connection too. Left as it is.
      (void)s->connection.release();
    }
  }
  std::destroy_at(&s->connection);
  std::destroy_at(&s->hub);
  std::destroy_at(&s->settings);
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

PyObject* submit_command(PyObject* self, const Command& command, std::optional<double> limit) {
  SessionObject* s = as_session(self);
  LineBuffer& line = request_buffer();
  build_command_line(command, line);
  return exchange(s, line, command.entry().name, limit).release();
}

const SessionSettings& settings_of(PyObject* self) { return as_session(self)->settings; }

PyObject* Session_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  SessionObject* s = as_session(self);
  PyObject* command;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.request, s->settings, args, nargs, kwnames, command, limit))
    return nullptr;
  LineBuffer& line = request_buffer();
  std::string word;
  if (!build_request_line(command, "argument 'command'", std::nullopt, line, word)) return nullptr;
  return exchange(s, line, word, limit).release();
}

PyObject* Session_request_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  SessionObject* s = as_session(self);
  PyObject* commands;
  std::optional<double> limit;
  std::vector<LineBuffer> lines;
  std::vector<std::string> words;
  if (!bind_session_call(g_sigs, g_sigs.request_batch, s->settings, args, nargs, kwnames,
                         commands, limit) ||
      !read_batch(commands, lines, words))
    return nullptr;
  const std::size_t count = lines.size();
  const Deadline deadline = deadline_of(limit);
  if (!usable(s) || !ensure_connected(s, deadline) || !check_idle_connection(s, deadline))
    return nullptr;
  // Tagged only now: a refused batch uses no tag.
  std::vector<PendingReply> replies(count);
  SyncConnection& connection = *s->connection;
  const Registered registered(connection, replies);
  if (count > 0 && !connection.add_new(replies)) {
    raise_lost("the batch", count > 0 ? replies[0].tag : 0, s->closed);
    return nullptr;
  }
  LineBuffer wire;
  for (std::size_t i = 0; i < count; ++i) {
    wire.append(lines[i].view());
    append_tag_suffix(wire, replies[i].tag);
  }
  if (count > 0 && !send_line(s, wire, words[0], replies[0].tag, deadline)) return nullptr;
  // Every reply is collected before any failure is raised.
  Ref results = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!results) return nullptr;
  Ref first_failure;
  for (std::size_t i = 0; i < count; ++i) {
    PendingReply& reply = replies[i];
    const Waited waited = wait_released(
        [&](SteadyTime until) { return connection.wait_reply(reply, until); }, deadline.at,
        [&] { hand_on_events(s); });
    Ref r = outcome(s, reply, waited, words[i], limit);
    if (!r) {
      if (!PyErr_ExceptionMatches(server_error_class())) return nullptr;
      Ref failure = Ref::steal(take_raised_exception());
      if (!first_failure) first_failure = std::move(failure);
      continue;
    }
    list_fill(results.get(), static_cast<Py_ssize_t>(i), r.release());
  }
  if (first_failure) {
    set_raised_exception(first_failure.release());
    return nullptr;
  }
  return results.release();
}

// Subscriptions: subscribe(), and events() (one to every event, which takes the events held
// for wait_for() first).
PyTypeObject* g_subscription_type = nullptr;

PyObject* Session_events(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  SessionObject* s = as_session(self);
  PyObject* none;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.events, s->settings, args, nargs, kwnames, none, limit) ||
      !usable(s))
    return nullptr;
  // The events held, and those read and not yet handed on, are its own first.
  return new_subscription(g_subscription_type, self, s->hub, nullptr, kDefaultMaxPending, limit,
                          true)
      .release();
}

PyObject* Session_subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  SessionObject* s = as_session(self);
  PyObject* predicate;
  std::size_t max_pending;
  if (!bind_subscribe(g_sigs, args, nargs, kwnames, predicate, max_pending) || !usable(s))
    return nullptr;
  // What came before it is not its own: handed on first.
  collect(s);
  return new_subscription(g_subscription_type, self, s->hub, predicate, max_pending,
                          std::nullopt, false)
      .release();
}

PyObject* Subscription_next(PyObject* self) {
  SubscriptionObject* sub = as_subscription(self);
  return next_event(sub, sub->step_limit, true).release();
}

PyObject* Subscription_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  SubscriptionObject* sub = as_subscription(self);
  PyObject* none;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.get, as_session(sub->session.get())->settings, args,
                         nargs, kwnames, none, limit))
    return nullptr;
  return next_event(sub, limit, false).release();
}

PyObject* Session_wait_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  SessionObject* s = as_session(self);
  PyObject* predicate;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.wait_for, s->settings, args, nargs, kwnames, predicate,
                         limit) ||
      !check_predicate(predicate))
    return nullptr;
  return wait_for_event(s, predicate, limit).release();
}

PyObject* Session_close(PyObject* self, PyObject*) {
  SessionObject* s = as_session(self);
  if (s->fork_generation != fork_generation()) {
    raise_forked();
    return nullptr;
  }
  if (!s->closed) {
    s->closed = true;
    WithoutInterpreter released;
    s->connection->disconnect(false);
  }
  s->hub.window().clear();
  Py_RETURN_NONE;
}

PyObject* Session_enter(PyObject* self, PyObject*) {
  if (!usable(as_session(self))) return nullptr;
  return Py_NewRef(self);
}

PyObject* Session_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  Ref done = Ref::steal(Session_close(self, nullptr));
  if (!done) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* Session_get_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_session(self)->closed);
}

PyObject* Session_get_stats(PyObject* self, void*) {
  SessionObject* s = as_session(self);
  if (s->fork_generation != fork_generation()) {  // its lock may be held by a thread not here
    raise_forked();
    return nullptr;
  }
  SessionCounts counts = s->counts;
  const SyncConnection::Snapshot now = s->connection->snapshot();
  counts.events = now.events;
  counts.dropped = s->hub.dropped();  // the connection's own drops are counted once handed on
  return make_stats(counts).release();
}

PyObject* Session_repr(PyObject* self) {
  SessionObject* s = as_session(self);
  if (s->fork_generation != fork_generation())  // its lock may be held by a thread not here
    return session_repr({"Session", s->settings.server, s->settings.port, "unusable after fork",
                         0, s->hub.lines()});
  const SyncConnection::Snapshot now = s->connection->snapshot();
  const char* state = s->closed                    ? "closed"
                      : s->connection->connected() ? "connected"
                      : s->connecting_thread != 0  ? "connecting"
                                                   : "disconnected";
  return session_repr({"Session", s->settings.server, s->settings.port, state, now.pending,
                       s->hub.lines() + now.queued_events});
}

}  // namespace

PyTypeObject* init_session_class() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  if (!init_received_classes()) return nullptr;
  if (!make_session_signatures(g_sigs, "Session")) return nullptr;

  g_subscription_type = make_subscription_class({
      "builtins.Subscription",
      "Events of a Session as they come, from the moment it was made: those its predicate "
      "accepts (all, without one), in a queue of its own bounded by max_pending (beyond it, "
      "EventsDropped at that point, once). Iterate over it, or get() one at a time; close() "
      "(or leaving its with block) unsubscribes. A loss of the connection shows as the "
      "reconnected event when the session connects again; ConnectionError when it cannot.",
      {{Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
       {Py_tp_iternext, slot_entry<Subscription_next>()}},
      {{"get", method_entry<Subscription_get>(), METH_FASTCALL | METH_KEYWORDS,
        "get($self, /, timeout=" QV_SESSION_TIMEOUT_NAME ")\n--\n\n"
        "The next event; TimeoutError when none comes within timeout."}},
      nullptr});
  if (!g_subscription_type) return nullptr;

  const auto* per_command =
      SessionMethods<submit_command, settings_of>::table("Session", "Send {} and wait for its reply.");
  if (!per_command) return nullptr;
  const SessionClassTraits traits = {
      "Session",
      "A connection to the control server that hears it: each "
      "request returns its reply; other lines are events.",
      sizeof(SessionObject), slot_entry<Session_new>(),
      dealloc_slot<Session_dealloc>(), entry<Session_get_closed>, entry<Session_get_stats>,
      slot_entry<Session_repr>(),
      nothrow_slot<Session_traverse>(), nothrow_slot<Session_clear>(),
      nothrow_slot<Session_finalize>()};
  type = make_session_class(traits, {
      {"request", method_entry<Session_request>(), METH_FASTCALL | METH_KEYWORDS,
       "request($self, /, command, timeout=" QV_SESSION_TIMEOUT_NAME ")\n--\n\n"
       "Send a Command, or a text as it is, and wait for its reply."},
      {"request_batch", method_entry<Session_request_batch>(), METH_FASTCALL | METH_KEYWORDS,
       "request_batch($self, /, commands, timeout=" QV_SESSION_TIMEOUT_NAME ")\n--\n\n"
       "Send many requests in one write and wait for every reply."},
      {"events", method_entry<Session_events>(), METH_FASTCALL | METH_KEYWORDS,
       "events($self, /, timeout=None)\n--\n\n"
       "A subscription to every event, starting with those held for wait_for(): iterate "
       "over it until the session is closed, or, with a timeout, until none comes within it."},
      {"subscribe", method_entry<Session_subscribe>(), METH_FASTCALL | METH_KEYWORDS,
       "subscribe($self, /, predicate=None, *, max_pending=10000)\n--\n\n"
       "A Subscription to the events the predicate accepts (every event with None), from now "
       "on; make it before sending the command whose events it is for."},
      {"wait_for", method_entry<Session_wait_for>(), METH_FASTCALL | METH_KEYWORDS,
       "wait_for($self, /, predicate, timeout=" QV_SESSION_TIMEOUT_NAME ")\n--\n\n"
       "Wait for the first event the predicate accepts among those no subscription took (the "
       "most recent max_events, and those that come); the others stay held."},
      {"close", method_entry<Session_close>(), METH_NOARGS,
       "close($self, /)\n--\n\nEnd the connection; waiting calls end at once."},
      {"__enter__", method_entry<Session_enter>(), METH_NOARGS, nullptr},
      {"__exit__", method_entry<Session_exit>(), METH_FASTCALL, nullptr},
  }, *per_command);
  return type;
}

}  // namespace qv::py
