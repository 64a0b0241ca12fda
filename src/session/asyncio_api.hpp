#pragma once
// The few pieces of asyncio an AsyncSession uses, looked up once (asyncio is imported on the
// first AsyncSession, not with the module), and the calls made through them.
#include "binding/ref.hpp"

namespace qv::py::aio {

// Imports asyncio and looks everything up; false with the error set.
bool init();

// asyncio.get_running_loop(); null with RuntimeError when no loop runs.
Ref running_loop();
// A new asyncio.Future of `loop`.
Ref new_future(PyObject* loop);
// A future of `loop` already resolved with `result`, or with the exception being raised
// (when `result` is null).
Ref done_future(PyObject* loop, PyObject* result);

// fut.done(); -1 with the error set.
int is_done(PyObject* future);
// Resolve a future that is not done; false with the error set.
bool set_result(PyObject* future, PyObject* result);
// ... with an exception.
bool set_exception(PyObject* future, PyObject* exc);
// Marks the future as awaited by a task, as Future.__await__ does before it yields it.
bool mark_blocking(PyObject* future);
// fut.result(): the result, or null with the future's exception set.
Ref result(PyObject* future);
bool cancel(PyObject* future);

// loop.<method>(args...): add_reader, remove_reader, add_writer, remove_writer, call_soon,
// call_later. Null with the error set.
Ref call(PyObject* loop, const char* method, PyObject* a);
Ref call(PyObject* loop, const char* method, PyObject* a, PyObject* b);
// handle.cancel() for a TimerHandle.
bool cancel_handle(PyObject* handle);

PyObject* cancelled_error();  // asyncio.CancelledError, borrowed

}  // namespace qv::py::aio
