// AsyncSession: a connection that hears the server, for asyncio. The class and its methods
// but those on the event side (async_consumers.cpp); its state and the files that drive it
// are described in async_session.hpp.
#include "session/py_async_session.hpp"

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/method_call.hpp"
#include "binding/type_support.hpp"
#include "commands/build_command.hpp"
#include "session/async_session.hpp"
#include "session/asyncio_api.hpp"
#include "session/core/fork_generation.hpp"
#include "session/py_received.hpp"
#include "session/py_subscription.hpp"
#include "session/session_class.hpp"
#include "session/session_methods.hpp"
#include "session/wire_log.hpp"

namespace qv::py {

SessionSignatures g_async_sigs;
PyTypeObject* g_async_subscription_type = nullptr;
PyTypeObject* g_async_resource_type = nullptr;

namespace {

LinkConfig link_config(const SessionSettings& s) {
  return {s.server, s.port, s.username, s.timeout, s.reconnect_attempts, s.reconnect_delay,
          s.reconnect_max_delay};
}

// The events the pipeline takes in at once before the loop hands them on: at most one line
// per byte of a read.
constexpr std::size_t kInboundEvents = 4096 + kSessionReceiveBytes;

}  // namespace

AsyncState::AsyncState(SessionSettings given)
    : settings(std::move(given)),
      link(link_config(settings)),
      core(settings.max_line),
      events(*this, settings.max_events, kInboundEvents, settings.resource_key, telemetry),
      fork_generation(qv::fork_generation()) {}

bool on_its_loop(AsyncState& s) {
  if (s.fork_generation != fork_generation()) {
    raise_forked();
    return false;
  }
  if (s.closed()) {
    raise_closed();
    return false;
  }
  Ref running = aio::running_loop();
  if (!running) return false;
  if (!s.loop) {
    s.loop = std::move(running);
    return true;
  }
  if (running.get() != s.loop.get()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "the session belongs to another event loop: use it from the loop that "
                    "made its first call");
    return false;
  }
  return true;
}

Ref done_pending(AsyncState& s, PyObject* self, PyObject* value) {
  Ref future = aio::done_future(s.loop.get(), value);
  if (!future) return {};
  return make_pending(future.get(), self, forget_pending, PendingOf::Nothing, 0);
}

namespace {

// Sends one request; the Pending of its reply, or null with the error set.
PyObject* submit_line(PyObject* self, const LineBuffer& text, CommandWord word,
                      std::optional<double> limit) {
  AsyncState& s = async_of(self);
  if (!on_its_loop(s) || !ensure_link(self)) return nullptr;
  Ref future = aio::new_future(s.loop.get());
  if (!future) return nullptr;
  const std::uint64_t tag = s.core.new_tag();
  if (s.telemetry.on()) {  // its span from now, in the caller's context, to the future's end
    Ref spans;
    const std::string_view words[] = {word.view()};
    if (!s.telemetry.requests_started(words, {&tag, 1}, spans) ||
        !Telemetry::end_when_done(spans.get(), future.get()))
      return nullptr;
  }
  Request request;
  request.future = Ref::borrow(future.get());
  request.word = std::move(word);
  request.limit = limit;
  request.completion = s.events.expect_completion(tag);
  // Registered before its line can leave, so that no reply can come too early for it.
  Request& added = s.core.add(tag, std::move(request));
  added.deadline = s.deadlines.add(deadline_for(limit), WaitKey{WaitKey::Of::Request, tag});
  std::vector<std::string> traced;
  queue_line(s, text, tag, s.tracing > 0 ? &traced : nullptr);
  Ref pending = make_pending(future.get(), self, forget_pending, PendingOf::Request, tag);
  if (!pending || !schedule_flush(self) || !arm_timer(self)) return nullptr;
  // Last: a handler may close the session, which fails the request, as it should.
  if (!trace_sent(s, traced)) return nullptr;
  return pending.release();
}

PyObject* submit_command(PyObject* self, const Command& command, std::optional<double> limit) {
  RequestLine lease;
  LineBuffer& line = lease.get();
  build_command_line(command, line);
  return submit_line(self, line, CommandWord(command.entry().name), limit);
}

const SessionSettings& settings_of(PyObject* self) { return async_of(self).settings; }

PyObject* AsyncSession_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  AsyncState& s = async_of(self);
  PyObject* command;
  std::optional<double> limit;
  if (!bind_session_call(g_async_sigs, g_async_sigs.request, s.settings, args, nargs, kwnames,
                         command, limit))
    return nullptr;
  RequestLine lease;
  LineBuffer& line = lease.get();
  std::string word;
  if (!build_request_line(command, "argument 'command'", std::nullopt, line, word)) return nullptr;
  return submit_line(self, line, CommandWord(std::move(word)), limit);
}

