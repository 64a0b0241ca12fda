#include "session/requests.hpp"

#include "commands/core/tagged_send.hpp"
#include "commands/py_command.hpp"
#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/type_support.hpp"
#include "session/py_received.hpp"

namespace qv::py {

namespace {

std::string seconds_text(double seconds) {
  char* text = PyOS_double_to_string(seconds, 'r', 0, 0, nullptr);
  if (!text) {
    PyErr_Clear();
    return std::to_string(seconds);
  }
  std::string out(text);
  PyMem_Free(text);
  return out;
}

std::string within(std::optional<double> limit) {
  return limit ? " within " + seconds_text(*limit) + " s" : "";
}

}  // namespace

void build_command_line(const Command& command, LineBuffer& line) {
  line.clear();
  append_command_text(line, command);
}

bool build_request_line(PyObject* command, std::string_view argument,
                        std::optional<std::size_t> element, LineBuffer& line, std::string& word) {
  // Made only for an error: a batch's elements would otherwise each build one.
  const auto what = [&] {
    std::string out(argument);
    if (element) out += ": element " + std::to_string(*element);
    return out;
  };
  const Command* value;
  std::string_view text;
  if (!command_or_text(command, what, what, value, text)) return false;
  if (value) {
    build_command_line(*value, line);
    word = value->entry().name;
    return true;
  }
  // A line break would send lines nobody waits for, and a reply could not be matched.
  if (holds_line_break(text)) {
    set_error(PyExc_ValueError, what() + ": text must not contain a carriage return or line feed");
    return false;
  }
  line.assign(text);
  word.clear();
  for_each_token(text, [&](std::string_view token) {
    if (word.empty()) word = token;
  });
  return true;
}

Ref checked_reply(const SessionSettings& settings, std::string_view word, Ref reply) {
  if (!reply || !settings.is_failure) return reply;
  // Held for the call: whatever the predicate does, it outlives its own call.
  Ref judge = Ref::borrow(settings.is_failure.get());
  Ref verdict = Ref::steal(PyObject_CallOneArg(judge.get(), reply.get()));
  if (!verdict) return {};
  const int failed = PyObject_IsTrue(verdict.get());
  if (failed < 0) return {};
  if (failed) {
    raise_server_error(word, reply.get());
    return {};
  }
  return reply;
}

namespace {

PyObject* g_session_timeout = nullptr;  // made once; lives as long as the process

PyObject* SessionTimeout_repr(PyObject*) { return PyUnicode_FromString(QV_SESSION_TIMEOUT_NAME); }

// A copy is the sentinel itself, as it is compared by identity.
PyObject* SessionTimeout_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef g_session_timeout_methods[] = {
    {"__copy__", method_entry<SessionTimeout_copy>(), METH_NOARGS, nullptr},
    {"__deepcopy__", method_entry<SessionTimeout_copy>(), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_session_timeout() {
  if (g_session_timeout) return true;
  PyType_Slot slots[] = {
      {Py_tp_repr, slot_entry<SessionTimeout_repr>()},
      {Py_tp_new, slot_entry<no_constructor_new>()},  // one instance, made below
      {Py_tp_methods, g_session_timeout_methods},
      {Py_tp_doc, const_cast<char*>(
                      "The default of a session call's wait limit: the session's own timeout.")},
      {0, nullptr},
  };
  PyType_Spec spec = {"builtins._SessionTimeout", 0, 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  Ref type = Ref::steal(PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  if (!type) return false;
  Ref args = Ref::steal(Py_BuildValue("(s)", "the session's timeout"));
  if (!args) return false;
  // str's own constructor, as the type refuses to be called.
  g_session_timeout =
      PyUnicode_Type.tp_new(reinterpret_cast<PyTypeObject*>(type.get()), args.get(), nullptr);
  return g_session_timeout != nullptr;
}

PyObject* session_timeout() { return g_session_timeout; }

bool wait_limit(const SessionSettings& settings, PyObject* timeout_arg, const Param& param,
                std::optional<double>& limit) {
  limit = settings.timeout;
  // Left out, or given as the sentinel the signature shows (or as ..., which it once
  // showed): the session's own.
  if (!timeout_arg || timeout_arg == g_session_timeout || timeout_arg == Py_Ellipsis) return true;
  Arg arg;
  if (!convert_argument(param, timeout_arg, arg)) return false;
  limit = arg.present ? std::optional<double>(arg.seconds) : std::nullopt;
  return true;
}

void raise_timeout(std::string_view word, std::uint64_t tag, std::optional<double> limit) {
  set_error(PyExc_TimeoutError, "no reply to " + std::string(word) + " (tag " +
                                    std::to_string(tag) + ")" + within(limit));
}

void raise_send_timeout(std::string_view word, std::uint64_t tag, std::optional<double> limit,
                        std::string_view why) {
  set_error(PyExc_TimeoutError, "could not send " + std::string(word) + " (tag " +
                                    std::to_string(tag) + ")" + within(limit) + ": " +
                                    std::string(why));
}

void raise_lost(std::string_view word, std::uint64_t tag, bool closed_by_program) {
  set_error(PyExc_ConnectionError,
            std::string(closed_by_program ? "the session was closed" : "the connection was lost") +
                " while waiting for the reply to " + std::string(word) + " (tag " +
                std::to_string(tag) + ")");
}

void raise_closed() { PyErr_SetString(PyExc_RuntimeError, "the session is closed"); }

void raise_forked() {
  PyErr_SetString(PyExc_RuntimeError,
                  "the session belongs to the process that made it: after fork(), make a new "
                  "one in the child");
}

void raise_events_lost() {
  PyErr_SetString(PyExc_ConnectionError,
                  "the connection was lost: lines the server sent from here on may be missing");
}

void raise_no_event(std::optional<double> limit) {
  set_error(PyExc_TimeoutError, "no event matched" + within(limit));
}

}  // namespace qv::py
