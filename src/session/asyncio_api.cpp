#include "session/asyncio_api.hpp"

#include <string_view>

#include "binding/method_call.hpp"

namespace qv::py::aio {

namespace {

// Kept for the life of the process, as the module's classes are; the names are attribute_name()'s,
// held here so that a call per request looks none up.
PyObject* g_future_type = nullptr;
PyObject* g_get_running_loop = nullptr;
PyObject* g_cancelled_error = nullptr;
PyObject* g_loop_kwnames = nullptr;  // ("loop",)
PyObject* g_blocking = nullptr;      // "_asyncio_future_blocking"
PyObject* g_done = nullptr;
PyObject* g_set_result = nullptr;
PyObject* g_set_exception = nullptr;
PyObject* g_result = nullptr;
PyObject* g_cancel = nullptr;

}  // namespace

bool init() {
  if (g_future_type) return true;
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return false;
  PyObject* future_type = PyObject_GetAttrString(asyncio.get(), "Future");
  PyObject* get_running_loop = PyObject_GetAttrString(asyncio.get(), "get_running_loop");
  PyObject* cancelled = PyObject_GetAttrString(asyncio.get(), "CancelledError");
  g_loop_kwnames = Py_BuildValue("(s)", "loop");
  g_blocking = attribute_name("_asyncio_future_blocking");
  g_done = attribute_name("done");
  g_set_result = attribute_name("set_result");
  g_set_exception = attribute_name("set_exception");
  g_result = attribute_name("result");
  g_cancel = attribute_name("cancel");
  if (!future_type || !get_running_loop || !cancelled || !g_loop_kwnames || !g_blocking ||
      !g_done || !g_set_result || !g_set_exception || !g_result || !g_cancel)
    return false;
  g_get_running_loop = get_running_loop;
  g_cancelled_error = cancelled;
  g_future_type = future_type;  // last: the mark that everything is in place
  return true;
}

Ref running_loop() { return Ref::steal(PyObject_CallNoArgs(g_get_running_loop)); }

Ref new_future(PyObject* loop) {
  PyObject* args[] = {nullptr, loop};
  return Ref::steal(PyObject_Vectorcall(g_future_type, args + 1,
                                        0 | PY_VECTORCALL_ARGUMENTS_OFFSET, g_loop_kwnames));
}

Ref done_future(PyObject* loop, PyObject* result) {
  Ref exc;
  if (!result) exc = Ref::steal(take_raised_exception());
  Ref future = new_future(loop);
  if (!future) return {};
  if (!(result ? set_result(future.get(), result) : set_exception(future.get(), exc.get())))
    return {};
  return future;
}

int is_done(PyObject* future) {
  Ref done = call_method(future, g_done, nullptr);
  return done ? PyObject_IsTrue(done.get()) : -1;
}

bool set_result(PyObject* future, PyObject* result) {
  return static_cast<bool>(call_method(future, g_set_result, result));
}

bool set_exception(PyObject* future, PyObject* exc) {
  return static_cast<bool>(call_method(future, g_set_exception, exc));
}

bool mark_blocking(PyObject* future) {
  return PyObject_SetAttr(future, g_blocking, Py_True) == 0;
}

Ref result(PyObject* future) { return call_method(future, g_result, nullptr); }

bool cancel(PyObject* future) { return static_cast<bool>(call_method(future, g_cancel, nullptr)); }

Ref call(PyObject* loop, const char* method, PyObject* a) {
  return call_method(loop, method, "O", a);
}

Ref call(PyObject* loop, const char* method, PyObject* a, PyObject* b) {
  return call_method(loop, method, "OO", a, b);
}

bool cancel_handle(PyObject* handle) {
  return static_cast<bool>(call_method(handle, g_cancel, nullptr));
}

PyObject* cancelled_error() { return g_cancelled_error; }

}  // namespace qv::py::aio
