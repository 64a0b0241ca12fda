#include "session/py_subscription.hpp"

#include <algorithm>
#include <memory>
#include <string>

#include "binding/boundary.hpp"
#include "binding/type_support.hpp"
#include "session/session_class.hpp"

namespace qv::py {

namespace {

// One per class: the hook of each (two classes, made once each).
struct ClassHooks {
  PyTypeObject* type;
  void (*ended)(SubscriptionObject*);
};
ClassHooks g_hooks[4] = {};  // Subscription, AsyncSubscription, Resource, AsyncResource

void (*ended_hook(PyObject* self))(SubscriptionObject*) {
  for (const ClassHooks& h : g_hooks)
    if (h.type == Py_TYPE(self)) return h.ended;
  return nullptr;
}

PyObject* Resource_get_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_subscription(self)->resource_id);
}

void end_subscription(PyObject* self) {
  SubscriptionObject* sub = as_subscription(self);
  if (!sub->pipeline) return;
  sub->pipeline->unsubscribe(sub);
  if (auto ended = ended_hook(self)) ended(sub);
}

PyObject* Subscription_close(PyObject* self, PyObject*) {
  end_subscription(self);
  Py_RETURN_NONE;
}

PyObject* Subscription_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* Subscription_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  end_subscription(self);
  Py_RETURN_FALSE;
}

PyObject* Subscription_get_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_subscription(self)->pipeline == nullptr);
}

PyObject* Subscription_get_pending(PyObject* self, void*) {
  return PyLong_FromSize_t(as_subscription(self)->queue.lines());
}

int Subscription_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  SubscriptionObject* sub = as_subscription(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(sub->session.get());
  Py_VISIT(sub->predicate.get());
  Py_VISIT(sub->failure.get());
  for (HeldEvent& e : sub->queue.entries()) Py_VISIT(e.event.get());
  return 0;
}

int Subscription_clear(PyObject* self) noexcept {
  SubscriptionObject* sub = as_subscription(self);
  // Out of the session's list while the session is still held.
  if (sub->pipeline) sub->pipeline->unsubscribe(sub);
  Ref session = std::move(sub->session);
  Ref predicate = std::move(sub->predicate);
  Ref failure = std::move(sub->failure);
  sub->queue.clear();
  return 0;
}

void Subscription_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  SubscriptionObject* sub = as_subscription(self);
  // Dropped by the program: it takes nothing more, and what it held goes back.
  if (sub->pipeline) sub->pipeline->unsubscribe(sub);
  std::destroy_at(&sub->queue);
  std::destroy_at(&sub->failure);
  std::destroy_at(&sub->predicate);
  std::destroy_at(&sub->resource);
  std::destroy_at(&sub->step_limit);
  std::destroy_at(&sub->session);
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

PyGetSetDef g_getset[] = {
    {"closed", entry<Subscription_get_closed>, nullptr, nullptr, nullptr},
    {"pending", entry<Subscription_get_pending>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyGetSetDef resource_id_getter() {
  return {"id", entry<Resource_get_id>, nullptr, documented("Resource.id"), nullptr};
}

void close_consumer(PyObject* self) { end_subscription(self); }

void raise_subscription_closed(const SubscriptionObject* sub) {
  PyErr_SetString(PyExc_RuntimeError,
                  sub && !sub->resource.empty()
                      ? "the resource handle is closed: it takes no events any more; make "
                        "another with resource()"
                      : "the subscription is closed: it takes no events any more; subscribe "
                        "again");
}

PyTypeObject* make_subscription_class(const SubscriptionClassTraits& traits) {
  // Types keep pointers into these: they live as long as the process, as the types do.
  auto* methods = new std::vector<PyMethodDef>(traits.methods);
  const std::string_view full(traits.name);
  const std::string owner(full.substr(full.find('.') + 1));  // "Subscription"
  methods->push_back(method(owner.c_str(), "close", method_entry<Subscription_close>(),
                            METH_NOARGS, "close($self, /)"));
  methods->push_back({"__enter__", method_entry<Subscription_enter>(), METH_NOARGS,
                      documented("consumer.__enter__")});
  methods->push_back({"__exit__", method_entry<Subscription_exit>(), METH_FASTCALL,
                      documented("consumer.__exit__")});
  methods->push_back({nullptr, nullptr, 0, nullptr});
  std::vector<PyType_Slot> slots = traits.stepping;
  slots.push_back({Py_tp_methods, methods->data()});
  auto* getset = new std::vector<PyGetSetDef>(traits.getset);
  getset->insert(getset->end(), std::begin(g_getset), std::end(g_getset));  // its end mark last
  (*getset)[getset->size() - 3].doc = documented("consumer.closed");
  (*getset)[getset->size() - 2].doc = documented("consumer.pending");
  slots.push_back({Py_tp_getset, getset->data()});
  slots.push_back({Py_tp_doc, const_cast<char*>(documented(owner))});
  slots.push_back({Py_tp_dealloc, dealloc_slot<Subscription_dealloc>()});
  slots.push_back({Py_tp_traverse, nothrow_slot<Subscription_traverse>()});
  slots.push_back({Py_tp_clear, nothrow_slot<Subscription_clear>()});
  slots.push_back({Py_tp_new, slot_entry<no_constructor_new>()});
  slots.push_back({0, nullptr});
  PyType_Spec shape = {traits.name, sizeof(SubscriptionObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
                      slots.data()};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&shape));
  if (!type) return nullptr;
  for (ClassHooks& h : g_hooks) {
    if (!h.type) {
      h = {type, traits.ended};
      break;
    }
  }
  return type;
}

std::vector<PyTypeObject*> subscription_classes() {
  std::vector<PyTypeObject*> made;
  for (const ClassHooks& h : g_hooks)
    if (h.type) made.push_back(h.type);
  return made;
}

namespace {

// A consumer not yet subscribed.
Ref make_consumer(PyTypeObject* type, PyObject* session, PyObject* predicate,
                  std::size_t max_pending, std::optional<double> step_limit) {
  Ref self = Ref::steal(type_alloc(type));
  if (!self) return {};
  SubscriptionObject* sub = as_subscription(self.get());
  std::construct_at(&sub->session, Ref::borrow(session));
  std::construct_at(&sub->predicate, Ref::borrow(predicate));
  std::construct_at(&sub->resource);
  sub->resource_id = 0;
  std::construct_at(&sub->queue, max_pending, Overflow::DropNewest);
  std::construct_at(&sub->step_limit, step_limit);
  std::construct_at(&sub->failure);
  sub->pipeline = nullptr;
  sub->slot = 0;
  sub->waiter = 0;
  return self;
}

}  // namespace

Ref new_subscription(PyTypeObject* type, PyObject* session, EventPipeline& pipeline, PyObject* predicate,
                     std::size_t max_pending, std::optional<double> step_limit, bool take_window) {
  // The window it takes over must fit whole: max_events may be above the default bound.
  if (take_window) max_pending = std::max(max_pending, pipeline.window_limit());
  Ref self = make_consumer(type, session, predicate, max_pending, step_limit);
  if (self) pipeline.subscribe(as_subscription(self.get()), take_window);
  return self;
}

Ref new_handle(PyTypeObject* type, PyObject* session, EventPipeline& pipeline,
               std::uint32_t resource_id, std::size_t max_pending) {
  Ref self = make_consumer(type, session, nullptr, max_pending, std::nullopt);
  if (!self) return {};
  SubscriptionObject* handle = as_subscription(self.get());
  handle->resource = std::to_string(resource_id);
  handle->resource_id = resource_id;
  pipeline.subscribe(handle, false);
  return self;
}

}  // namespace qv::py
