// AsyncSession: a connection that hears the server, for asyncio. An await costs no thread:
// the running loop watches the socket (add_reader), and the callback it runs reads what
// arrived, routes each line in the core and resolves the futures waiting for it. Lines to
// send are gathered and written once per loop iteration.
#include "session/py_async_session.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "net/os_error.hpp"
#include "net/socket.hpp"
#include "commands/core/tagged_send.hpp"
#include "commands/build_command.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/type_support.hpp"
#include "session/asyncio_api.hpp"
#include "session/core/fork_generation.hpp"
#include "session/core/line_router.hpp"
#include "session/core/reconnect_policy.hpp"
#include "session/held_events.hpp"
#include "session/py_pending.hpp"
#include "session/py_received.hpp"
#include "session/requests.hpp"
#include "session/session_class.hpp"
#include "session/session_methods.hpp"

namespace qv::py {

namespace {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

// Deadlines of requests and waits, earliest first; each owner keeps its entry's iterator.
enum class DeadlineOf : std::uint8_t { Request, Batch, Waiter };
using Deadlines = std::multimap<Time, std::pair<DeadlineOf, std::uint64_t>>;

struct Request {
  Ref future;                   // empty for a member of a batch
  std::uint64_t batch = 0;      // the batch it belongs to, if any
  std::size_t index = 0;        // its place in the batch
  CommandWord word;             // for messages
  std::optional<double> limit;  // for messages
  Deadlines::iterator deadline;
  bool has_deadline = false;
};

struct Batch {
  Ref future;
  Ref results;  // list
  std::vector<std::uint64_t> tags;
  std::size_t remaining = 0;
  Ref first_failure;
  std::optional<double> limit;
  Deadlines::iterator deadline;
  bool has_deadline = false;
};

// A wait for events: the next one (events()), or the first a predicate accepts (wait_for()).
struct Waiter {
  Ref future;
  Ref predicate;           // empty for events()
  std::uint64_t from = 0;  // wait_for: held events before this one were looked at
  std::optional<double> limit;
  Deadlines::iterator deadline;
  bool has_deadline = false;
};

enum class Link : std::uint8_t { Down, Connecting, LoggingIn, Up };

struct AsyncSessionObject {
  PyObject_HEAD
  SessionSettings settings;
  Ref loop;
  int fd;
  Link link;
  bool closed;
  bool ever_connected;
  bool reading;          // add_reader is in place
  bool writing;          // add_writer is in place (for output, or for a connect under way)
  bool flush_scheduled;  // call_soon(flush) is pending
  std::uint64_t fork_generation;
  std::uint64_t next_tag;  // unique for the session's life, across reconnects
  std::uint64_t login_tag;
  std::uint64_t next_batch;
  std::uint64_t next_waiter;
  std::unique_ptr<LineRouter> router;
  std::unique_ptr<char[]> buffer;
  LineBuffer out;     // wire lines for the socket
  std::size_t out_sent;
  LineBuffer queued;  // lines of requests made while connecting, sent once logged in
  std::unordered_map<std::uint64_t, Request> requests;
  std::unordered_map<std::uint64_t, Batch> batches;
  std::map<std::uint64_t, Waiter> waiters;  // in the order they began
  std::vector<std::pair<Ref, Ref>> connect_waiters;  // future, and what it resolves to
  HeldEvents held;
  Deadlines deadlines;
  Ref timer;  // TimerHandle for the earliest deadline
  Time timer_at;
  // Connecting: the attempts made and the pauses between them, the timer of the one under way.
  ReconnectPolicy policy;
  Ref connect_timer;
};

AsyncSessionObject* as_async(PyObject* self) { return reinterpret_cast<AsyncSessionObject*>(self); }

SessionSignatures g_sigs;

// ---- callbacks for the loop ---------------------------------------------------------------

PyObject* on_readable(PyObject* self, PyObject*);
PyObject* on_writable(PyObject* self, PyObject*);
PyObject* on_connect_ready(PyObject* self, PyObject*);
PyObject* on_timer(PyObject* self, PyObject*);
PyObject* on_retry(PyObject* self, PyObject*);

PyMethodDef g_on_readable = {"_readable", method_entry<on_readable>(), METH_NOARGS, nullptr};
PyMethodDef g_on_writable = {"_writable", method_entry<on_writable>(), METH_NOARGS, nullptr};
PyMethodDef g_on_connect = {"_connected", method_entry<on_connect_ready>(), METH_NOARGS, nullptr};
PyMethodDef g_on_timer = {"_timeouts", method_entry<on_timer>(), METH_NOARGS, nullptr};
PyMethodDef g_on_retry = {"_reconnect", method_entry<on_retry>(), METH_NOARGS, nullptr};

// A callback bound to the session; the loop keeps the session alive while it holds one.
Ref callback(PyObject* self, PyMethodDef& def) { return Ref::steal(PyCFunction_New(&def, self)); }

bool loop_call(AsyncSessionObject* s, const char* method, PyObject* self, PyMethodDef* def,
               PyObject* first = nullptr) {
  Ref cb;
  if (def) {
    cb = callback(self, *def);
    if (!cb) return false;
  }
  Ref done = first ? (cb ? aio::call(s->loop.get(), method, first, cb.get())
                         : aio::call(s->loop.get(), method, first))
                   : aio::call(s->loop.get(), method, cb.get());
  return static_cast<bool>(done);
}

Ref fd_object(int fd) { return Ref::steal(PyLong_FromLong(fd)); }

bool watch(AsyncSessionObject* s, PyObject* self, const char* method, PyMethodDef* def) {
  Ref fd = fd_object(s->fd);
  return fd && loop_call(s, method, self, def, fd.get());
}

bool unwatch(AsyncSessionObject* s, const char* method) {
  Ref fd = fd_object(s->fd);
  return fd && aio::call(s->loop.get(), method, fd.get());
}

Ref seconds_object(Time until) {
  const double left = std::chrono::duration<double>(until - Clock::now()).count();
  return Ref::steal(PyFloat_FromDouble(left > 0 ? left : 0));
}

// ---- resolving ----------------------------------------------------------------------------

// Resolves a future unless it is done (cancelled) already; the error case takes the
// exception being raised. False when the loop refused (error set).
bool settle(PyObject* future, PyObject* result) {
  Ref exc;
  if (!result) exc = Ref::steal(PyErr_GetRaisedException());
  const int done = aio::is_done(future);
  if (done < 0) return false;
  if (done) return true;
  return result ? aio::set_result(future, result) : aio::set_exception(future, exc.get());
}

void drop_deadline(AsyncSessionObject* s, Deadlines::iterator at, bool has) {
  if (has) s->deadlines.erase(at);
}

// The timer follows the earliest deadline.
bool arm_timer(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  if (s->deadlines.empty()) return true;
  const Time earliest = s->deadlines.begin()->first;
  if (s->timer && s->timer_at <= earliest) return true;
  if (s->timer && !aio::cancel_handle(s->timer.get())) return false;
  Ref delay = seconds_object(earliest);
  Ref cb = callback(self, g_on_timer);
  if (!delay || !cb) return false;
  s->timer = aio::call(s->loop.get(), "call_later", delay.get(), cb.get());
  s->timer_at = earliest;
  return static_cast<bool>(s->timer);
}

Deadlines::iterator add_deadline(AsyncSessionObject* s, std::optional<double> limit,
                                 DeadlineOf of, std::uint64_t key, bool& has) {
  has = static_cast<bool>(limit);
  if (!has) return s->deadlines.end();
  const auto span = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(std::min(*limit, 1e9)));
  return s->deadlines.emplace(Clock::now() + span, std::make_pair(of, key));
}

// A member of a batch is answered (reply) or failed (null, error set).
bool settle_batch_member(AsyncSessionObject* s, const Request& member, Ref reply) {
  const auto found = s->batches.find(member.batch);
  if (found == s->batches.end()) {
    PyErr_Clear();
    return true;
  }
  Batch& batch = found->second;
  if (reply) {
    PyList_SET_ITEM(batch.results.get(), member.index, reply.release());
  } else if (!batch.first_failure) {
    batch.first_failure = Ref::steal(PyErr_GetRaisedException());
  } else {
    PyErr_Clear();
  }
  if (--batch.remaining > 0) return true;
  Batch done = std::move(batch);
  s->batches.erase(found);
  drop_deadline(s, done.deadline, done.has_deadline);
  if (done.first_failure) {
    PyErr_SetRaisedException(done.first_failure.release());
    return settle(done.future.get(), nullptr);
  }
  // Any member settled as None (a failure of the whole batch) leaves no hole: all replied.
  return settle(done.future.get(), done.results.get());
}

// A request is answered or failed; it is no longer pending.
bool settle_request(AsyncSessionObject* s, std::unordered_map<std::uint64_t, Request>::iterator at,
                    Ref reply) {
  Request request = std::move(at->second);
  s->requests.erase(at);
  drop_deadline(s, request.deadline, request.has_deadline);
  if (reply) reply = checked_reply(s->settings, request.word.view(), std::move(reply));
  if (request.batch != 0) return settle_batch_member(s, request, std::move(reply));
  // No done() first: a request whose awaiting task was cancelled is forgotten at once, so
  // its future is never done here.
  if (reply) return aio::set_result(request.future.get(), reply.get());
  return settle(request.future.get(), nullptr);
}

// Fails every request (and batch) with the exception being raised, which is consumed.
bool fail_requests(AsyncSessionObject* s, bool closed_by_program) {
  PyErr_Clear();
  while (!s->requests.empty()) {
    auto at = s->requests.begin();
    raise_lost(at->second.word.view(), at->first, closed_by_program);
    if (!settle_request(s, at, {})) return false;
  }
  return true;
}

// Hands held events to the waits, oldest wait first; a wait_for only its own match.
bool deliver_events(AsyncSessionObject* s) {
  for (bool progress = true; progress && !s->held.empty() && !s->waiters.empty();) {
    progress = false;
    for (auto at = s->waiters.begin(); at != s->waiters.end() && !s->held.empty();) {
      Waiter& w = at->second;
      const int done = aio::is_done(w.future.get());
      if (done < 0) return false;
      if (done) {  // its task was cancelled
        drop_deadline(s, w.deadline, w.has_deadline);
        at = s->waiters.erase(at);
        continue;
      }
      HeldEvents::Taken taken;
      bool found = true;
      if (w.predicate)
        taken = s->held.take_match(w.predicate.get(), w.from, found);
      else
        taken = s->held.take_first();
      if (!found && !PyErr_Occurred()) {
        ++at;
        continue;
      }
      Waiter finished = std::move(w);
      at = s->waiters.erase(at);
      drop_deadline(s, finished.deadline, finished.has_deadline);
      if (!settle(finished.future.get(), taken.event.get())) return false;
      progress = true;
    }
  }
  return true;
}

// ---- the connection -----------------------------------------------------------------------

bool flush(PyObject* self);
bool start_connecting(PyObject* self);

// The connection ends (lost, or closed by the program). Requests fail, a wait for events
// sees where it happened.
bool lose(PyObject* self, bool mark) {
  AsyncSessionObject* s = as_async(self);
  const bool was_up = s->link == Link::Up;
  if (s->fd >= 0) {
    if (s->reading && !unwatch(s, "remove_reader")) return false;
    if (s->writing && !unwatch(s, "remove_writer")) return false;
    s->reading = s->writing = false;
    if (s->router) {
      s->router->finish([&](Incoming&& in) {
        // An unterminated last line is still a line; it may be a reply.
        if (in.tag) {
          const auto found = s->requests.find(*in.tag);
          if (found != s->requests.end()) {
            Ref reply = make_reply(in.tag, in.text);
            (void)settle_request(s, found, std::move(reply));
            return;
          }
        }
        s->held.push(std::move(in));
      });
    }
    ::close(s->fd);
    s->fd = -1;
  }
  if (s->connect_timer) {
    (void)aio::cancel_handle(s->connect_timer.get());
    s->connect_timer = {};
  }
  s->link = Link::Down;
  s->out.release_if_large();
  s->out_sent = 0;
  s->queued.release_if_large();
  if (!fail_requests(s, s->closed)) return false;
  if (mark && was_up) s->held.push(Incoming{Incoming::Kind::Lost, std::nullopt, {}, 0});
  return deliver_events(s);
}

// Every wait for the connection (connect(), requests queued meanwhile) gets the outcome:
// success, or the exception being raised.
bool settle_connect_waiters(AsyncSessionObject* s, bool ok) {
  Ref exc;
  if (!ok) exc = Ref::steal(PyErr_GetRaisedException());
  auto waiters = std::move(s->connect_waiters);
  s->connect_waiters.clear();
  for (auto& [future, value] : waiters) {
    if (!ok) PyErr_SetRaisedException(Py_NewRef(exc.get()));
    if (!settle(future.get(), ok ? value.get() : nullptr)) return false;
  }
  return true;
}

bool connect_failed(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  // The exception being raised is the connection's failure: every wait for it gets it.
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  PyErr_SetRaisedException(Py_NewRef(exc.get()));
  if (!settle_connect_waiters(s, false)) return false;
  s->queued.clear();
  while (!s->requests.empty()) {
    PyErr_SetRaisedException(Py_NewRef(exc.get()));
    if (!settle_request(s, s->requests.begin(), {})) return false;
  }
  return true;
}

// An attempt failed with `err`: another after a pause, or the end of connecting.
bool attempt_failed(PyObject* self, int err) {
  AsyncSessionObject* s = as_async(self);
  if (s->fd >= 0) {
    if (s->writing && !unwatch(s, "remove_writer")) return false;
    s->writing = false;
    ::close(s->fd);
    s->fd = -1;
  }
  const bool reconnecting = s->ever_connected;
  if (s->policy.more_attempts() && !s->closed) {
    Ref delay = Ref::steal(PyFloat_FromDouble(s->policy.pause()));
    Ref cb = callback(self, g_on_retry);
    if (!delay || !cb) return false;
    s->connect_timer = aio::call(s->loop.get(), "call_later", delay.get(), cb.get());
    return static_cast<bool>(s->connect_timer);
  }
  s->link = Link::Down;
  set_error(reconnecting ? PyExc_ConnectionError : os_error_type(err),
            s->policy.failure_text(reconnecting, "Failed to connect: " + os_error_text(err)));
  return connect_failed(self);
}

// The socket is connected: the session reads from now on, and logs in first.
bool connected(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  set_no_delay(s->fd);
  s->router = std::make_unique<LineRouter>(s->settings.max_line);
  if (!watch(s, self, "add_reader", &g_on_readable)) return false;
  s->reading = true;
  s->link = Link::LoggingIn;
  Command login(kLoginVariant);
  if (!build_login(login, s->settings.username, s->settings.password)) return false;
  s->out.clear();
  s->out_sent = 0;
  append_command_text(s->out, login);
  append_tag_suffix(s->out, s->login_tag);
  return flush(self);
}

// The answer to the login: the session is up (the requests made meanwhile go out), or the
// connection is given up with ServerError for all who waited.
bool logged_in(PyObject* self, Ref reply) {
  AsyncSessionObject* s = as_async(self);
  if (s->connect_timer) {
    (void)aio::cancel_handle(s->connect_timer.get());
    s->connect_timer = {};
  }
  if (!checked_reply(s->settings, "Login", std::move(reply))) {
    // Everyone waiting for this connection gets the refusal; then it is given up.
    return connect_failed(self) && lose(self, false);
  }
  s->link = Link::Up;
  if (s->ever_connected) s->held.push(Incoming{Incoming::Kind::Reconnected, std::nullopt, {}, 0});
  s->ever_connected = true;
  s->out.append(s->queued.view());
  s->queued.release_if_large();
  if (!settle_connect_waiters(s, true) || !deliver_events(s)) return false;
  return flush(self);
}

bool try_connect(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  s->policy.start_attempt();
  const auto started = start_connect(s->settings.server, s->settings.port);
  if (const auto* failure = std::get_if<OsFailure>(&started)) return attempt_failed(self, failure->err);
  const ConnectStart start = std::get<ConnectStart>(started);
  s->fd = start.fd;
  if (!start.in_progress) return connected(self);
  if (!watch(s, self, "add_writer", &g_on_connect)) return false;
  s->writing = true;
  if (s->settings.timeout) {
    // The same callback, called when the attempt has had its time.
    Ref delay = Ref::steal(PyFloat_FromDouble(*s->settings.timeout));
    Ref cb = callback(self, g_on_connect);
    if (!delay || !cb) return false;
    s->connect_timer = aio::call(s->loop.get(), "call_later", delay.get(), cb.get());
    if (!s->connect_timer) return false;
  }
  return true;
}

bool start_connecting(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  s->link = Link::Connecting;
  s->policy = ReconnectPolicy(s->ever_connected, s->settings.reconnect_attempts,
                              s->settings.reconnect_delay, s->settings.reconnect_max_delay);
  // Taken now, so that the login's tag comes before those of the requests that wait for it.
  s->login_tag = s->next_tag++;
  return try_connect(self);
}

PyObject* on_connect_ready(PyObject* self, PyObject*) {
  AsyncSessionObject* s = as_async(self);
  if (s->link != Link::Connecting || s->fd < 0) Py_RETURN_NONE;  // a late timer
  if (s->writing && !unwatch(s, "remove_writer")) return nullptr;
  s->writing = false;
  if (s->connect_timer) {
    (void)aio::cancel_handle(s->connect_timer.get());
    s->connect_timer = {};
  }
  // Writable means the handshake ended one way or the other; otherwise the timer fired.
  pollfd entry{s->fd, POLLOUT, 0};
  const int ready = ::poll(&entry, 1, 0);
  const int err = ready > 0 ? connect_outcome(s->fd) : ETIMEDOUT;
  if (err != 0) return attempt_failed(self, err) ? Py_NewRef(Py_None) : nullptr;
  return connected(self) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* on_retry(PyObject* self, PyObject*) {
  AsyncSessionObject* s = as_async(self);
  s->connect_timer = {};
  if (s->link != Link::Connecting || s->closed) Py_RETURN_NONE;
  return try_connect(self) ? Py_NewRef(Py_None) : nullptr;
}

// Makes sure a connection is up or on its way; false with the error set.
bool ensure_link(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  if (s->link != Link::Down) return true;
  if (s->ever_connected && s->settings.reconnect_attempts == 0) {
    PyErr_SetString(PyExc_ConnectionError,
                    "the connection was lost, and the session does not reconnect "
                    "(reconnect_attempts is 0)");
    return false;
  }
  return start_connecting(self);
}

// ---- writing and reading ------------------------------------------------------------------

bool flush(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  s->flush_scheduled = false;
  if (s->fd < 0 || (s->link != Link::Up && s->link != Link::LoggingIn)) return true;
  for (;;) {
    const SendAvailable some = send_available(s->fd, s->out.data(), s->out.size(), s->out_sent);
    if (some.state == SendAvailable::State::Done) break;
    if (some.state == SendAvailable::State::Interrupted) continue;
    if (some.state == SendAvailable::State::Failed) return lose(self, true);
    // The server does not read: the loop tells when there is room.
    if (!s->writing && !watch(s, self, "add_writer", &g_on_writable)) return false;
    s->writing = true;
    return true;
  }
  s->out.release_if_large();
  s->out_sent = 0;
  if (s->writing) {
    if (!unwatch(s, "remove_writer")) return false;
    s->writing = false;
  }
  return true;
}

PyObject* on_writable(PyObject* self, PyObject*) {
  return flush(self) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* do_flush(PyObject* self, PyObject*) { return on_writable(self, nullptr); }
PyMethodDef g_do_flush = {"_flush", method_entry<do_flush>(), METH_NOARGS, nullptr};

// Lines for the socket go out at the end of this loop iteration, all in one write.
bool schedule_flush(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  if (s->flush_scheduled || s->writing || s->link != Link::Up) return true;
  s->flush_scheduled = true;
  return loop_call(s, "call_soon", self, &g_do_flush);
}

bool route(PyObject* self, Incoming&& in) {
  AsyncSessionObject* s = as_async(self);
  if (in.tag) {
    if (*in.tag == s->login_tag && s->link == Link::LoggingIn) {
      Ref reply = make_reply(in.tag, in.text);
      return reply && logged_in(self, std::move(reply));
    }
    const auto found = s->requests.find(*in.tag);
    if (found != s->requests.end()) {
      Ref reply = make_reply(in.tag, in.text);
      if (!reply) return false;
      return settle_request(s, found, std::move(reply));
    }
  }
  s->held.push(std::move(in));
  return true;
}

PyObject* on_readable(PyObject* self, PyObject*) {
  AsyncSessionObject* s = as_async(self);
  if (s->fd < 0) Py_RETURN_NONE;
  if (!s->buffer) s->buffer = std::make_unique_for_overwrite<char[]>(kSessionReceiveBytes);
  const ssize_t received = ::recv(s->fd, s->buffer.get(), kSessionReceiveBytes, MSG_DONTWAIT);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    Py_RETURN_NONE;
  if (received <= 0) return lose(self, true) ? Py_NewRef(Py_None) : nullptr;
  bool ok = true;
  s->router->feed(s->buffer.get(), static_cast<std::size_t>(received), [&](Incoming&& in) {
    if (ok) ok = route(self, std::move(in));
  });
  if (!ok || !deliver_events(s)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* on_timer(PyObject* self, PyObject*) {
  AsyncSessionObject* s = as_async(self);
  s->timer = {};
  const Time now = Clock::now();
  while (!s->deadlines.empty() && s->deadlines.begin()->first <= now) {
    const auto [of, key] = s->deadlines.begin()->second;
    s->deadlines.erase(s->deadlines.begin());
    if (of == DeadlineOf::Request) {
      const auto found = s->requests.find(key);
      if (found == s->requests.end()) continue;
      found->second.has_deadline = false;
      raise_timeout(found->second.word.view(), key, found->second.limit);
      if (!settle_request(s, found, {})) return nullptr;
    } else if (of == DeadlineOf::Batch) {
      const auto found = s->batches.find(key);
      if (found == s->batches.end()) continue;
      Batch batch = std::move(found->second);
      s->batches.erase(found);
      // The batch fails with the first request still unanswered; the others are let go of,
      // and their replies, should they come, are events.
      bool named = false;
      for (const std::uint64_t tag : batch.tags) {
        const auto member = s->requests.find(tag);
        if (member == s->requests.end()) continue;
        if (!named) raise_timeout(member->second.word.view(), tag, batch.limit);
        named = true;
        s->requests.erase(member);
      }
      if (!settle(batch.future.get(), nullptr)) return nullptr;
    } else {
      const auto found = s->waiters.find(key);
      if (found == s->waiters.end()) continue;
      Waiter w = std::move(found->second);
      s->waiters.erase(found);
      if (w.predicate) {
        raise_no_event(w.limit);
        if (!settle(w.future.get(), nullptr)) return nullptr;
      } else if (!settle(w.future.get(), Py_None)) {  // events() ends: no event in time
        return nullptr;
      }
    }
  }
  return arm_timer(self) ? Py_NewRef(Py_None) : nullptr;
}

// ---- the program's calls ------------------------------------------------------------------

// The loop this session runs on: the running one, fixed at the first call.
bool on_its_loop(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  if (s->fork_generation != fork_generation()) {
    raise_forked();
    return false;
  }
  if (s->closed) {
    raise_closed();
    return false;
  }
  Ref running = aio::running_loop();
  if (!running) return false;
  if (!s->loop) {
    s->loop = std::move(running);
    return true;
  }
  if (running.get() != s->loop.get()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the session belongs to another event loop: use it from the loop that "
                    "made its first call");
    return false;
  }
  return true;
}

void forget_pending(PyObject* self, PendingOf of, std::uint64_t key) {
  AsyncSessionObject* s = as_async(self);
  if (of == PendingOf::Request) {
    const auto found = s->requests.find(key);
    if (found != s->requests.end()) {
      drop_deadline(s, found->second.deadline, found->second.has_deadline);
      s->requests.erase(found);
    }
    return;
  }
  if (of == PendingOf::Waiter) {
    const auto found = s->waiters.find(key);
    if (found != s->waiters.end()) {
      drop_deadline(s, found->second.deadline, found->second.has_deadline);
      s->waiters.erase(found);
    }
  }
}

// Queues the tagged line of one request: to the socket when the session is up, else to the
// lines sent once it is.
void queue_line(AsyncSessionObject* s, const LineBuffer& text, std::uint64_t tag) {
  LineBuffer& to = s->link == Link::Up ? s->out : s->queued;
  to.append(text.view());
  append_tag_suffix(to, tag);
}

// Sends one request; the Pending of its reply, or null with the error set.
PyObject* submit_line(PyObject* self, const LineBuffer& text, CommandWord word,
                      std::optional<double> limit) {
  AsyncSessionObject* s = as_async(self);
  if (!on_its_loop(self) || !ensure_link(self)) return nullptr;
  Ref future = aio::new_future(s->loop.get());
  if (!future) return nullptr;
  const std::uint64_t tag = s->next_tag++;
  Request request;
  request.future = Ref::borrow(future.get());
  request.word = std::move(word);
  request.limit = limit;
  request.deadline = add_deadline(s, limit, DeadlineOf::Request, tag, request.has_deadline);
  // Registered before its line can leave, so that no reply can come too early for it.
  s->requests.emplace(tag, std::move(request));
  queue_line(s, text, tag);
  if (!schedule_flush(self) || !arm_timer(self)) return nullptr;
  return make_pending(future.get(), self, forget_pending, PendingOf::Request, tag).release();
}

PyObject* submit_command(PyObject* self, const Command& command) {
  LineBuffer& line = request_buffer();
  build_command_line(command, line);
  return submit_line(self, line, CommandWord(command.entry().name), as_async(self)->settings.timeout);
}

PyObject* AsyncSession_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  AsyncSessionObject* s = as_async(self);
  PyObject* command;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.request, s->settings, args, nargs, kwnames, command, limit))
    return nullptr;
  LineBuffer& line = request_buffer();
  std::string word;
  if (!build_request_line(command, "argument 'command'", std::nullopt, line, word)) return nullptr;
  return submit_line(self, line, CommandWord(std::move(word)), limit);
}

PyObject* AsyncSession_request_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  AsyncSessionObject* s = as_async(self);
  PyObject* commands;
  std::optional<double> limit;
  std::vector<LineBuffer> lines;
  std::vector<std::string> words;
  if (!bind_session_call(g_sigs, g_sigs.request_batch, s->settings, args, nargs, kwnames,
                         commands, limit) ||
      !read_batch(commands, lines, words))
    return nullptr;
  const auto count = static_cast<Py_ssize_t>(lines.size());
  if (!on_its_loop(self) || !ensure_link(self)) return nullptr;
  Ref future = aio::new_future(s->loop.get());
  Ref results = Ref::steal(PyList_New(count));
  if (!future || !results) return nullptr;
  if (count == 0) {
    if (!aio::set_result(future.get(), results.get())) return nullptr;
    return make_pending(future.get(), self, forget_pending, PendingOf::Nothing, 0).release();
  }
  for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(results.get(), i, Py_NewRef(Py_None));
  const std::uint64_t id = ++s->next_batch;
  Batch batch;
  batch.future = Ref::borrow(future.get());
  batch.results = std::move(results);
  batch.remaining = static_cast<std::size_t>(count);
  batch.limit = limit;
  batch.deadline = add_deadline(s, limit, DeadlineOf::Batch, id, batch.has_deadline);
  for (Py_ssize_t i = 0; i < count; ++i) {
    const std::uint64_t tag = s->next_tag++;
    Request member;
    member.batch = id;
    member.index = static_cast<std::size_t>(i);
    member.word = CommandWord(std::move(words[i]));
    member.limit = limit;
    s->requests.emplace(tag, std::move(member));
    batch.tags.push_back(tag);
    queue_line(s, lines[i], tag);
  }
  s->batches.emplace(id, std::move(batch));
  if (!schedule_flush(self) || !arm_timer(self)) return nullptr;
  return make_pending(future.get(), self, forget_pending, PendingOf::Nothing, 0).release();
}