PyObject* AsyncSession_request_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  AsyncState& s = async_of(self);
  PyObject* commands;
  std::optional<double> limit;
  std::vector<LineBuffer> lines;
  std::vector<std::string> words;
  if (!bind_session_call(g_async_sigs, g_async_sigs.request_batch, s.settings, args, nargs, kwnames,
                         commands, limit) ||
      !read_batch(commands, lines, words))
    return nullptr;
  const auto count = static_cast<Py_ssize_t>(lines.size());
  if (!on_its_loop(s) || !ensure_link(self)) return nullptr;
  Ref future = aio::new_future(s.loop.get());
  Ref results = Ref::steal(PyList_New(count));
  if (!future || !results) return nullptr;
  if (count == 0) {
    if (!aio::set_result(future.get(), results.get())) return nullptr;
    return make_pending(future.get(), self, forget_pending, PendingOf::Nothing, 0).release();
  }
  for (Py_ssize_t i = 0; i < count; ++i) list_fill(results.get(), i, Py_NewRef(Py_None));
  const std::uint64_t id = ++s.next_batch;
  Batch batch;
  batch.future = Ref::borrow(future.get());
  batch.results = std::move(results);
  batch.remaining = static_cast<std::size_t>(count);
  batch.limit = limit;
  batch.tags.reserve(lines.size());
  for (Py_ssize_t i = 0; i < count; ++i) batch.tags.push_back(s.core.new_tag());
  const std::vector<std::uint64_t> tags = batch.tags;
  if (s.telemetry.on()) {  // a span per member, all ended with the batch
    Ref spans;
    const std::vector<std::string_view> names(words.begin(), words.end());
    if (!s.telemetry.requests_started(names, tags, spans) ||
        !Telemetry::end_when_done(spans.get(), future.get()))
      return nullptr;
  }
  s.batches.add(id, std::move(batch)).deadline =
      s.deadlines.add(deadline_for(limit), WaitKey{WaitKey::Of::Batch, id});
  // Every member registered and queued before anything else runs; the trace after.
  std::vector<std::string> traced;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const std::uint64_t tag = tags[static_cast<std::size_t>(i)];
    Request member;
    member.batch = id;
    member.index = static_cast<std::size_t>(i);
    member.word = CommandWord(std::move(words[static_cast<std::size_t>(i)]));
    member.limit = limit;
    member.completion = s.events.expect_completion(tag);
    s.core.add(tag, std::move(member));
    queue_line(s, lines[static_cast<std::size_t>(i)], tag, s.tracing > 0 ? &traced : nullptr);
  }
  Ref pending = make_pending(future.get(), self, forget_pending, PendingOf::Batch, id);
  if (!pending || !schedule_flush(self) || !arm_timer(self)) return nullptr;
  if (!trace_sent(s, traced)) return nullptr;
  return pending.release();
}

