// AsyncSession's connecting: the Link is driven from the loop's callbacks. A step that needs
// a wait (the resolver's answer, a connect, the Login's reply, a pause) is set up here, and
// its callback feeds the outcome back to the link.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <variant>

#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/method_call.hpp"
#include "commands/build_command.hpp"
#include "commands/core/wire_line.hpp"
#include "net/socket.hpp"
#include "session/async_session.hpp"
#include "session/asyncio_api.hpp"
#include "session/py_subscription.hpp"
#include "session/wire_log.hpp"

namespace qv::py {

namespace {

PyObject* on_connect_ready(PyObject* self, PyObject*);
PyObject* on_step_timer(PyObject* self, PyObject* step);
PyObject* on_resolved(PyObject* self, PyObject*);
PyObject* on_relink(PyObject* self, PyObject*);
PyMethodDef g_on_connect = {"_connected", method_entry<on_connect_ready>(), METH_NOARGS, nullptr};
PyMethodDef g_on_step_timer = {"_step_due", method_entry<on_step_timer>(), METH_O, nullptr};
PyMethodDef g_on_resolved = {"_resolved", method_entry<on_resolved>(), METH_NOARGS, nullptr};
PyMethodDef g_on_relink = {"_relink", method_entry<on_relink>(), METH_NOARGS, nullptr};
PyObject* on_hook_done(PyObject* self, PyObject* task);
PyMethodDef g_on_hook_done = {"_reconnected", method_entry<on_hook_done>(), METH_O, nullptr};

bool log_notes(const AsyncState& s, const std::vector<std::string>& notes) {
  for (const std::string& note : notes)
    if (!wire_log::note(wire_log::kInfo, s.settings.server, s.settings.port, note)) return false;
  return true;
}

// The link's step under way is over: its timer goes.
bool end_step(AsyncState& s) {
  ++s.step;
  if (!s.step_timer) return true;
  Ref timer = std::move(s.step_timer);
  return aio::cancel_handle(timer.get());
}

// A timer for the step under way, known by its number when it fires.
bool step_timer_at(AsyncState& s, PyObject* self, Time until) {
  Ref number = Ref::steal(PyLong_FromUnsignedLongLong(s.step));
  if (!number) return false;
  s.step_timer = call_at(s, until, self, g_on_step_timer, number.get());
  return static_cast<bool>(s.step_timer);
}

// Lets go of the socket of an address that did not connect.
bool drop_attempt_socket(AsyncState& s) {
  if (s.fd < 0) return true;
  if (s.writing && !unwatch(s, "remove_writer")) return false;
  s.writing = false;
  ::close(s.fd);
  s.fd = -1;
  return true;
}

// The exception for what connecting ended with, raised.
void raise_failure(AsyncState& s, const LinkFailure& failure) {
  switch (failure.kind) {
    case LinkFailure::Kind::System: set_error(os_error_type(failure.err), failure.text); return;
    case LinkFailure::Kind::Resolve: {
      Ref socket = Ref::steal(PyImport_ImportModule("socket"));
      Ref gaierror = socket ? get_attribute(socket.get(), "gaierror") : Ref();
      if (gaierror) set_error(gaierror.get(), failure.text);
      return;
    }
    case LinkFailure::Kind::Connection: set_error(PyExc_ConnectionError, failure.text); return;
    case LinkFailure::Kind::Timeout: set_error(PyExc_TimeoutError, failure.text); return;
    case LinkFailure::Kind::Closed: raise_closed(); return;
    case LinkFailure::Kind::Login:
      if (s.login_failure) {
        set_raised_exception(s.login_failure.release());
      } else {
        raise_lost("Login", 0, s.closed());
      }
      return;
  }
}

// Connecting failed with the exception being raised (consumed): every wait for the
// connection gets it, and so does every request made meanwhile. The connection being made,
// if any, is lost to the core (its Login with it, and an unterminated last line is an event).
bool connect_failed(PyObject* self) {
  AsyncState& s = async_of(self);
  Ref exc = Ref::steal(take_raised_exception());
  FirstError error;
  if (!teardown(s)) error.keep();
  if (!end_reconnect_hold(s)) error.keep();
  struct Sink {
    EventPipeline& events;
    std::size_t push(Incoming&& in) {
      events.offer(std::move(in));
      return 0;
    }
  } sink{s.events};
  SessionCore<Request>::Table lost = s.core.lose(false, sink);
  // A subscription's stream ends with it, once it has taken what it holds.
  s.events.for_each_subscription(
      [&](SubscriptionObject* sub) { sub->failure = Ref::borrow(exc.get()); });
  set_raised_exception(Py_NewRef(exc.get()));
  if (!settle_connect_waiters(s, false)) error.keep();
  if (!s.events.pump()) error.keep();
  s.queued.clear();
  SessionCore<Request>::drain(lost, [&](std::uint64_t, Request&& request) {
    if (request.login) return;  // its connection's waits learnt of it above
    set_raised_exception(Py_NewRef(exc.get()));
    if (!fail_request(self, request)) error.keep();
  });
  return error.restore();
}

// The socket is connected: the session reads from now on, and logs in first. The Login is a
// request as any other, due by the step's limit.
bool start_login(PyObject* self, const LinkStep& step) {
  AsyncState& s = async_of(self);
  set_no_delay(s.fd);
  s.core.attach();
  if (!watch(s, self, "add_reader", &g_on_readable)) return false;
  s.reading = true;
  Command login(kLoginVariant);
  if (!build_login(login, s.settings.username, s.settings.password)) return false;
  LineBuffer line;
  append_command_text(line, login);
  Request request;
  request.word = CommandWord(std::string_view("Login"));
  request.limit = s.settings.timeout;
  request.login = true;
  Request& added = s.core.add(step.login_tag, std::move(request));
  added.deadline = s.deadlines.add(step.until, WaitKey{WaitKey::Of::Request, step.login_tag});
  s.out.clear();
  std::vector<std::string> traced;
  s.out.add(line.view(), step.login_tag);
  ++s.counts.requests;
  if (s.tracing > 0) {
    LineBuffer wire;
    wire.append(line.view());
    append_tag_suffix(wire, step.login_tag);
    traced.emplace_back(wire.view());
  }
  if (!arm_timer(self) || !flush(self)) return false;
  return trace_sent(s, traced);
}

// What on_reconnect raised (the exception being raised, consumed) is logged; it ends nothing.
bool log_hook_failure(AsyncState& s) {
  return wire_log::failed(s.settings.server, s.settings.port, "on_reconnect raised");
}

// A reconnect is up: the program's on_reconnect runs (a coroutine function's in a task of its
// own) while the new connection's events are held, and then they go, after the mark.
bool start_reconnect_hook(PyObject* self) {
  AsyncState& s = async_of(self);
  if (!s.settings.on_reconnect) return end_reconnect_hold(s);
  const Ref hook = Ref::borrow(s.settings.on_reconnect.get());
  Ref result = Ref::steal(call_one_arg(hook.get(), self));
  if (!result) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    return log_hook_failure(s) && end_reconnect_hold(s);
  }
  PyObject* await_name = attribute_name("__await__");
  if (!await_name) return false;
  const int awaitable = PyObject_HasAttr(result.get(), await_name);
  if (!awaitable) return end_reconnect_hold(s);  // a plain function: done already
  Ref task = call_method(s.loop.get(), "create_task", "O", result.get());
  Ref cb = callback(self, g_on_hook_done);
  if (!task || !cb) return false;
  Ref added = call_method(task.get(), "add_done_callback", "O", cb.get());
  if (!added) return false;
  s.hook_task = std::move(task);
  return true;
}

PyObject* on_hook_done(PyObject* self, PyObject* task) {
  AsyncState& s = async_of(self);
  if (task != s.hook_task.get()) Py_RETURN_NONE;  // let go of already
  s.hook_task = {};
  Ref cancelled = call_method(task, "cancelled", nullptr);
  if (!cancelled) return nullptr;
  if (cancelled.get() == Py_False) {
    Ref exc = call_method(task, "exception", nullptr);
    if (!exc) return nullptr;
    if (exc.get() != Py_None) {
      set_raised_exception(exc.release());
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;  // reaches the loop
      if (!log_hook_failure(s)) return nullptr;
    }
  }
  if (!end_reconnect_hold(s) || !s.events.pump()) return nullptr;
  Py_RETURN_NONE;
}

// Logged in: the requests made meanwhile go out, and every wait for the connection is done.
bool logged_in(PyObject* self, const LinkStep& step) {
  AsyncState& s = async_of(self);
  if (step.reconnected) {
    s.reconnect_mark = Incoming{Incoming::Kind::Reconnected, std::nullopt, {}, 0, step.gap};
    ++s.counts.reconnects;
  }
  // Copied before anything runs that may close the session (a handler of the trace).
  std::vector<std::string> traced;
  if (s.tracing > 0) s.queued.each_waiting([&](std::string_view line) { traced.emplace_back(line); });
  s.out.take_from(s.queued);
  s.events.for_each_subscription([](SubscriptionObject* sub) { sub->failure = {}; });
  FirstError error;
  if (!settle_connect_waiters(s, true)) error.keep();
  if (!flush(self)) error.keep();
  if (!trace_sent(s, traced)) error.keep();
  if (step.reconnected && !start_reconnect_hook(self)) error.keep();
  if (!s.events.pump()) error.keep();
  return error.restore();
}

// Starts connecting to the address of the step; false with the error set. `next` is set when
// the outcome is known at once.
bool start_connect_step(PyObject* self, const LinkStep& step, std::optional<LinkInput>& next) {
  AsyncState& s = async_of(self);
  const auto started = start_connect(step.address, s.settings.port);
  if (const auto* failure = std::get_if<OsFailure>(&started)) {
    next = LinkInput::connect_failed(failure->err);
    return true;
  }
  const ConnectStart start = std::get<ConnectStart>(started);
  s.fd = start.fd;
  if (!start.in_progress) {
    next = LinkInput(LinkInput::Kind::Connected);
    return true;
  }
  if (!watch(s, self, "add_writer", &g_on_connect)) return false;
  s.writing = true;
  return !step.until || step_timer_at(s, self, *step.until);
}

// Feeds `input` to the link, and drives it on.
bool feed(PyObject* self, LinkInput input) {
  AsyncState& s = async_of(self);
  return apply(self, s.link.advance(Clock::now(), std::move(input)));
}

PyObject* done(bool ok) { return ok ? Py_NewRef(Py_None) : nullptr; }

// The name is asked of the system's resolver every time, so a server moved by DNS is found
// again: by a thread of its own (see Lookup), whose answer the loop is told of, no longer than
// the step's limit. (Not the loop's getaddrinfo(): a resolver that never answers would hold
// one of the loop's executor threads, and asyncio.run() waits minutes for those at its end.)
bool stop_resolving(AsyncState& s) {
  if (!s.lookup) return true;
  const std::shared_ptr<Lookup> lookup = std::move(s.lookup);
  return unwatch(s, "remove_reader", lookup->ready_fd());
}

bool start_resolving(PyObject* self, const LinkStep& step) {
  AsyncState& s = async_of(self);
  try {
    s.lookup = Lookup::start(s.settings.server);
  } catch (const std::system_error& e) {
    return feed(self, LinkInput::resolve_failed(ResolveFailure{0, e.code().value(), e.what()}));
  }
  if (!watch(s, self, "add_reader", &g_on_resolved, s.lookup->ready_fd())) return false;
  return !step.until || step_timer_at(s, self, *step.until);
}


PyObject* on_resolved(PyObject* self, PyObject*) {
  AsyncState& s = async_of(self);
  if (!s.lookup || s.link.state() != LinkState::Resolving) Py_RETURN_NONE;
  std::optional<ResolveResult> answer = s.lookup->answer();
  if (!answer) Py_RETURN_NONE;  // not yet: the loop tells again
  if (!stop_resolving(s) || !end_step(s)) return nullptr;
  if (auto* failure = std::get_if<ResolveFailure>(&*answer))
    return done(feed(self, LinkInput::resolve_failed(std::move(*failure))));
  return done(feed(self, LinkInput::resolved(std::move(std::get<std::vector<IpAddress>>(*answer)))));
}

PyObject* on_connect_ready(PyObject* self, PyObject*) {
  AsyncState& s = async_of(self);
  if (s.link.state() != LinkState::Connecting || s.fd < 0) Py_RETURN_NONE;
  if (s.writing && !unwatch(s, "remove_writer")) return nullptr;
  s.writing = false;
  if (!end_step(s)) return nullptr;
  const int err = connect_outcome(s.fd);
  if (err != 0) {  // the next address, if there is one
    if (!drop_attempt_socket(s)) return nullptr;
    return done(feed(self, LinkInput::connect_failed(err)));
  }
  return done(feed(self, LinkInput(LinkInput::Kind::Connected)));
}

// The step under way had its time: the resolver's answer or the address's connect did not
// come, or the pause between attempts is over.
PyObject* on_step_timer(PyObject* self, PyObject* step) {
  AsyncState& s = async_of(self);
  if (PyLong_AsUnsignedLongLong(step) != s.step) {
    PyErr_Clear();
    Py_RETURN_NONE;  // a late timer of a step that ended
  }
  s.step_timer = {};
  switch (s.link.state()) {
    case LinkState::Resolving:
      if (!stop_resolving(s) || !end_step(s)) return nullptr;
      return done(feed(self, LinkInput(LinkInput::Kind::ResolveTimedOut)));
    case LinkState::Connecting:
      if (s.writing && !unwatch(s, "remove_writer")) return nullptr;
      s.writing = false;
      if (!end_step(s) || !drop_attempt_socket(s)) return nullptr;
      return done(feed(self, LinkInput::connect_failed(ETIMEDOUT)));
    case LinkState::Pausing:
      if (!end_step(s)) return nullptr;
      return done(feed(self, LinkInput(LinkInput::Kind::PauseOver)));
    default: Py_RETURN_NONE;
  }
}

// Connecting again after a loss, for the subscriptions' streams; when it cannot even start,
// they learn why.
PyObject* on_relink(PyObject* self, PyObject*) {
  AsyncState& s = async_of(self);
  if (s.closed() || s.link.state() != LinkState::Down || !s.events.has_subscriptions())
    Py_RETURN_NONE;
  if (ensure_link(self)) Py_RETURN_NONE;
  Ref exc = Ref::steal(take_raised_exception());
  s.events.for_each_subscription(
      [&](SubscriptionObject* sub) { sub->failure = Ref::borrow(exc.get()); });
  return done(s.events.pump());
}

}  // namespace