// A wait for events: settled at once from what is held, or registered.
PyObject* wait_events(PyObject* self, PyObject* predicate, std::optional<double> limit) {
  AsyncSessionObject* s = as_async(self);
  if (!on_its_loop(self) || !ensure_link(self)) return nullptr;
  const bool iterating = predicate == nullptr;
  Waiter w;
  if (s->waiters.empty() && !s->held.empty()) {
    HeldEvents::Taken taken;
    bool found = true;
    if (iterating)
      taken = s->held.take_first();
    else
      taken = s->held.take_match(predicate, w.from, found);
    if (found || PyErr_Occurred()) {
      Ref future = aio::done_future(s->loop.get(), taken.event.get());
      if (!future) return nullptr;
      return make_pending(future.get(), self, forget_pending, PendingOf::Nothing, 0, iterating)
          .release();
    }
  }
  Ref future = aio::new_future(s->loop.get());
  if (!future) return nullptr;
  const std::uint64_t id = ++s->next_waiter;
  w.future = Ref::borrow(future.get());
  w.predicate = Ref::borrow(predicate);
  w.limit = limit;
  w.deadline = add_deadline(s, limit, DeadlineOf::Waiter, id, w.has_deadline);
  s->waiters.emplace(id, std::move(w));
  if (!deliver_events(s) || !arm_timer(self)) return nullptr;
  return make_pending(future.get(), self, forget_pending, PendingOf::Waiter, id, iterating)
      .release();
}

