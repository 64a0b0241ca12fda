#pragma once
// Events received and not yet taken by the program, bounded. When the program holds `limit`
// events it has not taken, a further one is dropped and counted at that point of the stream
// (one Dropped mark however many follow), so the loss is seen where it happened, and reading
// goes on: a reply can never wait behind events nobody takes.
//
// `Entry` is an aggregate whose first two members are the Incoming and its place in the
// stream (a number that only grows); it may carry more (the Python layer keeps the event's
// object beside it).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

#include "session/core/incoming.hpp"

namespace qv {

template <class Entry>
class EventQueue {
 public:
  explicit EventQueue(std::size_t limit) : limit_(limit) {}

  // A line, or a mark (marks are never dropped). `held`: events taken out earlier and not
  // yet consumed, which count against the limit too.
  void push(Incoming&& in, std::size_t held = 0) {
    if (in.kind == Incoming::Kind::Line) {
      ++received_;
      if (lines_ + held >= limit_) {
        ++dropped_;
        in = Incoming{Incoming::Kind::Dropped, std::nullopt, {}, 1};
      } else {
        ++lines_;
      }
    }
    if (in.kind == Incoming::Kind::Dropped && !queue_.empty() &&
        queue_.back().in.kind == Incoming::Kind::Dropped) {
      queue_.back().in.count += in.count;
      return;
    }
    // Marks never outnumber the lines between them: a loss right after a loss (or after a
    // reconnect with no line since) says nothing the first one did not, so failed reconnects
    // cannot pile up marks.
    if (in.kind == Incoming::Kind::Lost && !queue_.empty()) {
      const Incoming::Kind last = queue_.back().in.kind;
      if (last == Incoming::Kind::Lost) return;
      if (last == Incoming::Kind::Reconnected) {
        queue_.pop_back();
        if (!queue_.empty() && queue_.back().in.kind == Incoming::Kind::Lost) return;
      }
    }
    queue_.push_back(Entry{std::move(in), next_seq_++});
  }

  void mark(Incoming::Kind kind) { push(Incoming{kind, std::nullopt, {}, 0}); }

  bool empty() const noexcept { return queue_.empty(); }
  std::size_t lines() const noexcept { return lines_; }
  // Lines pushed over the queue's life, and those of them dropped: for monitoring.
  std::uint64_t received() const noexcept { return received_; }
  std::uint64_t dropped() const noexcept { return dropped_; }

  // In order, marks among them. Erase through erase() only, so the count stays right.
  std::deque<Entry>& entries() noexcept { return queue_; }
  typename std::deque<Entry>::iterator erase(typename std::deque<Entry>::iterator at) {
    if (at->in.kind == Incoming::Kind::Line) --lines_;
    return queue_.erase(at);
  }
  void clear() noexcept {
    queue_.clear();
    lines_ = 0;
  }

  // Everything queued, in order; the queue is left empty.
  std::deque<Entry> take_all() noexcept {
    lines_ = 0;
    return std::exchange(queue_, {});
  }

 private:
  std::deque<Entry> queue_;
  std::size_t limit_;
  std::size_t lines_ = 0;  // Line entries in queue_ (marks do not count)
  std::uint64_t next_seq_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t dropped_ = 0;
};

// The entry the connection's own queue keeps.
struct QueuedEvent {
  Incoming in;
  std::uint64_t seq;
};

}  // namespace qv
