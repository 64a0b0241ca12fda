#include "session/event_pipeline.hpp"

#include <algorithm>
#include <utility>

#include "binding/first_error.hpp"
#include "commands/core/command_tag.hpp"
#include "session/py_received.hpp"
#include "session/requests.hpp"
#include "session/wire_log.hpp"

namespace qv::py {

namespace {

constexpr std::size_t kEvictionsKept = 4096;

bool is_line(const HeldEvent& e) { return e.in.kind == Incoming::Kind::Line; }


}  // namespace

// ---- a subscription's queue ---------------------------------------------------------------

SubscriptionStep take_next(SubscriptionObject* sub) {
  SubscriptionStep step{SubscriptionStep::Kind::Empty, {}};
  if (sub->queue.empty()) return step;
  HeldEvent& front = sub->queue.front();
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

// ---- the pipeline -------------------------------------------------------------------------

EventPipeline::EventPipeline(Host& host, std::size_t window, std::size_t inbound_limit,
                             std::string resource_key, Telemetry& telemetry)
    : host_(host),
      telemetry_(telemetry),
      inbound_(inbound_limit, Overflow::DropNewest),
      window_(window, Overflow::DropOldest),
      resource_key_(std::move(resource_key)) {}

EventPipeline::~EventPipeline() {
  // A subscription outliving its session (it holds the session, so only in a collected
  // cycle) finds itself ended.
  for_each_subscription([](SubscriptionObject* sub) { sub->pipeline = nullptr; });
}

namespace {

// The resource a line names: the value of its `<key>=<id>` field, or empty.
std::string_view resource_of(std::string_view text, std::string_view key) {
  std::string_view found;
  for_each_token(text, [&](std::string_view token) {
    if (found.empty() && token.size() > key.size() && token[key.size()] == '=' &&
        token.substr(0, key.size()) == key)
      found = token.substr(key.size() + 1);
  });
  return found;
}

}  // namespace

bool EventPipeline::pumping_here() const noexcept {
  return pumping_ && pump_thread_ == PyThread_get_thread_ident();
}

std::uint64_t EventPipeline::dropped() const noexcept {
  return window_.dropped() + window_.dropped_upstream() + dropped_by_subscriptions_ +
         dropped_upstream_;
}

bool EventPipeline::pump() {
  if (pumping_) return true;
  pumping_ = true;
  pump_thread_ = PyThread_get_thread_ident();
  const std::uint64_t window_before = window_.dropped() + window_.dropped_upstream();
  const std::uint64_t subs_before = dropped_by_subscriptions_;
  const std::uint64_t upstream_before = dropped_upstream_;
  FirstError error;
  bool handed = false;
  // A wait registered since the last hand-on looks at what is held first.
  if (!waits_.empty()) offer_waits();
  while (!error.failed() && host_.open()) {
    if (inbound_.empty()) host_.refill(inbound_);
    if (inbound_.empty() || (holding_ && inbound_.front().seq > hold_from_)) break;
    HeldEvent e = inbound_.pop_front();
    e.seq = next_seq_++;  // its place among the events handed on
    if (e.in.kind == Incoming::Kind::Lost && !telemetry_.connection_down()) error.keep();
    if (is_line(e) && !host_.trace(e.in)) error.keep();  // it is handed on all the same
    deliver(std::move(e));
    handed = true;
    if (!waits_.empty()) offer_waits();
  }
  pumping_ = false;
  pump_thread_ = 0;
  compact();
  if (handed) {
    host_.handed_on();
    if (telemetry_.on() && !telemetry_.events(totals())) error.keep();
  }
  if (!log_drops(window_.dropped() + window_.dropped_upstream() - window_before,
                 dropped_by_subscriptions_ - subs_before, dropped_upstream_ - upstream_before))
    error.keep();
  return error.restore();
}

bool EventPipeline::log_drops(std::uint64_t window, std::uint64_t subscriptions,
                              std::uint64_t upstream) {
  const std::string& server = host_.server();
  const std::uint16_t port = host_.port();
  if (window > 0 && !wire_log::window_dropped(server, port, window, window_.limit()))
    return false;
  if (subscriptions > 0 && !wire_log::subscription_dropped(server, port, subscriptions))
    return false;
  return upstream == 0 || wire_log::dropped_before_handing_on(server, port, upstream);
}

void EventPipeline::push_to(SubscriptionObject* sub, HeldEvent&& e) {
  const std::size_t dropped = sub->queue.push(std::move(e));
  dropped_by_subscriptions_ += dropped;
  if (sub->resource.empty()) {
    ++taken_by_subscriptions_;
  } else {
    ++taken_by_handles_;
    dropped_by_handles_ += dropped;
  }
}

Telemetry::EventTotals EventPipeline::totals() const noexcept {
  Telemetry::EventTotals t;
  t.window = taken_by_window_;
  t.subscription = taken_by_subscriptions_;
  t.resource = taken_by_handles_;
  t.dropped_window = window_.dropped() + window_.dropped_upstream();
  t.dropped_subscription = dropped_by_subscriptions_ - dropped_by_handles_;
  t.dropped_resource = dropped_by_handles_;
  t.dropped_before = dropped_upstream_;
  return t;
}

void EventPipeline::deliver(HeldEvent&& e) {
  if (is_line(e)) ++received_;
  if (!completions_.empty()) {
    if (e.in.tag && is_line(e)) {
      // A later line of a request: its completion, once (the line goes on as an event too).
      if (const auto at = find_completion(*e.in.tag); at != completions_.end()) {
        std::shared_ptr<CompletionBox> box = at->second.lock();
        if (box && !box->line && !box->lost)
          box->line = Incoming{Incoming::Kind::Line, e.in.tag, e.in.text, 0, 0};
        at->second.reset();  // let go of with the expired ones
      }
    } else if (e.in.kind == Incoming::Kind::Lost) {
      // No completion comes on a connection that is gone.
      for (auto& [tag, weak] : completions_)
        if (auto box = weak.lock(); box && !box->line) box->lost = true;
      completions_.clear();
    }
  }
  if (e.in.kind == Incoming::Kind::Dropped && has_subscriptions()) dropped_upstream_ += e.in.count;
  // The common case, one subscription to every event (events()): no Python code runs.
  if (subscribed_ == 1 && handle_count_ == 0 && subs_.size() == 1 && !subs_.front()->predicate) {
    push_to(subs_.front(), std::move(e));
    return;
  }
  // Held by reference: a predicate may end any subscription, and the program's last
  // reference with it.
  std::vector<Ref> takers;
  // The handles of the resource the line names (a mark: every handle), before any predicate.
  if (handle_count_ > 0) {
    const auto take_all = [&](const std::vector<SubscriptionObject*>& handles) {
      for (SubscriptionObject* h : handles) takers.push_back(Ref::borrow(reinterpret_cast<PyObject*>(h)));
    };
    if (!is_line(e)) {
      for (auto& [resource, handles] : handles_) take_all(handles);
    } else if (const std::string_view rid = resource_of(e.in.text, resource_key_); !rid.empty()) {
      if (const auto at = handles_.find(std::string(rid)); at != handles_.end()) take_all(at->second);
    }
  }
  const std::size_t count = subs_.size();  // one subscribed meanwhile misses this one
  for (std::size_t i = 0; i < count && i < subs_.size(); ++i) {
    SubscriptionObject* sub = subs_[i];
    if (!sub) continue;
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(sub));
    if (!is_line(e) || !sub->predicate) {
      takers.push_back(std::move(keep));
      continue;
    }
    if (!e.event) e.event = make_event(e.in, e.seq);
    int accepted = -1;
    if (e.event) {
      const Ref predicate = Ref::borrow(sub->predicate.get());
      const Ref event = Ref::borrow(e.event.get());
      Ref verdict = Ref::steal(call_one_arg(predicate.get(), event.get()));
      if (verdict) accepted = PyObject_IsTrue(verdict.get());
    }
    if (sub->pipeline != this) {  // it ended meanwhile
      PyErr_Clear();
      continue;
    }
    if (accepted < 0) {
      // What the predicate raised is that consumer's: it meets it at this point of its stream.
      HeldEvent failed;
      failed.in.kind = Incoming::Kind::Line;
      failed.seq = e.seq;
      failed.raised = true;
      failed.event = Ref::steal(take_raised_exception());
      if (sub->queue.lines() < sub->queue.limit()) (void)sub->queue.push(std::move(failed));
      continue;
    }
    if (accepted) takers.push_back(std::move(keep));
  }
  std::erase_if(takers, [&](const Ref& t) {
    return reinterpret_cast<SubscriptionObject*>(t.get())->pipeline != this;
  });
  if (takers.empty()) {
    ++taken_by_window_;
    if (window_.push(std::move(e)) > 0) {
      // Kept for wait_for's word on what it could not see; places only grow, so the first
      // ones go when the record is full.
      evicted_.push_back(window_.evicted_through());
      if (evicted_.size() > kEvictionsKept) evicted_.pop_front();
    }
    return;
  }
  if (takers.size() == 1) {
    push_to(reinterpret_cast<SubscriptionObject*>(takers.front().get()), std::move(e));
    return;
  }
  // Several: each gets its own entry, sharing one Event.
  if (!e.event && (is_line(e) || e.in.kind == Incoming::Kind::Reconnected)) {
    e.event = make_event(e.in, e.seq);
    if (!e.event) PyErr_Clear();  // each taker makes its own, then
  }
  for (const Ref& t : takers) {
    HeldEvent copy;
    copy.in.kind = e.in.kind;
    copy.in.count = e.in.count;
    copy.seq = e.seq;
    copy.shared = true;
    if (e.event) {
      copy.event = Ref::borrow(e.event.get());
    } else {
      copy.in.tag = e.in.tag;
      copy.in.text = e.in.text;
    }
    push_to(reinterpret_cast<SubscriptionObject*>(t.get()), std::move(copy));
  }
}

// ---- waits --------------------------------------------------------------------------------

std::uint64_t EventPipeline::add_wait(EventWait wait) {
  const std::uint64_t id = ++next_wait_;
  waits_.add(id, std::move(wait));
  return id;
}

void EventPipeline::offer_waits() {
  for (std::optional<std::uint64_t> id = waits_.next_key(std::nullopt); id;
       id = waits_.next_key(id)) {
    if (!host_.open()) return;
    EventWait* w = waits_.find(*id);
    if (w->settled || !host_.still_waiting(*id)) continue;
    w = waits_.find(*id);
    if (!w) continue;
    if (w->kind == EventWait::Kind::Completion) {
      Ref event;
      if (!completion_of(*w->box, event)) continue;
      w->settled = true;
      w->event = std::move(event);
      if (!w->event) w->error = Ref::steal(take_raised_exception());
      host_.settled(*id);
      continue;
    }
    if (w->kind == EventWait::Kind::Step && w->matching) {  // a handle's wait_for
      auto* sub = reinterpret_cast<SubscriptionObject*>(w->subscription.get());
      if (sub->queue.empty()) continue;
      const Ref predicate = Ref::borrow(w->predicate.get());
      const Ref keep = Ref::borrow(w->subscription.get());
      std::uint64_t from = w->from;
      Taken taken = take_match(sub->queue, predicate.get(), from);
      Ref raised = PyErr_Occurred() ? Ref::steal(take_raised_exception()) : Ref();
      w = waits_.find(*id);
      if (!w || w->settled) continue;
      w->from = from;
      if (!taken.found && !raised) continue;
      w->settled = true;
      w->event = std::move(taken.event);
      w->error = std::move(raised);
      host_.settled(*id);
      continue;
    }
    if (w->kind == EventWait::Kind::Step) {
      auto* sub = reinterpret_cast<SubscriptionObject*>(w->subscription.get());
      for (;;) {
        if (sub->queue.empty() && !sub->failure) break;
        SubscriptionStep step = take_next(sub);
        if (step.kind == SubscriptionStep::Kind::Lost) {
          if (host_.streams_go_on()) continue;  // the reconnect's mark follows it
          raise_events_lost();
          step.kind = SubscriptionStep::Kind::Error;
        }
        if (step.kind == SubscriptionStep::Kind::Empty) {
          set_raised_exception(sub->failure.release());
          step.kind = SubscriptionStep::Kind::Error;
        }
        w->settled = true;
        w->event = std::move(step.event);
        if (step.kind == SubscriptionStep::Kind::Error) w->error = Ref::steal(take_raised_exception());
        host_.settled(*id);
        break;
      }
      continue;
    }
    if (window_.empty()) continue;
    const Ref predicate = Ref::borrow(w->predicate.get());  // alive through the call
    std::uint64_t from = w->from;
    const std::optional<std::uint64_t> seq = find_match(window_, predicate.get(), from);
    Ref raised = PyErr_Occurred() ? Ref::steal(take_raised_exception()) : Ref();
    w = waits_.find(*id);
    if (!w || w->settled) continue;  // ended meanwhile (closed, cancelled, timed out)
    w->from = from;
    if (!seq && !raised) continue;
    Taken taken;
    if (seq) {
      taken = take_at(window_, *seq);
      if (!taken.found) {
        // Nothing else hands events on while a predicate runs: a call the predicate made took
        // the event it then accepted. Handing it on twice would break once-only delivery, and
        // waiting on would keep the caller from an event it has seen: it is told at once.
        PyErr_SetString(PyExc_RuntimeError,
                        "the event this wait_for's predicate accepted was taken by a call the "
                        "predicate itself made (wait_for, events() or a subscription's step): "
                        "a predicate may take events or accept them, not both");
        raised = Ref::steal(take_raised_exception());
      } else if (!taken.event) {
        raised = Ref::steal(take_raised_exception());
      }
    }
    w->settled = true;
    w->event = std::move(taken.event);
    w->error = std::move(raised);
    host_.settled(*id);
  }
}

// ---- the window ---------------------------------------------------------------------------

Taken EventPipeline::take_at(EventList& list, std::uint64_t seq) {
  const auto at = list.at_or_after(seq);
  if (at == list.entries().end() || at->seq != seq) return {};
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
    case Incoming::Kind::Dropped: raise_subscription_dropped(at->in.count); break;
  }
  list.erase(at);  // a mark is raised once
  return taken;
}

