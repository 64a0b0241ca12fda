#pragma once
// What a session waits for (requests by tag, batches, waits for events), each with an
// optional deadline. An entry leaves the table through take() alone, whatever ends it (its
// answer, its deadline, a cancel, a loss, close()), and its deadline goes with it, so no
// deadline can outlive its entry or fire for a later one.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace qv {

// `Ordered`: entries are visited in key order (waits for events, oldest first).
template <class Key, class Entry, bool Ordered = false>
class TimedTable {
 public:
  using Clock = std::chrono::steady_clock;
  using Time = Clock::time_point;

  // Adds `entry` under a key not in use (one in use is an internal failure: std::logic_error).
  // Throws std::bad_alloc (the table is then unchanged).
  Entry& add(Key key, Entry entry, std::optional<Time> deadline) {
    auto [at, added] = slots_.emplace(key, Slot{std::move(entry), deadlines_.end()});
    if (!added) throw std::logic_error("a key added twice to a session's table");
    if (deadline) {
      try {
        at->second.deadline = deadlines_.emplace(*deadline, key);
      } catch (...) {
        slots_.erase(at);
        throw;
      }
    }
    return at->second.entry;
  }

  Entry* find(Key key) noexcept {
    const auto at = slots_.find(key);
    return at == slots_.end() ? nullptr : &at->second.entry;
  }

  // The one way out.
  std::optional<Entry> take(Key key) {
    const auto at = slots_.find(key);
    if (at == slots_.end()) return std::nullopt;
    return take(at);
  }

  // The entry whose deadline passed first, if any, taken out with its key.
  std::optional<std::pair<Key, Entry>> take_due(Time now) {
    if (deadlines_.empty() || deadlines_.begin()->first > now) return std::nullopt;
    const Key key = deadlines_.begin()->second;
    return std::pair<Key, Entry>(key, take(slots_.find(key)));
  }

  // Any entry (the first in key order when ordered), taken out with its key.
  std::optional<std::pair<Key, Entry>> take_any() {
    if (slots_.empty()) return std::nullopt;
    const Key key = slots_.begin()->first;
    return std::pair<Key, Entry>(key, take(slots_.begin()));
  }

  // The first key after `after` (or the first of all), in key order.
  std::optional<Key> next_key(std::optional<Key> after) const
    requires Ordered
  {
    const auto at = after ? slots_.upper_bound(*after) : slots_.begin();
    if (at == slots_.end()) return std::nullopt;
    return at->first;
  }

  std::optional<Time> earliest() const noexcept {
    if (deadlines_.empty()) return std::nullopt;
    return deadlines_.begin()->first;
  }

  bool empty() const noexcept { return slots_.empty(); }
  std::size_t size() const noexcept { return slots_.size(); }

  // Calls `each(entry)` for every entry until one returns non-zero, and returns that (the
  // garbage collector's traversal).
  template <class Each>
  int visit(Each&& each) const {
    for (const auto& [key, slot] : slots_) {
      if (const int result = each(slot.entry)) return result;
    }
    return 0;
  }

  void clear() noexcept {
    slots_.clear();
    deadlines_.clear();
  }

 private:
  using Deadlines = std::multimap<Time, Key>;
  struct Slot {
    Entry entry;
    typename Deadlines::iterator deadline;
  };
  using Slots = std::conditional_t<Ordered, std::map<Key, Slot>, std::unordered_map<Key, Slot>>;

  Entry take(typename Slots::iterator at) {
    if (at->second.deadline != deadlines_.end()) deadlines_.erase(at->second.deadline);
    Entry entry = std::move(at->second.entry);
    slots_.erase(at);
    return entry;
  }

  Slots slots_;
  Deadlines deadlines_;
};

}  // namespace qv