bool teardown(AsyncState& s) {
  FirstError error;
  if (s.fd >= 0) {
    if (s.reading && !unwatch(s, "remove_reader")) error.keep();
    if (s.writing && !unwatch(s, "remove_writer")) error.keep();
    s.reading = s.writing = false;
    ::close(s.fd);
    s.fd = -1;
  }
  if (!end_step(s)) error.keep();
  if (!stop_resolving(s)) error.keep();
  s.out.clear();
  return error.restore();
}

bool end_reconnect_hold(AsyncState& s) {
  bool ok = true;
  if (s.hook_task) {
    Ref task = std::move(s.hook_task);
    ok = aio::cancel(task.get());
  }
  std::optional<Incoming> mark = std::move(s.reconnect_mark);
  s.reconnect_mark.reset();
  s.events.release(std::move(mark));
  return ok;
}

bool settle_connect_waiters(AsyncState& s, bool ok) {
  Ref exc;
  if (!ok) exc = Ref::steal(take_raised_exception());
  auto waiters = std::move(s.connect_waiters);
  s.connect_waiters.clear();
  FirstError error;
  for (auto& [future, value] : waiters) {
    if (!ok) set_raised_exception(Py_NewRef(exc.get()));
    if (!settle(future.get(), ok ? value.get() : nullptr)) error.keep();
  }
  return error.restore();
}

