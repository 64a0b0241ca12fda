#pragma once
// The one place where the module meets differences between CPython versions and the limited
// API (the stable ABI). Every other file includes this (through binding/ref.hpp) instead of
// Python.h, and calls the functions below where the C API differs; each says why it exists.
// Built against 3.11, 3.12 or 3.13 headers, or with Py_LIMITED_API for one wheel that loads
// in every later interpreter, the module behaves the same.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#if defined(Py_LIMITED_API)
#include <dlfcn.h>
#endif

// Whether the API compiled against has what CPython `hex` added: the headers' version for a
// version-specific build, the limited API's version for the stable ABI.
#if defined(Py_LIMITED_API)
#define QV_PY_API_AT_LEAST(hex) (Py_LIMITED_API + 0 >= (hex))
#else
#define QV_PY_API_AT_LEAST(hex) (PY_VERSION_HEX >= (hex))
#endif

namespace qv::py {

// --- The error indicator as one exception object -------------------------------------------

// Takes the exception being raised (a new reference, or null when none is). 3.12 keeps one
// object; 3.11 keeps a (type, value, traceback) triple, normalised here into the same object.
inline PyObject* take_raised_exception() noexcept {
#if QV_PY_API_AT_LEAST(0x030C0000)
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Raises `exc` again (stealing the reference); null clears the error indicator.
inline void set_raised_exception(PyObject* exc) noexcept {
#if QV_PY_API_AT_LEAST(0x030C0000)
  PyErr_SetRaisedException(exc);
#else
  if (!exc) {
    PyErr_Clear();
    return;
  }
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
#endif
}

// --- Text -------------------------------------------------------------------------------------

// A str's UTF-8 (cached in the object), or null with the error set. PyUnicode_AsUTF8 is in the
// limited API only from 3.13; the sized form, given no size, is the same function there.
inline const char* utf8_chars(PyObject* text) noexcept {
#if defined(Py_LIMITED_API) && !QV_PY_API_AT_LEAST(0x030D0000)
  return PyUnicode_AsUTF8AndSize(text, nullptr);
#else
  return PyUnicode_AsUTF8(text);
#endif
}

// Whether a str equals an ASCII text; never fails. PyUnicode_EqualToUTF8 is new in 3.13.
inline bool text_equals(PyObject* text, const char* ascii) noexcept {
#if QV_PY_API_AT_LEAST(0x030D0000)
  return PyUnicode_EqualToUTF8(text, ascii) == 1;
#else
  return PyUnicode_CompareWithASCIIString(text, ascii) == 0;
#endif
}

// The UTF-8 of an exact str without a conversion call, for the factories' fast path: false
// when that cannot be had (the caller then takes the general conversion, which raises what
// there is to raise). The object's own ASCII data where the layout is known; the limited API
// hides it, and its cached UTF-8 serves instead.
inline bool cheap_utf8_view(PyObject* exact_text, std::string_view& out) noexcept {
#if defined(Py_LIMITED_API)
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(exact_text, &size);
  if (!data) {
    PyErr_Clear();
    return false;
  }
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
#else
  if (!PyUnicode_IS_ASCII(exact_text)) return false;
  out = std::string_view(static_cast<const char*>(PyUnicode_DATA(exact_text)),
                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(exact_text)));
  return true;
#endif
}

// --- Integers -------------------------------------------------------------------------------

// The value of an exact int that fits a Py_ssize_t, read without a conversion call where the
// layout is known (3.12's compact ints); false when it does not fit. Never raises.
inline bool small_int_value(PyObject* exact_int, Py_ssize_t& out) noexcept {
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(exact_int))) return false;
  out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(exact_int));
  return true;
#else
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
  if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  if (v < PY_SSIZE_T_MIN || v > PY_SSIZE_T_MAX) return false;
  out = static_cast<Py_ssize_t>(v);
  return true;
#endif
}

// --- Types ----------------------------------------------------------------------------------

// A type's name without its module ("int", "CallAnswer"), for the last-resort message when
// even PyType_GetQualName failed: the limited API hides tp_name.
inline const char* type_slot_name(PyTypeObject* type) noexcept {
#if defined(Py_LIMITED_API)
  (void)type;
  return "?";
#else
  return type->tp_name;
#endif
}

// The module a type reports (a new reference, or null with the error set). The function is
// new in 3.13; before, `__module__` answers the same for heap and static types.
inline PyObject* type_module_name(PyTypeObject* type) noexcept {
#if QV_PY_API_AT_LEAST(0x030D0000)
  return PyType_GetModuleName(type);
#else
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
#endif
}

