#pragma once
// Where a session's events go, the same for both classes. Every line that answers no
// request, and every mark in the stream (a loss, a reconnect, events dropped before they
// could be handed on), arrives here and is handed on one at a time, in order:
// 1. to the consumers: each resource handle whose resource the line names (its field
//    `resource_key`) and each subscription whose predicate accepts it takes it (marks go to
//    every consumer), into a queue of its own bounded by its max_pending (what comes beyond is
//    dropped and counted where it happened: EventsDropped for that consumer alone);
// 2. if none took it, to the recent window of max_events held for wait_for(): the oldest
//    line goes when a new one comes, counted, and wait_for() looks at no more than the window;
// 3. then the waits: each wait_for() (oldest first) looks at what the window just got, and a
//    consumer's waiting step (or wait_for) takes what its queue just got.
// So an event the program ignores costs a consumer nothing: neither the events it waits for
// nor the time it takes to find them. Each consumer gets an event once: an event two
// subscriptions took never goes back to the window when one of them ends.
//
// Predicates and the wire trace are Python code, free to call back into the session; while
// one runs, the event being handed on is not yet anywhere, and nothing else is handed on: a
// call that would hand events on does nothing (the one under way goes on after it), so the
// order holds. Nothing is kept across such a call but what is looked up again after it.
// Drops are counted and logged here, once per hand-on: the window's at DEBUG (routine with a
// small window), a subscription's and those before handing on at WARNING.
//
// Python objects for events are made when first needed (a predicate, or the program, takes
// one). Everything here runs with the interpreter lock held.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/ref.hpp"
#include "session/core/deadline_index.hpp"
#include "session/core/event_queue.hpp"
#include "session/core/incoming.hpp"
#include "session/core/keyed_table.hpp"
#include "session/telemetry.hpp"

namespace qv::py {

struct HeldEvent {
  Incoming in;
  std::uint64_t seq = 0;  // its place in the stream
  Ref event;              // the Event once made; or, when `raised`, what the predicate raised
  bool raised = false;
  bool shared = false;  // more than one consumer took it
};
using EventList = EventQueue<HeldEvent>;

class EventPipeline;

// What an AsyncSession waits for, by kind and id, in its one index of deadlines.
struct WaitKey {
  enum class Of : std::uint8_t { Request, Batch, Events };
  Of of;
  std::uint64_t id;
};
using Deadlines = DeadlineIndex<WaitKey>;

// A request's completion: the first line carrying its tag after its reply. The session keeps
// one box per request from the moment its line is sent (registered with the pipeline by tag,
// held by the request, then by its Reply), so the completion is there however late it is
// asked for; the pipeline only sees it weakly, and a dropped Reply takes the box with it.
// One line per request: later lines with its tag are events only.
struct CompletionBox {
  const EventPipeline* owner = nullptr;
  std::uint64_t tag = 0;
  std::optional<Incoming> line;
  Ref event;          // the Event made of `line`, once asked for
  bool lost = false;  // the connection was lost before it came
};

// A consumer: a subscription (what subscribe() and events() return) or a resource handle
// (what resource() returns); the Python classes are made in py_subscription.cpp.
struct SubscriptionObject {
  PyObject_HEAD
  Ref session;
  Ref predicate;         // a subscription's; empty: every event
  std::string resource;  // a handle's: the resource id as the events write it; empty otherwise
  std::uint32_t resource_id;
  EventList queue;
  std::optional<double> step_limit;  // iterating ends after this long without an event
  EventPipeline* pipeline;           // the session's, while subscribed; null once it ended
  std::size_t slot;                  // its place in the pipeline's list
  std::uint64_t waiter;              // the wait registered for its next event, or 0
  Ref failure;  // connecting again failed for good: raised once its queue is empty
};

// The next entry of a subscription's queue, taken out.
struct SubscriptionStep {
  enum class Kind : std::uint8_t { Event, Lost, Empty, Error };
  Kind kind;
  Ref event;
};
SubscriptionStep take_next(SubscriptionObject* sub);

// A wait for events registered with the pipeline: wait_for()'s (the first event a predicate
// accepts among those the window gets), or a subscription's next step.
struct EventWait {
  enum class Kind : std::uint8_t { Match, Step, Completion };
  Kind kind = Kind::Match;
  Ref predicate;           // Match; a Step that is `matching` (null: the first event)
  Ref subscription;        // Step
  bool matching = false;   // Step: a handle's wait_for, not the next step of its stream
  std::shared_ptr<CompletionBox> box;  // Completion
  std::uint64_t from = 0;  // Match: entries before this one were looked at (the window's, or
                           // a handle's queue's for its wait_for: a Step with a predicate)
  bool settled = false;    // its outcome is in: `event`, or the exception in `error`
  Ref event;
  Ref error;
  // The AsyncSession's own: the future it settles, what ends its iteration, its deadline.
  Ref future;
  bool ends_iteration = false;
  std::optional<double> limit;
  Deadlines::Handle deadline;
  // Match: events since the caller's last request the window had dropped when it began.
  std::uint64_t unseen = 0;
  bool unseen_at_least = false;
};

// What the program takes from the window: an Event, or null with the error set.
struct Taken {
  Ref event;
  bool found = false;
};

class EventPipeline {
 public:
  // What differs by class.
  class Host {
   public:
    // Moves events read and not yet handed on into `inbound` (Session: from its connection).
    virtual void refill(EventList& inbound) = 0;
    // A line about to be handed on, for the wire trace; false with the error set.
    virtual bool trace(const Incoming& in) = 0;
    // Whether the wait `id` is still wanted before anything is offered to it (AsyncSession:
    // a wait whose task was cancelled is taken out here, and gets nothing).
    virtual bool still_waiting(std::uint64_t id) = 0;
    // The wait `id` was settled (AsyncSession: its future gets the outcome).
    virtual void settled(std::uint64_t id) = 0;
    // Whether the session is still open (a predicate may close it).
    virtual bool open() const = 0;
    // A subscription's stream goes on across a loss (the session reconnects for it).
    virtual bool streams_go_on() const = 0;
    // Something was handed on (Session: threads waiting for it look again).
    virtual void handed_on() {}
    // For the log: who the session is.
    virtual const std::string& server() const = 0;
    virtual std::uint16_t port() const = 0;