bool apply(PyObject* self, LinkStep step, Ref* failed) {
  AsyncState& s = async_of(self);
  for (;;) {
    if (!log_notes(s, step.notes) || !s.telemetry.follow(step)) {
      // A handler raised: connecting is given up, and those waiting for it learn why.
      Ref raised = Ref::steal(take_raised_exception());
      (void)s.link.advance(Clock::now(), LinkInput::Kind::Abandon);
      set_raised_exception(Py_NewRef(raised.get()));
      (void)connect_failed(self);
      set_raised_exception(raised.release());
      return false;
    }
    std::optional<LinkInput> next;
    switch (step.what) {
      case LinkStep::Do::Wait: return true;
      case LinkStep::Do::Resolve: return start_resolving(self, step);
      case LinkStep::Do::Connect:
        if (!start_connect_step(self, step, next)) return false;
        if (!next) return true;
        if (next->kind == LinkInput::Kind::ConnectFailed && !drop_attempt_socket(s)) return false;
        break;
      case LinkStep::Do::LogIn:
        if (step.reconnected) s.events.hold();  // its events wait for on_reconnect
        return start_login(self, step);
      case LinkStep::Do::Pause:
        return step_timer_at(s, self, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(step.pause)));
      case LinkStep::Do::Up: return logged_in(self, step);
      case LinkStep::Do::Fail:
        raise_failure(s, step.failure);
        if (failed) {  // kept, and raised again for connect_failed
          *failed = Ref::steal(take_raised_exception());
          if (*failed) set_raised_exception(Py_NewRef(failed->get()));
        }
        return connect_failed(self);
    }
    step = s.link.advance(Clock::now(), std::move(*next));
  }
}

