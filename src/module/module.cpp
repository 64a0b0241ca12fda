// The module's entry point and its tree:
//   quelvant_rs: sum_as_string, client, commands (and values, outside __all__)
//   client: QuelvantClient, sum_as_string
//   commands: Command
//   values: ECM, Channels, AudioFormatType, PayloadType, ToneType, ConstantWithDescription
//   session: Session, AsyncSession, Reply, Event, Subscription, AsyncSubscription,
//            SessionStats, ServerError, EventsDropped, SESSION_TIMEOUT
//   (also outside __all__)
//   __path__: the package directory installed beside the module (package_path.hpp)
#include <atomic>
#include <charconv>
#include <cstdint>
#include <string>

#include "client/py_client.hpp"
#include "commands/py_command.hpp"
#include "commands/py_values.hpp"
#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "module/package_path.hpp"
#include "session/py_async_session.hpp"
#include "session/py_received.hpp"
#include "session/py_session.hpp"
#include "session/py_subscription.hpp"
#include "session/requests.hpp"
#include "session/session_report.hpp"

namespace qv::py {

namespace {

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;  // set once initialisation succeeded; lives for the process

Signature g_sum_signature;

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arg a[2];
  if (!bind_and_convert(g_sum_signature, args, nargs, kwnames, a)) return nullptr;
  const std::uint64_t sum =
      static_cast<std::uint64_t>(a[0].number) + static_cast<std::uint64_t>(a[1].number);
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, sum).ptr;
  return PyUnicode_FromStringAndSize(digits, end - digits);
}

PyMethodDef g_sum_def = {
    "sum_as_string",
    method_entry<sum_as_string>(),
    METH_FASTCALL | METH_KEYWORDS,
    "sum_as_string(a, b)\n--\n\n",
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "quelvant_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to module.__all__ (creating the list) and sets the attribute.
bool add_object(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    raise_panic("could not append __name__ to __all__");
    return false;
  }
  return PyObject_SetAttrString(module, name, value) == 0;
}

bool add_type(PyObject* module, PyTypeObject* type) {
  if (!type) return false;
  Ref name = Ref::steal(PyType_GetName(type));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  return text && add_object(module, text, reinterpret_cast<PyObject*>(type));
}

Ref new_sum_function(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return {};
  return Ref::steal(PyCFunction_NewEx(&g_sum_def, nullptr, module_name.get()));
}

bool add_submodule(PyObject* parent, PyObject* child) {
  const char* name = PyModule_GetName(child);
  return name && add_object(parent, name, child);
}

bool initialise(PyObject* top) {
  g_sum_signature.full_name = "sum_as_string()";
  g_sum_signature.params.clear();
  g_sum_signature.params.push_back(make_param("a", Conv::U64));
  g_sum_signature.params.push_back(make_param("b", Conv::U64));
  if (!g_sum_signature.params[0].name || !g_sum_signature.params[1].name) return false;

  Ref sum = new_sum_function(top);
  if (!sum) return false;
  if (!add_object(top, "sum_as_string", sum.get())) PyErr_Clear();  // deliberately not fatal

  // Value classes first: the factories' and methods' parameter tables refer to them.
  if (!init_value_classes()) return false;

  Ref client = Ref::steal(PyModule_New("client"));
  if (!client || !add_type(client.get(), init_command_classes() ? init_client_class() : nullptr))
    return false;
  Ref client_sum = new_sum_function(client.get());
  if (!client_sum || !add_object(client.get(), "sum_as_string", client_sum.get())) return false;
  if (!add_submodule(top, client.get())) return false;

  Ref commands = Ref::steal(PyModule_New("commands"));
  if (!commands || !add_type(commands.get(), init_command_classes())) return false;
  if (!add_submodule(top, commands.get())) return false;

  Ref values = Ref::steal(PyModule_New("values"));
  if (!values) return false;
  for (Kind kind : kValueKinds)
    if (!add_type(values.get(), value_class(kind))) return false;
  // Reachable as an attribute only: the top-level __all__ stays as it was.
  if (PyObject_SetAttrString(top, "values", values.get()) < 0) return false;

  Ref session = Ref::steal(PyModule_New("session"));
  if (!session || !add_type(session.get(), init_session_class()) ||
      !add_type(session.get(), init_async_session_class()))
    return false;
  for (PyTypeObject* type : {reply_class(), event_class(), stats_class()})
    if (!add_type(session.get(), type)) return false;
  for (PyTypeObject* type : subscription_classes())
    if (!add_type(session.get(), type)) return false;
  for (PyObject* exc : {server_error_class(), events_dropped_class()})
    if (!add_type(session.get(), reinterpret_cast<PyTypeObject*>(exc))) return false;
  // Made with the session classes: the default their calls' signatures show.
  if (!add_object(session.get(), "SESSION_TIMEOUT", session_timeout())) return false;
  if (PyObject_SetAttrString(top, "session", session.get()) < 0) return false;

  // Outside __all__, as every package's __path__.
  Ref path = package_path();
  return path && PyObject_SetAttrString(top, "__path__", path.get()) == 0;
}

PyObject* module_entry() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  std::int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "quelvant_rs does not support sub-interpreters: it can only be imported "
                    "once per process, by the interpreter that imported it first");
    return nullptr;
  }
  if (g_module) return Py_NewRef(g_module);
  Ref module = Ref::steal(PyModule_Create2(&g_definition, PYTHON_API_VERSION));
  if (!module) return nullptr;
  if (!initialise(module.get())) return nullptr;
  if (g_module) return Py_NewRef(g_module);  // another initialisation won meanwhile
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

}  // namespace qv::py

PyMODINIT_FUNC PyInit_quelvant_rs() { return qv::py::entry<qv::py::module_entry>(); }
