#pragma once
// Calling a method, or looking up an attribute, by a name the code spells. The C API's calls
// that take the name as a C string (PyObject_CallMethod, PyObject_GetAttrString) make a str of
// it for every call: an allocation, and a copy at a new address each time, which the
// interpreter's method cache (it keys names by their address) holds on to until its slot is
// taken again. Repeated per request or per reconnect, such calls fill that cache with copies
// and push out what the program's own code had there. The names here are made once, interned,
// and kept for the process.
#include "binding/ref.hpp"

namespace qv::py {

// The interned str of `name`, a string literal (told apart by its address): made on first use
// and kept for the process. Borrowed; null with the error set.
PyObject* attribute_name(const char* name) noexcept;

// obj.name(...), the arguments given as PyObject_CallMethod() takes them (`format` as for
// Py_BuildValue, or null for none). A new reference, or null with the error set.
template <class... Args>
Ref call_method(PyObject* obj, const char* name, const char* format, Args... args) {
  PyObject* interned = attribute_name(name);
  if (!interned) return {};
  Ref method = Ref::steal(PyObject_GetAttr(obj, interned));
  if (!method) return {};
  return Ref::steal(PyObject_CallFunction(method.get(), format, args...));
}

// obj.name(arg), or obj.name() for a null `arg`, for a name interned already (one the caller
// keeps, from attribute_name(), for a call made per request): no bound method is made. A new
// reference, or null with the error set.
inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg = nullptr) {
  PyObject* args[] = {obj, arg};
  return Ref::steal(PyObject_VectorcallMethod(
      name, args, (arg ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name, a new reference, or null with the error set.
inline Ref get_attribute(PyObject* obj, const char* name) {
  PyObject* interned = attribute_name(name);
  return interned ? Ref::steal(PyObject_GetAttr(obj, interned)) : Ref();
}

}  // namespace qv::py
