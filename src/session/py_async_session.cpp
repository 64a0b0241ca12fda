// AsyncSession: a connection that hears the server, for asyncio. An await costs no thread:
// the running loop watches the socket (add_reader), and the callback it runs reads what
// arrived and has the session core (SessionCore, shared with Session) route it: each reply
// is taken out of the core's request table, and only once every line read is routed are
// the futures waiting for them resolved. Lines to send are gathered in a SendQueue and
// written once per loop iteration. What stays here is how it waits: the futures, batches
// and waits for events, the loop's callbacks and timers.
#include "session/py_async_session.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "net/os_error.hpp"
#include "net/resolve.hpp"
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
#include "session/core/send_queue.hpp"
#include "session/core/session_core.hpp"
#include "session/core/timed_table.hpp"
#include "session/held_events.hpp"
#include "session/py_pending.hpp"
#include "session/py_received.hpp"
#include "session/py_subscription.hpp"
#include "session/requests.hpp"
#include "session/session_class.hpp"
#include "session/session_methods.hpp"
#include "session/session_report.hpp"
#include "session/wire_log.hpp"

namespace qv::py {

namespace {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

// What the core keeps per request for this class.
struct Request {
  Ref future;                   // empty for a member of a batch, and for the Login
  std::uint64_t batch = 0;      // the batch it belongs to, if any
  std::size_t index = 0;        // its place in the batch
  CommandWord word;             // for messages
  std::optional<double> limit;  // for messages
};

struct Batch {
  Ref future;
  Ref results;  // list
  std::vector<std::uint64_t> tags;
  std::size_t remaining = 0;
  Ref first_failure;
  std::optional<double> limit;
};

// A wait for events: the next of a subscription's (its steps, events()), or the first one
// held for wait_for() that a predicate accepts.
struct Waiter {
  Ref future;
  Ref predicate;                // wait_for()
  Ref subscription;             // a subscription's step
  bool ends_iteration = false;  // a step of an iteration: its end resolves to None
  std::uint64_t from = 0;       // wait_for: held events before this one were looked at
  std::optional<double> limit;
};

using Core = SessionCore<Request>;
using Batches = TimedTable<std::uint64_t, Batch>;
using Waiters = TimedTable<std::uint64_t, Waiter, true>;  // in the order they began

enum class Link : std::uint8_t { Down, Connecting, LoggingIn, Up };

struct AsyncSessionObject {
  PyObject_HEAD
  SessionSettings settings;
  Ref loop;
  int fd;
  Link link;
  bool closed;           // the program closed the session
  bool shut;             // ... and every wait has ended (on the loop's thread)
  bool reading;          // add_reader is in place
  bool writing;          // add_writer is in place (for output, or for a connect under way)
  bool flush_scheduled;  // call_soon(flush) is pending
  bool delivering;       // events are being handed to the waits (predicates may run)
  bool redeliver;        // ... and something changed meanwhile: look again
  std::uint64_t fork_generation;
  std::uint64_t next_batch;
  std::uint64_t next_waiter;
  std::unique_ptr<char[]> buffer;
  SendQueue out;     // wire lines for the socket
  SendQueue queued;  // lines of requests made while connecting, sent once logged in
  Core core;         // tags, the requests (the Login among them), routing, loss
  Batches batches;
  Waiters waiters;
  std::vector<std::pair<Ref, Ref>> connect_waiters;  // future, and what it resolves to
  bool capture_connect_error;  // a call is starting to connect: keep why it fails at once
  Ref connect_error;           // ... (no descriptor left, say), for that call to raise
  std::deque<Incoming> arrived;  // lines and marks not yet handed on (see deliver_events)
  EventHub hub;
  Ref timer;  // TimerHandle for the earliest deadline
  Time timer_at;
  // Connecting: the attempts made and the pauses between them, the timer of the one under way.
  ReconnectPolicy policy;
  Ref connect_timer;
  // The server's addresses for the attempt under way, tried in order; the loop's resolver
  // task while a name is being resolved.
  std::vector<IpAddress> addresses;
  std::size_t next_address;
  Ref resolving;
  SessionCounts counts;  // events and dropped: the held events' own
  bool tracing;          // the wire trace is on: asked once per batch read or written
  bool ack_owed;         // data came since the last write: see flush()
};

AsyncSessionObject* as_async(PyObject* self) { return reinterpret_cast<AsyncSessionObject*>(self); }

SessionSignatures g_sigs;

// The first error of several steps that must all run: kept aside while the others do.
class FirstError {
 public:
  // Keeps the error being raised, if any (the first one wins).
  void keep() {
    if (!PyErr_Occurred()) return;
    Ref exc = Ref::steal(take_raised_exception());
    if (!exc_) exc_ = std::move(exc);
  }
  // False with the kept error set, if there was one.
  bool restore() {
    if (!exc_) return true;
    set_raised_exception(exc_.release());
    return false;
  }

