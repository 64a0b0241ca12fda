// AsyncSession's waits: the futures of requests, batches and waits for events, their one index
// of deadlines and the timer that follows it, and the one place a waitable gets its outcome.
#include <new>

#include "binding/boundary.hpp"
#include "binding/method_call.hpp"
#include "session/async_session.hpp"
#include "session/asyncio_api.hpp"
#include "session/py_received.hpp"
#include "session/py_subscription.hpp"

namespace qv::py {

namespace {

PyObject* on_timer(PyObject* self, PyObject*);
PyMethodDef g_on_timer = {"_timeouts", method_entry<on_timer>(), METH_NOARGS, nullptr};

Ref seconds_object(Time until) {
  const double left = std::chrono::duration<double>(until - Clock::now()).count();
  return Ref::steal(PyFloat_FromDouble(left > 0 ? left : 0));
}

}  // namespace

Ref callback(PyObject* self, PyMethodDef& def) { return Ref::steal(PyCFunction_New(&def, self)); }

bool loop_call(AsyncState& s, const char* method, PyObject* self, PyMethodDef* def,
               PyObject* first) {
  Ref cb;
  if (def) {
    cb = callback(self, *def);
    if (!cb) return false;
  }
  Ref done = first ? (cb ? aio::call(s.loop.get(), method, first, cb.get())
                         : aio::call(s.loop.get(), method, first))
                   : aio::call(s.loop.get(), method, cb.get());
  return static_cast<bool>(done);
}

Ref call_at(AsyncState& s, Time until, PyObject* self, PyMethodDef& def, PyObject* arg) {
  Ref delay = seconds_object(until);
  Ref cb = callback(self, def);
  if (!delay || !cb) return {};
  if (!arg) return aio::call(s.loop.get(), "call_later", delay.get(), cb.get());
  return call_method(s.loop.get(), "call_later", "OOO", delay.get(), cb.get(), arg);
}

std::optional<Time> deadline_for(std::optional<double> limit) {
  if (!limit) return std::nullopt;
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(std::min(*limit, 1e9)));
}

bool settle(PyObject* future, PyObject* result) {
  Ref exc;
  if (!result) exc = Ref::steal(take_raised_exception());
  const int done = aio::is_done(future);
  if (done < 0) return false;
  if (done) return true;
  return result ? aio::set_result(future, result) : aio::set_exception(future, exc.get());
}

bool arm_timer(PyObject* self) {
  AsyncState& s = async_of(self);
  const std::optional<Time> earliest = s.deadlines.earliest();
  if (!earliest || s.shut) return true;
  if (s.timer && s.timer_at <= *earliest) return true;
  if (s.timer && !aio::cancel_handle(s.timer.get())) return false;
  s.timer = call_at(s, *earliest, self, g_on_timer);
  s.timer_at = *earliest;
  return static_cast<bool>(s.timer);
}

// ---- requests and batches -----------------------------------------------------------------

std::optional<Request> give_up_request(AsyncState& s, std::uint64_t tag) {
  std::optional<Request> request = s.core.settle(tag);
  if (request && !s.out.withdraw(tag)) (void)s.queued.withdraw(tag);
  return request;
}

void reclaim_reply(AsyncState& s, PyObject* reply) {
  if (!PyObject_TypeCheck(reply, reply_class())) return;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(reply_line(reply), &size);
  if (!text) {
    PyErr_Clear();
    return;
  }
  try {
    s.events.offer(Incoming{Incoming::Kind::Line, reply_tag(reply),
                            std::string(text, static_cast<std::size_t>(size)), 0});
  } catch (const std::bad_alloc&) {
    // No memory to keep it: it is lost, as the program gave it up.
  }
}

bool give_up_batch(AsyncState& s, std::uint64_t id) {
  std::optional<Batch> batch = s.batches.take(id);
  if (!batch) return false;
  for (const std::uint64_t tag : batch->tags) (void)give_up_request(s, tag);
  for (Py_ssize_t i = 0; i < list_size(batch->results.get()); ++i)
    reclaim_reply(s, list_item(batch->results.get(), i));
  return true;
}

