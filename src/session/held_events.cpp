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

HeldEvents::Taken HeldEvents::take_match(PyObject* predicate, std::uint64_t& from, bool& found) {
  auto& entries = queue_.entries();
  auto at_or_after = [&](std::uint64_t seq) {
    return std::find_if(entries.begin(), entries.end(),
                        [&](const HeldEvent& e) { return e.seq >= seq; });
  };
  found = true;
  for (auto at = at_or_after(from); at != entries.end(); at = at_or_after(from)) {
    from = at->seq + 1;
    if (at->in.kind == Incoming::Kind::Lost || at->in.kind == Incoming::Kind::Dropped)
      return take(at);
    if (!at->event) at->event = make_event(at->in);
    if (!at->event) return {};
    const std::uint64_t seq = at->seq;
    Ref event = Ref::borrow(at->event.get());
    Ref verdict = Ref::steal(PyObject_CallOneArg(predicate, event.get()));
    if (!verdict) return {};
    const int match = PyObject_IsTrue(verdict.get());
    if (match < 0) return {};
    if (!match) continue;
    // The predicate is Python code: others may have taken events meanwhile. Look it up again.
    at = std::find_if(entries.begin(), entries.end(),
                      [&](const HeldEvent& e) { return e.seq == seq; });
    if (at != entries.end()) return take(at);
  }
  found = false;
  return {};
}

}  // namespace qv::py
