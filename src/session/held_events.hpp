#pragma once
// Where a session's events go. Every line that answers no request, and every mark in the
// stream (a loss, a reconnect, events dropped before they could be handed on), is offered to
// the subscriptions: each one whose predicate accepts a line queues it (marks go to every
// subscription), in a queue of its own, bounded by its max_pending (what comes beyond is
// dropped and counted where it happened: EventsDropped for that consumer alone). What no
// subscription took is held for wait_for() in a recent window of max_events: the oldest line
// goes when a new one comes, counted, and wait_for() looks at no more than the window. So an
// event the program ignores costs a consumer nothing: neither the events it waits for nor the
// time it takes to find them.
//
// Python objects for events are made when first needed (a predicate, or the program, takes
// one). The session drives this from the thread that holds the interpreter lock; predicates
// are Python code, free to call back into the session, so nothing is kept across a call but
// what is looked up again after it.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "binding/ref.hpp"
#include "session/core/incoming.hpp"

namespace qv::py {

struct HeldEvent {
  Incoming in;
  std::uint64_t seq = 0;  // its place in the stream
  Ref event;              // the Event once made; or, when `raised`, what the predicate raised
  bool raised = false;
};

// Events in stream order, with the number of lines among them (marks do not count).
class EventList {
 public:
  using Entries = std::deque<HeldEvent>;
  Entries& entries() noexcept { return entries_; }
  bool empty() const noexcept { return entries_.empty(); }
  std::size_t lines() const noexcept { return lines_; }
  // Appends; a mark that says nothing the one before it did not (a loss right after a loss,
  // or after a reconnect with no line since) is left out, so marks never pile up.
  void push(HeldEvent&& e);
  // Back in its place, by seq, after it was handed out and not read; false when an entry with
  // its seq is there already.
  bool put_back(HeldEvent&& e);
  HeldEvent pop_front();
  Entries::iterator erase(Entries::iterator at);
  Entries::iterator at_or_after(std::uint64_t seq);
  void clear() noexcept;
  int traverse(visitproc visit, void* arg);

 private:
  Entries entries_;
  std::size_t lines_ = 0;
};

// What the program takes: an Event, or null with the error set.
struct Taken {
  Ref event;
  bool found = false;
};

// The window held for wait_for(): the most recent `limit` lines no subscription took.
class HeldEvents {
 public:
  explicit HeldEvents(std::size_t limit) : limit_(limit) {}

  void push(HeldEvent&& e);
  bool put_back(HeldEvent&& e);
  bool empty() const noexcept { return list_.empty(); }
  std::size_t lines() const noexcept { return list_.lines(); }
  void clear() noexcept { list_.clear(); }
  EventList take_all() noexcept { return std::exchange(list_, {}); }
  std::uint64_t dropped() const noexcept { return dropped_; }
  int traverse(visitproc visit, void* arg) { return list_.traverse(visit, arg); }

  // The first entry placed at or after `from` that is a mark of a loss (which raises
  // ConnectionError, once), or an event `predicate` accepts; `from` moves past what was looked at. Not found (no error set unless
  // the predicate raised) when there is none.
  Taken take_match(PyObject* predicate, std::uint64_t& from);
  // The same in two steps, for a caller that must check its own state after the predicate:
  // the place of the match (nullopt: none, or the predicate raised, with the error set), then
  // take_at() takes it if it is still held.
  std::optional<std::uint64_t> find_match(PyObject* predicate, std::uint64_t& from);
  Taken take_at(std::uint64_t seq);

 private:
  Taken take(EventList::Entries::iterator at);
  EventList list_;
  std::size_t limit_;
  std::uint64_t dropped_ = 0;
};

// A subscription as the session sees it; the Python object is made in py_subscription.cpp.
struct SubscriptionObject {
  PyObject_HEAD
  Ref session;
  Ref predicate;  // empty: every event
  EventList queue;
  std::size_t max_pending;
  std::optional<double> step_limit;  // iterating ends after this long without an event
  class EventHub* hub;               // the session's, while subscribed; null once it ended
  std::uint64_t waiter;              // AsyncSession: the wait registered for its next event
  Ref failure;  // AsyncSession: connecting again failed for good; raised once queue is empty
};

// The next entry of a subscription's queue.
struct SubscriptionStep {
  enum class Kind : std::uint8_t { Event, Lost, Empty, Error };
  Kind kind;
  Ref event;
  std::uint64_t seq = 0;
};
SubscriptionStep take_next(SubscriptionObject* sub);

class EventHub {
 public:
  explicit EventHub(std::size_t window) : window_(window) {}
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;

  HeldEvents& window() noexcept { return window_; }
  // Hands an arriving line or mark on (see the top of this file). Runs predicates.
  void dispatch(Incoming&& in);
  // True while dispatch() runs: a predicate calling into the session leaves the handing on
  // to the call under way.
  bool dispatching() const noexcept { return dispatching_; }
  bool has_subscriptions() const noexcept;
  // Lines dropped over the session's life, for monitoring: from the window (the oldest, when
  // a newer one came), by a subscription (beyond its max_pending), or before being handed on.
  std::uint64_t dropped() const noexcept { return window_.dropped() + dropped_; }
  // Lines handed on over the session's life, and those held for wait_for() now.
  std::uint64_t received() const noexcept { return received_; }
  std::size_t lines() const noexcept { return window_.lines(); }

  // Registers a subscription (borrowed: it unsubscribes itself before it goes). With
  // `take_window`, the events held for wait_for() become its own first (events()).
  void subscribe(SubscriptionObject* sub, bool take_window);
  // What it held and the program did not take goes back to the window, in its place.
  void unsubscribe(SubscriptionObject* sub);
  template <class F>
  void for_each_subscription(F f) {
    for (SubscriptionObject* sub : subs_)
      if (sub) f(sub);
  }

 private:
  void deliver(SubscriptionObject* sub, const Incoming& in, std::uint64_t seq, const Ref& made);
  void push_taken(SubscriptionObject* sub, Incoming&& in, std::uint64_t seq);
  void compact();
  HeldEvents window_;
  std::vector<SubscriptionObject*> subs_;  // null where one ended during a dispatch
  std::uint64_t next_seq_ = 1;
  std::uint64_t dropped_ = 0;  // by subscriptions, and before being handed on to them
  std::uint64_t received_ = 0;
  bool dispatching_ = false;
};

}  // namespace qv::py