bool settle_batch_member(PyObject* self, const Request& member, Ref reply) {
  AsyncState& s = async_of(self);
  Batch* batch = s.batches.find(member.batch);
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
  Batch done = *s.batches.take(member.batch);
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

bool fail_request(PyObject* self, const Request& request) {
  if (request.batch != 0) return settle_batch_member(self, request, {});
  if (!request.future) {  // the Login: its connection's waits learn of it their own way
    PyErr_Clear();
    return true;
  }
  return settle(request.future.get(), nullptr);
}

bool fail_lost(PyObject* self, SessionCore<Request>::Table& lost, bool closed_by_program) {
  FirstError error;
  SessionCore<Request>::drain(lost, [&](std::uint64_t tag, Request&& request) {
    raise_lost(request.word.view(), tag, closed_by_program);
    if (!fail_request(self, request)) error.keep();
  });
  return error.restore();
}

// ---- waits for events ---------------------------------------------------------------------

bool AsyncState::still_waiting(std::uint64_t id) {
  EventWait* w = events.find_wait(id);
  const int done = w ? aio::is_done(w->future.get()) : 1;
  if (done == 0) return true;
  if (done < 0) PyErr_Clear();
  // Its task was cancelled: it gets nothing.
  if (std::optional<EventWait> gone = events.take_wait(id); gone && gone->subscription)
    as_subscription(gone->subscription.get())->waiter = 0;
  return false;
}

void AsyncState::settled(std::uint64_t id) {
  std::optional<EventWait> w = events.take_wait(id);
  if (!w) return;
  if (w->subscription) as_subscription(w->subscription.get())->waiter = 0;
  bool ok;
  if (w->error) {
    set_raised_exception(w->error.release());
    ok = settle(w->future.get(), nullptr);
  } else {
    ok = settle(w->future.get(), w->event ? w->event.get() : Py_None);
  }
  if (!ok) PyErr_Clear();  // the loop refused: nothing waits on that future any more
}

PyObject* add_event_wait(PyObject* self, EventWait wait, PyObject* pending_owner,
                         ForgetPending forget, bool iterating, PyObject* token) {
  AsyncState& s = async_of(self);
  Ref future = aio::new_future(s.loop.get());
  if (!future || !Telemetry::end_when_done(token, future.get())) return nullptr;
  wait.future = Ref::borrow(future.get());
  wait.ends_iteration = iterating;
  if (wait.kind == EventWait::Kind::Match)
    wait.unseen = s.events.dropped_since(s.request_marker.last().value_or(0),
                                         wait.unseen_at_least);
  const std::optional<Time> due = deadline_for(wait.limit);
  SubscriptionObject* sub =
      wait.subscription ? as_subscription(wait.subscription.get()) : nullptr;
  const std::uint64_t id = s.events.add_wait(std::move(wait));
  s.events.find_wait(id)->deadline = s.deadlines.add(due, WaitKey{WaitKey::Of::Events, id});
  if (sub) sub->waiter = id;
  // Settled at once when what it waits for is there (and nothing is handed out meanwhile).
  if (!s.events.pump() || !arm_timer(self)) return nullptr;
  return make_pending(future.get(), pending_owner, forget, PendingOf::Waiter, id, iterating)
      .release();
}

// An event handed to a wait whose task will not read it (cancelled in the same loop
// iteration) goes back to its place: the subscription's queue, or the window.
void put_back_event(AsyncState& s, PyObject* future, SubscriptionObject* sub) {
  if (s.closed()) return;
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
  s.events.put_back(std::move(e), sub);
  if (!s.events.pump()) PyErr_Clear();
}

namespace {

void reclaim(AsyncState& s, PyObject* future) {
  if (s.closed()) return;
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
  if (!s.events.pump()) PyErr_Clear();
}

}  // namespace

void forget_pending(PyObject* self, PendingOf of, std::uint64_t key, PyObject* future) {
  AsyncState& s = async_of(self);
  switch (of) {
    // Given up, its future is never settled: cancelled, so that its telemetry ends.
    case PendingOf::Request:
      if (!give_up_request(s, key)) reclaim(s, future);
      else if (s.telemetry.on() && !aio::cancel(future)) PyErr_WriteUnraisable(future);
      break;
    case PendingOf::Batch:
      if (!give_up_batch(s, key)) reclaim(s, future);
      else if (s.telemetry.on() && !aio::cancel(future)) PyErr_WriteUnraisable(future);
      break;
    case PendingOf::Waiter:
      if (!s.events.take_wait(key)) put_back_event(s, future, nullptr);
      break;
    case PendingOf::Nothing: break;
  }
}

void forget_step(PyObject* subscription, PendingOf of, std::uint64_t key, PyObject* future) {
  if (of == PendingOf::Nothing) return;
  SubscriptionObject* sub = as_subscription(subscription);
  AsyncState& s = async_of(sub->session.get());
  if (s.events.take_wait(key)) {
    if (sub->waiter == key) sub->waiter = 0;
    return;
  }
  put_back_event(s, future, sub);
}

void forget_completion(PyObject* self, PendingOf of, std::uint64_t key, PyObject*) {
  if (of != PendingOf::Nothing) (void)async_of(self).events.take_wait(key);
}

void subscription_ended(SubscriptionObject* sub) {
  if (sub->waiter == 0) return;
  AsyncState& s = async_of(sub->session.get());
  std::optional<EventWait> w = s.events.take_wait(sub->waiter);
  sub->waiter = 0;
  if (!w) return;
  if (!w->ends_iteration) raise_subscription_closed(sub);
  if (!settle(w->future.get(), w->ends_iteration ? Py_None : nullptr)) PyErr_Clear();
}

// ---- deadlines ----------------------------------------------------------------------------

namespace {

// The Login got no reply in time: connecting fails, for all who waited.
bool login_timed_out(PyObject* self, std::uint64_t tag) {
  AsyncState& s = async_of(self);
  raise_timeout("Login", tag, s.settings.timeout);
  return login_answered(self, {});
}

bool request_due(PyObject* self, std::uint64_t tag) {
  AsyncState& s = async_of(self);
  std::optional<Request> request = give_up_request(s, tag);
  if (!request) return true;
  if (request->login) return login_timed_out(self, tag);
  raise_timeout(request->word.view(), tag, request->limit);
  return fail_request(self, *request);
}

// The batch fails with the first request still unanswered; the others are let go of, and
// their replies, should they come, are events.
bool batch_due(PyObject* self, std::uint64_t id) {
  AsyncState& s = async_of(self);
  std::optional<Batch> batch = s.batches.take(id);
  if (!batch) return true;
  bool named = false;
  for (const std::uint64_t tag : batch->tags) {
    const std::optional<Request> member = give_up_request(s, tag);
    if (!member) continue;
    if (!named) raise_timeout(member->word.view(), tag, batch->limit);
    named = true;
  }
  if (!named) raise_timeout("the batch", batch->tags.front(), batch->limit);
  return settle(batch->future.get(), nullptr);
}

bool events_due(PyObject* self, std::uint64_t id) {
  AsyncState& s = async_of(self);
  std::optional<EventWait> w = s.events.take_wait(id);
  if (!w) return true;
  if (w->subscription) as_subscription(w->subscription.get())->waiter = 0;
  if (w->ends_iteration) return settle(w->future.get(), Py_None);  // no event in time
  if (w->kind == EventWait::Kind::Completion)
    raise_no_completion(w->box->tag, w->limit);
  else
    raise_no_event(w->limit, w->unseen, w->unseen_at_least, s.settings.max_events);
  return settle(w->future.get(), nullptr);
}

PyObject* on_timer(PyObject* self, PyObject*) {
  AsyncState& s = async_of(self);
  s.timer = {};
  const Time now = Clock::now();
  FirstError error;
  while (const std::optional<WaitKey> due = s.deadlines.take_due(now)) {
    bool ok = true;
    switch (due->of) {
      case WaitKey::Of::Request: ok = request_due(self, due->id); break;
      case WaitKey::Of::Batch: ok = batch_due(self, due->id); break;
      case WaitKey::Of::Events: ok = events_due(self, due->id); break;
    }
    if (!ok) error.keep();
  }
  if (!arm_timer(self)) error.keep();
  if (!error.restore()) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

}  // namespace qv::py