PyObject* AsyncSession_wait_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  AsyncSessionObject* s = as_async(self);
  PyObject* predicate;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.wait_for, s->settings, args, nargs, kwnames, predicate,
                         limit) ||
      !check_predicate(predicate))
    return nullptr;
  return wait_events(self, predicate, limit);
}

// events(): an async iterator whose every step waits for the next event.
PyTypeObject* g_async_events = nullptr;

PyObject* AsyncSession_events(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  AsyncSessionObject* s = as_async(self);
  PyObject* none;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.events, s->settings, args, nargs, kwnames, none, limit))
    return nullptr;
  if (s->closed) {
    raise_closed();
    return nullptr;
  }
  return new_events(g_async_events, self, limit);
}

PyObject* AsyncEvents_anext(PyObject* self) {
  auto* e = reinterpret_cast<EventsObject*>(self);
  if (as_async(e->session.get())->closed) {
    PyErr_SetNone(PyExc_StopAsyncIteration);
    return nullptr;
  }
  return wait_events(e->session.get(), nullptr, e->limit);
}

// connect() and __aenter__: done once logged in, resolving to `value`.
PyObject* connect_pending(PyObject* self, PyObject* value) {
  AsyncSessionObject* s = as_async(self);
  if (!on_its_loop(self)) return nullptr;
  if (s->link == Link::Up) {
    Ref future = aio::done_future(s->loop.get(), value);
    return future ? make_pending(future.get(), self, forget_pending, PendingOf::Nothing, 0).release()
                  : nullptr;
  }
  Ref future = aio::new_future(s->loop.get());
  if (!future) return nullptr;
  s->connect_waiters.emplace_back(Ref::borrow(future.get()), Ref::borrow(value));
  if (!ensure_link(self)) {
    s->connect_waiters.pop_back();
    return nullptr;
  }
  return make_pending(future.get(), self, forget_pending, PendingOf::Nothing, 0).release();
}