bool login_answered(PyObject* self, Ref reply) {
  AsyncState& s = async_of(self);
  if (s.link.state() != LinkState::LoggingIn) {  // closed while the reply was judged
    PyErr_Clear();
    return true;
  }
  if (reply) return feed(self, LinkInput(LinkInput::Kind::LoggedIn));
  // Refused, unanswered in time, or lost: this connection is no use.
  const LoginEnd end = PyErr_ExceptionMatches(PyExc_TimeoutError) ? LoginEnd::TimedOut
                       : PyErr_ExceptionMatches(PyExc_ConnectionError) ? LoginEnd::Lost
                                                                        : LoginEnd::Refused;
  s.login_failure = Ref::steal(take_raised_exception());
  if (!teardown(s)) return false;
  return feed(self, LinkInput::login_failed(end));
}

bool ensure_link(PyObject* self) {
  AsyncState& s = async_of(self);
  if (s.link.up() || s.link.connecting()) return true;
  s.tracing = wire_log::tracing();
  if (s.tracing < 0) return false;
  // Connecting that fails before this call returns (no reconnect, no descriptor left, say)
  // fails the call too, as it does those waiting.
  Ref failed;
  const bool driven =
      apply(self, s.link.advance(Clock::now(), LinkInput::start(s.core.new_tag())), &failed);
  if (!driven) return false;
  if (failed && !s.link.up() && !s.link.connecting()) {
    set_raised_exception(failed.release());
    return false;
  }
  return true;
}

