#pragma once
// What a session waits for (requests by tag, batches, waits for events), by key. An entry
// leaves the table through take() alone, whatever ends it (its answer, its deadline, a
// cancel, a loss, close()); what it owns goes with it (its deadline in the session's
// DeadlineIndex among them). A table can be moved: a session hands its lost requests over as
// a table of their own. Python-free.
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
class KeyedTable {
 public:
  // Adds `entry` under a key not in use (one in use is an internal failure: std::logic_error).
  // Throws std::bad_alloc (the table is then unchanged).
  Entry& add(Key key, Entry entry) {
    auto [at, added] = slots_.emplace(key, std::move(entry));
    if (!added) throw std::logic_error("a key added twice to a session's table");
    return at->second;
  }

  Entry* find(Key key) noexcept {
    const auto at = slots_.find(key);
    return at == slots_.end() ? nullptr : &at->second;
  }

  // The one way out.
  std::optional<Entry> take(Key key) {
    const auto at = slots_.find(key);
    if (at == slots_.end()) return std::nullopt;
    return take(at);
  }

  // The entry of `key`, if any, taken out, with what `judge(entry)` said of it just before
  // (one lookup for both).
  template <class Judge>
  std::optional<std::pair<Entry, bool>> take_judged(Key key, Judge&& judge) {
    const auto at = slots_.find(key);
    if (at == slots_.end()) return std::nullopt;
    const bool verdict = judge(std::as_const(at->second));
    return std::pair<Entry, bool>(take(at), verdict);
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

  bool empty() const noexcept { return slots_.empty(); }
  std::size_t size() const noexcept { return slots_.size(); }

  // Calls `each(entry)` for every entry until one returns non-zero, and returns that (the
  // garbage collector's traversal).
  template <class Each>
  int visit(Each&& each) const {
    for (const auto& [key, entry] : slots_) {
      if (const int result = each(entry)) return result;
    }
    return 0;
  }

  void clear() noexcept {
    // Moved out first: what the entries own may look at the table as it goes.
    Slots gone = std::exchange(slots_, {});
  }

 private:
  using Slots = std::conditional_t<Ordered, std::map<Key, Entry>, std::unordered_map<Key, Entry>>;

  Entry take(typename Slots::iterator at) {
    Entry entry = std::move(at->second);
    slots_.erase(at);
    return entry;
  }

  Slots slots_;
};

}  // namespace qv
