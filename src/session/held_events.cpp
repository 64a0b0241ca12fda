#include "session/held_events.hpp"

#include <algorithm>

#include "session/py_received.hpp"
#include "session/requests.hpp"

namespace qv::py {

namespace {

bool is_mark(const HeldEvent& e) { return e.in.kind != Incoming::Kind::Line; }

SubscriptionObject* as_subscription(PyObject* o) { return reinterpret_cast<SubscriptionObject*>(o); }


}  // namespace

// ---- EventList ------------------------------------------------------------------------------

void EventList::push(HeldEvent&& e) {
  using Kind = Incoming::Kind;
  if (e.in.kind == Kind::Dropped && !entries_.empty() && entries_.back().in.kind == Kind::Dropped) {
    entries_.back().in.count += e.in.count;
    return;
  }
  if (e.in.kind == Kind::Lost && !entries_.empty()) {
    const Kind last = entries_.back().in.kind;
    if (last == Kind::Lost) return;
    if (last == Kind::Reconnected) {
      entries_.pop_back();
      if (!entries_.empty() && entries_.back().in.kind == Kind::Lost) return;
    }
  }
  if (e.in.kind == Kind::Line) ++lines_;
  entries_.push_back(std::move(e));
}

EventList::Entries::iterator EventList::at_or_after(std::uint64_t seq) {
  return std::lower_bound(entries_.begin(), entries_.end(), seq,
                          [](const HeldEvent& e, std::uint64_t s) { return e.seq < s; });
}

bool EventList::put_back(HeldEvent&& e) {
  const auto at = at_or_after(e.seq);
  if (at != entries_.end() && at->seq == e.seq) return false;
  if (e.in.kind == Incoming::Kind::Line) ++lines_;
  entries_.insert(at, std::move(e));
  return true;
}

HeldEvent EventList::pop_front() {
  HeldEvent e = std::move(entries_.front());
  entries_.pop_front();
  if (e.in.kind == Incoming::Kind::Line) --lines_;
  return e;
}

EventList::Entries::iterator EventList::erase(Entries::iterator at) {
  if (at->in.kind == Incoming::Kind::Line) --lines_;
  return entries_.erase(at);
}

void EventList::clear() noexcept {
  // Moved out first: an event's deallocation runs no Python code, but the list stays whole.
  Entries gone = std::exchange(entries_, {});
  lines_ = 0;
}

int EventList::traverse(visitproc visit, void* arg) {
  for (HeldEvent& e : entries_) Py_VISIT(e.event.get());
  return 0;
}

// ---- the window ---------------------------------------------------------------------------

void HeldEvents::push(HeldEvent&& e) {
  if (e.in.kind == Incoming::Kind::Dropped) {  // before the window: counted, nothing to hold
    dropped_ += e.in.count;
    return;
  }
  if (e.in.kind == Incoming::Kind::Line && list_.lines() >= limit_) {
    // The oldest line goes, and the marks before it: they stand for what is gone.
    auto& entries = list_.entries();
    while (!entries.empty()) {
      const bool line = !is_mark(entries.front());
      list_.pop_front();
      if (line) break;
    }
    ++dropped_;
  }
  list_.push(std::move(e));
}

bool HeldEvents::put_back(HeldEvent&& e) {
  if (!list_.put_back(std::move(e))) return false;
  while (list_.lines() > limit_) {  // the oldest go, as when a new one comes
    const bool line = !is_mark(list_.entries().front());
    list_.pop_front();
    if (line) ++dropped_;
  }
  return true;
}

Taken HeldEvents::take(EventList::Entries::iterator at) {
  Taken taken;
  taken.found = true;
  switch (at->in.kind) {
    case Incoming::Kind::Line:
    case Incoming::Kind::Reconnected:
      if (!at->event) at->event = make_event(at->in, at->seq);
      if (!at->event) return taken;  // stays held
      taken.event = std::move(at->event);
      break;
    case Incoming::Kind::Lost: raise_events_lost(); break;
    case Incoming::Kind::Dropped: break;  // never held
  }
  list_.erase(at);  // a mark is raised once
  return taken;
}

std::optional<std::uint64_t> HeldEvents::find_match(PyObject* predicate, std::uint64_t& from) {
  // Held by reference across the call: the predicate may empty the window meanwhile.
  const Ref keep = Ref::borrow(predicate);
  for (auto at = list_.at_or_after(from); at != list_.entries().end(); at = list_.at_or_after(from)) {
    from = at->seq + 1;
    if (at->in.kind == Incoming::Kind::Lost) return at->seq;
    if (!at->event) at->event = make_event(at->in, at->seq);
    if (!at->event) return std::nullopt;
    const std::uint64_t seq = at->seq;
    Ref event = Ref::borrow(at->event.get());
    Ref verdict = Ref::steal(call_one_arg(keep.get(), event.get()));
    if (!verdict) return std::nullopt;
    const int match = PyObject_IsTrue(verdict.get());
    if (match < 0) return std::nullopt;
    if (match) return seq;
  }
  return std::nullopt;
}

Taken HeldEvents::take_at(std::uint64_t seq) {
  const auto at = list_.at_or_after(seq);
  if (at == list_.entries().end() || at->seq != seq) return {};
  return take(at);
}

Taken HeldEvents::take_match(PyObject* predicate, std::uint64_t& from) {
  // The predicate is Python code: others may have taken events meanwhile, so the match is
  // looked up again, and the search goes on when it is gone.
  for (;;) {
    const std::optional<std::uint64_t> seq = find_match(predicate, from);
    if (!seq) return {};
    Taken taken = take_at(*seq);
    if (taken.found) return taken;
  }
}

// ---- subscriptions ------------------------------------------------------------------------

SubscriptionStep take_next(SubscriptionObject* sub) {
  SubscriptionStep step{SubscriptionStep::Kind::Empty, {}, 0};
  if (sub->queue.empty()) return step;
  HeldEvent& front = sub->queue.entries().front();
  step.seq = front.seq;
  switch (front.in.kind) {
    case Incoming::Kind::Line:
    case Incoming::Kind::Reconnected:
      if (front.raised) {
        set_raised_exception(front.event.release());
        step.kind = SubscriptionStep::Kind::Error;
        break;
      }
      if (!front.event) front.event = make_event(front.in, front.seq);
      if (!front.event) {  // no memory: it stays, for the next step
        step.kind = SubscriptionStep::Kind::Error;
        return step;
      }
      step.kind = SubscriptionStep::Kind::Event;
      step.event = std::move(front.event);
      break;
    case Incoming::Kind::Dropped:
      raise_subscription_dropped(front.in.count);
      step.kind = SubscriptionStep::Kind::Error;
      break;
    case Incoming::Kind::Lost: step.kind = SubscriptionStep::Kind::Lost; break;
  }
  (void)sub->queue.pop_front();
  return step;
}

bool EventHub::has_subscriptions() const noexcept {
  return std::any_of(subs_.begin(), subs_.end(), [](const SubscriptionObject* s) { return s; });
}

void EventHub::subscribe(SubscriptionObject* sub, bool take_window) {
  compact();
  sub->hub = this;
  if (take_window) sub->queue = window_.take_all();
  subs_.push_back(sub);
}

void EventHub::unsubscribe(SubscriptionObject* sub) {
  if (sub->hub != this) return;
  sub->hub = nullptr;
  const auto at = std::find(subs_.begin(), subs_.end(), sub);
  if (at != subs_.end()) *at = nullptr;
  compact();
  EventList left = std::exchange(sub->queue, {});
  for (HeldEvent& e : left.entries()) {
    if (e.raised || e.in.kind == Incoming::Kind::Dropped) continue;  // that consumer's own
    (void)window_.put_back(std::move(e));
  }
}

void EventHub::compact() {
  if (!dispatching_) subs_.erase(std::remove(subs_.begin(), subs_.end(), nullptr), subs_.end());
}

// A line beyond the subscription's max_pending is dropped, and counted where it happened.
void EventHub::push_taken(SubscriptionObject* sub, Incoming&& in, std::uint64_t seq) {
  if (in.kind == Incoming::Kind::Line && sub->queue.lines() >= sub->max_pending) {
    in = Incoming{Incoming::Kind::Dropped, std::nullopt, {}, 1};
    ++dropped_;
  }
  sub->queue.push(HeldEvent{std::move(in), seq, {}, false});
}

void EventHub::deliver(SubscriptionObject* sub, const Incoming& in, std::uint64_t seq,
                       const Ref& made) {
  HeldEvent e;
  e.seq = seq;
  if (in.kind == Incoming::Kind::Line && sub->queue.lines() >= sub->max_pending) {
    e.in = Incoming{Incoming::Kind::Dropped, std::nullopt, {}, 1};
    ++dropped_;
  } else {
    e.in.kind = in.kind;
    e.in.count = in.count;
    if (made) {
      e.event = Ref::borrow(made.get());
    } else {
      e.in.tag = in.tag;
      e.in.text = in.text;
    }
  }
  sub->queue.push(std::move(e));
}

void EventHub::dispatch(Incoming&& in) {
  const std::uint64_t seq = next_seq_++;
  if (in.kind == Incoming::Kind::Line) ++received_;
  if (in.kind == Incoming::Kind::Dropped && has_subscriptions()) dropped_ += in.count;
  // The common case, one subscription to every event (events()): no Python code runs.
  if (subs_.size() == 1 && subs_.front() && !subs_.front()->predicate) {
    push_taken(subs_.front(), std::move(in), seq);
    return;
  }
  dispatching_ = true;
  // Held by reference: a predicate may end any subscription, and the program's last
  // reference with it.
  std::vector<Ref> takers;
  Ref made;  // the Event, once a predicate needed it: every taker shares it
  const std::size_t count = subs_.size();  // one subscribed meanwhile missed this one
  for (std::size_t i = 0; i < count; ++i) {
    SubscriptionObject* sub = subs_[i];
    if (!sub) continue;
    if (in.kind != Incoming::Kind::Line || !sub->predicate) {
      takers.push_back(Ref::borrow(reinterpret_cast<PyObject*>(sub)));
      continue;
    }
    if (!made) made = make_event(in, seq);
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(sub));
    int accepted = -1;
    {
      const Ref predicate = Ref::borrow(sub->predicate.get());
      if (made) {
        Ref verdict = Ref::steal(call_one_arg(predicate.get(), made.get()));
        if (verdict) accepted = PyObject_IsTrue(verdict.get());
      }
    }
    if (sub->hub != this) {  // it ended meanwhile
      PyErr_Clear();
      continue;
    }
    if (accepted < 0) {
      // What the predicate raised is that consumer's: it meets it at this point of its stream.
      HeldEvent failed;
      failed.in.kind = Incoming::Kind::Line;
      failed.seq = seq;
      failed.raised = true;
      failed.event = Ref::steal(take_raised_exception());
      if (sub->queue.lines() < sub->max_pending) sub->queue.push(std::move(failed));
      continue;
    }
    if (accepted) takers.push_back(std::move(keep));
  }
  dispatching_ = false;
  std::erase_if(takers, [&](const Ref& t) { return as_subscription(t.get())->hub != this; });
  if (takers.empty()) {
    window_.push(HeldEvent{std::move(in), seq, std::move(made), false});
  } else if (takers.size() == 1 && !made) {
    push_taken(as_subscription(takers.front().get()), std::move(in), seq);
  } else {
    if (!made && (in.kind == Incoming::Kind::Line || in.kind == Incoming::Kind::Reconnected)) {
      made = make_event(in, seq);
      if (!made) PyErr_Clear();  // each taker makes its own, then
    }
    for (const Ref& t : takers) deliver(as_subscription(t.get()), in, seq, made);
  }
  compact();
}

}  // namespace qv::py
