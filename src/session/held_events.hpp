#pragma once
// The events a session holds for the program, with each one's Python object made when it is
// first needed, and the two ways the program takes them: the first in line (events()), or
// the first that a predicate accepts, leaving the others where they are (wait_for()). A mark
// in the stream is taken as the error it stands for, once.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "binding/ref.hpp"
#include "session/core/event_queue.hpp"

namespace qv::py {

struct HeldEvent {
  Incoming in;
  std::uint64_t seq;
  Ref event;
};

class HeldEvents {
 public:
  explicit HeldEvents(std::size_t limit) : queue_(limit) {}

  void push(Incoming&& in) { queue_.push(std::move(in)); }
  bool empty() const noexcept { return queue_.empty(); }
  std::size_t lines() const noexcept { return queue_.lines(); }  // marks not counted
  std::uint64_t received() const noexcept { return queue_.received(); }
  std::uint64_t dropped() const noexcept { return queue_.dropped(); }
  void clear() noexcept { queue_.clear(); }

  // Visits the event objects made so far, for the session's tp_traverse.
  int traverse(visitproc visit, void* arg) {
    for (HeldEvent& e : queue_.entries()) Py_VISIT(e.event.get());
    return 0;
  }

  // What the program takes, with `lines` counting the server lines among it.
  struct Taken {
    Ref event;  // null: the error is set (a mark, or no memory for the event's object)
    std::size_t lines = 0;
  };

  // The first entry; the holder must not be empty.
  Taken take_first();

  // The first entry placed at or after `from` that is a mark, or an event `predicate`
  // accepts; `from` moves past what was looked at. `found` is false when none was, and the
  // result then holds no error unless the predicate raised one.
  Taken take_match(PyObject* predicate, std::uint64_t& from, bool& found);

  // The same, in two steps for a caller that must check its own state after the predicate
  // (which is Python code, free to call back into the session): the place of the match
  // (nullopt: none, or the predicate raised, with the error set), then take_at() takes it if
  // it is still held (found false when it is not).
  std::optional<std::uint64_t> find_match(PyObject* predicate, std::uint64_t& from);
  Taken take_at(std::uint64_t seq, bool& found);

 private:
  using Queue = EventQueue<HeldEvent>;
  Taken take(std::deque<HeldEvent>::iterator at);
  Queue queue_;
};

}  // namespace qv::py