// connect() and __aenter__: done once logged in, resolving to `value`.
PyObject* connect_pending(PyObject* self, PyObject* value) {
  AsyncState& s = async_of(self);
  if (!on_its_loop(s)) return nullptr;
  if (s.link.up()) return done_pending(s, self, value).release();
  Ref future = aio::new_future(s.loop.get());
  if (!future || !ensure_link(self)) return nullptr;
  s.connect_waiters.emplace_back(Ref::borrow(future.get()), Ref::borrow(value));
  return make_pending(future.get(), self, forget_pending, PendingOf::Nothing, 0).release();
}

PyObject* AsyncSession_connect(PyObject* self, PyObject*) { return connect_pending(self, Py_None); }
PyObject* AsyncSession_aenter(PyObject* self, PyObject*) { return connect_pending(self, self); }

// Every wait ends and the socket is let go of; on the loop's thread.
bool shut_down(PyObject* self) {
  AsyncState& s = async_of(self);
  if (s.shut) return true;
  s.shut = true;
  FirstError error;
  // Lines queued and not yet written go out if the socket takes them now.
  if (!flush(self)) PyErr_Clear();
  raise_closed();
  if (!settle_connect_waiters(s, false)) error.keep();
  if (!lose(self, false)) error.keep();
  if (s.timer && !aio::cancel_handle(s.timer.get())) error.keep();
  s.timer = {};
  while (auto entry = s.events.take_any_wait()) {
    // An iteration ends; a wait_for() or get() learns that nothing will come.
    const EventWait& w = entry->second;
    if (w.subscription) as_subscription(w.subscription.get())->waiter = 0;
    if (!w.ends_iteration) raise_closed();
    if (!settle(w.future.get(), w.ends_iteration ? Py_None : nullptr)) error.keep();
  }
  while (auto entry = s.batches.take_any()) {
    const Batch& b = entry->second;
    raise_lost("the batch", b.tags.empty() ? 0 : b.tags.front(), true);
    if (!settle(b.future.get(), nullptr)) error.keep();
  }
  if (!end_reconnect_hold(s)) error.keep();
  if (!s.telemetry.closing()) error.keep();
  s.queued.clear();
  s.events.clear();
  return error.restore();
}

PyObject* on_close(PyObject* self, PyObject*) {
  return shut_down(self) ? Py_NewRef(Py_None) : nullptr;
}
PyMethodDef g_on_close = {"_close", method_entry<on_close>(), METH_NOARGS, nullptr};

// Whether the loop runs in another thread than the caller's: then the session is touched
// on that thread only.
int loop_runs_elsewhere(AsyncState& s) {
  Ref running = aio::running_loop();
  if (!running) PyErr_Clear();
  if (running.get() == s.loop.get()) return 0;
  Ref is_running = call_method(s.loop.get(), "is_running", nullptr);
  if (!is_running) return -1;
  return PyObject_IsTrue(is_running.get());
}

// Ends the connection at once; every wait ends. Awaitable, so that `await s.close()` reads
// as asyncio's closing calls do, but nothing is left to wait for. From another thread than
// the loop's, the loop is woken to end the waits at once.
PyObject* AsyncSession_close(PyObject* self, PyObject*) {
  AsyncState& s = async_of(self);
  if (s.fork_generation != fork_generation()) {
    raise_forked();
    return nullptr;
  }
  if (!s.loop) {  // never used: nothing to end, nothing to await on
    (void)s.link.advance(Clock::now(), LinkInput::Kind::Close);
    s.shut = true;
    Py_RETURN_NONE;
  }
  if (!s.closed()) {
    (void)s.link.advance(Clock::now(), LinkInput::Kind::Close);
    const int elsewhere = loop_runs_elsewhere(s);
    if (elsewhere < 0) PyErr_Clear();  // cannot tell: end it from here, as before
    if (elsewhere > 0) {
      if (!loop_call(s, "call_soon_threadsafe", self, &g_on_close)) {
        PyErr_Clear();  // the loop closed meanwhile: nothing runs it any more
        if (!shut_down(self)) return nullptr;
      }
    } else if (!shut_down(self)) {
      return nullptr;
    }
  }
  return done_pending(s, self, Py_None).release();
}