   protected:
    ~Host() = default;
  };

  EventPipeline(Host& host, std::size_t window, std::size_t inbound_limit,
                std::string resource_key, Telemetry& telemetry);
  EventPipeline(const EventPipeline&) = delete;
  EventPipeline& operator=(const EventPipeline&) = delete;
  ~EventPipeline();

  // -- arriving -----------------------------------------------------------------------------
  // A line or mark read (no Python code runs). Beyond the inbound limit a line is dropped.
  void offer(Incoming&& in) { (void)inbound_.push(std::move(in)); }
  // Hands on everything arrived (see the top of this file). Called while a hand-on is under
  // way (from a predicate, or the trace), it does nothing. False with the error set: the
  // trace raised (KeyboardInterrupt, say); what is left is handed on next time.
  bool pump();
  bool pumping() const noexcept { return pumping_; }
  // Holds back, from now on, everything that arrives (a new connection's events, while the
  // session's on_reconnect runs); what came before is handed on as usual.
  void hold();
  // Hands on again; `mark` (the reconnect's) goes where the hold began, before all it held.
  void release(std::optional<Incoming> mark);
  bool holding() const noexcept { return holding_; }
  // Whether the hand-on under way is this thread's own (a call from one of its predicates).
  bool pumping_here() const noexcept;

  // -- consumers ----------------------------------------------------------------------------
  // Registers a subscription (borrowed: it unsubscribes itself before it goes). With
  // `take_window`, the events held for wait_for() become its own first (events()).
  void subscribe(SubscriptionObject* sub, bool take_window);
  // What it held alone and the program did not take goes back to the window, in its place.
  void unsubscribe(SubscriptionObject* sub);
  // Subscriptions and handles alike.
  bool has_subscriptions() const noexcept { return subscribed_ + handle_count_ > 0; }
  template <class F>
  void for_each_subscription(F f) {
    for (SubscriptionObject* sub : subs_)
      if (sub) f(sub);
    for (auto& [resource, handles] : handles_)
      for (SubscriptionObject* handle : handles) f(handle);
  }

  // -- waits --------------------------------------------------------------------------------
  std::uint64_t add_wait(EventWait wait);
  EventWait* find_wait(std::uint64_t id) noexcept { return waits_.find(id); }
  std::optional<EventWait> take_wait(std::uint64_t id) { return waits_.take(id); }
  std::optional<std::pair<std::uint64_t, EventWait>> take_any_wait() { return waits_.take_any(); }
  bool has_waits() const noexcept { return !waits_.empty(); }

