#include "session_core_side.hpp"

namespace qv_fuzz {

CoreSide::CoreSide(std::size_t max_line, std::size_t max_events)
    : core_(max_line), events_(max_events) {}
CoreSide::~CoreSide() = default;

void CoreSide::attach() { core_.attach(); }

void CoreSide::add(std::uint64_t tag, std::size_t index, Time deadline) {
  core_.add(tag, index, deadline);
}

const std::size_t* CoreSide::find(std::uint64_t tag) { return core_.find(tag); }

void CoreSide::settle(std::uint64_t tag) { (void)core_.settle(tag); }

std::optional<std::pair<std::uint64_t, std::size_t>> CoreSide::settle_due(Time now) {
  return core_.settle_due(now);
}

bool CoreSide::idle() const { return core_.idle(); }

void CoreSide::feed(std::string_view bytes, const std::function<bool(std::size_t)>& wanted,
                    const std::function<void(std::uint64_t, std::size_t, std::string&&)>& on_reply) {
  core_.feed(bytes.data(), bytes.size(), events_,
             [&](const std::size_t& index) { return wanted(index); },
             [&](std::uint64_t tag, std::size_t index, std::string&& text) {
               on_reply(tag, index, std::move(text));
             });
}

void CoreSide::lose(bool mark, const std::function<void(std::uint64_t, std::size_t)>& each) {
  auto lost = core_.lose(mark, events_);
  qv::SessionCore<std::size_t>::drain(lost, [&](std::uint64_t tag, std::size_t index) {
    each(tag, index);
  });
}

std::deque<qv::QueuedEvent> CoreSide::take_events() { return events_.take_all(); }
void CoreSide::consumed(std::size_t lines) { events_.consumed(lines); }
void CoreSide::mark(qv::Incoming::Kind kind) { events_.mark(kind); }

}  // namespace qv_fuzz
