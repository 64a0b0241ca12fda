#pragma once
// Session's state, shared by the files that make it up: sync_link.cpp (connecting, the
// blocking loop that drives the connection's Link), sync_requests.cpp (a request, sent and
// waited for in one call into the connection), sync_events.cpp (waits for events) and
// py_session.cpp (the class and its methods). Each request waits for its reply with the
// interpreter lock released; whoever waits reads (see SyncConnection).
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "binding/ref.hpp"
#include "net/resolve.hpp"
#include "session/core/sync_connection.hpp"
#include "session/event_pipeline.hpp"
#include "session/session_report.hpp"
#include "session/settings.hpp"

namespace qv::py {

class SessionState final : public EventPipeline::Host {
 public:
  explicit SessionState(SessionSettings given);

  SessionSettings settings;
  SyncConnection connection;  // the link, the core (tags, requests, routing) and the socket
  Telemetry telemetry;        // metrics and traces, when on
  EventPipeline events;       // where events go once taken from the connection
  std::uint64_t fork_generation;
  SessionCounts counts;  // events and dropped: the connection's and the pipeline's own
  int tracing = 0;       // the wire trace is on: asked once per request or batch sent
  // A name's lookup that gave no answer in time: the next attempt waits for it again
  // instead of starting another (a silent resolver holds one thread per session at most).
  std::shared_ptr<Lookup> lookup;
  PyObject* owner = nullptr;  // the Session this is the state of (borrowed: it owns the state)
  RequestMarker request_marker;  // each thread's last request's place

  bool closed() const noexcept { return connection.state() == LinkState::Closed; }

  // EventPipeline::Host
  void refill(EventList& inbound) override;
  bool trace(const Incoming& in) override;
  bool still_waiting(std::uint64_t) override { return true; }
  void settled(std::uint64_t) override {}  // the waiting thread looks at its wait itself
  bool open() const override { return !closed(); }
  bool streams_go_on() const override { return settings.reconnect_attempts > 0; }
  void handed_on() override;
  const std::string& server() const override { return settings.server; }
  std::uint16_t port() const override { return settings.port; }
};

struct SessionObject {
  PyObject_HEAD
  SessionState* state;  // made once with the object, and destroyed once with it
};

inline SessionState& state_of(PyObject* self) {
  return *reinterpret_cast<SessionObject*>(self)->state;
}

// A call's own deadline, set when it starts: connecting again, sending and waiting all end by
// it. `limit` is what it came from, for messages.
struct Deadline {
  SteadyTime at;
  std::optional<double> limit;
};
SteadyTime deadline_after(std::optional<double> limit);
inline Deadline deadline_of(std::optional<double> limit) { return {deadline_after(limit), limit}; }

// The interpreter lock given up for the lifetime of the object.
class WithoutInterpreter {
 public:
  WithoutInterpreter() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutInterpreter();
  WithoutInterpreter(const WithoutInterpreter&) = delete;
  WithoutInterpreter& operator=(const WithoutInterpreter&) = delete;

 private:
  PyThreadState* state_;
};

// The completion boxes of one exchange's requests, in order; the first is held in place, as
// most exchanges are one request.
class CompletionBoxes {
 public:
  void clear() noexcept {
    first_.reset();
    rest_.clear();
    count_ = 0;
  }
  void add(std::shared_ptr<CompletionBox> box) {
    if (count_ == 0) first_ = std::move(box);
    else rest_.push_back(std::move(box));
    ++count_;
  }
  // Request i's box, taken out; null when it has none.
  std::shared_ptr<CompletionBox> take(std::size_t i) noexcept {
    if (i >= count_) return nullptr;
    return i == 0 ? std::move(first_) : std::move(rest_[i - 1]);
  }

 private:
  std::shared_ptr<CompletionBox> first_;
  std::vector<std::shared_ptr<CompletionBox>> rest_;
  std::size_t count_ = 0;
};

// A wait's side given to the connection: the lock given up while the thread blocks, signals
// answered, and (given `boxes`) the events read meanwhile handed on between slices.
class CallHooks final : public WaitHooks {
 public:
  // `boxes` gets the requests' completion boxes once they are tagged; null: none are made.
  CallHooks(SessionState& s, CompletionBoxes* boxes) noexcept : s_(s), boxes_(boxes) {}
  void release() noexcept override;
  void reacquire() noexcept override;
  bool check_signals() override;
  bool between() override;
  bool sent(std::string_view wire) override;
  void tagged(std::span<const PendingReply> replies) override;

 private:
  SessionState& s_;
  CompletionBoxes* boxes_;  // null while this thread logs in
  PyThreadState* saved_ = nullptr;
};

// Refuses calls on a closed session, and in a child process after fork(); false with the
// error set.
bool usable(const SessionState& s);

// Waits with the lock released until `until`, answering signals and ending at close(); false
// with the error set.
bool sleep_released(SessionState& s, SteadyTime until);

// Makes sure there is a logged-in connection: on the first use, or after one was lost (when
// reconnecting is on), all by the calling request's `deadline`; the reconnect is marked in
// the events. False with the error set.
bool ensure_connected(SessionState& s, const Deadline& deadline);

// Sends the untagged lines (one request each) and waits for every reply, connecting first
// when needed. `words`: each line's command word, for messages. One line: its Reply; a batch
// (`batch`): the list of Replies, every one collected before the first failure is raised.
// Null with the error set.
Ref request_lines(SessionState& s, std::span<const std::string_view> lines,
                  std::span<const std::string_view> words, std::optional<double> limit,
                  bool batch);

// The first event the predicate accepts among those held in the window, else among those
// that come until `limit`. Null with the error set.
Ref wait_for_event(SessionState& s, PyObject* predicate, std::optional<double> limit);
// A subscription's next event, waiting up to `limit`. `iterating`: the end of its stream is
// null without an error (the session or the subscription closed, or no event within `limit`);
// else those raise.
Ref next_event(SubscriptionObject* sub, std::optional<double> limit, bool iterating);
// The completion of the request `reply` answered: the first later line carrying its tag,
// waited for until `limit`. Null with the error set (TimeoutError; ConnectionError when the
// connection was lost first).
Ref wait_completion(SessionState& s, CompletionBox& box, std::optional<double> limit);
// A resource handle's first event the predicate accepts (null: its first event), those it
// holds first, else those that come until `limit`; the others stay in its queue. A loss of
// the connection raises ConnectionError. Null with the error set.
Ref handle_wait_for(SubscriptionObject* handle, PyObject* predicate, std::optional<double> limit);

}  // namespace qv::py