PyObject* AsyncSession_connect(PyObject* self, PyObject*) { return connect_pending(self, Py_None); }
PyObject* AsyncSession_aenter(PyObject* self, PyObject*) { return connect_pending(self, self); }

// Ends the connection at once; every wait ends. Awaitable, so that `await s.close()` reads
// as asyncio's closing calls do, but nothing is left to wait for.
PyObject* AsyncSession_close(PyObject* self, PyObject*) {
  AsyncSessionObject* s = as_async(self);
  if (s->fork_generation != fork_generation()) {
    raise_forked();
    return nullptr;
  }
  if (!s->closed) {
    s->closed = true;
    // Lines queued and not yet written go out if the socket takes them now.
    if (s->link == Link::Up && !flush(self)) PyErr_Clear();
    if (!lose(self, false)) return nullptr;
    if (s->timer) (void)aio::cancel_handle(s->timer.get());
    s->timer = {};
    raise_closed();
    if (!settle_connect_waiters(s, false)) return nullptr;
    auto waiters = std::move(s->waiters);
    s->waiters.clear();
    for (auto& [id, w] : waiters) {
      // events() ends; a wait_for() learns that nothing will come.
      if (w.predicate) raise_closed();
      if (!settle(w.future.get(), w.predicate ? nullptr : Py_None)) return nullptr;
    }
    auto batches = std::move(s->batches);
    s->batches.clear();
    for (auto& [id, b] : batches) {
      raise_lost("the batch", b.tags.empty() ? 0 : b.tags.front(), true);
      if (!settle(b.future.get(), nullptr)) return nullptr;
    }
    s->deadlines.clear();
    s->held.clear();
  }
  if (!s->loop) Py_RETURN_NONE;  // never used: nothing to await on
  Ref future = aio::done_future(s->loop.get(), Py_None);
  return future ? make_pending(future.get(), self, forget_pending, PendingOf::Nothing, 0).release()
                : nullptr;
}

