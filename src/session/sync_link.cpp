// Session's connecting: the thread that needs the connection drives the Link as a blocking
// loop (resolve, connect, log in, pause between attempts), the interpreter lock released
// wherever it waits; other threads wait for it.
#include <algorithm>
#include <system_error>
#include <variant>

#include "binding/errors.hpp"
#include "binding/method_call.hpp"
#include "commands/build_command.hpp"
#include "commands/core/wire_line.hpp"
#include "net/os_error.hpp"
#include "net/socket.hpp"
#include "session/py_received.hpp"
#include "session/requests.hpp"
#include "session/sync_session.hpp"
#include "session/wire_log.hpp"

namespace qv::py {

namespace {

bool log_notes(const SessionState& s, const std::vector<std::string>& notes) {
  for (const std::string& note : notes)
    if (!wire_log::note(wire_log::kInfo, s.settings.server, s.settings.port, note)) return false;
  return true;
}

SteadyTime or_never(const std::optional<LinkTime>& until) { return until.value_or(kNoDeadline); }

SteadyTime slice_end(SteadyTime until) {
  const SteadyTime now = SteadyClock::now();
  return until - now > kWaitSlice ? now + kWaitSlice : until;
}

// The name resolved by a thread of its own, waited for slice by slice: the wait answers
// Ctrl-C and ends at `until` whatever the resolver does. Null with the error set (a signal).
std::optional<LinkInput> resolve(SessionState& s, SteadyTime until) {
  try {
    if (!s.lookup) s.lookup = Lookup::start(s.settings.server);
  } catch (const std::system_error& e) {
    return LinkInput::resolve_failed(ResolveFailure{0, e.code().value(), e.what()});
  }
  for (;;) {
    std::optional<ResolveResult> answer;
    {
      WithoutInterpreter released;
      answer = s.lookup->wait_until(slice_end(until));
    }
    if (answer) {
      s.lookup.reset();
      if (auto* failure = std::get_if<ResolveFailure>(&*answer))
        return LinkInput::resolve_failed(std::move(*failure));
      return LinkInput::resolved(std::move(std::get<std::vector<IpAddress>>(*answer)));
    }
    if (PyErr_CheckSignals() < 0) return std::nullopt;
    if (SteadyClock::now() >= until) return LinkInput(LinkInput::Kind::ResolveTimedOut);
  }
}

// Milliseconds for a connect that ends by `until`: -1 for none, at least 1.
int connect_timeout_ms(SteadyTime until) {
  if (until == kNoDeadline) return -1;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - SteadyClock::now()).count();
  return static_cast<int>(std::clamp<decltype(ms)>(ms, 1, 2'000'000'000));
}

// One address, by `until`, without the interpreter lock; signals are handled with it. The
// link's next input, or nullopt with the error set.
std::optional<LinkInput> connect(SessionState& s, const IpAddress& address, SteadyTime until) {
  for (;;) {
    std::variant<int, OsFailure> connected;
    {
      WithoutInterpreter released;
      auto give_up = [](void*) { return false; };  // signals are handled below, with the lock
      connected = connect_tcp_within(address, s.settings.port, connect_timeout_ms(until),
                                     InterruptCheck{give_up});
    }
    if (const int* fd = std::get_if<int>(&connected)) {
      set_no_delay(*fd);
      {
        WithoutInterpreter released;
        s.connection.attach(*fd);
      }
      return LinkInput(LinkInput::Kind::Connected);
    }
    const OsFailure failure = std::get<OsFailure>(connected);
    if (!failure.interrupted) return LinkInput::connect_failed(failure.err);
    if (PyErr_CheckSignals() < 0) return std::nullopt;
  }
}

// The Login of the connection just made, waited for by `until`; how it ended. What a reply
// that is no good came to (the is_failure judgement, a timeout, a loss) is kept in
// `failure`, to be raised if connecting ends with it. Nullopt with the error set: a signal.
std::optional<LinkInput> log_in(SessionState& s, std::uint64_t tag, SteadyTime until,
                                Ref& failure) {
  Command login(kLoginVariant);
  if (!build_login(login, s.settings.username, s.settings.password)) return std::nullopt;
  LineBuffer text;
  append_command_text(text, login);
  LineBuffer wire;  // not the request buffer: the request that made us connect is in there
  PendingReply reply;
  reply.tag = tag;
  CallHooks hooks(s, nullptr);
  const Exchange done = s.connection.log_in(text.view(), reply, wire, until, hooks);
  LoginEnd end = LoginEnd::Lost;
  switch (done.outcome) {
    case Exchange::Outcome::Stopped: return std::nullopt;
    case Exchange::Outcome::SendTimedOut:
      raise_send_timeout("Login", tag, s.settings.timeout, "the server does not read");
      end = LoginEnd::TimedOut;
      break;
    case Exchange::Outcome::NotConnected:
    case Exchange::Outcome::SendFailed:
    case Exchange::Outcome::Reentrant: raise_lost("Login", tag, s.closed()); break;
    case Exchange::Outcome::Done:
      if (reply.state == PendingReply::State::Waiting) {
        raise_timeout("Login", tag, s.settings.timeout);
        end = LoginEnd::TimedOut;
        break;
      }
      if (reply.state == PendingReply::State::Lost) {
        raise_lost("Login", tag, s.closed());
        break;
      }
      ++s.counts.replies;
      if (s.tracing > 0 &&
          !wire_log::lines(s.settings.server, s.settings.port, false, reply.text))
        return std::nullopt;
      if (checked_reply(s.settings, "Login", make_reply(reply.tag, reply.text)))
        return LinkInput(LinkInput::Kind::LoggedIn);
      end = LoginEnd::Refused;
      break;
  }
  failure = Ref::steal(take_raised_exception());
  s.connection.disconnect(false);  // this connection is no use
  return LinkInput::login_failed(end);
}

// Raises what connecting ended with.
void raise_failure(SessionState& s, const LinkFailure& failure, Ref& login_failure) {
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
      if (login_failure) {
        set_raised_exception(login_failure.release());
      } else {
        raise_lost("Login", 0, s.closed());
      }
      return;
  }
}

// A reconnect's continuity: the new connection's events are held from its Login on, the
// program's on_reconnect runs once it is up, and then the reconnect's mark goes first. False
// with the error set: the hook raised what is no Exception (KeyboardInterrupt, say).
bool run_reconnect_hook(SessionState& s) {
  if (!s.settings.on_reconnect) return true;
  const Ref hook = Ref::borrow(s.settings.on_reconnect.get());
  if (Ref::steal(call_one_arg(hook.get(), s.owner))) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  return wire_log::failed(s.settings.server, s.settings.port, "on_reconnect raised");
}

// Drives the link from `step` until it is up or connecting failed. False with the error set.
bool drive(SessionState& s, LinkStep step) {
  SyncConnection& connection = s.connection;
  // However it ends, the others waiting for this connect wake; a connect given up (a signal)
  // leaves the link down and no socket behind.
  struct Finish {
    SyncConnection& c;
    ~Finish() { c.finish_connect(); }
  } finish{connection};
  // Whatever ends connecting, nothing stays held.
  struct Release {
    EventPipeline& events;
    std::optional<Incoming> mark;
    ~Release() { events.release(std::move(mark)); }
  } release{s.events, std::nullopt};
  Ref login_failure;
  for (;;) {
    if (step.what == LinkStep::Do::LogIn && step.reconnected) s.events.hold();
    if (step.what == LinkStep::Do::Up && step.reconnected) {
      ++s.counts.reconnects;
      release.mark = Incoming{Incoming::Kind::Reconnected, std::nullopt, {}, 0, step.gap};
    }
    if (!log_notes(s, step.notes) || !s.telemetry.follow(step)) return false;
    std::optional<LinkInput> next;
    switch (step.what) {
      case LinkStep::Do::Resolve: next = resolve(s, or_never(step.until)); break;
      case LinkStep::Do::Connect: next = connect(s, step.address, or_never(step.until)); break;
      case LinkStep::Do::LogIn:
        next = log_in(s, step.login_tag, or_never(step.until), login_failure);
        break;
      case LinkStep::Do::Pause:
        if (!sleep_released(s, deadline_after(step.pause))) return false;
        next = LinkInput(LinkInput::Kind::PauseOver);
        break;
      case LinkStep::Do::Up: return !step.reconnected || run_reconnect_hook(s);
      case LinkStep::Do::Fail: raise_failure(s, step.failure, login_failure); return false;
      case LinkStep::Do::Wait:
        raise_panic("connecting: the link asked to wait in the thread that drives it");
        return false;
    }
    if (!next) return false;
    step = connection.advance(std::move(*next));
  }
}

}  // namespace

bool ensure_connected(SessionState& s, const Deadline& deadline) {
  SyncConnection& connection = s.connection;
  if (connection.up()) return true;
  std::optional<CallBound> bound;
  if (deadline.at != kNoDeadline) bound = CallBound{deadline.at, deadline.limit};
  LinkStep first;
  switch (connection.claim(first, bound)) {
    case SyncConnection::Role::Up: return true;
    case SyncConnection::Role::Mine: return drive(s, std::move(first));
    case SyncConnection::Role::Own:
      // is_failure judging the Login of a new connection runs in the thread connecting; a
      // call from it would wait for that very thread.
      PyErr_SetString(PyExc_RuntimeError,
                      "the session is logging in on a new connection, and is_failure was called "
                      "to judge the reply to Login: is_failure cannot use the session then (it "
                      "would wait for itself); let it judge the reply alone");
      return false;
    case SyncConnection::Role::Other: break;
  }
  for (;;) {
    WaitOutcome waited;
    {
      WithoutInterpreter released;
      waited = connection.wait_connecting(slice_end(deadline.at));
    }
    if (waited == WaitOutcome::Ready) break;
    if (PyErr_CheckSignals() < 0) return false;
    if (deadline.at != kNoDeadline && SteadyClock::now() >= deadline.at) {
      set_error(PyExc_TimeoutError,
                Link::reconnect_timeout_text(deadline.limit, "another thread was still connecting"));
      return false;
    }
  }
  if (connection.up()) return true;
  if (s.closed()) {
    raise_closed();
    return false;
  }
  PyErr_SetString(PyExc_ConnectionError,
                  "the connection was lost, and reconnecting failed (in another thread)");
  return false;
}

}  // namespace qv::py
