// Session: a connection that hears the server, for threads. The class and its methods; how
// it connects, requests and waits for events are sync_link.cpp, sync_requests.cpp and
// sync_events.cpp (see sync_session.hpp).
#include "session/py_session.hpp"

#include <memory>
#include <string>
#include <vector>

#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/type_support.hpp"
#include "commands/build_command.hpp"
#include "session/core/fork_generation.hpp"
#include "session/py_received.hpp"
#include "session/py_subscription.hpp"
#include "session/requests.hpp"
#include "session/session_class.hpp"
#include "session/session_methods.hpp"
#include "session/session_report.hpp"
#include "session/sync_session.hpp"

namespace qv::py {

namespace {

SessionSignatures g_sigs;
PyTypeObject* g_subscription_type = nullptr;
PyTypeObject* g_resource_type = nullptr;

PyObject* submit_command(PyObject* self, const Command& command, std::optional<double> limit) {
  RequestLine lease;
  LineBuffer& line = lease.get();
  build_command_line(command, line);
  const std::string_view lines[] = {line.view()};
  const std::string_view words[] = {command.entry().name};
  return request_lines(state_of(self), lines, words, limit, false).release();
}

const SessionSettings& settings_of(PyObject* self) { return state_of(self).settings; }

PyObject* Session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  SessionSettings settings;
  if (!read_settings(g_sigs.constructor, args, kwargs, settings)) return nullptr;
  Ref self = Ref::steal(type_alloc(type));
  if (!self) return nullptr;
  auto* object = reinterpret_cast<SessionObject*>(self.get());
  object->state = new SessionState(std::move(settings));
  object->state->owner = self.get();
  SessionState& s = *object->state;
  if (!s.telemetry.start(s.settings.telemetry, s.settings.server, s.settings.port)) return nullptr;
  if (!ensure_connected(*object->state, deadline_of(std::nullopt))) return nullptr;
  return self.release();
}

// ---- garbage collection -------------------------------------------------------------------

int Session_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  SessionState* s = reinterpret_cast<SessionObject*>(self)->state;
  if (!s) return 0;
  Py_VISIT(s->settings.is_failure.get());
  Py_VISIT(s->settings.on_reconnect.get());
  return s->events.traverse(visit, arg);
}

int Session_clear(PyObject* self) noexcept {
  SessionState* s = reinterpret_cast<SessionObject*>(self)->state;
  if (!s) return 0;
  // Let go of once the session is consistent: its deallocation may run Python code.
  Ref is_failure = std::move(s->settings.is_failure);
  Ref on_reconnect = std::move(s->settings.on_reconnect);
  s->events.clear();
  return 0;
}

// A session collected (or deallocated) while its connection is up closes it, and says so.
void Session_finalize(PyObject* self) noexcept {
  SessionState* s = reinterpret_cast<SessionObject*>(self)->state;
  if (!s || s->fork_generation != fork_generation() || !s->connection.up()) return;
  warn_unclosed(self);
  s->connection.close();
}

void Session_dealloc(PyObject* self) noexcept {
  if (call_finalizer_from_dealloc(self) < 0) return;  // brought back to life
  PyObject_GC_UnTrack(self);
  auto* object = reinterpret_cast<SessionObject*>(self);
  if (SessionState* s = object->state) {
    if (s->fork_generation == fork_generation()) {
      s->connection.close();
      delete s;
    }
    // In a child after fork(): its locks may be held by threads that are not here, and a
    // shutdown would end the parent's connection too. Left as it is.
  }
  object->state = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

// ---- Python methods -----------------------------------------------------------------------

PyObject* Session_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  SessionState& s = state_of(self);
  PyObject* command;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.request, s.settings, args, nargs, kwnames, command, limit))
    return nullptr;
  RequestLine lease;
  LineBuffer& line = lease.get();
  std::string word;
  if (!build_request_line(command, "argument 'command'", std::nullopt, line, word)) return nullptr;
  const std::string_view lines[] = {line.view()};
  const std::string_view words[] = {word};
  return request_lines(s, lines, words, limit, false).release();
}

PyObject* Session_request_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  SessionState& s = state_of(self);
  PyObject* commands;
  std::optional<double> limit;
  std::vector<LineBuffer> lines;
  std::vector<std::string> words;
  if (!bind_session_call(g_sigs, g_sigs.request_batch, s.settings, args, nargs, kwnames,
                         commands, limit) ||
      !read_batch(commands, lines, words))
    return nullptr;
  std::vector<std::string_view> texts, names;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    texts.push_back(lines[i].view());
    names.push_back(words[i]);
  }
  return request_lines(s, texts, names, limit, true).release();
}

