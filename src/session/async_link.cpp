// AsyncSession's connecting: the Link is driven from the loop's callbacks. A step that needs
// a wait (the resolver's answer, a connect, the Login's reply, a pause) is set up here, and
// its callback feeds the outcome back to the link.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <variant>

#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "commands/build_command.hpp"
#include "commands/core/tagged_send.hpp"
#include "net/socket.hpp"
#include "session/async_session.hpp"
#include "session/asyncio_api.hpp"
#include "session/py_subscription.hpp"
#include "session/wire_log.hpp"

namespace qv::py {

namespace {

PyObject* on_connect_ready(PyObject* self, PyObject*);
PyObject* on_step_timer(PyObject* self, PyObject* step);
PyObject* on_resolved(PyObject* self, PyObject* task);
PyObject* on_relink(PyObject* self, PyObject*);
PyMethodDef g_on_connect = {"_connected", method_entry<on_connect_ready>(), METH_NOARGS, nullptr};
PyMethodDef g_on_step_timer = {"_step_due", method_entry<on_step_timer>(), METH_O, nullptr};
PyMethodDef g_on_resolved = {"_resolved", method_entry<on_resolved>(), METH_O, nullptr};
PyMethodDef g_on_relink = {"_relink", method_entry<on_relink>(), METH_NOARGS, nullptr};

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
      Ref gaierror = socket ? Ref::steal(PyObject_GetAttrString(socket.get(), "gaierror")) : Ref();
      if (gaierror) set_error(gaierror.get(), failure.text);
      return;
    }
    case LinkFailure::Kind::Connection: set_error(PyExc_ConnectionError, failure.text); return;
    case LinkFailure::Kind::Timeout: set_error(PyExc_TimeoutError, failure.text); return;
    case LinkFailure::Kind::Closed: raise_closed(); return;
    case LinkFailure::Kind::Login:
      if (s.login_failure) {
        PyErr_SetRaisedException(s.login_failure.release());
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
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  FirstError error;
  if (!teardown(s)) error.keep();
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
  PyErr_SetRaisedException(Py_NewRef(exc.get()));
  if (!settle_connect_waiters(s, false)) error.keep();
  if (!s.events.pump()) error.keep();
  s.queued.clear();
  SessionCore<Request>::drain(lost, [&](std::uint64_t, Request&& request) {
    if (request.login) return;  // its connection's waits learnt of it above
    PyErr_SetRaisedException(Py_NewRef(exc.get()));
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

// Logged in: the requests made meanwhile go out, and every wait for the connection is done.
bool logged_in(PyObject* self, const LinkStep& step) {
  AsyncState& s = async_of(self);
  if (step.reconnected) {
    s.events.offer(Incoming{Incoming::Kind::Reconnected, std::nullopt, {}, 0});
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

// The name is asked of the loop's resolver (awaited without blocking the loop) every time, so
// a server moved by DNS is found again; no longer than the step's limit.
bool start_resolving(PyObject* self, const LinkStep& step) {
  AsyncState& s = async_of(self);
  Ref host = Ref::steal(PyUnicode_FromStringAndSize(
      s.settings.server.data(), static_cast<Py_ssize_t>(s.settings.server.size())));
  if (!host) return false;
  Ref lookup =
      Ref::steal(PyObject_CallMethod(s.loop.get(), "getaddrinfo", "OO", host.get(), Py_None));
  Ref task = lookup ? aio::call(s.loop.get(), "create_task", lookup.get()) : Ref();
  Ref cb = callback(self, g_on_resolved);
  if (!task || !cb) return false;
  Ref added = Ref::steal(PyObject_CallMethod(task.get(), "add_done_callback", "O", cb.get()));
  if (!added) return false;
  s.resolving = std::move(task);
  return !step.until || step_timer_at(s, self, *step.until);
}

// The addresses of a getaddrinfo() result, in its order, each once; false with the error set.
bool read_addresses(PyObject* infos, std::vector<IpAddress>& out) {
  Ref items = Ref::steal(PySequence_List(infos));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    // (family, type, proto, canonname, sockaddr), sockaddr starting with the address text.
    PyObject* info = PyList_GET_ITEM(items.get(), i);
    PyObject* sockaddr =
        PyTuple_Check(info) && PyTuple_GET_SIZE(info) == 5 ? PyTuple_GET_ITEM(info, 4) : nullptr;
    PyObject* text = sockaddr && PyTuple_Check(sockaddr) && PyTuple_GET_SIZE(sockaddr) >= 1
                         ? PyTuple_GET_ITEM(sockaddr, 0) : nullptr;
    const char* chars = text && PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : nullptr;
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

// The resolver's own words for a failed lookup: socket.gaierror's message, else the text.
ResolveFailure resolve_failure_of(PyObject* exc) {
  ResolveFailure failure{0, 0, {}};
  Ref args = Ref::steal(PyObject_GetAttrString(exc, "args"));
  PyObject* words = exc;
  if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 2) {
    failure.code = static_cast<int>(PyLong_AsLong(PyTuple_GET_ITEM(args.get(), 0)));
    words = PyTuple_GET_ITEM(args.get(), 1);
  }
  Ref text = Ref::steal(PyObject_Str(words));
  const char* chars = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  PyErr_Clear();
  failure.text = chars ? chars : "the resolver failed";
  return failure;
}

// Feeds `input` to the link, and drives it on.
bool feed(PyObject* self, LinkInput input) {
  AsyncState& s = async_of(self);
  return apply(self, s.link.advance(Clock::now(), std::move(input)));
}

PyObject* done(bool ok) { return ok ? Py_NewRef(Py_None) : nullptr; }

PyObject* on_resolved(PyObject* self, PyObject* task) {
  AsyncState& s = async_of(self);
  if (task != s.resolving.get() || s.link.state() != LinkState::Resolving) Py_RETURN_NONE;
  s.resolving = {};
  if (!end_step(s)) return nullptr;
  Ref infos = aio::result(task);
  if (!infos) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc || PyErr_GivenExceptionMatches(exc.get(), aio::cancelled_error())) Py_RETURN_NONE;
    return done(feed(self, LinkInput::resolve_failed(resolve_failure_of(exc.get()))));
  }
  std::vector<IpAddress> addresses;
  if (!read_addresses(infos.get(), addresses)) return nullptr;
  return done(feed(self, LinkInput::resolved(std::move(addresses))));
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
    case LinkState::Resolving: {
      Ref task = std::move(s.resolving);
      if (task && !aio::cancel(task.get())) return nullptr;
      if (!end_step(s)) return nullptr;
      return done(feed(self, LinkInput(LinkInput::Kind::ResolveTimedOut)));
    }
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
  Ref exc = Ref::steal(PyErr_GetRaisedException());
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
  if (s.resolving) {
    Ref task = std::move(s.resolving);
    if (!aio::cancel(task.get())) error.keep();
  }
  s.out.clear();
  return error.restore();
}

bool settle_connect_waiters(AsyncState& s, bool ok) {
  Ref exc;
  if (!ok) exc = Ref::steal(PyErr_GetRaisedException());
  auto waiters = std::move(s.connect_waiters);
  s.connect_waiters.clear();
  FirstError error;
  for (auto& [future, value] : waiters) {
    if (!ok) PyErr_SetRaisedException(Py_NewRef(exc.get()));
    if (!settle(future.get(), ok ? value.get() : nullptr)) error.keep();
  }
  return error.restore();
}

bool apply(PyObject* self, LinkStep step, Ref* failed) {
  AsyncState& s = async_of(self);
  for (;;) {
    if (!log_notes(s, step.notes)) {
      // A handler raised: connecting is given up, and those waiting for it learn why.
      Ref raised = Ref::steal(PyErr_GetRaisedException());
      (void)s.link.advance(Clock::now(), LinkInput::Kind::Abandon);
      PyErr_SetRaisedException(Py_NewRef(raised.get()));
      (void)connect_failed(self);
      PyErr_SetRaisedException(raised.release());
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
      case LinkStep::Do::LogIn: return start_login(self, step);
      case LinkStep::Do::Pause:
        return step_timer_at(s, self, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(step.pause)));
      case LinkStep::Do::Up: return logged_in(self, step);
      case LinkStep::Do::Fail:
        raise_failure(s, step.failure);
        if (failed) {  // kept, and raised again for connect_failed
          *failed = Ref::steal(PyErr_GetRaisedException());
          if (*failed) PyErr_SetRaisedException(Py_NewRef(failed->get()));
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
  s.login_failure = Ref::steal(PyErr_GetRaisedException());
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
    PyErr_SetRaisedException(failed.release());
    return false;
  }
  return true;
}

bool lose(PyObject* self, bool mark) {
  AsyncState& s = async_of(self);
  const LinkState was = s.link.state();
  FirstError error;
  if (!teardown(s)) error.keep();
  if (was == LinkState::LoggingIn) {
    raise_lost("Login", s.link.login_tag().value_or(0), false);
    if (!login_answered(self, {})) error.keep();
  } else {
    const bool marked = mark && was == LinkState::Up;
    (void)s.link.advance(Clock::now(), LinkInput::Kind::Lost);
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
