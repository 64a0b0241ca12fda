#pragma once
// AsyncSession's state, one object made with the session and destroyed with it, shared by
// the files that make it up: async_link.cpp (driving the connection's Link from the loop's
// callbacks), async_waits.cpp (futures, the one index of deadlines and its timer, the one
// place a waitable is settled), async_io.cpp (reading and writing the socket),
// py_async_session.cpp (the class and its methods) and async_consumers.cpp (its methods on
// the event side: waits, subscriptions, resource handles). An await costs no thread: the
// running loop watches the socket (add_reader), and the callback it runs reads what arrived
// and has the session core route it; lines to send are gathered in a SendQueue and written
// once per loop iteration.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/first_error.hpp"
#include "binding/ref.hpp"
#include "net/ip_address.hpp"
#include "net/resolve.hpp"
#include "session/core/deadline_index.hpp"
#include "session/core/keyed_table.hpp"
#include "session/core/link.hpp"
#include "session/core/send_queue.hpp"
#include "session/core/session_core.hpp"
#include "session/event_pipeline.hpp"
#include "session/py_pending.hpp"
#include "session/requests.hpp"
#include "session/session_report.hpp"
#include "session/settings.hpp"

namespace qv::py {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

// What the core keeps per request for this class.
struct Request {
  Ref future;                   // empty for a member of a batch, and for the Login
  std::uint64_t batch = 0;      // the batch it belongs to, if any
  std::size_t index = 0;        // its place in the batch
  CommandWord word;             // for messages
  std::optional<double> limit;  // for messages
  bool login = false;           // the Login of the connection being made
  Deadlines::Handle deadline;
  std::shared_ptr<CompletionBox> completion;  // kept for its Reply
};

struct Batch {
  Ref future;
  Ref results;  // list
  std::vector<std::uint64_t> tags;
  std::size_t remaining = 0;
  Ref first_failure;
  std::optional<double> limit;
  Deadlines::Handle deadline;
};

class AsyncState final : public EventPipeline::Host {
 public:
  explicit AsyncState(SessionSettings given);

  SessionSettings settings;
  Ref loop;   // the running loop of the first call
  Link link;  // the connection's life: its one state
  // Before the tables whose entries hold handles into it.
  Deadlines deadlines;
  SessionCore<Request> core;  // tags, the requests (the Login among them), routing, loss
  KeyedTable<std::uint64_t, Batch> batches;
  Telemetry telemetry;  // metrics and traces, when on
  EventPipeline events;
  SendQueue out;     // wire lines for the socket
  SendQueue queued;  // lines of requests made while connecting, sent once logged in
  std::vector<std::pair<Ref, Ref>> connect_waiters;  // future, and what it resolves to
  Ref login_failure;  // what the Login came to, when it ends connecting
  // A reconnect's on_reconnect under way (its task), and the mark that goes once it is done.
  Ref hook_task;
  std::optional<Incoming> reconnect_mark;
  PyObject* owner = nullptr;  // the AsyncSession this is the state of (borrowed: it owns it)
  RequestMarker request_marker;  // each task's last request's place

  // The socket, and what the loop does for it.
  int fd = -1;
  bool reading = false;          // add_reader is in place
  bool writing = false;          // add_writer is in place (output, or a connect under way)
  bool flush_scheduled = false;  // call_soon(flush) is pending
  bool ack_owed = false;         // data came since the last write: see flush()
  std::unique_ptr<char[]> buffer;

  // The loop's handles: the timer of the earliest deadline; the timer of the link's step
  // under way (an address's limit, the resolver's, a pause), which `step` numbers so a late
  // one is known. The name's lookup under way, whose descriptor the loop watches.
  Ref timer;
  Time timer_at{};
  Ref step_timer;
  std::uint64_t step = 0;
  std::shared_ptr<Lookup> lookup;

  std::uint64_t fork_generation;
  std::uint64_t next_batch = 0;
  SessionCounts counts;  // events and dropped: the pipeline's own
  int tracing = 0;       // the wire trace is on: asked once per batch read or written
  bool shut = false;     // closed, and every wait has ended (on the loop's thread)

  bool closed() const noexcept { return link.state() == LinkState::Closed; }