PyObject* AsyncSession_aexit(PyObject* self, PyObject* const*, Py_ssize_t) {
  return AsyncSession_close(self, nullptr);
}

PyObject* AsyncSession_get_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_async(self)->closed);
}

PyObject* AsyncSession_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!aio::init() || !init_pending_class()) return nullptr;
  SessionSettings settings;
  if (!read_settings(g_sigs.constructor, args, kwargs, settings)) return nullptr;
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  AsyncSessionObject* s = as_async(self.get());
  std::construct_at(&s->settings, std::move(settings));
  std::construct_at(&s->loop);
  std::construct_at(&s->router);
  std::construct_at(&s->buffer);
  std::construct_at(&s->out);
  std::construct_at(&s->queued);
  std::construct_at(&s->requests);
  std::construct_at(&s->batches);
  std::construct_at(&s->waiters);
  std::construct_at(&s->connect_waiters);
  std::construct_at(&s->held, s->settings.max_events);
  std::construct_at(&s->deadlines);
  std::construct_at(&s->timer);
  std::construct_at(&s->timer_at);
  std::construct_at(&s->connect_timer);
  s->fd = -1;
  s->link = Link::Down;
  s->closed = s->ever_connected = s->reading = s->writing = s->flush_scheduled = false;
  s->fork_generation = fork_generation();
  s->next_tag = s->login_tag = s->next_batch = s->next_waiter = 0;
  s->out_sent = 0;
  std::construct_at(&s->policy, false, 0u, 0.0, 0.0);
  return self.release();
}

