// Session's requests: one call into the connection registers, tags, sends and waits; what
// runs with the interpreter between the slices of the wait is the CallHooks'.
#include <algorithm>
#include <thread>
#include <vector>

#include "binding/errors.hpp"
#include "net/os_error.hpp"
#include "session/core/fork_generation.hpp"
#include "session/py_received.hpp"
#include "session/requests.hpp"
#include "session/sync_session.hpp"
#include "session/wire_log.hpp"

namespace qv::py {

namespace {

// The events the connection queues between a thread's read and its return to Python, where
// they are handed on: a wait (for a reply too) comes back for them once this many are queued.
constexpr std::size_t kStagedEvents = 4096;

LinkConfig link_config(const SessionSettings& s) {
  return {s.server, s.port, s.username, s.timeout, s.reconnect_attempts, s.reconnect_delay,
          s.reconnect_max_delay};
}

}  // namespace

SessionState::SessionState(SessionSettings given)
    : settings(std::move(given)),
      // A receive brings at most one line per byte on top.
      connection(link_config(settings), settings.max_line, kStagedEvents + kSessionReceiveBytes,
                 kStagedEvents),
      events(*this, settings.max_events, kStagedEvents + kSessionReceiveBytes,
             settings.resource_key, telemetry),
      fork_generation(qv::fork_generation()) {}

void SessionState::refill(EventList& inbound) {
  for (QueuedEvent& e : connection.take_events()) (void)inbound.push(std::move(e.in));
}

bool SessionState::trace(const Incoming& in) {
  // Asked once per hand-on would do; once per line costs a dict look-up.
  const int on = wire_log::tracing();
  if (on < 0) return false;
  return on == 0 || wire_log::lines(settings.server, settings.port, false, in.text);
}

SteadyTime deadline_after(std::optional<double> limit) {
  if (!limit) return kNoDeadline;
  const auto span = std::chrono::duration_cast<SteadyClock::duration>(
      std::chrono::duration<double>(std::min(*limit, 1e9)));
  return SteadyClock::now() + span;
}

WithoutInterpreter::~WithoutInterpreter() {
  // A daemon thread coming back while the interpreter exits would be ended inside
  // PyEval_RestoreThread, by an unwind no C++ frame here may pass (the process would
  // abort): it sleeps instead until the process is gone.
  while (interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::hours(1));
  PyEval_RestoreThread(state_);
}

void CallHooks::release() noexcept { saved_ = PyEval_SaveThread(); }

void CallHooks::reacquire() noexcept {
  while (interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::hours(1));  // as above
  PyEval_RestoreThread(saved_);
}

bool CallHooks::check_signals() { return PyErr_CheckSignals() == 0; }

bool CallHooks::between() {
  if (!check_signals()) return false;
  // The events read meanwhile are handed on, so that the connection reads on past them. Not
  // while this thread logs in: a predicate could not use the session then.
  return !boxes_ || s_.events.pump();
}

bool CallHooks::sent(std::string_view wire) {
  s_.counts.requests += static_cast<std::uint64_t>(std::count(wire.begin(), wire.end(), '\n'));
  if (boxes_) s_.request_marker.note(s_.events.position());
  s_.tracing = wire_log::tracing();  // once per request: its reply is traced by it too
  if (s_.tracing <= 0) return s_.tracing == 0;
  // A handler may make a request of its own, which reuses the buffer `wire` is in.
  const std::string lines(wire);
  return wire_log::lines(s_.settings.server, s_.settings.port, true, lines);
}

void CallHooks::tagged(std::span<const PendingReply> replies) {
  if (!boxes_) return;  // the Login's: nobody asks for its completion
  boxes_->clear();
  for (const PendingReply& reply : replies) boxes_->add(s_.events.expect_completion(reply.tag));
}

void SessionState::handed_on() { connection.wake_event_waiters(); }

bool usable(const SessionState& s) {
  if (s.fork_generation != fork_generation()) {
    raise_forked();
    return false;
  }
  if (s.closed()) {
    raise_closed();
    return false;
  }
  return true;
}

bool sleep_released(SessionState& s, SteadyTime until) {
  for (;;) {
    const SteadyTime now = SteadyClock::now();
    if (now >= until) return true;
    bool open;
    {
      WithoutInterpreter released;
      open = s.connection.pause(std::min<SteadyTime>(until, now + kWaitSlice));
    }
    if (!open) {
      raise_closed();
      return false;
    }
    if (PyErr_CheckSignals() < 0) return false;
  }
}

namespace {

const char* hold_text(SendHold hold) {
  switch (hold) {
    case SendHold::OtherSender:
      return "another thread's line is still being sent, as the server does not read; this "
             "one was not sent: try it again later";
    case SendHold::NotRead: return "the server does not read; it was not sent: try it again later";
    case SendHold::TooSlow:
      return "the server reads, but too slowly to take all of it in time; it was cut short, so "
             "the connection was given up: give a longer timeout";
    case SendHold::StoppedReading:
      return "the server stopped reading; it was cut short, so the connection was given up";
  }
  return "";
}

// The outcome of one request as the caller sees it: the Reply, or null with the error.
Ref outcome(SessionState& s, PendingReply& reply, std::string_view word,
            std::optional<double> limit, std::shared_ptr<CompletionBox> box) {
  switch (reply.state) {
    case PendingReply::State::Waiting: raise_timeout(word, reply.tag, limit); return {};
    case PendingReply::State::Lost: raise_lost(word, reply.tag, s.closed()); return {};
    case PendingReply::State::Replied: break;
  }
  ++s.counts.replies;
  if (s.tracing > 0 && !wire_log::lines(s.settings.server, s.settings.port, false, reply.text))
    return {};
  return checked_reply(s.settings, word, make_reply(reply.tag, reply.text, std::move(box)));
}

// The requests' exchange; `tags` gets the tags they were sent under.
Ref exchange_lines(SessionState& s, std::span<const std::string_view> lines,
                   std::span<const std::string_view> words, std::optional<double> limit,
                   bool batch, std::vector<std::uint64_t>& tags) {
  const Deadline deadline = deadline_of(limit);
  if (!usable(s)) return {};
  const std::size_t count = lines.size();
  if (batch && count == 0) return Ref::steal(PyList_New(0));
  PendingReply one;
  std::vector<PendingReply> many(batch ? count : 0);
  const std::span<PendingReply> replies = batch ? std::span<PendingReply>(many)
                                                : std::span<PendingReply>(&one, 1);
  WireLine lease;
  LineBuffer& wire = lease.get();
  Exchange done;
  CompletionBoxes boxes;
  // A connection lost between connecting and sending (or found closed by the server just
  // before) sent nothing: connected again, the request goes.
  for (int round = 0;; ++round) {
    const bool was_up = s.connection.up();
    if (!ensure_connected(s, deadline)) return {};
    // Connecting again (on_reconnect above all) may have taken the whole limit: a line sent
    // now would be answered after the caller gave up.
    if (!was_up && deadline.at != kNoDeadline && SteadyClock::now() >= deadline.at) {
      raise_not_sent_in_time(words[0], limit);
      return {};
    }
    boxes.clear();
    CallHooks hooks(s, &boxes);
    done = s.connection.exchange(lines, replies, wire, deadline.at, hooks);
    if (done.outcome != Exchange::Outcome::NotConnected || round == 2) break;
  }
  if (s.telemetry.on())
    for (const PendingReply& r : replies) tags.push_back(r.tag);
  const std::string_view first = words[0];
  switch (done.outcome) {
    case Exchange::Outcome::Done: break;
    case Exchange::Outcome::NotConnected:
      if (s.closed()) {
        raise_lost(first, replies[0].tag, true);
      } else {
        raise_not_sent_lost(first);
      }
      return {};
    case Exchange::Outcome::Stopped: return {};
    case Exchange::Outcome::Reentrant:
      PyErr_SetString(PyExc_RuntimeError,
                      "this thread is sending a line on the session already (the call came "
                      "from a signal handler or a log handler that ran meanwhile): it would "
                      "wait for itself; make the request after that send is over");
      return {};
    case Exchange::Outcome::SendFailed:
      set_error(PyExc_ConnectionError, "the connection was lost while sending " +
                                           std::string(first) + " (tag " +
                                           std::to_string(replies[0].tag) + "): " +
                                           os_error_text(done.err));
      return {};
    case Exchange::Outcome::SendTimedOut:
      raise_send_timeout(first, replies[0].tag, limit, hold_text(done.hold));
      return {};
  }
  // The events read meanwhile are handed on now: the window keeps to max_events, and the
  // subscriptions get theirs, however long the program only makes requests. (From inside a
  // hand-on, a predicate's request, this does nothing: the one under way goes on after it.)
  if (s.connection.events_queued() && !s.events.pump()) return {};
  if (!batch) return outcome(s, one, first, limit, boxes.take(0));
  // Every reply is collected before any failure is raised.
  Ref results = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!results) return {};
  Ref first_failure;
  for (std::size_t i = 0; i < count; ++i) {
    Ref r = outcome(s, replies[i], words[i], limit, boxes.take(i));
    if (!r) {
      if (!PyErr_ExceptionMatches(server_error_class())) return {};
      Ref failure = Ref::steal(take_raised_exception());
      if (!first_failure) first_failure = std::move(failure);
      continue;
    }
    list_fill(results.get(), static_cast<Py_ssize_t>(i), r.release());
  }
  if (first_failure) {
    set_raised_exception(first_failure.release());
    return {};
  }
  return results;
}

}  // namespace

Ref request_lines(SessionState& s, std::span<const std::string_view> lines,
                  std::span<const std::string_view> words, std::optional<double> limit,
                  bool batch) {
  std::vector<std::uint64_t> tags;
  if (!s.telemetry.on()) return exchange_lines(s, lines, words, limit, batch, tags);
  Ref spans;  // started before the send, in the caller's context; the tags come later
  if (!s.telemetry.requests_started(words, {}, spans)) return {};
  Ref result = exchange_lines(s, lines, words, limit, batch, tags);
  return Telemetry::requests_ended(std::move(spans), tags, std::move(result));
}

}  // namespace qv::py