 private:
  Ref exc_;
};

// ---- callbacks for the loop ---------------------------------------------------------------

PyObject* on_readable(PyObject* self, PyObject*);
PyObject* on_writable(PyObject* self, PyObject*);
PyObject* on_connect_ready(PyObject* self, PyObject*);
PyObject* on_timer(PyObject* self, PyObject*);
PyObject* on_retry(PyObject* self, PyObject*);
PyObject* on_close(PyObject* self, PyObject*);
PyObject* on_relink(PyObject* self, PyObject*);
PyObject* on_resolved(PyObject* self, PyObject* task);

PyMethodDef g_on_readable = {"_readable", method_entry<on_readable>(), METH_NOARGS, nullptr};
PyMethodDef g_on_writable = {"_writable", method_entry<on_writable>(), METH_NOARGS, nullptr};
PyMethodDef g_on_connect = {"_connected", method_entry<on_connect_ready>(), METH_NOARGS, nullptr};
PyMethodDef g_on_timer = {"_timeouts", method_entry<on_timer>(), METH_NOARGS, nullptr};
PyMethodDef g_on_retry = {"_reconnect", method_entry<on_retry>(), METH_NOARGS, nullptr};
PyMethodDef g_on_close = {"_close", method_entry<on_close>(), METH_NOARGS, nullptr};
PyMethodDef g_on_relink = {"_relink", method_entry<on_relink>(), METH_NOARGS, nullptr};
PyMethodDef g_on_resolved = {"_resolved", method_entry<on_resolved>(), METH_O, nullptr};

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

std::optional<Time> deadline_for(std::optional<double> limit) {
  if (!limit) return std::nullopt;
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(std::min(*limit, 1e9)));
}

// ---- resolving ----------------------------------------------------------------------------

// Resolves a future unless it is done (cancelled) already; the error case takes the
// exception being raised. False when the loop refused (error set).
bool settle(PyObject* future, PyObject* result) {
  Ref exc;
  if (!result) exc = Ref::steal(take_raised_exception());
  const int done = aio::is_done(future);
  if (done < 0) return false;
  if (done) return true;
  return result ? aio::set_result(future, result) : aio::set_exception(future, exc.get());
}

// The timer follows the earliest deadline.
bool arm_timer(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  std::optional<Time> earliest;
  for (const std::optional<Time> at :
       {s->core.earliest(), s->batches.earliest(), s->waiters.earliest()}) {
    if (at && (!earliest || *at < *earliest)) earliest = at;
  }
  if (!earliest || s->shut) return true;
  if (s->timer && s->timer_at <= *earliest) return true;
  if (s->timer && !aio::cancel_handle(s->timer.get())) return false;
  Ref delay = seconds_object(*earliest);
  Ref cb = callback(self, g_on_timer);
  if (!delay || !cb) return false;
  s->timer = aio::call(s->loop.get(), "call_later", delay.get(), cb.get());
  s->timer_at = *earliest;
  return static_cast<bool>(s->timer);
}

// A request given up before its answer: out of the table, and its line out of the queue
// when none of it has left yet.
std::optional<Request> give_up_request(AsyncSessionObject* s, std::uint64_t tag) {
  std::optional<Request> request = s->core.settle(tag);
  if (request && !s->out.withdraw(tag)) (void)s->queued.withdraw(tag);
  return request;
}

// A reply handed to a future whose task will not read it (cancelled right after its reply
// came, in the same loop iteration): an event again, as a reply that came too late is.
void reclaim_reply(AsyncSessionObject* s, PyObject* reply) {
  if (!PyObject_TypeCheck(reply, reply_class())) return;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(reply_line(reply), &size);
  if (!text) {
    PyErr_Clear();
    return;
  }
  try {
    s->arrived.push_back(Incoming{Incoming::Kind::Line, reply_tag(reply),
                                  std::string(text, static_cast<std::size_t>(size)), 0});
  } catch (const std::bad_alloc&) {
    // No memory to keep it: it is lost, as the program gave it up.
  }
}

// A batch given up as a whole (cancelled): its unanswered members with it, whose replies,
// should they come, are events, as are those that came already.
bool give_up_batch(AsyncSessionObject* s, std::uint64_t id) {
  std::optional<Batch> batch = s->batches.take(id);
  if (!batch) return false;
  for (const std::uint64_t tag : batch->tags) (void)give_up_request(s, tag);
  for (Py_ssize_t i = 0; i < list_size(batch->results.get()); ++i)
    reclaim_reply(s, list_item(batch->results.get(), i));
  return true;
}

// A member of a batch is answered (reply) or failed (null, error set).
bool settle_batch_member(AsyncSessionObject* s, const Request& member, Ref reply) {
  Batch* batch = s->batches.find(member.batch);
  if (!batch) {
    PyErr_Clear();
    return true;
  }
  if (reply) {
    PyList_SetItem(batch->results.get(), static_cast<Py_ssize_t>(member.index), reply.release());
  } else if (!batch->first_failure) {
    batch->first_failure = Ref::steal(take_raised_exception());
  } else {
    PyErr_Clear();
  }
  if (--batch->remaining > 0) return true;
  Batch done = *s->batches.take(member.batch);
  const int cancelled = aio::is_done(done.future.get());
  if (cancelled != 0) {  // meanwhile: its replies are events, never lost
    PyErr_Clear();
    for (Py_ssize_t i = 0; i < list_size(done.results.get()); ++i)
      reclaim_reply(s, list_item(done.results.get(), i));
    return true;
  }
  if (done.first_failure) {
    set_raised_exception(done.first_failure.release());
    return settle(done.future.get(), nullptr);
  }
  return settle(done.future.get(), done.results.get());
}

// A request out of the table fails with the exception being raised (consumed).
bool fail_request(AsyncSessionObject* s, const Request& request) {
  if (request.batch != 0) return settle_batch_member(s, request, {});
  if (!request.future) {  // the Login: its connection's waits learn of it their own way
    PyErr_Clear();
    return true;
  }
  return settle(request.future.get(), nullptr);
}

// Fails every request a loss handed back (and so every batch).
bool fail_lost(AsyncSessionObject* s, Core::Table& lost, bool closed_by_program) {
  FirstError error;
  Core::drain(lost, [&](std::uint64_t tag, Request&& request) {
    raise_lost(request.word.view(), tag, closed_by_program);
    if (!fail_request(s, request)) error.keep();
  });
  return error.restore();
}

// Gives a subscription's waiting step what its queue holds, if anything: the next event, its
// error, or the failure to connect again. A loss is passed over when the session connects
// again (the reconnect's mark follows it). True when the step is settled.
bool settle_step(AsyncSessionObject* s, std::uint64_t id, SubscriptionObject* sub,
                 FirstError& error) {
  for (;;) {
    SubscriptionStep step = take_next(sub);
    if (step.kind == SubscriptionStep::Kind::Lost) {
      if (s->settings.reconnect_attempts > 0) continue;
      raise_events_lost();
      step.kind = SubscriptionStep::Kind::Error;
    }
    if (step.kind == SubscriptionStep::Kind::Empty) {
      if (!sub->failure) return false;
      set_raised_exception(sub->failure.release());
      step.kind = SubscriptionStep::Kind::Error;
    }
    Waiter finished = *s->waiters.take(id);
    sub->waiter = 0;
    if (!settle(finished.future.get(), step.event.get())) error.keep();
    return true;
  }
}

// Gives the waits what they wait for, oldest wait first (see deliver_events).
void hand_out(AsyncSessionObject* s, FirstError& error) {
  for (std::optional<std::uint64_t> id = s->waiters.next_key(std::nullopt); id;
       id = s->waiters.next_key(id)) {
    Waiter* w = s->waiters.find(*id);
    const int done = aio::is_done(w->future.get());
    if (done < 0) {
      error.keep();
      continue;
    }
    if (done) {  // its task was cancelled
      Waiter gone = *s->waiters.take(*id);
      if (gone.subscription) as_subscription(gone.subscription.get())->waiter = 0;
      continue;
    }
    if (w->subscription) {
      (void)settle_step(s, *id, as_subscription(w->subscription.get()), error);
      continue;
    }
    if (s->hub.window().empty()) continue;
    const Ref predicate = Ref::borrow(w->predicate.get());  // alive through the call
    std::uint64_t from = w->from;
    const std::optional<std::uint64_t> seq = s->hub.window().find_match(predicate.get(), from);
    const bool raised = PyErr_Occurred() != nullptr;
    w = s->waiters.find(*id);
    if (!w) {  // ended meanwhile (closed, cancelled, timed out): the verdict is moot
      PyErr_Clear();
      continue;
    }
    w->from = from;
    if (!seq && !raised) continue;
    Taken taken;
    if (seq) {
      taken = s->hub.window().take_at(*seq);
      if (!taken.found) {  // taken by someone else meanwhile: look again from there
        w->from = *seq;
        s->redeliver = true;
        continue;
      }
    }
    Waiter finished = *s->waiters.take(*id);
    if (!settle(finished.future.get(), taken.event.get())) error.keep();
  }
}

// Hands what arrived on (to the subscriptions, and what none takes to the window), then
// gives the waits what they wait for, oldest wait first: a subscription's step the next of
// its own, a wait_for only its own match in the window. A predicate is Python code that may
// call back into the session (close it, wait again, cancel): nothing is kept across the call
// but keys, and everything is looked up again after it. A call made from inside a predicate
// leaves the handing out to the one under way.
bool deliver_events(AsyncSessionObject* s) {
  if (s->delivering) {
    s->redeliver = true;
    return true;
  }
  s->delivering = true;
  FirstError error;
  do {
    s->redeliver = false;
    // One at a time, each offered to the waits as it comes: a wait_for sees every event no
    // subscription took, however many arrive together (the window keeps only the latest).
    do {
      if (!s->arrived.empty()) {
        Incoming in = std::move(s->arrived.front());
        s->arrived.pop_front();
        s->hub.dispatch(std::move(in));
      }
      if (!s->waiters.empty()) hand_out(s, error);
    } while (!s->arrived.empty());
  } while (s->redeliver || !s->arrived.empty());
  s->delivering = false;
  return error.restore();
}

// ---- the wire trace and the counters ------------------------------------------------------

// A request's line is queued: counted, and traced as it will leave (tagged) when it goes
// to the socket's queue; one queued while connecting is traced once logged in, after the Login.
void note_queued(AsyncSessionObject* s, const LineBuffer& text, std::uint64_t tag) {
  ++s->counts.requests;
  if (!s->tracing || (s->link != Link::Up && !s->core.is_login(tag))) return;
  LineBuffer wire;
  wire.append(text.view());
  append_tag_suffix(wire, tag);
  wire_log::lines(s->settings.server, s->settings.port, true, wire.view());
}

void trace_received(AsyncSessionObject* s, const std::vector<Incoming>& lines) {
  for (const Incoming& in : lines)
    wire_log::lines(s->settings.server, s->settings.port, false, in.text);
}

// ---- the connection -----------------------------------------------------------------------

// Where the core puts the lines that answer no request, and its marks: handed on by
// deliver_events() once the core is done.
struct ArrivedSink {
  std::deque<Incoming>& lines;
  void push(Incoming&& in) { lines.push_back(std::move(in)); }
};

bool flush(PyObject* self);

// Lets go of the socket: nothing is read or written on it any more. (What the loss does to
// the requests and the last line is the core's: Core::lose.)
bool teardown(AsyncSessionObject* s) {
  FirstError error;
  if (s->fd >= 0) {
    if (s->reading && !unwatch(s, "remove_reader")) error.keep();
    if (s->writing && !unwatch(s, "remove_writer")) error.keep();
    s->reading = s->writing = false;
    ::close(s->fd);
    s->fd = -1;
  }
  if (s->connect_timer) {
    if (!aio::cancel_handle(s->connect_timer.get())) error.keep();
    s->connect_timer = {};
  }
  if (s->resolving) {
    if (!aio::cancel(s->resolving.get())) error.keep();
    s->resolving = {};
  }
  s->link = Link::Down;
  s->out.clear();
  return error.restore();
}

// Every wait for the connection (connect(), __aenter__) gets the outcome: success, or the
// exception being raised.
bool settle_connect_waiters(AsyncSessionObject* s, bool ok) {
  Ref exc;
  if (!ok) exc = Ref::steal(take_raised_exception());
  auto waiters = std::move(s->connect_waiters);
  s->connect_waiters.clear();
  FirstError error;
  for (auto& [future, value] : waiters) {
    if (!ok) set_raised_exception(Py_NewRef(exc.get()));
    if (!settle(future.get(), ok ? value.get() : nullptr)) error.keep();
  }
  return error.restore();
}

// Connecting failed with the exception being raised (consumed): every wait for the
// connection gets it, and so does every request made meanwhile. The connection being made,
// if any, is lost to the core (its Login with it, and an unterminated last line is an event).
bool connect_failed(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  Ref exc = Ref::steal(take_raised_exception());
  if (s->capture_connect_error) s->connect_error = Ref::borrow(exc.get());
  ArrivedSink arrived{s->arrived};
  Core::Table lost = s->core.lose(false, arrived);
  // A subscription's stream ends with it, once it has taken what it holds.
  s->hub.for_each_subscription([&](SubscriptionObject* sub) { sub->failure = Ref::borrow(exc.get()); });
  set_raised_exception(Py_NewRef(exc.get()));
  FirstError error;
  if (!settle_connect_waiters(s, false)) error.keep();
  if (!deliver_events(s)) error.keep();
  s->queued.clear();
  Core::drain(lost, [&](std::uint64_t tag, Request&& request) {
    if (s->core.is_login(tag)) return;  // its connection's waits learnt of it above
    set_raised_exception(Py_NewRef(exc.get()));
    if (!fail_request(s, request)) error.keep();
  });
  return error.restore();
}

// The connection ends (lost, or closed by the program). Requests fail, a wait for events
// sees where it happened; lost before the login was answered, connecting fails.
bool lose(PyObject* self, bool mark) {
  AsyncSessionObject* s = as_async(self);
  const Link was = s->link;
  FirstError error;
  if (!teardown(s)) error.keep();
  if ((was == Link::LoggingIn || was == Link::Connecting) && !s->closed) {
    raise_lost("Login", s->core.login_tag().value_or(0), false);
    if (!connect_failed(self)) error.keep();
  } else {
    const bool marked = mark && was == Link::Up;
    ArrivedSink arrived{s->arrived};
    Core::Table lost = s->core.lose(marked, arrived);
    if (!fail_lost(s, lost, s->closed)) error.keep();
    // A subscription's stream goes on across a loss: the session connects again for it.
    if (marked && !s->closed && s->settings.reconnect_attempts > 0 &&
        s->hub.has_subscriptions() && !loop_call(s, "call_soon", self, &g_on_relink))
      error.keep();
  }
  if (!deliver_events(s)) error.keep();
  return error.restore();
}

// Lets go of the socket of an address that did not connect.
bool drop_attempt_socket(AsyncSessionObject* s) {
  if (s->fd < 0) return true;
  if (s->writing && !unwatch(s, "remove_writer")) return false;
  s->writing = false;
  ::close(s->fd);
  s->fd = -1;
  return true;
}

// An attempt failed (`failure`): another after a pause, or the end of connecting.
bool attempt_failed(PyObject* self, const AttemptFailure& failure) {
  AsyncSessionObject* s = as_async(self);
  if (!drop_attempt_socket(s)) return false;
  wire_log::note(wire_log::kInfo, s->settings.server, s->settings.port,
                 "connect attempt failed: " + failure.text(s->settings.server));
  const bool reconnecting = s->core.ever_logged_in();
  if (s->policy.more_attempts() && !s->closed) {
    Ref delay = Ref::steal(PyFloat_FromDouble(s->policy.pause()));
    Ref cb = callback(self, g_on_retry);
    if (!delay || !cb) return false;
    s->connect_timer = aio::call(s->loop.get(), "call_later", delay.get(), cb.get());
    return static_cast<bool>(s->connect_timer);
  }
  s->link = Link::Down;
  raise_connect_failed(reconnecting, failure,
                       s->policy.failure_text(reconnecting, failure.text(s->settings.server)));
  return connect_failed(self);
}

// The socket is connected: the session reads from now on, and logs in first. The Login is a
// request as any other, under the session's timeout.
bool connected(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  set_no_delay(s->fd);
  wire_log::note(wire_log::kInfo, s->settings.server, s->settings.port, "connected");
  s->core.attach();
  if (!watch(s, self, "add_reader", &g_on_readable)) return false;
  s->reading = true;
  s->link = Link::LoggingIn;
  Command login(kLoginVariant);
  if (!build_login(login, s->settings.username, s->settings.password)) return false;
  LineBuffer line;
  append_command_text(line, login);
  Request request;
  request.word = CommandWord(std::string_view("Login"));
  request.limit = s->settings.timeout;
  const std::uint64_t tag = *s->core.login_tag();
  s->core.add(tag, std::move(request), deadline_for(s->settings.timeout));
  s->out.clear();
  s->out.add(line.view(), tag);
  note_queued(s, line, tag);
  return arm_timer(self) && flush(self);
}

// The answer to the login, judged (null: refused, error set): the session is up (the
// requests made meanwhile go out), or connecting fails with the refusal for all who waited.
bool logged_in(PyObject* self, Ref reply) {
  AsyncSessionObject* s = as_async(self);
  if (s->closed || s->link != Link::LoggingIn) {  // closed while the reply was judged
    PyErr_Clear();
    return true;
  }
  if (s->connect_timer) {
    (void)aio::cancel_handle(s->connect_timer.get());
    s->connect_timer = {};
  }
  if (!reply) {
    FirstError error;
    if (!connect_failed(self)) error.keep();
    if (!teardown(s)) error.keep();
    return error.restore();
  }
  s->link = Link::Up;
  wire_log::note(wire_log::kInfo, s->settings.server, s->settings.port,
                 "logged in as '" + s->settings.username + "'");
  if (s->core.ever_logged_in()) {
    s->arrived.push_back(Incoming{Incoming::Kind::Reconnected, std::nullopt, {}, 0});
    ++s->counts.reconnects;
    wire_log::note(wire_log::kInfo, s->settings.server, s->settings.port,
                   "reconnected after the connection was lost");
  }
  s->core.logged_in();
  if (s->tracing) {
    s->queued.each_waiting([&](std::string_view line) {
      wire_log::lines(s->settings.server, s->settings.port, true, line);
    });
  }
  s->out.take_from(s->queued);
  s->hub.for_each_subscription([](SubscriptionObject* sub) { sub->failure = {}; });
  if (!settle_connect_waiters(s, true) || !deliver_events(s)) return false;
  return flush(self);
}

// Starts connecting to the next address of the attempt; when none is left, the attempt
// failed with `err`, the last address's.
bool connect_next(PyObject* self, int err) {
  AsyncSessionObject* s = as_async(self);
  while (s->next_address < s->addresses.size()) {
    const IpAddress address = s->addresses[s->next_address++];
    const auto started = start_connect(address, s->settings.port);
    if (const auto* failure = std::get_if<OsFailure>(&started)) {
      err = failure->err;
      continue;
    }
    const ConnectStart start = std::get<ConnectStart>(started);
    s->fd = start.fd;
    if (!start.in_progress) return connected(self);
    if (!watch(s, self, "add_writer", &g_on_connect)) return false;
    s->writing = true;
    if (s->settings.timeout) {
      // The same callback, called when the address has had its time.
      Ref delay = Ref::steal(PyFloat_FromDouble(*s->settings.timeout));
      Ref cb = callback(self, g_on_connect);
      if (!delay || !cb) return false;
      s->connect_timer = aio::call(s->loop.get(), "call_later", delay.get(), cb.get());
      if (!s->connect_timer) return false;
    }
    return true;
  }
  return attempt_failed(self, AttemptFailure{err, std::nullopt});
}

// An attempt: an IP literal is its own address; a name is asked of the loop's resolver
// (awaited without blocking the loop) every time, so a server moved by DNS is found again.
bool try_connect(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  s->policy.start_attempt();
  s->addresses.clear();
  s->next_address = 0;
  if (const auto literal = parse_ip_address(s->settings.server)) {
    s->addresses.push_back(*literal);
    return connect_next(self, 0);
  }
  Ref host = Ref::steal(PyUnicode_FromStringAndSize(
      s->settings.server.data(), static_cast<Py_ssize_t>(s->settings.server.size())));
  if (!host) return false;
  Ref lookup =
      Ref::steal(PyObject_CallMethod(s->loop.get(), "getaddrinfo", "OO", host.get(), Py_None));
  Ref task = lookup ? aio::call(s->loop.get(), "create_task", lookup.get()) : Ref();
  Ref cb = callback(self, g_on_resolved);
  if (!task || !cb) return false;
  Ref added = Ref::steal(PyObject_CallMethod(task.get(), "add_done_callback", "O", cb.get()));
  if (!added) return false;
  s->resolving = std::move(task);
  return true;
}

// The addresses of a getaddrinfo() result, in its order, each once; false with the error set.
bool read_addresses(PyObject* infos, std::vector<IpAddress>& out) {
  Ref items = Ref::steal(PySequence_List(infos));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < list_size(items.get()); ++i) {
    // (family, type, proto, canonname, sockaddr), sockaddr starting with the address text.
    PyObject* info = list_item(items.get(), i);
    PyObject* sockaddr =
        PyTuple_Check(info) && tuple_size(info) == 5 ? tuple_item(info, 4) : nullptr;
    PyObject* text = sockaddr && PyTuple_Check(sockaddr) && tuple_size(sockaddr) >= 1
                         ? tuple_item(sockaddr, 0) : nullptr;
    const char* chars = text && PyUnicode_Check(text) ? utf8_chars(text) : nullptr;
    if (!chars) {
      PyErr_Clear();
      continue;  // not an IP address (another family): nothing to connect to
    }
    const auto address = parse_ip_address(chars);
    if (!address) continue;
    const bool seen = std::any_of(out.begin(), out.end(), [&](const IpAddress& a) {
      return a.family == address->family && a.bytes == address->bytes;
    });
    if (!seen) out.push_back(*address);
  }
  return true;
}