PyObject* AsyncSession_aexit(PyObject* self, PyObject* const*, Py_ssize_t) {
  return AsyncSession_close(self, nullptr);
}

PyObject* AsyncSession_get_closed(PyObject* self, void*) {
  return PyBool_FromLong(async_of(self).closed());
}

PyObject* AsyncSession_get_stats(PyObject* self, void*) {
  AsyncState& s = async_of(self);
  SessionCounts counts = s.counts;
  counts.events = s.events.received();
  counts.dropped = s.events.dropped();
  return make_stats(counts).release();
}

PyObject* AsyncSession_repr(PyObject* self) {
  AsyncState& s = async_of(self);
  // The Login is the connection's own, not one of the program's requests.
  std::size_t pending = s.core.size();
  if (const auto login = s.link.login_tag(); login && s.core.find(*login) && pending > 0) --pending;
  return session_repr({"AsyncSession", s.settings.server, s.settings.port,
                       link_state_text(s.link.state()), pending, s.events.held()});
}

PyObject* AsyncSession_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!aio::init() || !init_pending_class()) return nullptr;
  SessionSettings settings;
  if (!read_settings(g_async_sigs.constructor, args, kwargs, settings)) return nullptr;
  Ref self = Ref::steal(type_alloc(type));
  if (!self) return nullptr;
  AsyncState* state = new AsyncState(std::move(settings));
  state->owner = self.get();
  reinterpret_cast<AsyncSessionObject*>(self.get())->state = state;
  if (!state->telemetry.start(state->settings.telemetry, state->settings.server, state->settings.port))
    return nullptr;
  return self.release();
}

// ---- garbage collection -------------------------------------------------------------------

int AsyncSession_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  AsyncState* s = reinterpret_cast<AsyncSessionObject*>(self)->state;
  if (!s) return 0;
  Py_VISIT(s->settings.is_failure.get());
  Py_VISIT(s->loop.get());
  if (const int r = s->core.visit([&](const Request& q) {
        Py_VISIT(q.future.get());
        return 0;
      }))
    return r;
  if (const int r = s->batches.visit([&](const Batch& b) {
        Py_VISIT(b.future.get());
        Py_VISIT(b.results.get());
        Py_VISIT(b.first_failure.get());
        return 0;
      }))
    return r;
  for (const auto& [future, value] : s->connect_waiters) {
    Py_VISIT(future.get());
    Py_VISIT(value.get());
  }
  Py_VISIT(s->login_failure.get());
  Py_VISIT(s->hook_task.get());
  Py_VISIT(s->settings.on_reconnect.get());
  Py_VISIT(s->timer.get());
  Py_VISIT(s->step_timer.get());
  return s->events.traverse(visit, arg);
}

// Unreachable: the finalizer has run, so no loop watches the socket any more.
int AsyncSession_clear(PyObject* self) noexcept {
  AsyncState* s = reinterpret_cast<AsyncSessionObject*>(self)->state;
  if (!s) return 0;
  (void)s->link.advance(Clock::now(), LinkInput::Kind::Close);
  // Let go of once the session is consistent: their deallocation may run Python code.
  Ref is_failure = std::move(s->settings.is_failure);
  Ref loop = std::move(s->loop);
  struct Drop {
    std::size_t push(Incoming&&) { return 0; }
  } drop;
  SessionCore<Request>::Table requests = s->core.lose(false, drop);
  auto batches = std::move(s->batches);
  auto connect_waiters = std::move(s->connect_waiters);
  Ref timer = std::move(s->timer);
  Ref step_timer = std::move(s->step_timer);
  Ref login_failure = std::move(s->login_failure);
  Ref hook_task = std::move(s->hook_task);
  Ref on_reconnect = std::move(s->settings.on_reconnect);
  s->lookup.reset();
  std::vector<EventWait> waits;
  while (auto entry = s->events.take_any_wait()) waits.push_back(std::move(entry->second));
  s->batches.clear();
  s->connect_waiters.clear();
  s->events.clear();
  return 0;
}

