#include "session/session_class.hpp"

#include <deque>
#include <memory>
#include <string>

#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/type_support.hpp"
#include "session/py_subscription.hpp"
#include "session/core/session_docs.hpp"
#include "session/py_received.hpp"
#include "session/requests.hpp"

namespace qv::py {

namespace {

// `<owner>.<name>(params..., timeout=SESSION_TIMEOUT)`: a left-out timeout (or the sentinel)
// is the session's own; the callable converts it itself.
std::optional<Signature> call_signature(const std::string& owner, const char* name,
                                        std::vector<Param> params) {
  params.push_back(make_defaulted_param("timeout", Conv::Object));
  return make_signature(owner + "." + name + "()", std::move(params), SIZE_MAX, true);
}

}  // namespace

bool make_session_signatures(SessionSignatures& sigs, const char* owner) {
  if (!init_sentinels() || !make_settings_signature(sigs.constructor, owner)) return false;
  const std::string session(owner);
  const std::string subscription = session == "Session" ? "Subscription" : "AsyncSubscription";
  sigs.timeout = make_param("timeout", Conv::Seconds, true);
  sigs.max_pending = make_defaulted_param("max_pending", Conv::U64);
  auto request = call_signature(session, "request", {make_param("command", Conv::Object)});
  auto batch = call_signature(session, "request_batch", {make_param("commands", Conv::Object)});
  auto events = call_signature(session, "events", {});
  auto wait_for = call_signature(session, "wait_for", {make_param("predicate", Conv::Object)});
  const std::string handle = session == "Session" ? "Resource" : "AsyncResource";
  auto get = call_signature(subscription, "get", {});
  auto handle_get = call_signature(handle, "get", {});
  auto handle_wait_for =
      call_signature(handle, "wait_for", {make_defaulted_param("predicate", Conv::Object)});
  auto completion = call_signature(session, "completion", {make_param("reply", Conv::Object)});
  sigs.resource_id = make_param("resource_id", Conv::U32);
  auto resource = make_signature(session + ".resource()", {sigs.resource_id, sigs.max_pending},
                                 1, true);
  auto subscribe = make_signature(session + ".subscribe()",
                                  {make_defaulted_param("predicate", Conv::Object), sigs.max_pending},
                                  1, true);
  if (!sigs.timeout.name || !sigs.max_pending.name || !request || !batch || !events ||
      !wait_for || !get || !subscribe || !handle_get || !handle_wait_for || !completion ||
      !resource)
    return false;
  sigs.handle_get = std::move(*handle_get);
  sigs.handle_wait_for = std::move(*handle_wait_for);
  sigs.completion = std::move(*completion);
  sigs.resource = std::move(*resource);
  sigs.request = std::move(*request);
  sigs.request_batch = std::move(*batch);
  sigs.events = std::move(*events);
  sigs.wait_for = std::move(*wait_for);
  sigs.get = std::move(*get);
  sigs.subscribe = std::move(*subscribe);
  return true;
}

bool bind_session_call(const SessionSignatures& sigs, const Signature& sig,
                       const SessionSettings& settings, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject*& first, std::optional<double>& limit) {
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_arguments(sig, args, nargs, kwnames, scratch);
  if (!bound) return false;
  const std::size_t last = sig.params.size() - 1;
  first = last > 0 ? bound[0] : nullptr;
  if (&sig == &sigs.events && !bound[last]) {  // a stream runs until the session is closed
    limit = std::nullopt;
    return true;
  }
  return wait_limit(settings, bound[last], sigs.timeout, limit);
}

std::shared_ptr<CompletionBox> completion_box(PyObject* reply, const EventPipeline& events) {
  if (!PyObject_TypeCheck(reply, reply_class())) {
    set_error(PyExc_TypeError, "argument 'reply': a Reply of this session's is wanted, not '" +
                                   type_qualname(reply) + "'");
    return {};
  }
  std::shared_ptr<CompletionBox> box = reply_completion(reply);
  if (!box || box->owner != &events) {
    PyErr_SetString(PyExc_ValueError,
                    "argument 'reply': the reply is not to a request this session sent");
    return {};
  }
  return box;
}

const char* documented(std::string_view key, std::string_view signature) {
  static std::deque<std::string> kept;  // method tables point into these for the process
  std::string_view text;
  for (const DocText& d : kSessionDocs)
    if (d.key == key) text = d.text;
  std::string doc;
  if (!signature.empty()) doc.append(signature).append("\n--\n\n");
  doc.append(text.empty() ? "(no text: " + std::string(key) + ")" : text);
  return kept.emplace_back(std::move(doc)).c_str();
}

PyMethodDef method(const char* owner, const char* name, PyCFunction function, int flags,
                   std::string_view signature) {
  return {name, function, flags, documented(std::string(owner) + "." + name, signature)};
}

bool check_predicate(PyObject* predicate) {
  if (PyCallable_Check(predicate)) return true;
  set_error(PyExc_TypeError,
            "argument 'predicate': '" + type_qualname(predicate) + "' object is not callable");
  return false;
}

namespace {

// max_pending as given (at least 1), or its default.
bool read_max_pending(const SessionSignatures& sigs, PyObject* given, std::size_t& max_pending) {
  max_pending = kDefaultMaxPending;
  if (!given) return true;
  Arg arg;
  if (!convert_argument(sigs.max_pending, given, arg)) return false;
  if (arg.number == 0) {
    PyErr_SetString(PyExc_ValueError, "argument 'max_pending': must be at least 1");
    return false;
  }
  max_pending = static_cast<std::size_t>(arg.number);
  return true;
}

}  // namespace

bool bind_subscribe(const SessionSignatures& sigs, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject*& predicate, std::size_t& max_pending) {
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_arguments(sigs.subscribe, args, nargs, kwnames, scratch);
  if (!bound) return false;
  predicate = bound[0] == Py_None ? nullptr : bound[0];
  if (predicate && !check_predicate(predicate)) return false;
  return read_max_pending(sigs, bound[1], max_pending);
}


bool bind_resource(const SessionSignatures& sigs, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::uint32_t& resource_id, std::size_t& max_pending) {
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_arguments(sigs.resource, args, nargs, kwnames, scratch);
  if (!bound) return false;
  Arg id;
  if (!convert_argument(sigs.resource_id, bound[0], id)) return false;
  resource_id = static_cast<std::uint32_t>(id.number);
  return read_max_pending(sigs, bound[1], max_pending);
}

bool read_batch(PyObject* commands, std::vector<LineBuffer>& lines, std::vector<std::string>& words) {
  // A text is iterable too, but as a batch it would be one request per character.
  if (PyUnicode_Check(commands) || PyBytes_Check(commands) || PyByteArray_Check(commands)) {
    set_error(PyExc_TypeError,
              "argument 'commands': a batch is a list (or other iterable) of commands or "
              "texts, not one " + type_qualname(commands) + "; send one text with request()");
    return false;
  }
  Ref items = Ref::steal(PySequence_List(commands));
  if (!items) return false;
  const auto count = static_cast<std::size_t>(list_size(items.get()));
  lines.resize(count);
  words.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!build_request_line(list_item(items.get(), static_cast<Py_ssize_t>(i)),
                            "argument 'commands'", i, lines[i], words[i]))
      return false;
  }
  return true;
}

