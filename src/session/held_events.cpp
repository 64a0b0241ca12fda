#include "session/held_events.hpp"

#include <algorithm>

#include "session/py_received.hpp"
#include "session/requests.hpp"

namespace qv::py {

HeldEvents::Taken HeldEvents::take(std::deque<HeldEvent>::iterator at) {
  Taken taken;
  switch (at->in.kind) {
    case Incoming::Kind::Line:
    case Incoming::Kind::Reconnected:
      if (!at->event) at->event = make_event(at->in);
      if (!at->event) return taken;  // stays held
      taken.event = std::move(at->event);
      taken.lines = at->in.kind == Incoming::Kind::Line;
      break;
    case Incoming::Kind::Lost: raise_events_lost(); break;
    case Incoming::Kind::Dropped: raise_events_dropped(at->in.count); break;
  }
  queue_.erase(at);  // a mark is raised once
  return taken;
}

HeldEvents::Taken HeldEvents::take_first() { return take(queue_.entries().begin()); }

std::optional<std::uint64_t> HeldEvents::find_match(PyObject* predicate, std::uint64_t& from) {
  auto& entries = queue_.entries();
  auto at_or_after = [&](std::uint64_t seq) {
    return std::find_if(entries.begin(), entries.end(),
                        [&](const HeldEvent& e) { return e.seq >= seq; });
  };
  // Held by reference across the call: the predicate may empty the queue meanwhile.
  const Ref keep = Ref::borrow(predicate);
  for (auto at = at_or_after(from); at != entries.end(); at = at_or_after(from)) {
    from = at->seq + 1;
    if (at->in.kind == Incoming::Kind::Lost || at->in.kind == Incoming::Kind::Dropped)
      return at->seq;
    if (!at->event) at->event = make_event(at->in);
    if (!at->event) return std::nullopt;
    const std::uint64_t seq = at->seq;
    Ref event = Ref::borrow(at->event.get());
    Ref verdict = Ref::steal(PyObject_CallOneArg(keep.get(), event.get()));
    if (!verdict) return std::nullopt;
    const int match = PyObject_IsTrue(verdict.get());
    if (match < 0) return std::nullopt;
    if (match) return seq;
  }
  return std::nullopt;
}

HeldEvents::Taken HeldEvents::take_at(std::uint64_t seq, bool& found) {
  auto& entries = queue_.entries();
  const auto at = std::find_if(entries.begin(), entries.end(),
                               [&](const HeldEvent& e) { return e.seq == seq; });
  found = at != entries.end();
  if (!found) return {};
  return take(at);
}

HeldEvents::Taken HeldEvents::take_match(PyObject* predicate, std::uint64_t& from, bool& found) {
  // The predicate is Python code: others may have taken events meanwhile, so the match is
  // looked up again, and the search goes on when it is gone.
  for (;;) {
    const std::optional<std::uint64_t> seq = find_match(predicate, from);
    if (!seq) {
      found = false;
      return {};
    }
    Taken taken = take_at(*seq, found);
    if (found) return taken;
  }
}

}  // namespace qv::py
