#include "session/py_pending.hpp"

#include <memory>

#include "binding/boundary.hpp"
#include "binding/type_support.hpp"
#include "session/asyncio_api.hpp"

namespace qv::py {

namespace {

struct PendingObject {
  PyObject_HEAD
  Ref future;
  Ref session;
  ForgetPending forget;
  std::uint64_t key;
  PendingOf of;
  bool end_of_iteration;
};

PyTypeObject* g_pending = nullptr;

PendingObject* as_pending(PyObject* self) { return reinterpret_cast<PendingObject*>(self); }

// The session forgets the request or wait, once.
void forget(PendingObject* p) {
  if (p->of == PendingOf::Nothing) return;
  const PendingOf of = p->of;
  p->of = PendingOf::Nothing;
  p->forget(p->session.get(), of, p->key, p->future.get());
}

// One step of the await: the future itself while it is not done (the task then waits on it),
// else its outcome as the end of the iteration.
PyObject* step(PendingObject* p) {
  const int done = aio::is_done(p->future.get());
  if (done < 0) return nullptr;
  if (!done) {
    if (!aio::mark_blocking(p->future.get())) return nullptr;
    return Py_NewRef(p->future.get());
  }
  p->of = PendingOf::Nothing;  // settled: nothing left to forget
  Ref result = aio::result(p->future.get());
  if (!result) return nullptr;
  if (p->end_of_iteration && result.get() == Py_None) {
    PyErr_SetNone(PyExc_StopAsyncIteration);
    return nullptr;
  }
  // StopIteration(result) built explicitly: PyErr_SetObject would unpack a tuple.
  Ref stop = Ref::steal(call_one_arg(PyExc_StopIteration, result.get()));
  if (!stop) return nullptr;
  PyErr_SetObject(PyExc_StopIteration, stop.get());
  return nullptr;
}

PyObject* Pending_await(PyObject* self) { return Py_NewRef(self); }

PyObject* Pending_next(PyObject* self) { return step(as_pending(self)); }

PyObject* Pending_send(PyObject* self, PyObject*) { return step(as_pending(self)); }

// The awaiting task was cancelled, or something else was thrown in: the session lets go of
// the request, the future is cancelled, and what was thrown goes on up.
PyObject* Pending_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  PendingObject* p = as_pending(self);
  if (nargs < 1 || nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "throw expected 1 to 3 arguments");
    return nullptr;
  }
  forget(p);
  if (!aio::is_done(p->future.get()) && !aio::cancel(p->future.get())) return nullptr;
  PyObject* thrown = args[0];
  if (PyExceptionInstance_Check(thrown)) {
    set_raised_exception(Py_NewRef(thrown));
  } else if (PyExceptionClass_Check(thrown)) {
    PyErr_SetObject(thrown, nargs > 1 ? args[1] : Py_None);
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  return nullptr;
}

PyObject* Pending_close(PyObject* self, PyObject*) {
  PendingObject* p = as_pending(self);
  if (p->of != PendingOf::Nothing) {
    forget(p);
    if (!aio::cancel(p->future.get())) return nullptr;
  }
  Py_RETURN_NONE;
}

// A Pending is held by the task that awaits it, which its future holds in turn (through the
// session): it is traversed. Clearing the session or the future breaks such a cycle.
int Pending_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  PendingObject* p = as_pending(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(p->future.get());
  Py_VISIT(p->session.get());
  return 0;
}

void Pending_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  PendingObject* p = as_pending(self);
  // Dropped unawaited: the request goes on (its line is sent); its reply resolves a future
  // nobody reads, which the session then lets go of.
  std::destroy_at(&p->future);
  std::destroy_at(&p->session);
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

PyMethodDef g_methods[] = {
    {"send", method_entry<Pending_send>(), METH_O, "send($self, value, /)\n--\n\n"},
    {"throw", method_entry<Pending_throw>(), METH_FASTCALL,
     "throw($self, typ, val=None, tb=None, /)\n--\n\n"},
    {"close", method_entry<Pending_close>(), METH_NOARGS, "close($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_pending_class() {
  if (g_pending) return true;
  static PyType_Slot slots[] = {
      {Py_tp_new, slot_entry<no_constructor_new>()},
      {Py_tp_dealloc, dealloc_slot<Pending_dealloc>()},
      {Py_tp_traverse, nothrow_slot<Pending_traverse>()},
      {Py_am_await, slot_entry<Pending_await>()},
      {Py_tp_iter, slot_entry<Pending_await>()},
      {Py_tp_iternext, slot_entry<Pending_next>()},
      {Py_tp_methods, g_methods},
      {Py_tp_doc, const_cast<char*>(
                      "A request or wait of an AsyncSession under way: await it for its "
                      "result. Its line is sent already.")},
      {0, nullptr},
  };
  PyType_Spec shape = {"builtins.Pending", sizeof(PendingObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, slots};
  g_pending = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&shape));
  return g_pending != nullptr;
}

Ref make_pending(PyObject* future, PyObject* session, ForgetPending forget_fn, PendingOf of,
                 std::uint64_t key, bool end_of_iteration) {
  Ref self = Ref::steal(type_alloc(g_pending));
  if (!self) return {};
  PendingObject* p = as_pending(self.get());
  std::construct_at(&p->future, Ref::borrow(future));
  std::construct_at(&p->session, Ref::borrow(session));
  p->forget = forget_fn;
  p->key = key;
  p->of = of;
  p->end_of_iteration = end_of_iteration;
  return self;
}

}  // namespace qv::py
