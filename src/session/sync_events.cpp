// Session's waits for events: wait_for() and a subscription's steps. A thread that waits
// hands on what the connection read (EventPipeline::pump), and reads when nobody else does.
#include "binding/errors.hpp"
#include "session/core/fork_generation.hpp"
#include "session/py_received.hpp"
#include "session/py_subscription.hpp"
#include "session/requests.hpp"
#include "session/sync_session.hpp"

namespace qv::py {

namespace {

enum class Waited : std::uint8_t { Ready, Timeout, Error, Disconnected };

// Until something happened on the connection since `seen`, or `deadline`, slice by slice
// with the lock released, answering signals.
Waited wait_released(SessionState& s, SteadyTime deadline, std::uint64_t& seen) {
  for (;;) {
    const SteadyTime now = SteadyClock::now();
    const SteadyTime slice = deadline - now > kWaitSlice ? now + kWaitSlice : deadline;
    WaitOutcome outcome;
    {
      WithoutInterpreter released;
      outcome = s.connection.wait_event(slice, seen);
    }
    if (outcome == WaitOutcome::Ready) return Waited::Ready;
    if (outcome == WaitOutcome::Disconnected) return Waited::Disconnected;
    if (PyErr_CheckSignals() < 0) return Waited::Error;
    if (SteadyClock::now() >= deadline) return Waited::Timeout;
  }
}

void raise_cannot_wait(const char* what) {
  set_error(PyExc_RuntimeError,
            std::string(what) +
                " cannot wait here: it was called while this thread hands events on (from a "
                "predicate, or a handler of the wire trace), and nothing it could take is "
                "held; wait outside that code, or subscribe before sending the command");
}

// The wait_for() registered under `id` leaves the pipeline however the call ends; an event it
// was given and did not return goes back to its place.
class RegisteredWait {
 public:
  RegisteredWait(EventPipeline& events, std::uint64_t id) : events_(events), id_(id) {}
  ~RegisteredWait() {
    std::optional<EventWait> w = events_.take_wait(id_);
    if (w && w->event) put_back(std::move(w->event));
  }
  RegisteredWait(const RegisteredWait&) = delete;
  RegisteredWait& operator=(const RegisteredWait&) = delete;

  // Its outcome, once settled: the event, or null with its error set.
  std::optional<Ref> outcome() {
    EventWait* w = events_.find_wait(id_);
    if (!w || !w->settled) return std::nullopt;
    std::optional<EventWait> done = events_.take_wait(id_);
    if (done->error) set_raised_exception(done->error.release());
    return std::move(done->event);
  }

 private:
  void put_back(Ref event) {
    HeldEvent e;
    e.in.kind = event_is_reconnect(event.get()) ? Incoming::Kind::Reconnected : Incoming::Kind::Line;
    e.seq = event_seq(event.get());
    e.event = std::move(event);
    events_.put_back(std::move(e), nullptr);
  }