// The loop's resolver answered (a done task).
PyObject* on_resolved(PyObject* self, PyObject* task) {
  AsyncSessionObject* s = as_async(self);
  if (task != s->resolving.get() || s->link != Link::Connecting || s->closed) Py_RETURN_NONE;
  s->resolving = {};
  Ref infos = aio::result(task);
  if (!infos) {
    // The resolver's own words: socket.gaierror's message, else the exception's text.
    Ref exc = Ref::steal(take_raised_exception());
    if (!exc || PyErr_GivenExceptionMatches(exc.get(), aio::cancelled_error())) Py_RETURN_NONE;
    ResolveFailure failure{0, 0, {}};
    Ref args = Ref::steal(PyObject_GetAttrString(exc.get(), "args"));
    PyObject* words = exc.get();
    if (args && PyTuple_Check(args.get()) && tuple_size(args.get()) == 2) {
      failure.code = static_cast<int>(PyLong_AsLong(tuple_item(args.get(), 0)));
      words = tuple_item(args.get(), 1);
    }
    Ref text = Ref::steal(PyObject_Str(words));
    const char* chars = text ? utf8_chars(text.get()) : nullptr;
    PyErr_Clear();
    failure.text = chars ? chars : "the resolver failed";
    return attempt_failed(self, AttemptFailure{0, std::move(failure)}) ? Py_NewRef(Py_None)
                                                                       : nullptr;
  }
  if (!read_addresses(infos.get(), s->addresses)) return nullptr;
  if (s->addresses.empty())
    return attempt_failed(self, AttemptFailure{0, ResolveFailure{0, 0, "no IP address"}})
               ? Py_NewRef(Py_None) : nullptr;
  return connect_next(self, 0) ? Py_NewRef(Py_None) : nullptr;
}