PyObject* Session_events(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  SessionState& s = state_of(self);
  PyObject* none;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.events, s.settings, args, nargs, kwnames, none, limit) ||
      !usable(s))
    return nullptr;
  // The events held, and those read and not yet handed on, are its own first.
  if (!s.events.pump()) return nullptr;
  return new_subscription(g_subscription_type, self, s.events, nullptr, kDefaultMaxPending, limit,
                          true)
      .release();
}

PyObject* Session_subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  SessionState& s = state_of(self);
  PyObject* predicate;
  std::size_t max_pending;
  if (!bind_subscribe(g_sigs, args, nargs, kwnames, predicate, max_pending) || !usable(s))
    return nullptr;
  // What came before it is not its own: handed on first.
  if (!s.events.pump()) return nullptr;
  return new_subscription(g_subscription_type, self, s.events, predicate, max_pending,
                          std::nullopt, false)
      .release();
}

PyObject* Session_resource(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  SessionState& s = state_of(self);
  std::uint32_t resource_id;
  std::size_t max_pending;
  if (!bind_resource(g_sigs, args, nargs, kwnames, resource_id, max_pending) || !usable(s))
    return nullptr;
  if (!s.events.pump()) return nullptr;  // what came before it is not its own
  return new_handle(g_resource_type, self, s.events, resource_id, max_pending).release();
}

PyObject* Resource_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  SubscriptionObject* handle = as_subscription(self);
  PyObject* none;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.handle_get, state_of(handle->session.get()).settings,
                         args, nargs, kwnames, none, limit))
    return nullptr;
  return next_event(handle, limit, false).release();
}

PyObject* Resource_wait_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  SubscriptionObject* handle = as_subscription(self);
  PyObject* predicate;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.handle_wait_for, state_of(handle->session.get()).settings,
                         args, nargs, kwnames, predicate, limit))
    return nullptr;
  if (predicate == Py_None || !predicate) predicate = nullptr;
  else if (!check_predicate(predicate)) return nullptr;
  return handle_wait_for(handle, predicate, limit).release();
}

PyObject* Subscription_next(PyObject* self) {
  SubscriptionObject* sub = as_subscription(self);
  return next_event(sub, sub->step_limit, true).release();
}

PyObject* Subscription_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  SubscriptionObject* sub = as_subscription(self);
  PyObject* none;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.get, state_of(sub->session.get()).settings, args, nargs,
                         kwnames, none, limit))
    return nullptr;
  return next_event(sub, limit, false).release();
}

PyObject* Session_wait_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  SessionState& s = state_of(self);
  PyObject* predicate;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.wait_for, s.settings, args, nargs, kwnames, predicate,
                         limit) ||
      !check_predicate(predicate))
    return nullptr;
  return wait_for_event(s, predicate, limit).release();
}

PyObject* Session_completion(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  SessionState& s = state_of(self);
  PyObject* reply;
  std::optional<double> limit;
  if (!bind_session_call(g_sigs, g_sigs.completion, s.settings, args, nargs, kwnames, reply,
                         limit) ||
      !usable(s))
    return nullptr;
  const std::shared_ptr<CompletionBox> box = completion_box(reply, s.events);
  if (!box) return nullptr;
  Ref token;
  if (!s.telemetry.completion_started(token)) return nullptr;
  return Telemetry::completion_ended(std::move(token), wait_completion(s, *box, limit)).release();
}

