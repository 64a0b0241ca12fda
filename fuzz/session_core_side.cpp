#include "session_core_side.hpp"

#include "fuzz_check.hpp"

namespace qv_fuzz {

namespace {
qv::LinkConfig link_config() { return {"127.0.0.1", 1, "fuzz", std::nullopt, 3, 0.0, 0.0}; }
}  // namespace

CoreSide::CoreSide(std::size_t max_line, std::size_t max_events)
    : link_(link_config()), core_(max_line), events_(max_events) {}
CoreSide::~CoreSide() = default;

std::uint64_t CoreSide::connect() {
  const auto now = std::chrono::steady_clock::now();
  qv::LinkStep step = link_.advance(now, qv::LinkInput::start(core_.new_tag()));
  check(step.what == qv::LinkStep::Do::Connect, "the core side's link connects an IP literal");
  step = link_.advance(now, qv::LinkInput::Kind::Connected);
  check(step.what == qv::LinkStep::Do::LogIn, "the core side's link logs in once connected");
  core_.attach();
  core_.add(step.login_tag, Payload{login_, {}});
  return step.login_tag;
}

bool CoreSide::logged_in() {
  const qv::LinkStep step = link_.advance(std::chrono::steady_clock::now(), qv::LinkInput::Kind::LoggedIn);
  check(step.what == qv::LinkStep::Do::Up, "the core side's link is up once logged in");
  if (step.reconnected) events_.mark(qv::Incoming::Kind::Reconnected);
  return step.reconnected;
}

bool CoreSide::up() const { return link_.up(); }

void CoreSide::add(std::uint64_t tag, std::size_t index, Time deadline) {
  core_.add(tag, Payload{index, deadlines_.add(deadline, tag)});
}

const std::size_t* CoreSide::find(std::uint64_t tag) {
  const Payload* p = core_.find(tag);
  return p ? &p->index : nullptr;
}

void CoreSide::settle(std::uint64_t tag) { (void)core_.settle(tag); }

std::optional<std::pair<std::uint64_t, std::size_t>> CoreSide::settle_due(Time now) {
  while (const auto tag = deadlines_.take_due(now)) {
    if (auto payload = core_.settle(*tag)) return std::pair(*tag, payload->index);
  }
  return std::nullopt;
}

bool CoreSide::idle() const { return core_.idle(); }

void CoreSide::feed(std::string_view bytes, const std::function<bool(std::size_t)>& wanted,
                    const std::function<void(std::uint64_t, std::size_t, std::string&&)>& on_reply) {
  core_.feed(bytes.data(), bytes.size(), events_,
             [&](const Payload& p) { return p.index == login_ || wanted(p.index); },
             [&](std::uint64_t tag, Payload&& p, std::string&& text) {
               if (p.index != login_) on_reply(tag, p.index, std::move(text));
             });
}

void CoreSide::lose(bool mark, const std::function<void(std::uint64_t, std::size_t)>& each) {
  auto lost = core_.lose(mark, events_);
  (void)link_.advance(std::chrono::steady_clock::now(), qv::LinkInput::Kind::Lost);
  qv::SessionCore<Payload>::drain(lost, [&](std::uint64_t tag, Payload&& p) {
    if (p.index != login_) each(tag, p.index);
  });
}

std::deque<qv::QueuedEvent> CoreSide::take_events() { return events_.take_all(); }
void CoreSide::mark(qv::Incoming::Kind kind) { events_.mark(kind); }

}  // namespace qv_fuzz
