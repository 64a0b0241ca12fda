#include "binding/errors.hpp"

#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>

#include "binding/method_call.hpp"
#include "net/os_error.hpp"
#include "binding/boundary.hpp"

namespace qv::py {

void set_error(PyObject* type, const std::string& message) {
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;  // lives as long as the process
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "An internal failure of quelvant_rs. Derived from BaseException so that a broad\n"
        "`except Exception:` does not hide it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

namespace {

void write_stderr(std::string_view text) noexcept {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // nowhere to report; the exception still carries the message
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void raise_panic(const std::string& message) {
  write_stderr("quelvant_rs: internal failure: " + message + "\n");
  PyObject* type = panic_exception_type();
  if (type) set_error(type, message);
}

void set_error_from_cpp_exception() noexcept {
  // Messages here are fixed texts: building one could fail for the same lack of memory.
  const char* what = "unexpected C++ exception";
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  } catch (const std::length_error&) {  // a size std::string cannot hold
    PyErr_NoMemory();
    return;
  } catch (...) {
  }
  write_stderr("quelvant_rs: internal failure: ");
  write_stderr(what);
  write_stderr("\n");
  if (PyObject* type = panic_exception_type()) PyErr_SetString(type, what);
}

PyObject* os_error_type(int err) {
  switch (err) {
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case EPIPE: return PyExc_BrokenPipeError;
    case EINTR: return PyExc_InterruptedError;
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case EEXIST: return PyExc_FileExistsError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    default: return PyExc_OSError;
  }
}

void raise_os_error_kind(int err) { set_error(os_error_type(err), os_error_text(err)); }

void note_current_exception(std::string_view note) {
  Ref exc = Ref::steal(take_raised_exception());
  if (!exc) return;
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (text) {
    Ref added = call_method(exc.get(), "add_note", "O", text.get());
    if (!added) return;  // that failure is the error now
  }
  set_raised_exception(exc.release());
}

std::string describe_current_exception() {
  Ref exc = Ref::steal(take_raised_exception());
  if (!exc) return "PyErr { type: None, value: None, traceback: None }";
  Ref type_repr = Ref::steal(PyObject_Repr(reinterpret_cast<PyObject*>(Py_TYPE(exc.get()))));
  Ref value_repr = Ref::steal(PyObject_Repr(exc.get()));
  const char* t = type_repr ? utf8_chars(type_repr.get()) : nullptr;
  const char* v = value_repr ? utf8_chars(value_repr.get()) : nullptr;
  if (!t || !v) PyErr_Clear();
  return std::string("PyErr { type: ") + (t ? t : "?") + ", value: " + (v ? v : "?") +
         ", traceback: None }";
}

}  // namespace qv::py