  EventPipeline& events_;
  std::uint64_t id_;
};

// A stream met the loss of the connection: it goes on once connected again (the reconnect
// is marked in it), when the session reconnects; else it ends with ConnectionError. False
// with the error set.
bool stream_reconnect(SessionState& s, const Deadline& deadline) {
  if (s.settings.reconnect_attempts == 0) {
    raise_events_lost();
    return false;
  }
  return ensure_connected(s, deadline);
}

// Connecting again took all the time there was: for an iteration, no event came within it.
Ref end_of_time(bool iterating, const Deadline& deadline) {
  if (iterating && SteadyClock::now() >= deadline.at && PyErr_ExceptionMatches(PyExc_TimeoutError))
    PyErr_Clear();
  return {};
}

}  // namespace

Ref wait_for_event(SessionState& s, PyObject* predicate, std::optional<double> limit) {
  const Deadline deadline = deadline_of(limit);
  if (!usable(s) || !ensure_connected(s, deadline)) return {};
  if (s.events.pumping_here()) {
    // Called from a predicate or a trace handler: what is held is all it can see.
    std::uint64_t from = 0;
    Taken taken = s.events.take_match(predicate, from);
    if (taken.found || PyErr_Occurred()) return std::move(taken.event);
    raise_cannot_wait("wait_for");
    return {};
  }
  // Those held first, the oldest first; then every event the window gets, offered to it as
  // it lands, by whichever thread hands it on (so none slips past it however many come).
  // What it can no longer see: events since this thread's last request that the window
  // dropped before now (said if nothing comes).
  bool at_least = false;
  const std::uint64_t unseen =
      s.events.dropped_since(s.request_marker.last().value_or(0), at_least);
  EventWait wait;
  wait.kind = EventWait::Kind::Match;
  wait.predicate = Ref::borrow(predicate);
  RegisteredWait registered(s.events, s.events.add_wait(std::move(wait)));
  for (bool disconnected = false;;) {
    std::uint64_t seen = s.connection.event_generation();
    if (!s.events.pump()) return {};
    if (auto done = registered.outcome()) return std::move(*done);
    if (s.closed()) {
      raise_closed();
      return {};
    }
    if (disconnected) {  // gone without a mark: no waiting on it
      raise_events_lost();
      return {};
    }
    const Waited waited = wait_released(s, deadline.at, seen);
    if (waited == Waited::Error) return {};
    if (waited == Waited::Timeout) {
      if (!s.events.pump()) return {};
      if (auto done = registered.outcome()) return std::move(*done);
      raise_no_event(limit, unseen, at_least, s.settings.max_events);
      return {};
    }
    disconnected = waited == Waited::Disconnected;
  }
}

Ref wait_completion(SessionState& s, CompletionBox& box, std::optional<double> limit) {
  const Deadline deadline = deadline_of(limit);
  Ref event;
  for (;;) {
    std::uint64_t seen = s.connection.event_generation();
    if (!s.events.pump()) return {};
    if (EventPipeline::completion_of(box, event)) return event;
    if (s.closed()) {
      raise_closed();
      return {};
    }
    if (s.events.pumping_here()) {
      raise_cannot_wait("completion");
      return {};
    }
    const Waited waited = wait_released(s, deadline.at, seen);
    if (waited == Waited::Error) return {};
    if (waited == Waited::Disconnected || waited == Waited::Timeout) {
      if (!s.events.pump()) return {};
      if (EventPipeline::completion_of(box, event)) return event;
      // No connection: none can come on the one the request went out on.
      if (waited == Waited::Disconnected) {
        raise_events_lost();
        return {};
      }
      raise_no_completion(box.tag, limit);
      return {};
    }
  }
}

Ref handle_wait_for(SubscriptionObject* handle, PyObject* predicate, std::optional<double> limit) {
  SessionState& s = state_of(handle->session.get());
  const Deadline deadline = deadline_of(limit);
  if (!usable(s)) return {};
  std::uint64_t from = 0;
  for (;;) {
    if (!handle->pipeline) {
      raise_subscription_closed(handle);
      return {};
    }
    std::uint64_t seen = s.connection.event_generation();
    Taken taken = EventPipeline::take_match(handle->queue, predicate, from);
    if (taken.found || PyErr_Occurred()) return std::move(taken.event);
    if (!s.events.pump()) return {};
    taken = EventPipeline::take_match(handle->queue, predicate, from);
    if (taken.found || PyErr_Occurred()) return std::move(taken.event);
    if (s.closed()) {
      raise_closed();
      return {};
    }
    if (s.events.pumping_here()) {
      raise_cannot_wait("a resource's wait_for");
      return {};
    }
    if (!ensure_connected(s, deadline)) return {};
    const Waited waited = wait_released(s, deadline.at, seen);
    if (waited == Waited::Error) return {};
    if (waited == Waited::Timeout) {
      if (!s.events.pump()) return {};
      taken = EventPipeline::take_match(handle->queue, predicate, from);
      if (taken.found || PyErr_Occurred()) return std::move(taken.event);
      raise_no_event(limit);
      return {};
    }
  }
}

Ref next_event(SubscriptionObject* sub, std::optional<double> limit, bool iterating) {
  SessionState& s = state_of(sub->session.get());
  if (s.fork_generation != fork_generation()) {
    raise_forked();
    return {};
  }
  const auto ended = [&]() -> Ref {
    if (iterating) return {};
    if (s.closed())
      raise_closed();
    else
      raise_subscription_closed(sub);
    return {};
  };
  std::optional<Deadline> deadline;
  for (;;) {
    if (s.closed() || !sub->pipeline) return ended();
    std::uint64_t seen = s.connection.event_generation();
    // What it holds came before anything the connection queued since.
    SubscriptionStep step = take_next(sub);
    if (step.kind == SubscriptionStep::Kind::Empty) {
      if (!s.events.pump()) return {};
      if (!sub->pipeline) return ended();
      step = take_next(sub);
    }
    if (step.kind == SubscriptionStep::Kind::Event) return std::move(step.event);
    if (step.kind == SubscriptionStep::Kind::Error) return {};
    if (!deadline) deadline = deadline_of(limit);
    if (step.kind == SubscriptionStep::Kind::Lost) {
      if (!stream_reconnect(s, *deadline)) return end_of_time(iterating, *deadline);
      continue;  // the reconnect's mark comes next
    }
    if (s.events.pumping_here()) {
      raise_cannot_wait("a subscription's step");
      return {};
    }
    if (!ensure_connected(s, *deadline)) return end_of_time(iterating, *deadline);
    const Waited waited = wait_released(s, deadline->at, seen);
    if (waited == Waited::Error) return {};
    if (waited == Waited::Timeout) {
      if (!s.events.pump()) return {};
      if (!sub->queue.empty()) continue;
      if (iterating) return {};
      raise_no_event(limit);
      return {};
    }
    // Disconnected: what it left is taken next, and connecting again is tried there.
  }
}

}  // namespace qv::py