bool start_connecting(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  s->link = Link::Connecting;
  s->policy = ReconnectPolicy(s->core.ever_logged_in(), s->settings.reconnect_attempts,
                              s->settings.reconnect_delay, s->settings.reconnect_max_delay);
  s->core.start_login();
  s->tracing = wire_log::tracing();
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
  if (err != 0)  // the next address, if there is one
    return drop_attempt_socket(s) && connect_next(self, err) ? Py_NewRef(Py_None) : nullptr;
  return connected(self) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* on_retry(PyObject* self, PyObject*) {
  AsyncSessionObject* s = as_async(self);
  s->connect_timer = {};
  if (s->link != Link::Connecting || s->closed) Py_RETURN_NONE;
  return try_connect(self) ? Py_NewRef(Py_None) : nullptr;
}

// Makes sure a connection is up or on its way; false with the error set, also when the
// connect this call started failed before it returns (no descriptor left, say).
bool ensure_link(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  if (s->link != Link::Down) return true;
  if (s->core.ever_logged_in() && s->settings.reconnect_attempts == 0) {
    PyErr_SetString(PyExc_ConnectionError,
                    "the connection was lost, and the session does not reconnect "
                    "(reconnect_attempts is 0)");
    return false;
  }
  s->capture_connect_error = true;
  const bool started = start_connecting(self);
  s->capture_connect_error = false;
  Ref failed = std::move(s->connect_error);
  if (!started) return false;
  if (s->link == Link::Down && failed) {
    set_raised_exception(failed.release());
    return false;
  }
  return true;
}

// ---- writing and reading ------------------------------------------------------------------

bool flush(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  s->flush_scheduled = false;
  s->tracing = wire_log::tracing();  // for the lines queued until the next batch
  if (s->fd < 0 || (s->link != Link::Up && s->link != Link::LoggingIn)) return true;
  bool wrote = false;
  for (;;) {
    const std::string_view next = s->out.next();
    if (next.empty()) break;
    std::size_t written = 0;
    const SendAvailable some = send_available(s->fd, next.data(), next.size(), written);
    s->out.sent(written);
    wrote = wrote || written > 0;
    if (some.state == SendAvailable::State::Done) continue;
    if (some.state == SendAvailable::State::Interrupted) continue;
    if (some.state == SendAvailable::State::Failed) return lose(self, true);
    // The server does not read: the loop tells when there is room.
    s->ack_owed = false;
    if (!s->writing && !watch(s, self, "add_writer", &g_on_writable)) return false;
    s->writing = true;
    return true;
  }
  // What came since the last write is acknowledged by the lines just written, or, when
  // nothing was, at once: a server holding its next small write for our acknowledgement
  // (Nagle's algorithm) would otherwise wait for a delayed one, tens of milliseconds. Not on
  // every read: one acknowledgement of its own for each reply would cost a packet per request.
  if (s->ack_owed && !wrote) rearm_quick_ack(s->fd);
  s->ack_owed = false;
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

// A reply taken out of the table, to be judged once every line read is routed.
struct Answer {
  std::uint64_t tag;
  Request request;
  std::string text;
};

// One answer: judged by is_failure (Python code, run with the tables consistent), then
// handed to its future, or held as an event when nobody waits for it any more.
bool answer(PyObject* self, Answer& a) {
  AsyncSessionObject* s = as_async(self);
  Ref reply = make_reply(a.tag, a.text);
  if (s->core.is_login(a.tag)) {
    if (reply) reply = checked_reply(s->settings, "Login", std::move(reply));
    return logged_in(self, std::move(reply));
  }
  if (reply) reply = checked_reply(s->settings, a.request.word.view(), std::move(reply));
  if (a.request.batch != 0) {
    if (!s->batches.find(a.request.batch)) {  // given up meanwhile
      PyErr_Clear();
      s->arrived.push_back(Incoming{Incoming::Kind::Line, a.tag, std::move(a.text), 0});
      return true;
    }
    return settle_batch_member(s, a.request, std::move(reply));
  }
  Ref exc;
  if (!reply) exc = Ref::steal(take_raised_exception());
  const int done = aio::is_done(a.request.future.get());
  if (done < 0) return false;
  if (done) {  // cancelled meanwhile: the reply is an event, never lost
    s->arrived.push_back(Incoming{Incoming::Kind::Line, a.tag, std::move(a.text), 0});
    return true;
  }
  return reply ? aio::set_result(a.request.future.get(), reply.get())
               : aio::set_exception(a.request.future.get(), exc.get());
}

// Routes the complete lines in `data` through the core: each reply is taken out of the table
// first, for all lines, and only then are the answers judged and handed out. A reply whose
// wait is over (its task, or its batch's, was cancelled in this loop iteration) is an event.
bool route_received(PyObject* self, const char* data, std::size_t size) {
  AsyncSessionObject* s = as_async(self);
  std::vector<Answer> answers;
  std::vector<std::uint64_t> dropped_batches;
  FirstError error;
  const auto wanted = [&](const Request& request) {
    PyObject* future = request.future.get();
    if (request.batch != 0) {
      const Batch* batch = s->batches.find(request.batch);
      future = batch ? batch->future.get() : nullptr;
    }
    const int done = future ? aio::is_done(future) : 0;
    if (done < 0) error.keep();
    if (done != 0 && request.batch != 0) dropped_batches.push_back(request.batch);
    return done == 0;
  };
  // Traced lines are copied as they are routed and logged once routing is over (logging is
  // Python code, never run inside the core's routing).
  s->tracing = wire_log::tracing();
  std::vector<Incoming> traced;
  struct Events {
    AsyncSessionObject* s;
    std::vector<Incoming>* traced;
    void push(Incoming&& in) {
      if (traced) traced->push_back(Incoming{in.kind, in.tag, in.text, in.count});
      s->arrived.push_back(std::move(in));
    }
  } events{s, s->tracing ? &traced : nullptr};
  bool whole = true;
  try {
    s->core.feed(data, size, events, wanted,
                 [&](std::uint64_t tag, Request&& request, std::string&& text) {
                   if (s->tracing) traced.push_back(Incoming{Incoming::Kind::Line, tag, text, 0});
                   answers.push_back(Answer{tag, std::move(request), std::move(text)});
                 });
  } catch (const std::bad_alloc&) {
    // Out of memory for a line: the stream cannot go on whole, so the connection is lost
    // (once the replies taken out so far are handed out).
    whole = false;
  }
  if (s->tracing) trace_received(s, traced);
  for (const std::uint64_t batch : dropped_batches) (void)give_up_batch(s, batch);
  s->counts.replies += answers.size();
  for (Answer& a : answers) {
    if (!answer(self, a)) error.keep();
  }
  if (!whole && !lose(self, true)) error.keep();
  return error.restore();
}

PyObject* on_readable(PyObject* self, PyObject*) {
  AsyncSessionObject* s = as_async(self);
  if (s->fd < 0) Py_RETURN_NONE;
  if (!s->buffer) s->buffer = std::make_unique_for_overwrite<char[]>(kSessionReceiveBytes);
  const ssize_t received = ::recv(s->fd, s->buffer.get(), kSessionReceiveBytes, MSG_DONTWAIT);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    Py_RETURN_NONE;
  const std::uint64_t dropped = s->hub.dropped();
  FirstError error;
  if (received <= 0) {  // closed, or broken (a reset, say)
    if (!lose(self, true)) error.keep();
  } else {
    s->ack_owed = true;
    if (!route_received(self, s->buffer.get(), static_cast<std::size_t>(received))) error.keep();
  }
  if (!deliver_events(s)) error.keep();
  if (s->hub.dropped() > dropped)  // handed on: from the window, or by a subscription
    wire_log::dropped(s->settings.server, s->settings.port, s->hub.dropped() - dropped,
                      s->settings.max_events);
  // The flush after the tasks woken here have run acknowledges what came (see flush()).
  if (s->ack_owed && !schedule_flush(self)) error.keep();
  if (!error.restore()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* on_timer(PyObject* self, PyObject*) {
  AsyncSessionObject* s = as_async(self);
  s->timer = {};
  const Time now = Clock::now();
  FirstError error;
  for (;;) {
    if (auto due = s->core.settle_due(now)) {
      const auto& [tag, request] = *due;
      if (!s->out.withdraw(tag)) (void)s->queued.withdraw(tag);
      raise_timeout(request.word.view(), tag, request.limit);
      if (s->core.is_login(tag)) {  // no reply to the Login: connecting fails, for all who waited
        if (!connect_failed(self)) error.keep();
        if (!teardown(s)) error.keep();
      } else if (!fail_request(s, request)) {
        error.keep();
      }
    } else if (auto batch_due = s->batches.take_due(now)) {
      const Batch& batch = batch_due->second;
      // The batch fails with the first request still unanswered; the others are let go of,
      // and their replies, should they come, are events.
      bool named = false;
      for (const std::uint64_t tag : batch.tags) {
        const std::optional<Request> member = give_up_request(s, tag);
        if (!member) continue;
        if (!named) raise_timeout(member->word.view(), tag, batch.limit);
        named = true;
      }
      if (!named) raise_timeout("the batch", batch.tags.front(), batch.limit);
      if (!settle(batch.future.get(), nullptr)) error.keep();
    } else if (auto waiter_due = s->waiters.take_due(now)) {
      const Waiter& w = waiter_due->second;
      if (w.subscription) as_subscription(w.subscription.get())->waiter = 0;
      if (!w.ends_iteration) {
        raise_no_event(w.limit);
        if (!settle(w.future.get(), nullptr)) error.keep();
      } else if (!settle(w.future.get(), Py_None)) {  // the iteration ends: no event in time
        error.keep();
      }
    } else {
      break;
    }
  }
  if (!arm_timer(self)) error.keep();
  if (!error.restore()) return nullptr;
  Py_RETURN_NONE;
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

void put_back_event(AsyncSessionObject* s, PyObject* future, SubscriptionObject* sub);

void reclaim(AsyncSessionObject* s, PyObject* future) {
  if (s->closed) return;
  const int done = aio::is_done(future);
  if (done <= 0) {
    PyErr_Clear();
    return;
  }
  Ref result = aio::result(future);  // null when cancelled, or failed: nothing to give back
  if (!result) {
    PyErr_Clear();
    return;
  }
  if (PyList_Check(result.get())) {
    for (Py_ssize_t i = 0; i < list_size(result.get()); ++i)
      reclaim_reply(s, list_item(result.get(), i));
  } else {
    reclaim_reply(s, result.get());
  }
  if (!deliver_events(s)) PyErr_Clear();
}

void forget_pending(PyObject* self, PendingOf of, std::uint64_t key, PyObject* future) {
  AsyncSessionObject* s = as_async(self);
  switch (of) {
    case PendingOf::Request:
      if (!give_up_request(s, key)) reclaim(s, future);
      break;
    case PendingOf::Batch:
      if (!give_up_batch(s, key)) reclaim(s, future);
      break;
    case PendingOf::Waiter:
      if (!s->waiters.take(key)) put_back_event(s, future, nullptr);
      break;
    case PendingOf::Nothing: break;
  }
}

// Queues the tagged line of one request: to the socket when the session is up, else to the
// lines sent once it is.
void queue_line(AsyncSessionObject* s, const LineBuffer& text, std::uint64_t tag) {
  (s->link == Link::Up ? s->out : s->queued).add(text.view(), tag);
  note_queued(s, text, tag);
}

// Sends one request; the Pending of its reply, or null with the error set.
PyObject* submit_line(PyObject* self, const LineBuffer& text, CommandWord word,
                      std::optional<double> limit) {
  AsyncSessionObject* s = as_async(self);
  if (!on_its_loop(self) || !ensure_link(self)) return nullptr;
  Ref future = aio::new_future(s->loop.get());
  if (!future) return nullptr;
  const std::uint64_t tag = s->core.new_tag();
  Request request;
  request.future = Ref::borrow(future.get());
  request.word = std::move(word);
  request.limit = limit;
  // Registered before its line can leave, so that no reply can come too early for it.
  s->core.add(tag, std::move(request), deadline_for(limit));
  queue_line(s, text, tag);
  if (!schedule_flush(self) || !arm_timer(self)) return nullptr;
  return make_pending(future.get(), self, forget_pending, PendingOf::Request, tag).release();
}

PyObject* submit_command(PyObject* self, const Command& command, std::optional<double> limit) {
  LineBuffer& line = request_buffer();
  build_command_line(command, line);
  return submit_line(self, line, CommandWord(command.entry().name), limit);
}

const SessionSettings& settings_of(PyObject* self) { return as_async(self)->settings; }

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
  for (Py_ssize_t i = 0; i < count; ++i) list_fill(results.get(), i, Py_NewRef(Py_None));
  const std::uint64_t id = ++s->next_batch;
  Batch batch;
  batch.future = Ref::borrow(future.get());
  batch.results = std::move(results);
  batch.remaining = static_cast<std::size_t>(count);
  batch.limit = limit;
  batch.tags.reserve(lines.size());
  for (Py_ssize_t i = 0; i < count; ++i) batch.tags.push_back(s->core.new_tag());
  Batch& added = s->batches.add(id, std::move(batch), deadline_for(limit));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const std::uint64_t tag = added.tags[static_cast<std::size_t>(i)];
    Request member;
    member.batch = id;
    member.index = static_cast<std::size_t>(i);
    member.word = CommandWord(std::move(words[i]));
    member.limit = limit;
    s->core.add(tag, std::move(member));
    queue_line(s, lines[i], tag);
  }
  if (!schedule_flush(self) || !arm_timer(self)) return nullptr;
  return make_pending(future.get(), self, forget_pending, PendingOf::Batch, id).release();
}

// An event handed to a wait whose task will not read it (cancelled in the same loop
// iteration) goes back to its place: the subscription's queue, or the window.
void put_back_event(AsyncSessionObject* s, PyObject* future, SubscriptionObject* sub) {
  if (s->closed) return;
  const int done = aio::is_done(future);
  Ref result = done > 0 ? aio::result(future) : Ref();
  if (!result || !PyObject_TypeCheck(result.get(), event_class())) {
    PyErr_Clear();
    return;
  }
  HeldEvent e;
  e.in.kind = event_is_reconnect(result.get()) ? Incoming::Kind::Reconnected : Incoming::Kind::Line;
  e.seq = event_seq(result.get());
  e.event = std::move(result);
  if (sub && sub->hub)
    (void)sub->queue.put_back(std::move(e));
  else
    (void)s->hub.window().put_back(std::move(e));
  if (!deliver_events(s)) PyErr_Clear();
}

// A subscription's step given up by its task (the Pending holds the subscription).
void forget_step(PyObject* subscription, PendingOf of, std::uint64_t key, PyObject* future) {
  if (of == PendingOf::Nothing) return;
  SubscriptionObject* sub = as_subscription(subscription);
  AsyncSessionObject* s = as_async(sub->session.get());
  if (s->waiters.take(key)) {
    if (sub->waiter == key) sub->waiter = 0;
    return;
  }
  put_back_event(s, future, sub);
}

// The wait of a subscription that ended ends too.
void subscription_ended(SubscriptionObject* sub) {
  if (sub->waiter == 0) return;
  AsyncSessionObject* s = as_async(sub->session.get());
  std::optional<Waiter> w = s->waiters.take(sub->waiter);
  sub->waiter = 0;
  if (!w) return;
  if (!w->ends_iteration) raise_subscription_closed();
  if (!settle(w->future.get(), w->ends_iteration ? Py_None : nullptr)) PyErr_Clear();
}

// wait_for(): settled at once from the window, or registered.
PyObject* wait_events(PyObject* self, PyObject* predicate, std::optional<double> limit) {
  AsyncSessionObject* s = as_async(self);
  if (!on_its_loop(self) || !ensure_link(self)) return nullptr;
  Waiter w;
  // Called from a predicate while events are handed out, the wait joins the line instead:
  // the handing out under way comes to it.
  if (!s->delivering && s->waiters.empty() && !s->hub.window().empty()) {
    Taken taken = s->hub.window().take_match(predicate, w.from);
    if (taken.found || PyErr_Occurred()) {
      Ref future = aio::done_future(s->loop.get(), taken.event.get());
      if (!future) return nullptr;
      // Key 0 is no wait's: a task cancelled before it reads the event gives it back.
      return make_pending(future.get(), self, forget_pending, PendingOf::Waiter, 0).release();
    }
    if (s->closed) {  // by the predicate
      raise_closed();
      return nullptr;
    }
  }
  Ref future = aio::new_future(s->loop.get());
  if (!future) return nullptr;
  const std::uint64_t id = ++s->next_waiter;
  w.future = Ref::borrow(future.get());
  w.predicate = Ref::borrow(predicate);
  w.limit = limit;
  s->waiters.add(id, std::move(w), deadline_for(limit));
  if (!deliver_events(s) || !arm_timer(self)) return nullptr;
  return make_pending(future.get(), self, forget_pending, PendingOf::Waiter, id).release();
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

// A step of a subscription: its next event, settled at once or registered. Always an
// awaitable, also when the stream has ended (`iterating`: it raises StopAsyncIteration then).
PyObject* subscription_step(PyObject* subscription, std::optional<double> limit, bool iterating) {
  SubscriptionObject* sub = as_subscription(subscription);
  PyObject* self = sub->session.get();
  AsyncSessionObject* s = as_async(self);
  if (iterating && (s->closed || !sub->hub) && s->loop &&
      s->fork_generation == fork_generation()) {
    Ref future = aio::done_future(s->loop.get(), Py_None);
    return future ? make_pending(future.get(), subscription, forget_step, PendingOf::Nothing, 0,
                                 true)
                        .release()
                  : nullptr;
  }
  if (!on_its_loop(self)) return nullptr;
  if (!sub->hub) {
    raise_subscription_closed();
    return nullptr;
  }
  if (sub->waiter != 0) {
    PyErr_SetString(PyExc_RuntimeError,
                    "another task is waiting for this subscription's next event: one step at "
                    "a time (await it before the next), or subscribe once per task");
    return nullptr;
  }
  if (!ensure_link(self)) return nullptr;
  Ref future = aio::new_future(s->loop.get());
  if (!future) return nullptr;
  const std::uint64_t id = ++s->next_waiter;
  Waiter w;
  w.future = Ref::borrow(future.get());
  w.subscription = Ref::borrow(subscription);
  w.ends_iteration = iterating;
  w.limit = limit;
  s->waiters.add(id, std::move(w), deadline_for(limit));
  sub->waiter = id;
  // Settled at once when it holds something (and nothing is being handed out meanwhile).
  if (!s->delivering) {
    FirstError error;
    if (settle_step(s, id, sub, error)) {
      if (!error.restore()) return nullptr;
      return make_pending(future.get(), subscription, forget_step, PendingOf::Waiter, 0,
                          iterating)
          .release();
    }
  }
  if (!deliver_events(s) || !arm_timer(self)) return nullptr;
  return make_pending(future.get(), subscription, forget_step, PendingOf::Waiter, id, iterating)
      .release();
}

// Subscriptions: subscribe(), and events() (one to every event, which takes the events held
// for wait_for() first).
PyTypeObject* g_subscription_type = nullptr;

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
  if (!deliver_events(s)) return nullptr;
  return new_subscription(g_subscription_type, self, s->hub, nullptr, kDefaultMaxPending, limit,
                          true)
      .release();
}

PyObject* AsyncSession_subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  AsyncSessionObject* s = as_async(self);
  PyObject* predicate;
  std::size_t max_pending;
  if (!bind_subscribe(g_sigs, args, nargs, kwnames, predicate, max_pending)) return nullptr;
  if (s->fork_generation != fork_generation()) {
    raise_forked();
    return nullptr;
  }
  if (s->closed) {
    raise_closed();
    return nullptr;
  }
  if (!deliver_events(s)) return nullptr;  // what came before it is not its own
  return new_subscription(g_subscription_type, self, s->hub, predicate, max_pending,
                          std::nullopt, false)
      .release();
}

PyObject* AsyncSubscription_anext(PyObject* self) {
  return subscription_step(self, as_subscription(self)->step_limit, true);
}

PyObject* AsyncSubscription_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  SubscriptionObject* sub = as_subscription(self);
  PyObject* none;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.get, as_async(sub->session.get())->settings, args, nargs,
                         kwnames, none, limit))
    return nullptr;
  return subscription_step(self, limit, false);
}

