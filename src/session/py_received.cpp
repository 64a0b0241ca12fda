#include "session/py_received.hpp"

#include <memory>
#include <string>

#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/type_support.hpp"
#include "session/session_class.hpp"
#include "commands/core/command_tag.hpp"

namespace qv::py {

namespace {

enum class EventKind : std::uint8_t { Line, Reconnected };

// Reply and Event alike: immutable, their attributes computed from the line when read.
struct ReceivedObject {
  PyObject_HEAD
  Ref line;  // str
  Ref tokens;  // tuple of str, once words was first read: a predicate reads it again and again
  std::uint64_t tag;
  bool has_tag;
  EventKind kind;
  std::uint64_t seq;  // an Event's place in the session's stream, for putting it back
  double gap;         // a reconnect's: seconds from the loss to the new Login
  std::shared_ptr<CompletionBox> completion;  // a Reply's: where its request's completion goes
};

PyTypeObject* g_reply = nullptr;
PyTypeObject* g_event = nullptr;
PyObject* g_server_error = nullptr;
PyObject* g_events_dropped = nullptr;
PyObject* g_rebuild = nullptr;  // quelvant_rs._rebuild, what their pickles call

ReceivedObject* as_received(PyObject* self) { return reinterpret_cast<ReceivedObject*>(self); }

PyObject* Received_tag(PyObject* self, void*) {
  const ReceivedObject* r = as_received(self);
  if (!r->has_tag) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(r->tag);
}

PyObject* Received_line(PyObject* self, void*) { return Py_NewRef(as_received(self)->line.get()); }

std::string_view utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  return data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
}

// A new list or dict each time: the object itself stays unchanged whatever the caller does.
// The tokens are split once and kept (an event held for wait_for() meets many predicates).
PyObject* Received_words(PyObject* self, void*) {
  ReceivedObject* r = as_received(self);
  if (!r->tokens) {
    Ref words = Ref::steal(PyList_New(0));
    if (!words) return nullptr;
    bool ok = true;
    for_each_token(utf8_of(r->line.get()), [&](std::string_view token) {
      if (!ok) return;
      Ref word = Ref::steal(
          PyUnicode_FromStringAndSize(token.data(), static_cast<Py_ssize_t>(token.size())));
      ok = word && PyList_Append(words.get(), word.get()) == 0;
    });
    if (!ok) return nullptr;
    r->tokens = Ref::steal(PyList_AsTuple(words.get()));
    if (!r->tokens) return nullptr;
    return words.release();
  }
  return PySequence_List(r->tokens.get());
}

PyObject* Received_fields(PyObject* self, void*) {
  Ref fields = Ref::steal(PyDict_New());
  if (!fields) return nullptr;
  bool ok = true;
  for_each_token(utf8_of(as_received(self)->line.get()), [&](std::string_view token) {
    const std::size_t equals = token.find('=');
    if (!ok || equals == 0 || equals == std::string_view::npos) return;
    Ref key = Ref::steal(PyUnicode_FromStringAndSize(token.data(), static_cast<Py_ssize_t>(equals)));
    const std::string_view rest = token.substr(equals + 1);
    Ref value = Ref::steal(
        PyUnicode_FromStringAndSize(rest.data(), static_cast<Py_ssize_t>(rest.size())));
    ok = key && value && PyDict_SetItem(fields.get(), key.get(), value.get()) == 0;
  });
  return ok ? fields.release() : nullptr;
}

PyObject* Event_gap(PyObject* self, void*) {
  const ReceivedObject* r = as_received(self);
  if (r->kind != EventKind::Reconnected) Py_RETURN_NONE;
  return PyFloat_FromDouble(r->gap);
}

PyObject* Event_kind(PyObject* self, void*) {
  return PyUnicode_FromString(as_received(self)->kind == EventKind::Line ? "line" : "reconnected");
}

PyObject* Received_repr(PyObject* self) {
  const ReceivedObject* r = as_received(self);
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
  if (!name) return nullptr;
  if (r->kind == EventKind::Reconnected) return PyUnicode_FromFormat("%U(kind='reconnected')", name.get());
  Ref tag = Ref::steal(Received_tag(self, nullptr));
  if (!tag) return nullptr;
  return PyUnicode_FromFormat("%U(tag=%R, line=%R)", name.get(), tag.get(), r->line.get());
}

// Pickled as a call of quelvant_rs._rebuild: the classes report the module "builtins", where
// pickle could not find them. An Event's place in its session's stream is not kept.
PyObject* Received_reduce(PyObject* self, PyObject*) {
  const ReceivedObject* r = as_received(self);
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
  Ref tag = Ref::steal(Received_tag(self, nullptr));
  if (!name || !tag) return nullptr;
  if (Py_TYPE(self) == g_reply)
    return Py_BuildValue("(O(OOO))", g_rebuild, name.get(), tag.get(), r->line.get());
  Ref kind = Ref::steal(Event_kind(self, nullptr));
  if (!kind) return nullptr;
  return Py_BuildValue("(O(OOOO))", g_rebuild, name.get(), tag.get(), r->line.get(), kind.get());
}

PyMethodDef g_received_methods[] = {
    {"__reduce__", method_entry<Received_reduce>(), METH_NOARGS, "For pickle."},
    {nullptr, nullptr, 0, nullptr},
};

// Not collected: strs are all a Reply or Event holds, so it can be in no cycle.
void Received_dealloc(PyObject* self) noexcept {
  std::destroy_at(&as_received(self)->completion);
  std::destroy_at(&as_received(self)->tokens);
  std::destroy_at(&as_received(self)->line);
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

// Their docstrings are the table's (session_docs.hpp), filled in when the classes are made.
PyGetSetDef g_reply_getset[] = {
    {"tag", entry<Received_tag>, nullptr, nullptr, nullptr},
    {"line", entry<Received_line>, nullptr, nullptr, nullptr},
    {"words", entry<Received_words>, nullptr, nullptr, nullptr},
    {"fields", entry<Received_fields>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef g_event_getset[] = {
    {"tag", entry<Received_tag>, nullptr, nullptr, nullptr},
    {"line", entry<Received_line>, nullptr, nullptr, nullptr},
    {"words", entry<Received_words>, nullptr, nullptr, nullptr},
    {"fields", entry<Received_fields>, nullptr, nullptr, nullptr},
    {"kind", entry<Event_kind>, nullptr, nullptr, nullptr},
    {"gap", entry<Event_gap>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void document(PyGetSetDef* getset, const std::string& owner) {
  for (; getset->name; ++getset) getset->doc = documented(owner + "." + getset->name);
}

PyTypeObject* make_received_class(const char* name, PyGetSetDef* getset, const char* doc) {
  PyType_Slot slots[] = {
      {Py_tp_new, slot_entry<no_constructor_new>()},
      {Py_tp_dealloc, dealloc_slot<Received_dealloc>()},
      {Py_tp_repr, slot_entry<Received_repr>()},
      {Py_tp_getset, getset},
      {Py_tp_methods, g_received_methods},
      {Py_tp_doc, const_cast<char*>(doc)},
      {0, nullptr},
  };
  PyType_Spec shape = {name, sizeof(ReceivedObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  Ref type = Ref::steal(PyType_FromSpec(&shape));
  if (!type) return nullptr;
  Ref match_args = Ref::steal(Py_BuildValue("(ss)", "tag", "line"));
  if (!match_args ||
      !set_type_attribute(reinterpret_cast<PyTypeObject*>(type.get()), "__match_args__",
                          match_args.get()))
    return nullptr;
  return reinterpret_cast<PyTypeObject*>(type.release());
}

Ref new_received(PyTypeObject* type, std::optional<std::uint64_t> tag, std::string_view text,
                 EventKind kind, std::uint64_t seq, double gap = 0) {
  Ref line = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!line) return {};
  Ref self = Ref::steal(type_alloc(type));
  if (!self) return {};
  ReceivedObject* r = as_received(self.get());
  std::construct_at(&r->line, std::move(line));
  std::construct_at(&r->tokens);
  std::construct_at(&r->completion);
  r->tag = tag.value_or(0);
  r->has_tag = tag.has_value();
  r->kind = kind;
  r->seq = seq;
  r->gap = gap;
  return self;
}

// ServerError and EventsDropped pickle as _rebuild(name, args) and their attributes (the
// reply, the count), which BaseException's __setstate__ puts back.
PyObject* Exception_reduce(PyObject* self, PyObject*) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
  Ref args = Ref::steal(PyObject_GetAttrString(self, "args"));
  Ref attributes = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
  if (!name || !args || !attributes) return nullptr;
  return Py_BuildValue("(O(OO)O)", g_rebuild, name.get(), args.get(), attributes.get());
}

PyMethodDef g_exception_reduce = {"__reduce__", method_entry<Exception_reduce>(), METH_NOARGS,
                                  "For pickle."};

bool add_exception_reduce(PyObject* exc) {
  Ref method = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(exc), &g_exception_reduce));
  return method && PyObject_SetAttrString(exc, "__reduce__", method.get()) == 0;
}

// _rebuild(name, ...): the object a pickle of this module's session values stands for.
PyObject* rebuild(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || !PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "_rebuild() takes a class name and its values");
    return nullptr;
  }
  PyObject* name = args[0];
  if (nargs == 2 && PyTuple_Check(args[1])) {
    for (PyObject* exc : {g_server_error, g_events_dropped}) {
      Ref exc_name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(exc)));
      if (!exc_name) return nullptr;
      if (PyUnicode_Compare(name, exc_name.get()) == 0) return PyObject_Call(exc, args[1], nullptr);
    }
  }
  // Reply: (tag, line); Event: (tag or None, line, kind).
  const bool reply = nargs == 3 && text_equals(name, "Reply");
  const bool event = nargs == 4 && text_equals(name, "Event") && PyUnicode_Check(args[3]);
  if ((reply || event) && (PyLong_Check(args[1]) || (event && args[1] == Py_None)) &&
      PyUnicode_Check(args[2])) {
    std::optional<std::uint64_t> tag;
    if (args[1] != Py_None) {
      tag = PyLong_AsUnsignedLongLong(args[1]);
      if (PyErr_Occurred()) return nullptr;
    }
    const EventKind kind =
        event && text_equals(args[3], "reconnected") ? EventKind::Reconnected : EventKind::Line;
    Py_ssize_t size = 0;
    const char* line = PyUnicode_AsUTF8AndSize(args[2], &size);
    if (!line) return nullptr;
    return new_received(reply ? g_reply : g_event, tag,
                        std::string_view(line, static_cast<std::size_t>(size)), kind, 0)
        .release();
  }
  PyErr_SetString(PyExc_TypeError,
                  "_rebuild(): not the values of a Reply, Event, ServerError or EventsDropped");
  return nullptr;
}