// ---- garbage collection -------------------------------------------------------------------

int AsyncSession_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  AsyncSessionObject* s = as_async(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(s->settings.is_failure.get());
  Py_VISIT(s->loop.get());
  for (const auto& [tag, r] : s->requests) Py_VISIT(r.future.get());
  for (const auto& [id, b] : s->batches) {
    Py_VISIT(b.future.get());
    Py_VISIT(b.results.get());
    Py_VISIT(b.first_failure.get());
  }
  for (const auto& [id, w] : s->waiters) {
    Py_VISIT(w.future.get());
    Py_VISIT(w.predicate.get());
  }
  for (const auto& [future, value] : s->connect_waiters) {
    Py_VISIT(future.get());
    Py_VISIT(value.get());
  }
  Py_VISIT(s->timer.get());
  Py_VISIT(s->connect_timer.get());
  return s->held.traverse(visit, arg);
}

// Unreachable: the finalizer has run, so no loop watches the socket any more.
int AsyncSession_clear(PyObject* self) noexcept {
  AsyncSessionObject* s = as_async(self);
  s->closed = true;
  // Let go of once the session is consistent: their deallocation may run Python code.
  Ref is_failure = std::move(s->settings.is_failure);
  Ref loop = std::move(s->loop);
  auto requests = std::move(s->requests);
  auto batches = std::move(s->batches);
  auto waiters = std::move(s->waiters);
  auto connect_waiters = std::move(s->connect_waiters);
  Ref timer = std::move(s->timer);
  Ref connect_timer = std::move(s->connect_timer);
  s->requests.clear();
  s->batches.clear();
  s->waiters.clear();
  s->connect_waiters.clear();
  s->deadlines.clear();
  s->held.clear();
  return 0;
}