// Calls `method` on an object for a finalizer: a failure is let go of (the loop may be
// closed, or dying too).
void call_quietly(PyObject* target, const char* method, PyObject* arg = nullptr) {
  Ref done = arg ? call_method(target, method, "O", arg)
                 : call_method(target, method, nullptr);
  if (!done) PyErr_Clear();
}

// A session collected (or deallocated) with its socket open closes it, and says so. A loop
// still open stops watching it; a closed loop is not called (it would refuse).
void AsyncSession_finalize(PyObject* self) noexcept {
  AsyncState* s = reinterpret_cast<AsyncSessionObject*>(self)->state;
  if (!s || s->closed() || s->fork_generation != fork_generation()) return;
  if (s->fd < 0) {
    // Still resolving the server's name: nothing is open, but the lookup is let go of.
    if (s->lookup && s->loop) {
      Ref fd = Ref::steal(PyLong_FromLong(s->lookup->ready_fd()));
      if (fd) call_quietly(s->loop.get(), "remove_reader", fd.get());
      PyErr_Clear();
    }
    s->lookup.reset();
    return;
  }
  warn_unclosed(self);
  Ref raised = Ref::steal(take_raised_exception());
  (void)s->link.advance(Clock::now(), LinkInput::Kind::Close);
  bool loop_open = false;
  if (s->loop) {
    Ref closed = call_method(s->loop.get(), "is_closed", nullptr);
    loop_open = closed && closed.get() == Py_False;
    if (!closed) PyErr_Clear();
  }
  if (loop_open) {
    Ref fd = Ref::steal(PyLong_FromLong(s->fd));
    if (!fd) PyErr_Clear();
    if (fd && s->reading) call_quietly(s->loop.get(), "remove_reader", fd.get());
    if (fd && s->writing) call_quietly(s->loop.get(), "remove_writer", fd.get());
    if (s->timer) call_quietly(s->timer.get(), "cancel");
    if (s->step_timer) call_quietly(s->step_timer.get(), "cancel");
  }
  s->reading = s->writing = false;
  ::close(s->fd);
  s->fd = -1;
  set_raised_exception(raised.release());
}

void AsyncSession_dealloc(PyObject* self) noexcept {
  if (call_finalizer_from_dealloc(self) < 0) return;  // brought back to life
  PyObject_GC_UnTrack(self);
  auto* object = reinterpret_cast<AsyncSessionObject*>(self);
  if (AsyncState* s = object->state) {
    // The loop holds the session while it watches its socket: here nothing watches it.
    if (s->fd >= 0) ::close(s->fd);
    delete s;
  }
  object->state = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

// What the per-command methods need of the class.
struct AsyncSessionClass {
  static constexpr const char* kOwner = "AsyncSession";
  static constexpr const char* kHandle = "AsyncResource";
  static constexpr CommandDocOwner kHandleDocs = CommandDocOwner::AsyncResource;
  static PyObject* session_of(PyObject* handle) { return as_subscription(handle)->session.get(); }
  static constexpr CommandDocOwner kDocs = CommandDocOwner::AsyncSession;
  static const SessionSettings& settings(PyObject* self) { return settings_of(self); }
  static PyObject* submit(PyObject* self, const Command& command, std::optional<double> limit) {
    return submit_command(self, command, limit);
  }
};

}  // namespace

PyTypeObject* init_async_session_class() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  if (!init_received_classes()) return nullptr;
  if (!make_session_signatures(g_async_sigs, "AsyncSession")) return nullptr;
  constexpr auto kCall = METH_FASTCALL | METH_KEYWORDS;