// A type's own dict (a new reference), where attributes are put after creation: immutable
// types refuse setattr. PyType_GetDict is 3.12's and not in the limited API; there, the dict
// is the one object its read-only view `__dict__` refers to, as the garbage collector sees.
inline PyObject* type_dict(PyTypeObject* type) noexcept {
#if defined(Py_LIMITED_API)
  PyObject* view = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__dict__");
  if (!view) return nullptr;
  auto traverse = reinterpret_cast<traverseproc>(PyType_GetSlot(Py_TYPE(view), Py_tp_traverse));
  PyObject* found = nullptr;
  if (traverse) {
    traverse(view,
             [](PyObject* referent, void* arg) -> int {
               *static_cast<PyObject**>(arg) = referent;
               return 1;  // the first referent is the mapping: stop there
             },
             &found);
  }
  PyObject* dict = found && PyDict_Check(found) ? Py_NewRef(found) : nullptr;
  Py_DECREF(view);
  if (!dict) PyErr_SetString(PyExc_SystemError, "a type's __dict__ does not show its dict");
  return dict;
#elif PY_VERSION_HEX >= 0x030C0000
  return PyType_GetDict(type);
#else
  return Py_NewRef(type->tp_dict);
#endif
}

// The slots a class's own object functions call: the limited API reaches them through
// PyType_GetSlot only.
inline PyObject* type_alloc(PyTypeObject* type) noexcept {
#if defined(Py_LIMITED_API)
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
#else
  return type->tp_alloc(type, 0);
#endif
}

inline void type_free(PyTypeObject* type, PyObject* self) noexcept {
#if defined(Py_LIMITED_API)
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
#else
  type->tp_free(self);
#endif
}

inline inquiry type_bool_slot(PyTypeObject* type) noexcept {
#if defined(Py_LIMITED_API)
  return reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
#else
  return type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
#endif
}

inline newfunc type_new_slot(PyTypeObject* type) noexcept {
#if defined(Py_LIMITED_API)
  return reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
#else
  return type->tp_new;
#endif
}

// staticmethod(function), a new reference: PyStaticMethod_New is not in the limited API, the
// builtin class is.
inline PyObject* new_static_method(PyObject* function) noexcept {
#if defined(Py_LIMITED_API)
  PyObject* builtins = PyImport_ImportModule("builtins");
  if (!builtins) return nullptr;
  PyObject* staticmethod = PyObject_GetAttrString(builtins, "staticmethod");
  Py_DECREF(builtins);
  if (!staticmethod) return nullptr;
  PyObject* args[] = {function};
  PyObject* method = PyObject_Vectorcall(staticmethod, args, 1, nullptr);
  Py_DECREF(staticmethod);
  return method;
#else
  return PyStaticMethod_New(function);
#endif
}

// --- Sequences --------------------------------------------------------------------------------
// The unchecked macros read the object's layout, which the limited API hides; its checked
// functions give the same for the valid indexes these are called with.

inline Py_ssize_t tuple_size(PyObject* tuple) noexcept {
#if defined(Py_LIMITED_API)
  return PyTuple_Size(tuple);
#else
  return PyTuple_GET_SIZE(tuple);
#endif
}

inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) noexcept {  // borrowed
#if defined(Py_LIMITED_API)
  return PyTuple_GetItem(tuple, i);
#else
  return PyTuple_GET_ITEM(tuple, i);
#endif
}

// A tuple's item array, to be passed on as a fast call's arguments; null where the limited
// API hides it (the caller then copies the items out).
inline PyObject* const* tuple_items(PyObject* tuple) noexcept {
#if defined(Py_LIMITED_API)
  (void)tuple;
  return nullptr;
#else
  return &PyTuple_GET_ITEM(tuple, 0);
#endif
}

// Fills a new tuple's slot, stealing `item`.
inline void tuple_fill(PyObject* tuple, Py_ssize_t i, PyObject* item) noexcept {
#if defined(Py_LIMITED_API)
  (void)PyTuple_SetItem(tuple, i, item);
#else
  PyTuple_SET_ITEM(tuple, i, item);
#endif
}

inline Py_ssize_t list_size(PyObject* list) noexcept {
#if defined(Py_LIMITED_API)
  return PyList_Size(list);
#else
  return PyList_GET_SIZE(list);
#endif
}

inline PyObject* list_item(PyObject* list, Py_ssize_t i) noexcept {  // borrowed
#if defined(Py_LIMITED_API)
  return PyList_GetItem(list, i);
#else
  return PyList_GET_ITEM(list, i);
#endif
}