  // -- completions --------------------------------------------------------------------------
  // A box for the request of `tag`, whose line is about to be sent. Throws std::bad_alloc.
  std::shared_ptr<CompletionBox> expect_completion(std::uint64_t tag);
  // The box's completion as an Event: true when there is one (`event` set, or null with the
  // error set), false while there is none yet. Raises ConnectionError when it was lost.
  static bool completion_of(CompletionBox& box, Ref& event);

  // -- the window ---------------------------------------------------------------------------
  // The first entry at or after `from` that is a loss (ConnectionError, once) or an event
  // the predicate accepts, taken out; `from` moves past what was looked at. Not found (no
  // error set unless the predicate raised) when there is none.
  Taken take_match(PyObject* predicate, std::uint64_t& from) {
    return take_match(window_, predicate, from);
  }
  // The same in a consumer's queue; a null predicate takes the first event.
  static Taken take_match(EventList& list, PyObject* predicate, std::uint64_t& from);
  // An event handed out and not read (its task was cancelled) back in its place: the
  // subscription's queue, or the window.
  void put_back(HeldEvent&& e, SubscriptionObject* sub);
  bool window_empty() const noexcept { return window_.empty(); }
  std::size_t window_limit() const noexcept { return window_.limit(); }
  // The place in the stream the next event handed on takes (a request notes it when sent).
  std::uint64_t position() const noexcept { return next_seq_; }
  // How many events handed on from `position` on were dropped from the window so far (those
  // a wait_for registered now can no longer see); `at_least` when older ones were forgotten.
  std::uint64_t dropped_since(std::uint64_t position, bool& at_least) const;
  std::size_t held() const noexcept { return window_.lines(); }
  // Everything held let go of (the session closed).
  void clear();

  // -- monitoring ---------------------------------------------------------------------------
  // Lines handed on over the session's life, and those dropped (from the window, by a
  // subscription, or before being handed on).
  std::uint64_t received() const noexcept { return received_; }
  std::uint64_t dropped() const noexcept;

  int traverse(visitproc visit, void* arg);

 private:
  void deliver(HeldEvent&& e);
  void push_to(SubscriptionObject* sub, HeldEvent&& e);
  // Offers the waits what just landed; false with the error set (none raises today).
  void offer_waits();
  // The place of the first match in `list` at or after `from` (nullopt: none, or the
  // predicate raised, with the error set).
  static std::optional<std::uint64_t> find_match(EventList& list, PyObject* predicate,
                                                 std::uint64_t& from);
  static Taken take_at(EventList& list, std::uint64_t seq);
  void settle_step(std::uint64_t id, EventWait& w);
  bool log_drops(std::uint64_t window, std::uint64_t subscriptions, std::uint64_t upstream);
  void compact();

  // What this hand-on's consumers took, for the telemetry.
  Telemetry::EventTotals totals() const noexcept;

  Host& host_;
  Telemetry& telemetry_;
  EventList inbound_;
  EventList window_;
  std::vector<SubscriptionObject*> subs_;  // null where one ended (compacted when not pumping)
  std::size_t subscribed_ = 0;
  std::string resource_key_;  // "ResourceId": a line names its resource as ResourceId=<id>
  std::unordered_map<std::string, std::vector<SubscriptionObject*>> handles_;  // by resource
  std::size_t handle_count_ = 0;
  // By tag, in ascending order (tags are handed out in order): a request adds one at the
  // back, a dropped Reply's is let go of from the front.
  using Completions = std::deque<std::pair<std::uint64_t, std::weak_ptr<CompletionBox>>>;
  Completions completions_;
  Completions::iterator completion_place(std::uint64_t tag);  // the first at or after tag
  Completions::iterator find_completion(std::uint64_t tag);   // tag's, or end()
  std::size_t completions_swept_at_ = 0;  // the table's size after its last sweep
  KeyedTable<std::uint64_t, EventWait, true> waits_;  // in the order they began
  std::uint64_t next_wait_ = 0;
  std::uint64_t next_seq_ = 1;
  std::uint64_t received_ = 0;
  std::uint64_t dropped_by_subscriptions_ = 0;  // resource handles among them
  std::uint64_t dropped_by_handles_ = 0;
  std::uint64_t taken_by_window_ = 0, taken_by_subscriptions_ = 0, taken_by_handles_ = 0;
  std::deque<std::uint64_t> evicted_;  // the places of the latest lines the window dropped
  std::uint64_t dropped_upstream_ = 0;  // Dropped marks handed on (before a subscription)
  bool pumping_ = false;
  unsigned long pump_thread_ = 0;
  bool holding_ = false;
  std::uint64_t hold_from_ = 0;  // the inbound place the hold began at
};

}  // namespace qv::py
