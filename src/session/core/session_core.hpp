#pragma once
// What both session classes are, apart from how they wait: the tags, the table of requests
// waiting for their replies (the Login among them, as an ordinary request), the routing of
// complete received lines (a reply to its request, anything else an event), and what a lost
// connection does to all of it. Session drives it from whichever thread reads (under its
// connection's lock), AsyncSession from its event loop's callbacks; the connection's life
// (connecting, logging in, reconnecting) is the Link's (link.hpp).
//
// A request is registered before its line leaves, so that even an immediate reply finds it,
// and it leaves the table exactly once, through KeyedTable::take, whatever ends it: its
// reply, its deadline, a cancel, a loss or close().
//
// `Payload` is what a class keeps per request (a waiting thread's PendingReply, or the Python
// layer's future and batch membership); the core never looks into it. Nothing here calls
// out while the table is mid-change: `wanted` looks at an entry of a whole table, on_reply
// gets one already taken out, and a loss hands the lost requests over as a table of their
// own, to be settled after it.
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "session/core/incoming.hpp"
#include "session/core/keyed_table.hpp"
#include "session/core/line_router.hpp"

namespace qv {

template <class Payload>
class SessionCore {
 public:
  using Table = KeyedTable<std::uint64_t, Payload>;

  explicit SessionCore(std::size_t max_line) : max_line_(max_line), router_(max_line) {}

  // Unique for the session's life, across reconnects: a late reply to a request of an
  // earlier connection can never answer a later one.
  std::uint64_t new_tag() noexcept { return next_tag_++; }

  // A new connection: its lines start afresh.
  void attach() { router_ = LineRouter(max_line_); }

  // Registers a request before its line is sent. Throws std::bad_alloc (nothing registered).
  Payload& add(std::uint64_t tag, Payload payload) { return table_.add(tag, std::move(payload)); }
  Payload* find(std::uint64_t tag) noexcept { return table_.find(tag); }
  // The one way out, for a request given up (cancelled, timed out) or answered by the class.
  std::optional<Payload> settle(std::uint64_t tag) { return table_.take(tag); }
  bool idle() const noexcept { return table_.empty(); }
  std::size_t size() const noexcept { return table_.size(); }
  template <class Each>
  int visit(Each&& each) const {
    return table_.visit(std::forward<Each>(each));
  }

  // Routes every line the bytes complete: a reply whose request is still `wanted` leaves the
  // table and goes to on_reply(tag, Payload&&, std::string&& text); one nobody waits for any
  // more (the request is taken out all the same) and every other line go to `events` (a
  // push(Incoming&&)). Throws std::bad_alloc (the lines routed so far stay routed).
  template <class Events, class Wanted, class OnReply>
  void feed(const char* data, std::size_t size, Events& events, Wanted&& wanted,
            OnReply&& on_reply) {
    router_.feed(data, size, [&](Incoming&& in) {
      if (in.tag) {
        if (auto taken = table_.take_judged(*in.tag, wanted); taken && taken->second) {
          on_reply(*in.tag, std::move(taken->first), std::move(in.text));
          return;
        }
      }
      // Events, and lines carrying a tag nobody waits for (a later stage of a long command,
      // a late reply after a timeout).
      (void)events.push(std::move(in));
    });
  }
  template <class Events, class OnReply>
  void feed(const char* data, std::size_t size, Events& events, OnReply&& on_reply) {
    feed(data, size, events, [](const Payload&) { return true; },
         std::forward<OnReply>(on_reply));
  }

  // The connection ended. An unterminated last line is an event (it answers nothing: the
  // stream may have ended inside its tag); with `mark`, the events record where it happened.
  // Every request waiting is lost: they are handed back, out of the core, for the class to
  // settle each (drain() below).
  template <class Events>
  Table lose(bool mark, Events& events) {
    try {
      router_.finish([&](Incoming&& in) { (void)events.push(std::move(in)); });
    } catch (const std::bad_alloc&) {
      // No memory for the last line's text: it is lost with the connection.
    }
    router_ = LineRouter(max_line_);
    if (mark) (void)events.push(Incoming{Incoming::Kind::Lost, std::nullopt, {}, 0});
    return std::exchange(table_, Table{});
  }

  // Takes every entry out of `table`, calling each(tag, Payload&&) for it.
  template <class Each>
  static void drain(Table& table, Each&& each) {
    while (auto entry = table.take_any()) each(entry->first, std::move(entry->second));
  }

 private:
  std::size_t max_line_;
  LineRouter router_;
  Table table_;
  std::uint64_t next_tag_ = 0;
};

}  // namespace qv