// Connecting again after a loss, for the subscriptions' streams; when it cannot even start,
// they learn why.
PyObject* on_relink(PyObject* self, PyObject*) {
  AsyncSessionObject* s = as_async(self);
  if (s->closed || s->link != Link::Down || !s->hub.has_subscriptions()) Py_RETURN_NONE;
  if (ensure_link(self)) Py_RETURN_NONE;
  Ref exc = Ref::steal(take_raised_exception());
  s->hub.for_each_subscription([&](SubscriptionObject* sub) { sub->failure = Ref::borrow(exc.get()); });
  return deliver_events(s) ? Py_NewRef(Py_None) : nullptr;
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
  if (!future || !ensure_link(self)) return nullptr;
  s->connect_waiters.emplace_back(Ref::borrow(future.get()), Ref::borrow(value));
  return make_pending(future.get(), self, forget_pending, PendingOf::Nothing, 0).release();
}

PyObject* AsyncSession_connect(PyObject* self, PyObject*) { return connect_pending(self, Py_None); }
PyObject* AsyncSession_aenter(PyObject* self, PyObject*) { return connect_pending(self, self); }

// Every wait ends and the socket is let go of; on the loop's thread.
bool shut_down(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  if (s->shut) return true;
  s->shut = true;
  FirstError error;
  // Lines queued and not yet written go out if the socket takes them now.
  if (s->link == Link::Up && !flush(self)) PyErr_Clear();
  raise_closed();
  if (!settle_connect_waiters(s, false)) error.keep();
  if (!lose(self, false)) error.keep();
  if (s->timer && !aio::cancel_handle(s->timer.get())) error.keep();
  s->timer = {};
  while (auto entry = s->waiters.take_any()) {
    // An iteration ends; a wait_for() or get() learns that nothing will come.
    const Waiter& w = entry->second;
    if (w.subscription) as_subscription(w.subscription.get())->waiter = 0;
    if (!w.ends_iteration) raise_closed();
    if (!settle(w.future.get(), w.ends_iteration ? Py_None : nullptr)) error.keep();
  }
  while (auto entry = s->batches.take_any()) {
    const Batch& b = entry->second;
    raise_lost("the batch", b.tags.empty() ? 0 : b.tags.front(), true);
    if (!settle(b.future.get(), nullptr)) error.keep();
  }
  s->queued.clear();
  s->arrived.clear();
  s->hub.window().clear();
  return error.restore();
}