PyTypeObject* make_session_class(const SessionClassTraits& traits, std::vector<PyMethodDef> own,
                                 const std::vector<PyMethodDef>& per_command) {
  // Types keep pointers into these: they live as long as the process, as the types do.
  auto* methods = new std::vector<PyMethodDef>(std::move(own));
  methods->insert(methods->end(), per_command.begin(), per_command.end());
  methods->push_back({nullptr, nullptr, 0, nullptr});
  const std::string owner(traits.owner);
  auto* getset = new PyGetSetDef[3]{
      {"closed", traits.closed, nullptr, documented(owner + ".closed"), nullptr},
      {"stats", traits.stats, nullptr, documented(owner + ".stats"), nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  const std::string doc = settings_class_doc(traits.owner, documented(owner));
  PyType_Slot slots[] = {
      {Py_tp_new, traits.new_slot},
      {Py_tp_dealloc, traits.dealloc_slot},
      {Py_tp_methods, methods->data()},
      {Py_tp_getset, getset},
      {Py_tp_doc, const_cast<char*>(doc.c_str())},  // copied by the type
      {Py_tp_traverse, traits.traverse_slot},
      {Py_tp_clear, traits.clear_slot},
      {Py_tp_finalize, traits.finalize_slot},
      {Py_tp_repr, traits.repr_slot},
      {0, nullptr},
  };
  const std::string name = std::string("builtins.") + traits.owner;
  PyType_Spec type_spec = {name.c_str(), static_cast<int>(traits.basicsize), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
                           slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

void warn_unclosed(PyObject* session) noexcept {
  Ref raised = Ref::steal(take_raised_exception());
  if (PyErr_ResourceWarning(session, 1, "unclosed %R", session) < 0)
    PyErr_WriteUnraisable(session);  // warnings made errors: reported, as a finalizer can
  set_raised_exception(raised.release());
}

}  // namespace qv::py