// Fills a list's slot, stealing `item` (a new list's empty slot, or replacing one).
inline void list_fill(PyObject* list, Py_ssize_t i, PyObject* item) noexcept {
#if defined(Py_LIMITED_API)
  (void)PyList_SetItem(list, i, item);
#else
  PyList_SET_ITEM(list, i, item);
#endif
}

inline Py_ssize_t dict_size(PyObject* dict) noexcept {
#if defined(Py_LIMITED_API)
  return PyDict_Size(dict);
#else
  return PyDict_GET_SIZE(dict);
#endif
}

// --- Calls ----------------------------------------------------------------------------------

// f(arg), a new reference. PyObject_CallOneArg is not in the limited API; vectorcall is (3.12).
inline PyObject* call_one_arg(PyObject* callable, PyObject* arg) noexcept {
#if defined(Py_LIMITED_API)
  PyObject* args[] = {arg};
  return PyObject_Vectorcall(callable, args, 1, nullptr);
#else
  return PyObject_CallOneArg(callable, arg);
#endif
}

// --- Context variables ----------------------------------------------------------------------
// The C API of contextvars is not in the limited API; its class is, and is called there.

// A new context variable named `name` (a new reference), or null with the error set.
inline PyObject* context_var_new(const char* name) noexcept {
#if defined(Py_LIMITED_API)
  PyObject* module = PyImport_ImportModule("contextvars");
  if (!module) return nullptr;
  PyObject* cls = PyObject_GetAttrString(module, "ContextVar");
  Py_DECREF(module);
  if (!cls) return nullptr;
  PyObject* var = PyObject_CallFunction(cls, "s", name);
  Py_DECREF(cls);
  return var;
#else
  return PyContextVar_New(name, nullptr);
#endif
}

// var.set(value) in the current context; false with the error set.
inline bool context_var_set(PyObject* var, PyObject* value) noexcept {
#if defined(Py_LIMITED_API)
  static PyObject* const set = PyUnicode_InternFromString("set");  // kept for the process
  if (!set) return false;
  PyObject* args[] = {var, value};
  PyObject* token = PyObject_VectorcallMethod(set, args, 2, nullptr);
#else
  PyObject* token = PyContextVar_Set(var, value);
#endif
  if (!token) return false;
  Py_DECREF(token);
  return true;
}

// The variable's value in the current context (a new reference); null when it has none, or
// with the error set when asking failed.
inline PyObject* context_var_get(PyObject* var) noexcept {
#if defined(Py_LIMITED_API)
  static PyObject* const get = PyUnicode_InternFromString("get");  // kept for the process
  if (!get) return nullptr;
  PyObject* args[] = {var, Py_None};
  PyObject* value = PyObject_VectorcallMethod(get, args, 2, nullptr);
  if (value == Py_None) {
    Py_DECREF(value);
    return nullptr;
  }
  return value;
#else
  PyObject* value = nullptr;
  if (PyContextVar_Get(var, nullptr, &value) < 0) return nullptr;
  return value;
#endif
}

// --- Object lifecycle -------------------------------------------------------------------------

// Runs a collected type's tp_finalize from its tp_dealloc: -1 when the finalizer brought the
// object back to life (the dealloc then stops). The limited API lacks the interpreter's own
// function; the same protocol is followed by hand there, except that a resurrected object is
// not marked finalized (its finalizer must bear being run again: ours only close).
inline int call_finalizer_from_dealloc(PyObject* self) noexcept {
#if defined(Py_LIMITED_API)
  auto finalize = reinterpret_cast<destructor>(PyType_GetSlot(Py_TYPE(self), Py_tp_finalize));
  if (!finalize || PyObject_GC_IsFinalized(self)) return 0;
  Py_SET_REFCNT(self, 1);  // alive while the finalizer runs
  finalize(self);
  const Py_ssize_t left = Py_REFCNT(self) - 1;
  Py_SET_REFCNT(self, left);
  return left == 0 ? 0 : -1;
#else
  return PyObject_CallFinalizerFromDealloc(self);
#endif
}

// Whether the interpreter is exiting; callable without the interpreter lock. Public from 3.13
// (3.12 names it _Py_IsFinalizing); the stable ABI has neither, so there the running
// interpreter's own function is looked up once by name.
inline bool interpreter_finalizing() noexcept {
#if defined(Py_LIMITED_API)
  using Query = int (*)();
  static const Query query = [] {
    void* found = dlsym(RTLD_DEFAULT, "Py_IsFinalizing");
    if (!found) found = dlsym(RTLD_DEFAULT, "_Py_IsFinalizing");
    return reinterpret_cast<Query>(found);
  }();
  return query && query() != 0;
#elif PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace qv::py