PyObject* on_close(PyObject* self, PyObject*) {
  return shut_down(self) ? Py_NewRef(Py_None) : nullptr;
}

// Whether the loop runs in another thread than the caller's: then the session is touched
// on that thread only.
int loop_runs_elsewhere(AsyncSessionObject* s) {
  Ref running = aio::running_loop();
  if (!running) PyErr_Clear();
  if (running.get() == s->loop.get()) return 0;
  Ref is_running = Ref::steal(PyObject_CallMethod(s->loop.get(), "is_running", nullptr));
  if (!is_running) return -1;
  return PyObject_IsTrue(is_running.get());
}

// Ends the connection at once; every wait ends. Awaitable, so that `await s.close()` reads
// as asyncio's closing calls do, but nothing is left to wait for. From another thread than
// the loop's, the loop is woken to end the waits at once.
PyObject* AsyncSession_close(PyObject* self, PyObject*) {
  AsyncSessionObject* s = as_async(self);
  if (s->fork_generation != fork_generation()) {
    raise_forked();
    return nullptr;
  }
  if (!s->loop) {  // never used: nothing to end, nothing to await on
    s->closed = s->shut = true;
    Py_RETURN_NONE;
  }
  if (!s->closed) {
    s->closed = true;
    const int elsewhere = loop_runs_elsewhere(s);
    if (elsewhere < 0) PyErr_Clear();  // cannot tell: end it from here, as before
    if (elsewhere > 0) {
      if (!loop_call(s, "call_soon_threadsafe", self, &g_on_close)) {
        PyErr_Clear();  // the loop closed meanwhile: nothing runs it any more
        if (!shut_down(self)) return nullptr;
      }
    } else if (!shut_down(self)) {
      return nullptr;
    }
  }
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

PyObject* AsyncSession_get_stats(PyObject* self, void*) {
  AsyncSessionObject* s = as_async(self);
  SessionCounts counts = s->counts;
  counts.events = s->hub.received();
  counts.dropped = s->hub.dropped();
  return make_stats(counts).release();
}

PyObject* AsyncSession_repr(PyObject* self) {
  AsyncSessionObject* s = as_async(self);
  const char* state = "disconnected";
  if (s->closed) {
    state = "closed";
  } else {
    switch (s->link) {
      case Link::Down: break;
      case Link::Connecting: state = "connecting"; break;
      case Link::LoggingIn: state = "logging in"; break;
      case Link::Up: state = "connected"; break;
    }
  }
  // The Login is the connection's own, not one of the program's requests.
  const bool login = s->link == Link::LoggingIn;
  const std::size_t pending = s->core.size() - (login && s->core.size() > 0 ? 1 : 0);
  return session_repr({"AsyncSession", s->settings.server, s->settings.port, state, pending,
                       s->hub.lines()});
}

PyObject* AsyncSession_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!aio::init() || !init_pending_class()) return nullptr;
  SessionSettings settings;
  if (!read_settings(g_sigs.constructor, args, kwargs, settings)) return nullptr;
  Ref self = Ref::steal(type_alloc(type));
  if (!self) return nullptr;
  AsyncSessionObject* s = as_async(self.get());
  std::construct_at(&s->settings, std::move(settings));
  std::construct_at(&s->loop);
  std::construct_at(&s->buffer);
  std::construct_at(&s->out);
  std::construct_at(&s->queued);
  std::construct_at(&s->core, s->settings.max_line);
  std::construct_at(&s->batches);
  std::construct_at(&s->waiters);
  std::construct_at(&s->connect_waiters);
  std::construct_at(&s->connect_error);
  std::construct_at(&s->arrived);
  std::construct_at(&s->hub, s->settings.max_events);
  std::construct_at(&s->timer);
  std::construct_at(&s->timer_at);
  std::construct_at(&s->connect_timer);
  std::construct_at(&s->addresses);
  std::construct_at(&s->resolving);
  s->next_address = 0;
  std::construct_at(&s->counts);
  s->tracing = s->ack_owed = false;
  s->fd = -1;
  s->link = Link::Down;
  s->closed = s->shut = s->reading = s->writing = s->flush_scheduled = false;
  s->delivering = s->redeliver = s->capture_connect_error = false;
  s->fork_generation = fork_generation();
  s->next_batch = s->next_waiter = 0;
  std::construct_at(&s->policy, false, 0u, 0.0, 0.0);
  return self.release();
}