// Calls `method` on an object for a finalizer: a failure is let go of (the loop may be
// closed, or dying too).
void call_quietly(PyObject* target, const char* method, PyObject* arg = nullptr) {
  Ref done = arg ? Ref::steal(PyObject_CallMethod(target, method, "O", arg))
                 : Ref::steal(PyObject_CallMethod(target, method, nullptr));
  if (!done) PyErr_Clear();
}

// A session collected (or deallocated) with its socket open closes it, and says so. A loop
// still open stops watching it; a closed loop is not called (it would refuse).
void AsyncSession_finalize(PyObject* self) noexcept {
  AsyncSessionObject* s = as_async(self);
  if (s->closed || s->fd < 0 || s->fork_generation != fork_generation()) return;
  warn_unclosed(self);
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  s->closed = true;
  bool loop_open = false;
  if (s->loop) {
    Ref closed = Ref::steal(PyObject_CallMethod(s->loop.get(), "is_closed", nullptr));
    loop_open = closed && closed.get() == Py_False;
    if (!closed) PyErr_Clear();
  }
  if (loop_open) {
    Ref fd = fd_object(s->fd);
    if (!fd) PyErr_Clear();
    if (fd && s->reading) call_quietly(s->loop.get(), "remove_reader", fd.get());
    if (fd && s->writing) call_quietly(s->loop.get(), "remove_writer", fd.get());
    if (s->timer) call_quietly(s->timer.get(), "cancel");
    if (s->connect_timer) call_quietly(s->connect_timer.get(), "cancel");
  }
  s->reading = s->writing = false;
  ::close(s->fd);
  s->fd = -1;
  s->link = Link::Down;
  PyErr_SetRaisedException(raised.release());
}