PyMethodDef g_rebuild_def = {
    "_rebuild", method_entry<rebuild>(), METH_FASTCALL,
    "_rebuild(name, *values)\n--\n\nRebuilds a session's Reply, Event, ServerError or "
    "EventsDropped from its pickle.",
};

}  // namespace

bool add_rebuild_function(PyObject* top) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(top));
  if (!module_name) return false;
  Ref function = Ref::steal(PyCFunction_NewEx(&g_rebuild_def, nullptr, module_name.get()));
  if (!function || PyObject_SetAttrString(top, "_rebuild", function.get()) < 0) return false;
  g_rebuild = function.get();  // the module keeps it for the process
  return true;
}

bool init_received_classes() {
  if (g_reply) return true;
  document(g_event_getset, "Event");
  document(g_reply_getset, "Reply");
  g_event = make_received_class("builtins.Event", g_event_getset, documented("Event"));
  if (!g_event) return false;
  g_reply = make_received_class("builtins.Reply", g_reply_getset, documented("Reply"));
  if (!g_reply) return false;
  g_server_error = PyErr_NewExceptionWithDoc("builtins.ServerError", documented("ServerError"),
                                             PyExc_Exception, nullptr);
  if (!g_server_error) return false;
  g_events_dropped = PyErr_NewExceptionWithDoc(
      "builtins.EventsDropped", documented("EventsDropped"), PyExc_Exception, nullptr);
  return g_events_dropped && add_exception_reduce(g_server_error) &&
         add_exception_reduce(g_events_dropped);
}

