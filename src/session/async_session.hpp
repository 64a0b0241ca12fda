#pragma once
// AsyncSession's state, one object made with the session and destroyed with it, shared by
// the files that make it up: async_link.cpp (driving the connection's Link from the loop's
// callbacks), async_waits.cpp (futures, the one index of deadlines and its timer, the one
// place a waitable is settled), async_io.cpp (reading and writing the socket) and
// py_async_session.cpp (the class and its methods). An await costs no thread: the running
// loop watches the socket (add_reader), and the callback it runs reads what arrived and has
// the session core route it; lines to send are gathered in a SendQueue and written once per
// loop iteration.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/ref.hpp"
#include "net/ip_address.hpp"
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
  EventPipeline events;
  SendQueue out;     // wire lines for the socket
  SendQueue queued;  // lines of requests made while connecting, sent once logged in
  std::vector<std::pair<Ref, Ref>> connect_waiters;  // future, and what it resolves to
  Ref login_failure;  // what the Login came to, when it ends connecting

  // The socket, and what the loop does for it.
  int fd = -1;
  bool reading = false;          // add_reader is in place
  bool writing = false;          // add_writer is in place (output, or a connect under way)
  bool flush_scheduled = false;  // call_soon(flush) is pending
  bool ack_owed = false;         // data came since the last write: see flush()
  std::unique_ptr<char[]> buffer;

  // The loop's handles: the timer of the earliest deadline; the timer of the link's step
  // under way (an address's limit, the resolver's, a pause), which `step` numbers so a late
  // one is known; the resolver's task.
  Ref timer;
  Time timer_at{};
  Ref step_timer;
  std::uint64_t step = 0;
  Ref resolving;

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

// The first error of several steps that must all run: kept aside while the others do.
class FirstError {
 public:
  void keep() {
    if (!PyErr_Occurred()) return;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc_) exc_ = std::move(exc);
  }
  bool restore() {
    if (!exc_) return true;
    PyErr_SetRaisedException(exc_.release());
    return false;
  }

 private:
  Ref exc_;
};

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
// The wait of a subscription that ended ends too.
void subscription_ended(SubscriptionObject* sub);
// Registers a wait for events (wait_for's, or a subscription's step); its Pending.
PyObject* add_event_wait(PyObject* self, EventWait wait, PyObject* pending_owner,
                         ForgetPending forget, bool iterating);

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

// ---- the socket (async_io.cpp) --------------------------------------------------------------

bool flush(PyObject* self);
// Lines for the socket go out at the end of this loop iteration, all in one write.
bool schedule_flush(PyObject* self);
bool watch(AsyncState& s, PyObject* self, const char* method, PyMethodDef* def);
bool unwatch(AsyncState& s, const char* method);
extern PyMethodDef g_on_readable;
// Traces wire lines sent (copies: a handler may close the session); false with the error set.
bool trace_sent(AsyncState& s, const std::vector<std::string>& lines);
// A request's line is queued: counted, and traced as it will leave (tagged) once the call
// is done with the session's state; the copy goes to `traced` (when tracing).
void queue_line(AsyncState& s, const LineBuffer& text, std::uint64_t tag,
                std::vector<std::string>* traced);

}  // namespace qv::py
