#include "session/requests.hpp"

#include <vector>

#include "commands/core/wire_line.hpp"
#include "commands/py_command.hpp"
#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/type_support.hpp"
#include "session/py_received.hpp"
#include "session/core/link.hpp"
#include "session/session_methods.hpp"

namespace qv::py {

namespace {

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
  word = first_token(text);
  return true;
}

Ref checked_reply(const SessionSettings& settings, std::string_view word, Ref reply) {
  if (!reply) return reply;
  bool failed = false;
  switch (settings.failure_rule) {
    case SessionSettings::FailureRule::None: return reply;
    case SessionSettings::FailureRule::ErrorWord: {
      // The first word of the line, however it is spaced.
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(reply_line(reply.get()), &size);
      if (!text) return {};
      failed = first_token(std::string_view(text, static_cast<std::size_t>(size))) == "ERROR";
      break;
    }
    case SessionSettings::FailureRule::Predicate: {
      // Held for the call: whatever the predicate does, it outlives its own call.
      Ref judge = Ref::borrow(settings.is_failure.get());
      Ref verdict = Ref::steal(call_one_arg(judge.get(), reply.get()));
      if (!verdict) return {};
      const int yes = PyObject_IsTrue(verdict.get());
      if (yes < 0) return {};
      failed = yes > 0;
      break;
    }
  }
  if (failed) {
    raise_server_error(word, reply.get());
    return {};
  }
  return reply;
}

namespace {

// The module's sentinels: each the one instance of a final str subclass, shown by its name.
struct SentinelSpec {
  const char* type_name;
  const char* shown;
  const char* value;
  const char* doc;
};
constexpr SentinelSpec kSentinels[] = {
    {"builtins._SessionTimeout", QV_SESSION_TIMEOUT_NAME, "the session's timeout",
     "The default of a session call's wait limit: the session's own timeout."},
    {"builtins._ErrorReplies", QV_ERROR_REPLIES_NAME, "a reply whose first word is ERROR",
     "The default failure rule of a session: a reply whose first word is ERROR is a failure."},
};
PyObject* g_sentinels[std::size(kSentinels)] = {};  // made once; they live as long as the process

template <std::size_t N>
PyObject* Sentinel_repr(PyObject*) {
  return PyUnicode_FromString(kSentinels[N].shown);
}

// A copy is the sentinel itself, as it is compared by identity.
PyObject* Sentinel_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef g_sentinel_methods[] = {
    {"__copy__", method_entry<Sentinel_copy>(), METH_NOARGS, nullptr},
    {"__deepcopy__", method_entry<Sentinel_copy>(), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

template <std::size_t N>
bool make_sentinel() {
  if (g_sentinels[N]) return true;
  PyType_Slot slots[] = {
      {Py_tp_repr, slot_entry<Sentinel_repr<N>>()},
      {Py_tp_new, slot_entry<no_constructor_new>()},  // one instance, made below
      {Py_tp_methods, g_sentinel_methods},
      {Py_tp_doc, const_cast<char*>(kSentinels[N].doc)},
      {0, nullptr},
  };
  PyType_Spec shape = {kSentinels[N].type_name, 0, 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  Ref type = Ref::steal(PyType_FromSpecWithBases(&shape, reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  if (!type) return false;
  Ref args = Ref::steal(Py_BuildValue("(s)", kSentinels[N].value));
  if (!args) return false;
  // str's own constructor, as the type refuses to be called.
  g_sentinels[N] =
      type_new_slot(&PyUnicode_Type)(reinterpret_cast<PyTypeObject*>(type.get()), args.get(), nullptr);
  return g_sentinels[N] != nullptr;
}

}  // namespace

bool init_sentinels() { return make_sentinel<0>() && make_sentinel<1>(); }

PyObject* session_timeout() { return g_sentinels[0]; }
PyObject* error_replies() { return g_sentinels[1]; }

bool wait_limit(const SessionSettings& settings, PyObject* timeout_arg, const Param& param,
                std::optional<double>& limit) {
  limit = settings.timeout;
  // Left out, or given as the sentinel the signature shows (or as ..., which it once
  // showed): the session's own.
  if (!timeout_arg || timeout_arg == session_timeout() || timeout_arg == Py_Ellipsis) return true;
  Arg arg;
  if (!convert_argument(param, timeout_arg, arg)) return false;
  limit = arg.present ? std::optional<double>(arg.seconds) : std::nullopt;
  return true;
}

const Param& reply_timeout_param() {
  static const Param param = make_param("reply_timeout", Conv::Seconds, true);
  return param;
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

void raise_not_sent_in_time(std::string_view word, std::optional<double> limit) {
  const std::string of = limit ? " (" + seconds_text(*limit) + " s)" : std::string();
  set_error(PyExc_TimeoutError, std::string(word) + " was not sent: its limit" + of +
                                    " ran out while the session connected again");
}

void raise_not_sent_lost(std::string_view word) {
  set_error(PyExc_ConnectionError, std::string(word) +
                                       " was not sent: the connection was lost each time before "
                                       "its line could go");
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

void raise_no_completion(std::uint64_t tag, std::optional<double> limit) {
  set_error(PyExc_TimeoutError, "no line completed the request of tag " + std::to_string(tag) +
                                    within(limit));
}

void raise_no_event(std::optional<double> limit, std::uint64_t unseen, bool at_least,
                    std::size_t max_events) {
  std::string text = "no event matched" + within(limit);
  if (unseen > 0)
    text += "; " + std::string(at_least ? "at least " : "") + std::to_string(unseen) +
            (unseen == 1 ? " event" : " events") +
            " that came after this caller's last request " + (unseen == 1 ? "was" : "were") +
            " dropped from the recent window (max_events " + std::to_string(max_events) +
            ") before wait_for looked, and the one wanted may be among them: wait on a "
            "resource (resource(id)), a completion (completion(reply)) or a subscription made "
            "before sending";
  set_error(PyExc_TimeoutError, text);
}

namespace {

std::vector<Ref>& free_markers() {
  static auto* pool = new std::vector<Ref>();  // kept for the process, as the contexts are
  return *pool;
}

}  // namespace

RequestMarker::~RequestMarker() {
  if (!var_) return;
  try {
    free_markers().push_back(std::move(var_));
  } catch (...) {  // no memory for the pool: the variable goes, its entries stay
  }
}

// Only wait_for's message needs the marker: without memory for it, that message says less.
void RequestMarker::note(std::uint64_t position) {
  if (!var_) {
    static std::uint64_t serials = 0;  // the interpreter lock guards it
    owner_ = Ref::steal(PyLong_FromUnsignedLongLong(++serials));
    if (!owner_) return PyErr_Clear();
    std::vector<Ref>& pool = free_markers();
    if (!pool.empty()) {
      var_ = std::move(pool.back());
      pool.pop_back();
    } else {
      var_ = Ref::steal(context_var_new("quelvant_rs: the last request's place"));
    }
  } else if (last() == position) {
    // Mostly no event came since this thread's (task's) last request: setting the variable
    // again would make a new context for the same value.
    return;
  }
  Ref place = Ref::steal(PyLong_FromUnsignedLongLong(position));
  Ref value = place ? Ref::steal(PyTuple_Pack(2, owner_.get(), place.get())) : Ref();
  if (!var_ || !value || !context_var_set(var_.get(), value.get())) PyErr_Clear();
}

std::optional<std::uint64_t> RequestMarker::last() const {
  if (!var_) return std::nullopt;
  Ref value = Ref::steal(context_var_get(var_.get()));
  if (!value) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (!PyTuple_Check(value.get()) || PyTuple_Size(value.get()) != 2) return std::nullopt;
  PyObject* owner = PyTuple_GetItem(value.get(), 0);  // borrowed
  if (owner != owner_.get()) return std::nullopt;     // an earlier owner's
  const unsigned long long place = PyLong_AsUnsignedLongLong(PyTuple_GetItem(value.get(), 1));
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return place;
}

}  // namespace qv::py
