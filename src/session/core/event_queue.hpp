#pragma once
// Events in stream order, bounded: the one queue type of a session's events, whoever holds
// them (the connection, before they are handed on; each subscription; the recent window
// wait_for() looks at). Its marks and the rule for a full queue are written here once:
//
// - A line beyond the limit is dropped. DropNewest (a consumer's own queue): the new one is
//   dropped and counted at that point of the stream, one Dropped mark however many follow,
//   so the consumer learns of it where it happened and reading goes on. DropOldest (the
//   window): the oldest line goes, with the marks before it, which stand for what is gone.
// - A Dropped mark that comes from upstream is kept where a consumer must learn of it, and
//   only counted in the window (which nobody reads in order).
// - Marks never outnumber the lines between them: a loss right after a loss (or after a
//   reconnect with no line since) says nothing the first one did not, so failed reconnects
//   cannot pile up marks.
//
// `Entry` is an aggregate whose first two members are the Incoming and its place in the
// stream (a number that only grows); it may carry more (the Python layer keeps the event's
// object beside it). Python-free.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

#include "session/core/incoming.hpp"

namespace qv {

enum class Overflow : std::uint8_t { DropNewest, DropOldest };

template <class Entry>
class EventQueue {
 public:
  using Entries = std::deque<Entry>;
  using iterator = typename Entries::iterator;

  explicit EventQueue(std::size_t limit = SIZE_MAX, Overflow overflow = Overflow::DropNewest)
      : limit_(limit), overflow_(overflow) {}

  // Appends `entry` by the rules above. Returns the lines it dropped (0 or 1).
  std::size_t push(Entry&& entry) {
    Incoming& in = entry.in;
    std::size_t dropped = 0;
    if (in.kind == Incoming::Kind::Line) {
      ++received_;
      if (lines_ >= limit_) {
        dropped = 1;
        ++dropped_;
        if (overflow_ == Overflow::DropOldest) {
          evict_oldest();
        } else {
          in = Incoming{Incoming::Kind::Dropped, std::nullopt, {}, 1};
        }
      }
    }
    if (in.kind == Incoming::Kind::Dropped) {
      if (overflow_ == Overflow::DropOldest) {  // nothing to hold: counted where it is seen
        dropped_upstream_ += in.count;
        return dropped;
      }
      if (!queue_.empty() && queue_.back().in.kind == Incoming::Kind::Dropped) {
        queue_.back().in.count += in.count;
        return dropped;
      }
    }
    if (in.kind == Incoming::Kind::Lost && !queue_.empty()) {
      const Incoming::Kind last = queue_.back().in.kind;
      if (last == Incoming::Kind::Lost) return dropped;
      if (last == Incoming::Kind::Reconnected) {
        queue_.pop_back();
        if (!queue_.empty() && queue_.back().in.kind == Incoming::Kind::Lost) return dropped;
      }
    }
    if (in.kind == Incoming::Kind::Line) ++lines_;
    queue_.push_back(std::move(entry));
    return dropped;
  }

  // A line or mark, placed after everything pushed so far.
  std::size_t push(Incoming&& in) { return push(Entry{std::move(in), next_seq_++}); }
  void mark(Incoming::Kind kind) { (void)push(Incoming{kind, std::nullopt, {}, 0}); }

  // Back in its place by seq, after it was handed out and not read: false when an entry with
  // its seq is there already. In the window, the oldest go if it is over its limit now.
  bool put_back(Entry&& entry) {
    const auto at = at_or_after(entry.seq);
    if (at != queue_.end() && at->seq == entry.seq) return false;
    if (entry.in.kind == Incoming::Kind::Line) ++lines_;
    queue_.insert(at, std::move(entry));
    while (overflow_ == Overflow::DropOldest && lines_ > limit_) {
      evict_oldest();
      ++dropped_;
    }
    return true;
  }

  bool empty() const noexcept { return queue_.empty(); }
  std::size_t size() const noexcept { return queue_.size(); }
  std::size_t lines() const noexcept { return lines_; }
  std::size_t limit() const noexcept { return limit_; }
  // Lines pushed over the queue's life, and those of them it dropped; Dropped marks that came
  // from upstream into a window: for monitoring.
  std::uint64_t received() const noexcept { return received_; }
  std::uint64_t dropped() const noexcept { return dropped_; }
  std::uint64_t dropped_upstream() const noexcept { return dropped_upstream_; }
  // The place the window's last eviction came from: seq of the newest line it dropped.
  std::uint64_t evicted_through() const noexcept { return evicted_through_; }

  Entry& front() noexcept { return queue_.front(); }
  Entries& entries() noexcept { return queue_; }
  iterator at_or_after(std::uint64_t seq) {
    return std::lower_bound(queue_.begin(), queue_.end(), seq,
                            [](const Entry& e, std::uint64_t s) { return e.seq < s; });
  }
  // Erase through these only, so the line count stays right.
  iterator erase(iterator at) {
    if (at->in.kind == Incoming::Kind::Line) --lines_;
    return queue_.erase(at);
  }
  Entry pop_front() {
    Entry entry = std::move(queue_.front());
    queue_.pop_front();
    if (entry.in.kind == Incoming::Kind::Line) --lines_;
    return entry;
  }
  // Everything queued, in order; the queue is left empty (its counts stay).
  Entries take_all() noexcept {
    lines_ = 0;
    return std::exchange(queue_, {});
  }
  void clear() noexcept {
    // Moved out first: the entries' destruction may run code that looks at the queue.
    Entries gone = std::exchange(queue_, {});
    lines_ = 0;
  }

 private:
  // The oldest line goes, and the marks before it: they stand for what is gone.
  void evict_oldest() {
    while (!queue_.empty()) {
      const bool line = queue_.front().in.kind == Incoming::Kind::Line;
      if (line) evicted_through_ = queue_.front().seq;
      queue_.pop_front();
      if (line) {
        --lines_;
        break;
      }
    }
  }

  Entries queue_;
  std::size_t limit_;
  Overflow overflow_;
  std::size_t lines_ = 0;  // Line entries in queue_ (marks do not count)
  std::uint64_t next_seq_ = 0;
  std::uint64_t received_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t dropped_upstream_ = 0;
  std::uint64_t evicted_through_ = 0;
};

// The entry the connection's own queue keeps.
struct QueuedEvent {
  Incoming in;
  std::uint64_t seq;
};

}  // namespace qv
