// AsyncSession's methods on the event side: wait_for(), events(), subscribe(), resource()
// and completion(), and what the subscriptions and resource handles they give do when
// awaited or used with `async with`. The classes are made in py_async_session.cpp.
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "session/async_session.hpp"
#include "session/asyncio_api.hpp"
#include "session/core/fork_generation.hpp"
#include "session/py_subscription.hpp"
#include "session/session_class.hpp"

namespace qv::py {

namespace {

// A step of a subscription: its next event, settled at once or registered. Always an
// awaitable, also when the stream has ended (`iterating`: it raises StopAsyncIteration then).
PyObject* subscription_step(PyObject* subscription, std::optional<double> limit, bool iterating) {
  SubscriptionObject* sub = as_subscription(subscription);
  PyObject* self = sub->session.get();
  AsyncState& s = async_of(self);
  if (iterating && (s.closed() || !sub->pipeline) && s.loop &&
      s.fork_generation == fork_generation()) {
    Ref future = aio::done_future(s.loop.get(), Py_None);
    return future ? make_pending(future.get(), subscription, forget_step, PendingOf::Nothing, 0,
                                 true)
                        .release()
                  : nullptr;
  }
  if (!on_its_loop(s)) return nullptr;
  if (!sub->pipeline) {
    raise_subscription_closed(sub);
    return nullptr;
  }
  if (sub->waiter != 0) {
    PyErr_SetString(PyExc_RuntimeError,
                    "another task is waiting for this subscription's next event: one step at "
                    "a time (await it before the next), or subscribe once per task");
    return nullptr;
  }
  if (!ensure_link(self)) return nullptr;
  EventWait wait;
  wait.kind = EventWait::Kind::Step;
  wait.subscription = Ref::borrow(subscription);
  wait.limit = limit;
  return add_event_wait(self, std::move(wait), subscription, forget_step, iterating);
}

}  // namespace

PyObject* AsyncSession_wait_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  AsyncState& s = async_of(self);
  PyObject* predicate;
  std::optional<double> limit;
  if (!bind_session_call(g_async_sigs, g_async_sigs.wait_for, s.settings, args, nargs, kwnames,
                         predicate, limit) ||
      !check_predicate(predicate) || !on_its_loop(s) || !ensure_link(self))
    return nullptr;
  // Those held are looked at first, the oldest first, then each event as it lands.
  EventWait wait;
  wait.kind = EventWait::Kind::Match;
  wait.predicate = Ref::borrow(predicate);
  wait.limit = limit;
  return add_event_wait(self, std::move(wait), self, forget_pending, false);
}

PyObject* AsyncSession_events(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  AsyncState& s = async_of(self);
  PyObject* none;
  std::optional<double> limit;
  if (!bind_session_call(g_async_sigs, g_async_sigs.events, s.settings, args, nargs, kwnames, none,
                         limit))
    return nullptr;
  if (s.closed()) {
    raise_closed();
    return nullptr;
  }
  if (!s.events.pump()) return nullptr;
  return new_subscription(g_async_subscription_type, self, s.events, nullptr, kDefaultMaxPending,
                          limit, true)
      .release();
}

PyObject* AsyncSession_subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  AsyncState& s = async_of(self);
  PyObject* predicate;
  std::size_t max_pending;
  if (!bind_subscribe(g_async_sigs, args, nargs, kwnames, predicate, max_pending)) return nullptr;
  if (s.fork_generation != fork_generation()) {
    raise_forked();
    return nullptr;
  }
  if (s.closed()) {
    raise_closed();
    return nullptr;
  }
  if (!s.events.pump()) return nullptr;  // what came before it is not its own
  return new_subscription(g_async_subscription_type, self, s.events, predicate, max_pending,
                          std::nullopt, false)
      .release();
}

PyObject* AsyncSession_resource(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  AsyncState& s = async_of(self);
  std::uint32_t resource_id;
  std::size_t max_pending;
  if (!bind_resource(g_async_sigs, args, nargs, kwnames, resource_id, max_pending)) return nullptr;
  if (s.fork_generation != fork_generation()) {
    raise_forked();
    return nullptr;
  }
  if (s.closed()) {
    raise_closed();
    return nullptr;
  }
  if (!s.events.pump()) return nullptr;  // what came before it is not its own
  return new_handle(g_async_resource_type, self, s.events, resource_id, max_pending).release();
}

PyObject* AsyncResource_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  SubscriptionObject* handle = as_subscription(self);
  PyObject* none;
  std::optional<double> limit;
  if (!bind_session_call(g_async_sigs, g_async_sigs.handle_get,
                         async_of(handle->session.get()).settings, args, nargs, kwnames, none,
                         limit))
    return nullptr;
  return subscription_step(self, limit, false);
}

PyObject* AsyncResource_wait_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  SubscriptionObject* handle = as_subscription(self);
  PyObject* session = handle->session.get();
  AsyncState& s = async_of(session);
  PyObject* predicate;
  std::optional<double> limit;
  if (!bind_session_call(g_async_sigs, g_async_sigs.handle_wait_for, s.settings, args, nargs,
                         kwnames, predicate, limit))
    return nullptr;
  if (predicate == Py_None) predicate = nullptr;
  if ((predicate && !check_predicate(predicate)) || !on_its_loop(s)) return nullptr;
  if (!handle->pipeline) {
    raise_subscription_closed(handle);
    return nullptr;
  }
  if (!ensure_link(session)) return nullptr;
  EventWait wait;
  wait.kind = EventWait::Kind::Step;
  wait.matching = true;
  wait.subscription = Ref::borrow(self);
  wait.predicate = Ref::borrow(predicate);
  wait.limit = limit;
  return add_event_wait(session, std::move(wait), self, forget_step, false);
}

PyObject* AsyncSession_completion(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  AsyncState& s = async_of(self);
  PyObject* reply;
  std::optional<double> limit;
  if (!bind_session_call(g_async_sigs, g_async_sigs.completion, s.settings, args, nargs, kwnames,
                         reply, limit) ||
      !on_its_loop(s))
    return nullptr;
  std::shared_ptr<CompletionBox> box = completion_box(reply, s.events);
  if (!box) return nullptr;
  EventWait wait;
  wait.kind = EventWait::Kind::Completion;
  wait.box = std::move(box);
  wait.limit = limit;
  Ref token;
  if (!s.telemetry.completion_started(token)) return nullptr;
  return add_event_wait(self, std::move(wait), self, forget_completion, false, token.get());
}

// `async with` a subscription or handle: entering gives it, leaving ends it.
PyObject* Consumer_aenter(PyObject* self, PyObject*) {
  AsyncState& s = async_of(as_subscription(self)->session.get());
  if (!on_its_loop(s)) return nullptr;
  return done_pending(s, self, self).release();
}

PyObject* Consumer_aexit(PyObject* self, PyObject* const*, Py_ssize_t) {
  close_consumer(self);
  AsyncState& s = async_of(as_subscription(self)->session.get());
  if (!s.loop) Py_RETURN_FALSE;
  return done_pending(s, self, Py_False).release();
}

PyObject* AsyncSubscription_anext(PyObject* self) {
  return subscription_step(self, as_subscription(self)->step_limit, true);
}

PyObject* AsyncSubscription_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  SubscriptionObject* sub = as_subscription(self);
  PyObject* none;
  std::optional<double> limit;
  if (!bind_session_call(g_async_sigs, g_async_sigs.get, async_of(sub->session.get()).settings,
                         args, nargs, kwnames, none, limit))
    return nullptr;
  return subscription_step(self, limit, false);
}

}  // namespace qv::py
