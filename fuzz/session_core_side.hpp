#pragma once
// The session core as AsyncSession drives it (bytes fed as they come, a request whose waiter
// is gone left in the table until its reply, deadlines through the table, a loss handing the
// requests back), for the routing fuzz target. Its own file, built with coverage feedback
// like the core's sources (the harness and its model are not), so that the fuzzer explores
// the core's routing through this side too.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "session/core/event_queue.hpp"
#include "session/core/session_core.hpp"

namespace qv_fuzz {

class CoreSide {
 public:
  using Time = std::chrono::steady_clock::time_point;
  CoreSide(std::size_t max_line, std::size_t max_events);
  ~CoreSide();

  void attach();
  // Payloads are request indexes.
  void add(std::uint64_t tag, std::size_t index, Time deadline);
  const std::size_t* find(std::uint64_t tag);
  void settle(std::uint64_t tag);
  std::optional<std::pair<std::uint64_t, std::size_t>> settle_due(Time now);
  bool idle() const;
  void feed(std::string_view bytes, const std::function<bool(std::size_t)>& wanted,
            const std::function<void(std::uint64_t, std::size_t, std::string&&)>& on_reply);
  void lose(bool mark, const std::function<void(std::uint64_t, std::size_t)>& each);

  std::deque<qv::QueuedEvent> take_events();
  void consumed(std::size_t lines);
  void mark(qv::Incoming::Kind kind);

 private:
  qv::SessionCore<std::size_t> core_;
  qv::CountedEvents<qv::QueuedEvent> events_;
};

}  // namespace qv_fuzz