PyObject* Session_close(PyObject* self, PyObject*) {
  SessionState& s = state_of(self);
  if (s.fork_generation != fork_generation()) {
    raise_forked();
    return nullptr;
  }
  if (!s.closed()) {
    WithoutInterpreter released;
    s.connection.close();
  }
  s.events.clear();
  if (!s.telemetry.closing()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* Session_enter(PyObject* self, PyObject*) {
  if (!usable(state_of(self))) return nullptr;
  return Py_NewRef(self);
}

PyObject* Session_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  Ref done = Ref::steal(Session_close(self, nullptr));
  if (!done) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* Session_get_closed(PyObject* self, void*) {
  return PyBool_FromLong(state_of(self).closed());
}

PyObject* Session_get_stats(PyObject* self, void*) {
  SessionState& s = state_of(self);
  if (s.fork_generation != fork_generation()) {  // its lock may be held by a thread not here
    raise_forked();
    return nullptr;
  }
  SessionCounts counts = s.counts;
  const SyncConnection::Snapshot now = s.connection.snapshot();
  counts.events = now.events;
  counts.dropped = s.events.dropped();  // the connection's own drops are counted once handed on
  return make_stats(counts).release();
}

PyObject* Session_repr(PyObject* self) {
  SessionState& s = state_of(self);
  if (s.fork_generation != fork_generation())  // its lock may be held by a thread not here
    return session_repr({"Session", s.settings.server, s.settings.port, "unusable after fork", 0,
                         s.events.held()});
  const SyncConnection::Snapshot now = s.connection.snapshot();
  return session_repr({"Session", s.settings.server, s.settings.port, link_state_text(now.state),
                       now.pending, s.events.held() + now.queued_events});
}

// What the per-command methods need of the class.
struct SessionClass {
  static constexpr const char* kOwner = "Session";
  static constexpr const char* kHandle = "Resource";
  static constexpr CommandDocOwner kHandleDocs = CommandDocOwner::Resource;
  static PyObject* session_of(PyObject* handle) { return as_subscription(handle)->session.get(); }
  static constexpr CommandDocOwner kDocs = CommandDocOwner::Session;
  static const SessionSettings& settings(PyObject* self) { return settings_of(self); }
  static PyObject* submit(PyObject* self, const Command& command, std::optional<double> limit) {
    return submit_command(self, command, limit);
  }
};

}  // namespace

PyTypeObject* init_session_class() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  if (!init_received_classes()) return nullptr;
  if (!make_session_signatures(g_sigs, "Session")) return nullptr;
  constexpr auto kCall = METH_FASTCALL | METH_KEYWORDS;
#define QV_TIMEOUT "timeout=" QV_SESSION_TIMEOUT_NAME

  g_subscription_type = make_subscription_class({
      "builtins.Subscription",
      {{Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
       {Py_tp_iternext, slot_entry<Subscription_next>()}},
      {method("Subscription", "get", method_entry<Subscription_get>(), kCall,
              "get($self, /, " QV_TIMEOUT ")")},
      nullptr});
  if (!g_subscription_type) return nullptr;

  const auto* for_resource = handle_command_methods<SessionClass>();
  if (!for_resource) return nullptr;
  std::vector<PyMethodDef> resource_methods = {
      method("Resource", "get", method_entry<Resource_get>(), kCall, "get($self, /, " QV_TIMEOUT ")"),
      method("Resource", "wait_for", method_entry<Resource_wait_for>(), kCall,
             "wait_for($self, /, predicate=None, " QV_TIMEOUT ")")};
  resource_methods.insert(resource_methods.end(), for_resource->begin(), for_resource->end());
  g_resource_type = make_subscription_class({
      "builtins.Resource",
      {{Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
       {Py_tp_iternext, slot_entry<Subscription_next>()}},
      std::move(resource_methods), nullptr, {resource_id_getter()}});
  if (!g_resource_type) return nullptr;

  const auto* per_command = session_command_methods<SessionClass>();
  if (!per_command) return nullptr;
  const SessionClassTraits traits = {
      "Session", sizeof(SessionObject), slot_entry<Session_new>(),
      dealloc_slot<Session_dealloc>(), entry<Session_get_closed>, entry<Session_get_stats>,
      slot_entry<Session_repr>(),
      nothrow_slot<Session_traverse>(), nothrow_slot<Session_clear>(),
      nothrow_slot<Session_finalize>()};
  const char* const owner = "Session";
  type = make_session_class(traits, {
      method(owner, "request", method_entry<Session_request>(), kCall,
             "request($self, /, command, " QV_TIMEOUT ")"),
      method(owner, "request_batch", method_entry<Session_request_batch>(), kCall,
             "request_batch($self, /, commands, " QV_TIMEOUT ")"),
      method(owner, "events", method_entry<Session_events>(), kCall, "events($self, /, timeout=None)"),
      method(owner, "subscribe", method_entry<Session_subscribe>(), kCall,
             "subscribe($self, /, predicate=None, *, max_pending=10000)"),
      method(owner, "resource", method_entry<Session_resource>(), kCall,
             "resource($self, /, resource_id, *, max_pending=10000)"),
      method(owner, "wait_for", method_entry<Session_wait_for>(), kCall,
             "wait_for($self, /, predicate, " QV_TIMEOUT ")"),
      method(owner, "completion", method_entry<Session_completion>(), kCall,
             "completion($self, /, reply, " QV_TIMEOUT ")"),
      method(owner, "close", method_entry<Session_close>(), METH_NOARGS, "close($self, /)"),
      method(owner, "__enter__", method_entry<Session_enter>(), METH_NOARGS),
      method(owner, "__exit__", method_entry<Session_exit>(), METH_FASTCALL),
  }, *per_command);
#undef QV_TIMEOUT
  return type;
}

}  // namespace qv::py
