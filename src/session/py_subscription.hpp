#pragma once
// Subscription and AsyncSubscription: what subscribe() and events() return. A context manager
// (leaving it unsubscribes) and an iterator over the events the subscription takes, with its
// own bounded queue (see event_pipeline.hpp). What is common to both lives here; how a step
// waits is each session class's own.
#include <cstddef>
#include <optional>
#include <vector>

#include "binding/ref.hpp"
#include "session/event_pipeline.hpp"

namespace qv::py {

// The max_pending of a subscription that does not give one.
inline constexpr std::size_t kDefaultMaxPending = 10000;

struct SubscriptionClassTraits {
  const char* name;  // "builtins.Subscription"
  const char* doc;
  std::vector<PyType_Slot> stepping;  // tp_iternext, or am_aiter and am_anext
  std::vector<PyMethodDef> methods;   // get()
  // Called when the subscription ends while a step of it may wait (AsyncSession: that wait
  // ends); null when there is nothing to do.
  void (*ended)(SubscriptionObject* sub);
};

PyTypeObject* make_subscription_class(const SubscriptionClassTraits& traits);
// The classes made so far (Subscription, AsyncSubscription once both session classes are).
std::vector<PyTypeObject*> subscription_classes();

// A new subscription, subscribed to `pipeline` (the session's) at once.
Ref new_subscription(PyTypeObject* type, PyObject* session, EventPipeline& pipeline, PyObject* predicate,
                     std::size_t max_pending, std::optional<double> step_limit, bool take_window);

inline SubscriptionObject* as_subscription(PyObject* self) {
  return reinterpret_cast<SubscriptionObject*>(self);
}

// Raised by a step of a subscription that ended (close(), or leaving its with block).
void raise_subscription_closed();

}  // namespace qv::py
