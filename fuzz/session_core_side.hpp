#pragma once
// The session core as AsyncSession drives it (its own Link driven to Up for each connection,
// bytes fed as they come, a request whose waiter is gone left in the table until its reply,
// deadlines through the one index, a loss handing the requests back), for the routing fuzz
// target. Its own file, built with coverage feedback like the core's sources (the harness and
// its model are not), so that the fuzzer explores the core's routing through this side too.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "session/core/deadline_index.hpp"
#include "session/core/event_queue.hpp"
#include "session/core/link.hpp"
#include "session/core/session_core.hpp"

namespace qv_fuzz {

class CoreSide {
 public:
  using Time = std::chrono::steady_clock::time_point;
  CoreSide(std::size_t max_line, std::size_t max_events);
  ~CoreSide();

  // Drives the link from Down to a connection logging in: the Login's tag.
  std::uint64_t connect();
  // The Login's reply came: up; whether the link says it is a reconnect (marked then).
  bool logged_in();
  bool up() const;
  // Payloads are request indexes.
  void add(std::uint64_t tag, std::size_t index, Time deadline);
  const std::size_t* find(std::uint64_t tag);
  void settle(std::uint64_t tag);
  // The request whose deadline passed first, taken out.
  std::optional<std::pair<std::uint64_t, std::size_t>> settle_due(Time now);
  bool idle() const;
  void feed(std::string_view bytes, const std::function<bool(std::size_t)>& wanted,
            const std::function<void(std::uint64_t, std::size_t, std::string&&)>& on_reply);
  void lose(bool mark, const std::function<void(std::uint64_t, std::size_t)>& each);

  std::deque<qv::QueuedEvent> take_events();
  void mark(qv::Incoming::Kind kind);

 private:
  struct Payload {
    std::size_t index;
    qv::DeadlineIndex<std::uint64_t>::Handle deadline;
  };
  qv::Link link_;
  qv::DeadlineIndex<std::uint64_t> deadlines_;
  qv::SessionCore<Payload> core_;
  qv::EventQueue<qv::QueuedEvent> events_;
  std::size_t login_ = SIZE_MAX;  // the Login's payload index
};

}  // namespace qv_fuzz