#define QV_TIMEOUT "timeout=" QV_SESSION_TIMEOUT_NAME
  const PyMethodDef aenter = {"__aenter__", method_entry<Consumer_aenter>(), METH_NOARGS,
                              documented("consumer.__aenter__")};
  const PyMethodDef aexit = {"__aexit__", method_entry<Consumer_aexit>(), METH_FASTCALL,
                             documented("consumer.__aexit__")};

  g_async_subscription_type = make_subscription_class({
      "builtins.AsyncSubscription",
      {{Py_am_aiter, reinterpret_cast<void*>(PyObject_SelfIter)},
       {Py_am_anext, slot_entry<AsyncSubscription_anext>()}},
      {method("AsyncSubscription", "get", method_entry<AsyncSubscription_get>(), kCall,
              "get($self, /, " QV_TIMEOUT ")"),
       aenter, aexit},
      subscription_ended});
  if (!g_async_subscription_type) return nullptr;

  const auto* for_resource = handle_command_methods<AsyncSessionClass>();
  if (!for_resource) return nullptr;
  std::vector<PyMethodDef> resource_methods = {
      method("AsyncResource", "get", method_entry<AsyncResource_get>(), kCall,
             "get($self, /, " QV_TIMEOUT ")"),
      method("AsyncResource", "wait_for", method_entry<AsyncResource_wait_for>(), kCall,
             "wait_for($self, /, predicate=None, " QV_TIMEOUT ")"),
      aenter, aexit};
  resource_methods.insert(resource_methods.end(), for_resource->begin(), for_resource->end());
  g_async_resource_type = make_subscription_class({
      "builtins.AsyncResource",
      {{Py_am_aiter, reinterpret_cast<void*>(PyObject_SelfIter)},
       {Py_am_anext, slot_entry<AsyncSubscription_anext>()}},
      std::move(resource_methods), subscription_ended, {resource_id_getter()}});
  if (!g_async_resource_type) return nullptr;

  const auto* per_command = session_command_methods<AsyncSessionClass>();
  if (!per_command) return nullptr;
  const SessionClassTraits traits = {
      "AsyncSession", sizeof(AsyncSessionObject), slot_entry<AsyncSession_new>(),
      dealloc_slot<AsyncSession_dealloc>(), entry<AsyncSession_get_closed>,
      entry<AsyncSession_get_stats>, slot_entry<AsyncSession_repr>(),
      nothrow_slot<AsyncSession_traverse>(), nothrow_slot<AsyncSession_clear>(),
      nothrow_slot<AsyncSession_finalize>()};
  const char* const owner = "AsyncSession";
  type = make_session_class(traits, {
      method(owner, "connect", method_entry<AsyncSession_connect>(), METH_NOARGS, "connect($self, /)"),
      method(owner, "request", method_entry<AsyncSession_request>(), kCall,
             "request($self, /, command, " QV_TIMEOUT ")"),
      method(owner, "request_batch", method_entry<AsyncSession_request_batch>(), kCall,
             "request_batch($self, /, commands, " QV_TIMEOUT ")"),
      method(owner, "events", method_entry<AsyncSession_events>(), kCall,
             "events($self, /, timeout=None)"),
      method(owner, "subscribe", method_entry<AsyncSession_subscribe>(), kCall,
             "subscribe($self, /, predicate=None, *, max_pending=10000)"),
      method(owner, "resource", method_entry<AsyncSession_resource>(), kCall,
             "resource($self, /, resource_id, *, max_pending=10000)"),
      method(owner, "wait_for", method_entry<AsyncSession_wait_for>(), kCall,
             "wait_for($self, /, predicate, " QV_TIMEOUT ")"),
      method(owner, "completion", method_entry<AsyncSession_completion>(), kCall,
             "completion($self, /, reply, " QV_TIMEOUT ")"),
      method(owner, "close", method_entry<AsyncSession_close>(), METH_NOARGS, "close($self, /)"),
      method(owner, "__aenter__", method_entry<AsyncSession_aenter>(), METH_NOARGS),
      method(owner, "__aexit__", method_entry<AsyncSession_aexit>(), METH_FASTCALL),
  }, *per_command);
#undef QV_TIMEOUT
  return type;
}

}  // namespace qv::py