std::optional<std::uint64_t> EventPipeline::find_match(EventList& list, PyObject* predicate,
                                                       std::uint64_t& from) {
  const Ref keep = Ref::borrow(predicate);  // the predicate may empty the list meanwhile
  for (auto at = list.at_or_after(from); at != list.entries().end(); at = list.at_or_after(from)) {
    from = at->seq + 1;
    if (at->in.kind == Incoming::Kind::Lost || at->in.kind == Incoming::Kind::Dropped)
      return at->seq;
    if (at->raised) continue;  // a subscription predicate's exception: its get() raises it
    if (!at->event) at->event = make_event(at->in, at->seq);
    if (!at->event) return std::nullopt;
    if (!keep) return at->seq;
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

Taken EventPipeline::take_match(EventList& list, PyObject* predicate, std::uint64_t& from) {
  // The predicate is Python code: others may have taken events meanwhile, so the match is
  // looked up again, and the search goes on when it is gone.
  for (;;) {
    const std::optional<std::uint64_t> seq = find_match(list, predicate, from);
    if (!seq) return {};
    Taken taken = take_at(list, *seq);
    if (taken.found) return taken;
  }
}

void EventPipeline::put_back(HeldEvent&& e, SubscriptionObject* sub) {
  if (sub && sub->pipeline == this) {
    (void)sub->queue.put_back(std::move(e));
  } else if (!e.shared) {
    (void)window_.put_back(std::move(e));
  }
}

std::shared_ptr<CompletionBox> EventPipeline::expect_completion(std::uint64_t tag) {
  // Replies are mostly dropped in the order they came: theirs go from the front at once. The
  // rest, behind a Reply kept longer, once the table has doubled since the last sweep: each
  // costs O(1) however many requests a session makes.
  while (!completions_.empty() && completions_.front().second.expired()) completions_.pop_front();
  if (completions_.size() >= 2 * completions_swept_at_ + 1024) {
    std::erase_if(completions_, [](const auto& entry) { return entry.second.expired(); });
    completions_swept_at_ = completions_.size();
  }
  auto box = std::make_shared<CompletionBox>();
  box->owner = this;
  box->tag = tag;
  if (completions_.empty() || completions_.back().first < tag) {
    completions_.emplace_back(tag, box);
  } else if (const auto at = completion_place(tag); at != completions_.end() && at->first == tag) {
    at->second = box;
  } else {
    completions_.emplace(at, tag, box);
  }
  return box;
}

EventPipeline::Completions::iterator EventPipeline::completion_place(std::uint64_t tag) {
  return std::lower_bound(completions_.begin(), completions_.end(), tag,
                          [](const auto& entry, std::uint64_t t) { return entry.first < t; });
}

EventPipeline::Completions::iterator EventPipeline::find_completion(std::uint64_t tag) {
  const auto at = completion_place(tag);
  return at != completions_.end() && at->first == tag ? at : completions_.end();
}

bool EventPipeline::completion_of(CompletionBox& box, Ref& event) {
  if (box.event) {
    event = Ref::borrow(box.event.get());
    return true;
  }
  if (box.line) {
    box.event = make_event(*box.line, 0);
    event = Ref::borrow(box.event.get());
    return true;
  }
  if (box.lost) {
    raise_events_lost();
    return true;
  }
  return false;
}

std::uint64_t EventPipeline::dropped_since(std::uint64_t position, bool& at_least) const {
  const auto first = std::lower_bound(evicted_.begin(), evicted_.end(), position);
  at_least = first == evicted_.begin() && evicted_.size() == kEvictionsKept;
  return static_cast<std::uint64_t>(evicted_.end() - first);
}

void EventPipeline::hold() {
  if (holding_) return;
  host_.refill(inbound_);  // what was read before is not held
  holding_ = true;
  hold_from_ = inbound_.reserve_seq();
}

void EventPipeline::release(std::optional<Incoming> mark) {
  if (!holding_) return;
  holding_ = false;
  if (mark) (void)inbound_.put_back(HeldEvent{std::move(*mark), hold_from_, {}, false, false});
}

void EventPipeline::clear() {
  inbound_.clear();
  window_.clear();
}

// ---- subscriptions ------------------------------------------------------------------------

void EventPipeline::subscribe(SubscriptionObject* sub, bool take_window) {
  sub->pipeline = this;
  if (!sub->resource.empty()) {
    handles_[sub->resource].push_back(sub);
    ++handle_count_;
    return;
  }
  sub->slot = subs_.size();
  if (take_window) {
    for (HeldEvent& e : window_.take_all()) (void)sub->queue.push(std::move(e));
  }
  subs_.push_back(sub);
  ++subscribed_;
}

void EventPipeline::unsubscribe(SubscriptionObject* sub) {
  if (sub->pipeline != this) return;
  sub->pipeline = nullptr;
  if (!sub->resource.empty()) {
    // The handles of one resource are few: a resource is one call, one player.
    if (const auto at = handles_.find(sub->resource); at != handles_.end()) {
      std::erase(at->second, sub);
      if (at->second.empty()) handles_.erase(at);
    }
    --handle_count_;
  } else {
    if (sub->slot < subs_.size() && subs_[sub->slot] == sub) subs_[sub->slot] = nullptr;
    --subscribed_;
    compact();
  }
  // What it took alone goes back, as if no subscription had taken it; what others took too
  // is theirs already.
  for (HeldEvent& e : sub->queue.take_all()) {
    if (e.raised || e.shared || e.in.kind == Incoming::Kind::Dropped) continue;
    (void)window_.put_back(std::move(e));
  }
}

// Holes are taken out once they are half of the list: each subscription's end costs O(1),
// however many are subscribed.
void EventPipeline::compact() {
  if (pumping_ || subs_.size() - subscribed_ <= subs_.size() / 2) return;
  std::size_t kept = 0;
  for (SubscriptionObject* sub : subs_) {
    if (!sub) continue;
    sub->slot = kept;
    subs_[kept++] = sub;
  }
  subs_.resize(kept);
}

int EventPipeline::traverse(visitproc visit, void* arg) {
  for (HeldEvent& e : window_.entries()) Py_VISIT(e.event.get());
  for (HeldEvent& e : inbound_.entries()) Py_VISIT(e.event.get());
  return waits_.visit([&](const EventWait& w) {
    Py_VISIT(w.predicate.get());
    Py_VISIT(w.subscription.get());
    Py_VISIT(w.event.get());
    Py_VISIT(w.error.get());
    Py_VISIT(w.future.get());
    return 0;
  });
}

}  // namespace qv::py