void AsyncSession_dealloc(PyObject* self) noexcept {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // brought back to life
  PyObject_GC_UnTrack(self);
  AsyncSessionObject* s = as_async(self);
  // The loop holds the session while it watches its socket: here nothing watches it.
  if (s->fd >= 0) ::close(s->fd);
  std::destroy_at(&s->connect_timer);
  std::destroy_at(&s->timer_at);
  std::destroy_at(&s->timer);
  std::destroy_at(&s->deadlines);
  std::destroy_at(&s->held);
  std::destroy_at(&s->connect_waiters);
  std::destroy_at(&s->waiters);
  std::destroy_at(&s->batches);
  std::destroy_at(&s->requests);
  std::destroy_at(&s->queued);
  std::destroy_at(&s->out);
  std::destroy_at(&s->buffer);
  std::destroy_at(&s->router);
  std::destroy_at(&s->loop);
  std::destroy_at(&s->settings);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace

PyTypeObject* init_async_session_class() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  if (!init_received_classes()) return nullptr;
  if (!make_session_signatures(g_sigs, "AsyncSession")) return nullptr;

  g_async_events = make_events_class(
      "builtins.AsyncSessionEvents", {{Py_am_aiter, reinterpret_cast<void*>(PyObject_SelfIter)},
                                      {Py_am_anext, slot_entry<AsyncEvents_anext>()}});
  if (!g_async_events) return nullptr;

  const auto* per_command =
      SessionMethods<submit_command>::table("AsyncSession", "Send {}; await the result for its reply.");
  if (!per_command) return nullptr;
  const SessionClassTraits traits = {
      "AsyncSession",
      "A connection to the control server for asyncio: each request "
      "is awaited for its reply; other lines are events.",
      sizeof(AsyncSessionObject), slot_entry<AsyncSession_new>(),
      dealloc_slot<AsyncSession_dealloc>(), entry<AsyncSession_get_closed>,
      nothrow_slot<AsyncSession_traverse>(), nothrow_slot<AsyncSession_clear>(),
      nothrow_slot<AsyncSession_finalize>()};
  type = make_session_class(traits, {
      {"connect", method_entry<AsyncSession_connect>(), METH_NOARGS,
       "connect($self, /)\n--\n\nConnect and log in; await the result. Requests made before "
       "wait for it."},
      {"request", method_entry<AsyncSession_request>(), METH_FASTCALL | METH_KEYWORDS,
       "request($self, /, command, timeout=...)\n--\n\n"
       "Send a Command, or a text as it is; await the result for its reply."},
      {"request_batch", method_entry<AsyncSession_request_batch>(), METH_FASTCALL | METH_KEYWORDS,
       "request_batch($self, /, commands, timeout=...)\n--\n\n"
       "Send many requests in one write; await the result for every reply."},
      {"events", method_entry<AsyncSession_events>(), METH_FASTCALL | METH_KEYWORDS,
       "events($self, /, timeout=...)\n--\n\n"
       "Iterate (async for) over the lines that answer no request, until none comes within "
       "timeout."},
      {"wait_for", method_entry<AsyncSession_wait_for>(), METH_FASTCALL | METH_KEYWORDS,
       "wait_for($self, /, predicate, timeout=...)\n--\n\n"
       "Await the first event the predicate accepts; other events stay queued."},
      {"close", method_entry<AsyncSession_close>(), METH_NOARGS,
       "close($self, /)\n--\n\nEnd the connection at once; waiting calls end. Awaitable."},
      {"__aenter__", method_entry<AsyncSession_aenter>(), METH_NOARGS, nullptr},
      {"__aexit__", method_entry<AsyncSession_aexit>(), METH_FASTCALL, nullptr},
  }, *per_command);
  return type;
}

}  // namespace qv::py