// ---- garbage collection -------------------------------------------------------------------

int AsyncSession_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  AsyncSessionObject* s = as_async(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(s->settings.is_failure.get());
  Py_VISIT(s->loop.get());
  if (const int r = s->core.visit([&](const Request& q) {
        Py_VISIT(q.future.get());
        return 0;
      }))
    return r;
  if (const int r = s->batches.visit([&](const Batch& b) {
        Py_VISIT(b.future.get());
        Py_VISIT(b.results.get());
        Py_VISIT(b.first_failure.get());
        return 0;
      }))
    return r;
  if (const int r = s->waiters.visit([&](const Waiter& w) {
        Py_VISIT(w.future.get());
        Py_VISIT(w.predicate.get());
        Py_VISIT(w.subscription.get());
        return 0;
      }))
    return r;
  for (const auto& [future, value] : s->connect_waiters) {
    Py_VISIT(future.get());
    Py_VISIT(value.get());
  }
  Py_VISIT(s->connect_error.get());
  Py_VISIT(s->timer.get());
  Py_VISIT(s->connect_timer.get());
  Py_VISIT(s->resolving.get());
  return s->hub.window().traverse(visit, arg);
}

// Unreachable: the finalizer has run, so no loop watches the socket any more.
int AsyncSession_clear(PyObject* self) noexcept {
  AsyncSessionObject* s = as_async(self);
  s->closed = true;
  // Let go of once the session is consistent: their deallocation may run Python code.
  Ref is_failure = std::move(s->settings.is_failure);
  Ref loop = std::move(s->loop);
  ArrivedSink arrived{s->arrived};
  Core::Table requests = s->core.lose(false, arrived);
  auto batches = std::move(s->batches);
  auto waiters = std::move(s->waiters);
  auto connect_waiters = std::move(s->connect_waiters);
  Ref timer = std::move(s->timer);
  Ref connect_timer = std::move(s->connect_timer);
  Ref connect_error = std::move(s->connect_error);
  Ref resolving = std::move(s->resolving);
  s->batches.clear();
  s->waiters.clear();
  s->connect_waiters.clear();
  s->arrived.clear();
  s->hub.window().clear();
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
  if (s->closed || s->fork_generation != fork_generation()) return;
  if (s->fd < 0) {
    // Still resolving the server's name: nothing is open, but the lookup is let go of.
    if (s->resolving) call_quietly(s->resolving.get(), "cancel");
    s->resolving = {};
    return;
  }
  warn_unclosed(self);
  Ref raised = Ref::steal(take_raised_exception());
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
  set_raised_exception(raised.release());
}