  // EventPipeline::Host
  void refill(EventList&) override {}  // reads feed the pipeline directly
  bool trace(const Incoming&) override { return true; }  // traced as read, replies among them
  bool still_waiting(std::uint64_t id) override;
  void settled(std::uint64_t id) override;
  bool open() const override { return !closed(); }
  bool streams_go_on() const override { return settings.reconnect_attempts > 0; }
  const std::string& server() const override { return settings.server; }
  std::uint16_t port() const override { return settings.port; }
};

struct AsyncSessionObject {
  PyObject_HEAD
  AsyncState* state;
};

inline AsyncState& async_of(PyObject* self) {
  return *reinterpret_cast<AsyncSessionObject*>(self)->state;
}


// ---- the loop (async_waits.cpp) -------------------------------------------------------------

// A callback bound to the session; the loop keeps the session alive while it holds one.
Ref callback(PyObject* self, PyMethodDef& def);
// loop.<method>(callback) or loop.<method>(first, callback); false with the error set.
bool loop_call(AsyncState& s, const char* method, PyObject* self, PyMethodDef* def,
               PyObject* first = nullptr);
// loop.call_later(seconds until `until`, callback[, arg]).
Ref call_at(AsyncState& s, Time until, PyObject* self, PyMethodDef& def, PyObject* arg = nullptr);
std::optional<Time> deadline_for(std::optional<double> limit);

// The one place a waitable gets its outcome: `result`, or (null) the exception being raised,
// which it consumes. A future done already (cancelled) is left as it is. False when the loop
// refused (error set).
bool settle(PyObject* future, PyObject* result);
// The timer follows the earliest deadline.
bool arm_timer(PyObject* self);

// A request out of the table fails with the exception being raised (consumed).
bool fail_request(PyObject* self, const Request& request);
// A member of a batch is answered (reply) or failed (null, error set).
bool settle_batch_member(PyObject* self, const Request& member, Ref reply);
// Fails every request a loss handed back (and so every batch).
bool fail_lost(PyObject* self, SessionCore<Request>::Table& lost, bool closed_by_program);
// A request given up before its answer: out of the table, its line out of the queue when
// none of it has left yet.
std::optional<Request> give_up_request(AsyncState& s, std::uint64_t tag);
// A batch given up as a whole (cancelled): its unanswered members with it.
bool give_up_batch(AsyncState& s, std::uint64_t id);
// A reply handed to a future whose task will not read it: an event again.
void reclaim_reply(AsyncState& s, PyObject* reply);
// What a Pending asks when its task will not read its outcome.
void forget_pending(PyObject* self, PendingOf of, std::uint64_t key, PyObject* future);
void forget_step(PyObject* subscription, PendingOf of, std::uint64_t key, PyObject* future);
// A completion's wait: it holds a copy, so nothing goes back anywhere.
void forget_completion(PyObject* self, PendingOf of, std::uint64_t key, PyObject* future);
// The wait of a subscription that ended ends too.
void subscription_ended(SubscriptionObject* sub);
// Registers a wait for events (wait_for's, or a subscription's step); its Pending. A
// telemetry `token` ends when the wait does.
PyObject* add_event_wait(PyObject* self, EventWait wait, PyObject* pending_owner,
                         ForgetPending forget, bool iterating, PyObject* token = nullptr);

// ---- the connection (async_link.cpp) --------------------------------------------------------

// Makes sure a connection is up or on its way; false with the error set, also when the
// connect this call started failed before it returns (no descriptor left, say).
bool ensure_link(PyObject* self);
// Drives the link on from `step` as far as it goes without waiting. False with the error set;
// when connecting fails on the way, its exception also goes to `failed` (if given).
bool apply(PyObject* self, LinkStep step, Ref* failed = nullptr);
// The Login's outcome: its judged reply, or (null) the exception being raised.
bool login_answered(PyObject* self, Ref reply);
// The connection ends (lost, or closed by the program). Requests fail, a wait for events
// sees where it happened; lost while logging in, connecting fails.
bool lose(PyObject* self, bool mark);
// Lets go of the socket and of the link's step under way: nothing is read or written on it.
bool teardown(AsyncState& s);
// Every wait for the connection gets the outcome: success, or the exception being raised.
bool settle_connect_waiters(AsyncState& s, bool ok);
// The events held since a reconnect's Login are handed on, after its mark if it came up; an
// on_reconnect under way is let go of.
bool end_reconnect_hold(AsyncState& s);

// ---- the socket (async_io.cpp) --------------------------------------------------------------

bool flush(PyObject* self);
// Lines for the socket go out at the end of this loop iteration, all in one write.
bool schedule_flush(PyObject* self);
// loop.add_reader / add_writer (`method`) of `fd` (the socket's when -1), and the removal.
bool watch(AsyncState& s, PyObject* self, const char* method, PyMethodDef* def, int fd = -1);
bool unwatch(AsyncState& s, const char* method, int fd = -1);
extern PyMethodDef g_on_readable;
// Traces wire lines sent (copies: a handler may close the session); false with the error set.
bool trace_sent(AsyncState& s, const std::vector<std::string>& lines);
// A request's line is queued: counted, and traced as it will leave (tagged) once the call
// is done with the session's state; the copy goes to `traced` (when tracing).
void queue_line(AsyncState& s, const LineBuffer& text, std::uint64_t tag,
                std::vector<std::string>* traced);

// ---- the class (py_async_session.cpp) -------------------------------------------------------

struct SessionSignatures;
// Made once with the class, for its methods in either file.
extern SessionSignatures g_async_sigs;
extern PyTypeObject* g_async_subscription_type;
extern PyTypeObject* g_async_resource_type;

// The loop this session runs on: the running one, fixed at the first call. False with the
// error set (closed, forked, or called from another loop).
bool on_its_loop(AsyncState& s);
// A Pending done already, resolving to `value`.
Ref done_pending(AsyncState& s, PyObject* self, PyObject* value);

// ---- the methods on the event side (async_consumers.cpp) ------------------------------------

PyObject* AsyncSession_wait_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* AsyncSession_events(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* AsyncSession_subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* AsyncSession_resource(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* AsyncSession_completion(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* AsyncResource_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* AsyncResource_wait_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* AsyncSubscription_anext(PyObject* self);
PyObject* AsyncSubscription_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// `async with` a subscription or handle: entering gives it, leaving ends it.
PyObject* Consumer_aenter(PyObject* self, PyObject*);
PyObject* Consumer_aexit(PyObject* self, PyObject* const*, Py_ssize_t);

}  // namespace qv::py
