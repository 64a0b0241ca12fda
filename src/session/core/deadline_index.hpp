#pragma once
// One index of the deadlines of everything a session waits for (requests, batches, waits
// for events), so that one timer follows the earliest of all. An entry's deadline is a
// Handle the entry owns: it leaves the index when the entry goes, whichever way the entry
// leaves its table, so no deadline outlives its entry or fires for a later one.
// Python-free.
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace qv {

template <class Key>
class DeadlineIndex {
  struct Slot;
  using Map = std::multimap<std::chrono::steady_clock::time_point, Slot>;

 public:
  using Clock = std::chrono::steady_clock;
  using Time = Clock::time_point;

  // An entry's deadline in the index; move-only. Empty: no deadline.
  class Handle {
   public:
    Handle() noexcept = default;
    Handle(Handle&& other) noexcept { take(other); }
    Handle& operator=(Handle&& other) noexcept {
      if (this != &other) {
        reset();
        take(other);
      }
      return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    explicit operator bool() const noexcept { return index_ != nullptr; }
    void reset() noexcept {
      if (!index_) return;
      index_->map_.erase(at_);
      index_ = nullptr;
    }

   private:
    friend class DeadlineIndex;
    void take(Handle& other) noexcept {
      index_ = std::exchange(other.index_, nullptr);
      at_ = other.at_;
      if (index_) at_->second.handle = this;
    }
    DeadlineIndex* index_ = nullptr;
    typename Map::iterator at_{};
  };

  DeadlineIndex() = default;
  // Handles point at their index: it stays where it is.
  DeadlineIndex(const DeadlineIndex&) = delete;
  DeadlineIndex& operator=(const DeadlineIndex&) = delete;
  ~DeadlineIndex() {
    for (auto& [at, slot] : map_) slot.handle->index_ = nullptr;
  }

  // A deadline for `key` at `at`, or none. Throws std::bad_alloc (nothing added).
  Handle add(std::optional<Time> at, Key key) {
    Handle handle;
    if (!at) return handle;
    handle.at_ = map_.emplace(*at, Slot{key, &handle});
    handle.index_ = this;
    return handle;  // moved (or elided): the slot follows it
  }

  std::optional<Time> earliest() const noexcept {
    if (map_.empty()) return std::nullopt;
    return map_.begin()->first;
  }

  // The key of the earliest deadline passed by `now`; that deadline leaves the index (its
  // handle is empty from here), so a caller that does not find the entry still moves on.
  std::optional<Key> take_due(Time now) noexcept {
    if (map_.empty() || map_.begin()->first > now) return std::nullopt;
    const auto first = map_.begin();
    const Key key = first->second.key;
    first->second.handle->index_ = nullptr;
    map_.erase(first);
    return key;
  }

  bool empty() const noexcept { return map_.empty(); }

 private:
  struct Slot {
    Key key;
    Handle* handle;
  };
  Map map_;
};

}  // namespace qv