PyTypeObject* reply_class() { return g_reply; }
PyTypeObject* event_class() { return g_event; }
PyObject* server_error_class() { return g_server_error; }
PyObject* events_dropped_class() { return g_events_dropped; }

Ref make_reply(std::optional<std::uint64_t> tag, std::string_view text,
               std::shared_ptr<CompletionBox> completion) {
  Ref reply = new_received(g_reply, tag, text, EventKind::Line, 0);
  if (reply) as_received(reply.get())->completion = std::move(completion);
  return reply;
}

std::shared_ptr<CompletionBox> reply_completion(PyObject* reply) {
  if (!PyObject_TypeCheck(reply, g_reply)) return {};
  return as_received(reply)->completion;
}

Ref make_event(const Incoming& incoming, std::uint64_t seq) {
  const bool reconnected = incoming.kind == Incoming::Kind::Reconnected;
  return new_received(g_event, incoming.tag, incoming.text,
                      reconnected ? EventKind::Reconnected : EventKind::Line, seq, incoming.gap);
}

std::uint64_t event_seq(PyObject* event) { return as_received(event)->seq; }

bool event_is_reconnect(PyObject* event) {
  return as_received(event)->kind == EventKind::Reconnected;
}

std::uint64_t reply_tag(PyObject* reply) { return as_received(reply)->tag; }
PyObject* reply_line(PyObject* reply) { return as_received(reply)->line.get(); }

namespace {

// Raises `type(message)` with one attribute set on the exception.
void raise_with_attribute(PyObject* type, const std::string& message, const char* name,
                          PyObject* value) {
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  Ref exc = Ref::steal(call_one_arg(type, text.get()));
  if (!exc || PyObject_SetAttrString(exc.get(), name, value) < 0) return;
  PyErr_SetObject(type, exc.get());
}

}  // namespace

void raise_server_error(std::string_view word, PyObject* reply) {
  const std::string message = std::string(word) + " (tag " + std::to_string(reply_tag(reply)) +
                              ") failed: " + std::string(utf8_of(reply_line(reply)));
  raise_with_attribute(g_server_error, message, "reply", reply);
}

void raise_subscription_dropped(std::uint64_t count) {
  Ref number = Ref::steal(PyLong_FromUnsignedLongLong(count));
  if (!number) return;
  raise_with_attribute(g_events_dropped,
                       std::to_string(count) +
                           " events were dropped here: the subscription held as many events "
                           "as max_pending allows, and none had been taken; take events "
                           "sooner, or subscribe with a larger max_pending",
                       "count", number.get());
}

}  // namespace qv::py