bool lose(PyObject* self, bool mark) {
  AsyncState& s = async_of(self);
  const LinkState was = s.link.state();
  FirstError error;
  if (!teardown(s)) error.keep();
  // Lost while on_reconnect ran: it is let go of, and what it held goes first.
  if (!end_reconnect_hold(s)) error.keep();
  if (was == LinkState::LoggingIn) {
    // The Login leaves the table (and its deadline the index): a reconnect tries again, with
    // another Login under the same tag.
    if (const std::optional<std::uint64_t> tag = s.link.login_tag()) (void)give_up_request(s, *tag);
    raise_lost("Login", s.link.login_tag().value_or(0), false);
    if (!login_answered(self, {})) error.keep();
  } else {
    const bool marked = mark && was == LinkState::Up;
    (void)s.link.advance(Clock::now(), LinkInput::Kind::Lost);
    if (!s.telemetry.connection_down()) error.keep();
    struct Sink {
      EventPipeline& events;
      std::size_t push(Incoming&& in) {
        events.offer(std::move(in));
        return 0;
      }
    } sink{s.events};
    SessionCore<Request>::Table lost = s.core.lose(marked, sink);
    if (!fail_lost(self, lost, s.closed())) error.keep();
    // A subscription's stream goes on across a loss: the session connects again for it.
    if (marked && !s.closed() && s.settings.reconnect_attempts > 0 &&
        s.events.has_subscriptions() && !loop_call(s, "call_soon", self, &g_on_relink))
      error.keep();
  }
  if (!s.events.pump()) error.keep();
  return error.restore();
}

}  // namespace qv::py