void AsyncSession_dealloc(PyObject* self) noexcept {
  if (call_finalizer_from_dealloc(self) < 0) return;  // brought back to life
  PyObject_GC_UnTrack(self);
  AsyncSessionObject* s = as_async(self);
  // The loop holds the session while it watches its socket: here nothing watches it.
  if (s->fd >= 0) ::close(s->fd);
  std::destroy_at(&s->resolving);
  std::destroy_at(&s->addresses);
  std::destroy_at(&s->connect_timer);
  std::destroy_at(&s->timer_at);
  std::destroy_at(&s->timer);
  std::destroy_at(&s->hub);
  std::destroy_at(&s->arrived);
  std::destroy_at(&s->connect_error);
  std::destroy_at(&s->connect_waiters);
  std::destroy_at(&s->waiters);
  std::destroy_at(&s->batches);
  std::destroy_at(&s->core);
  std::destroy_at(&s->queued);
  std::destroy_at(&s->out);
  std::destroy_at(&s->buffer);
  std::destroy_at(&s->loop);
  std::destroy_at(&s->settings);
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

}  // namespace

PyTypeObject* init_async_session_class() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  if (!init_received_classes()) return nullptr;
  if (!make_session_signatures(g_sigs, "AsyncSession")) return nullptr;

  g_subscription_type = make_subscription_class({
      "builtins.AsyncSubscription",
      "Events of an AsyncSession as they come, from the moment it was made: those its "
      "predicate accepts (all, without one), in a queue of its own bounded by max_pending "
      "(beyond it, EventsDropped at that point, once). Iterate over it with async for, or "
      "await get() for one; close() (or leaving its with block) unsubscribes. A loss of the "
      "connection shows as the reconnected event once the session has connected again; "
      "ConnectionError when it cannot.",
      {{Py_am_aiter, reinterpret_cast<void*>(PyObject_SelfIter)},
       {Py_am_anext, slot_entry<AsyncSubscription_anext>()}},
      {{"get", method_entry<AsyncSubscription_get>(), METH_FASTCALL | METH_KEYWORDS,
        "get($self, /, timeout=" QV_SESSION_TIMEOUT_NAME ")\n--\n\n"
        "Await the next event; TimeoutError when none comes within timeout."}},
      subscription_ended});
  if (!g_subscription_type) return nullptr;

  const auto* per_command =
      SessionMethods<submit_command, settings_of>::table("AsyncSession", "Send {}; await the result for its reply.");
  if (!per_command) return nullptr;
  const SessionClassTraits traits = {
      "AsyncSession",
      "A connection to the control server for asyncio: each request "
      "is awaited for its reply; other lines are events.",
      sizeof(AsyncSessionObject), slot_entry<AsyncSession_new>(),
      dealloc_slot<AsyncSession_dealloc>(), entry<AsyncSession_get_closed>,
      entry<AsyncSession_get_stats>, slot_entry<AsyncSession_repr>(),
      nothrow_slot<AsyncSession_traverse>(), nothrow_slot<AsyncSession_clear>(),
      nothrow_slot<AsyncSession_finalize>()};
  type = make_session_class(traits, {
      {"connect", method_entry<AsyncSession_connect>(), METH_NOARGS,
       "connect($self, /)\n--\n\nConnect and log in; await the result. Requests made before "
       "wait for it."},
      {"request", method_entry<AsyncSession_request>(), METH_FASTCALL | METH_KEYWORDS,
       "request($self, /, command, timeout=" QV_SESSION_TIMEOUT_NAME ")\n--\n\n"
       "Send a Command, or a text as it is; await the result for its reply."},
      {"request_batch", method_entry<AsyncSession_request_batch>(), METH_FASTCALL | METH_KEYWORDS,
       "request_batch($self, /, commands, timeout=" QV_SESSION_TIMEOUT_NAME ")\n--\n\n"
       "Send many requests in one write; await the result for every reply."},
      {"events", method_entry<AsyncSession_events>(), METH_FASTCALL | METH_KEYWORDS,
       "events($self, /, timeout=None)\n--\n\n"
       "A subscription to every event, starting with those held for wait_for(): iterate "
       "over it (async for) until the session is closed, or, with a timeout, until none "
       "comes within it."},
      {"subscribe", method_entry<AsyncSession_subscribe>(), METH_FASTCALL | METH_KEYWORDS,
       "subscribe($self, /, predicate=None, *, max_pending=10000)\n--\n\n"
       "An AsyncSubscription to the events the predicate accepts (every event with None), "
       "from now on; make it before sending the command whose events it is for."},
      {"wait_for", method_entry<AsyncSession_wait_for>(), METH_FASTCALL | METH_KEYWORDS,
       "wait_for($self, /, predicate, timeout=" QV_SESSION_TIMEOUT_NAME ")\n--\n\n"
       "Await the first event the predicate accepts among those no subscription took (the "
       "most recent max_events, and those that come); the others stay held."},
      {"close", method_entry<AsyncSession_close>(), METH_NOARGS,
       "close($self, /)\n--\n\nEnd the connection at once; waiting calls end. Awaitable."},
      {"__aenter__", method_entry<AsyncSession_aenter>(), METH_NOARGS, nullptr},
      {"__aexit__", method_entry<AsyncSession_aexit>(), METH_FASTCALL, nullptr},
  }, *per_command);
  return type;
}

}  // namespace qv::py
