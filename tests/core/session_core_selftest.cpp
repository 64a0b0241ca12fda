// Self-test of the session core where the routing fuzz target does not reach without clang:
// a request leaves exactly once whatever ends it, also from a table a loss handed over, and
// its deadline leaves the index with it; the connection's Link says what to do for each
// thing that happens, with the texts and limits both session classes use.
//
// Built and run by scripts/test-core.sh.
#include <netdb.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "session/core/deadline_index.hpp"
#include "session/core/event_queue.hpp"
#include "session/core/link.hpp"
#include "session/core/session_core.hpp"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "FAILED: %s\n", what);
  std::exit(1);
}

using Core = qv::SessionCore<int>;
using Events = qv::EventQueue<qv::QueuedEvent>;
using Kind = qv::Incoming::Kind;
using Clock = std::chrono::steady_clock;

void routing_and_loss() {
  Core core(64);
  Events events(100);
  core.attach();
  const std::uint64_t early = core.new_tag();
  const std::uint64_t late = core.new_tag();
  check(late > early, "tags grow");
  core.add(early, 1);
  core.add(late, 2);
  const std::string bytes = "OK COMMANDTAG=" + std::to_string(late) + "\nEvent 1\nOK COMMANDTAG=" +
                            std::to_string(early) + " cut";
  std::vector<int> answered;
  core.feed(bytes.data(), bytes.size(), events,
            [&](std::uint64_t, int payload, std::string&&) { answered.push_back(payload); });
  check(answered == std::vector<int>{2}, "a reply answers its own request");
  // The unterminated last line names `early`, yet answers nothing: the stream may have ended
  // inside its tag. `early` is handed back; the table is empty.
  Core::Table lost = core.lose(true, events);
  check(core.idle(), "a loss empties the core's table");
  std::vector<int> failed;
  Core::drain(lost, [&](std::uint64_t, int payload) { failed.push_back(payload); });
  check(failed == std::vector<int>{1} && lost.empty(), "each lost request once");
  const std::deque<qv::QueuedEvent> got = events.take_all();
  check(got.size() == 3 && got[0].in.text == "Event 1" && !got[1].in.tag &&
            got[2].in.kind == Kind::Lost,
        "events, the cut last line and the mark, in order");
}

// Payloads owning their deadline, in a table moved twice: each due once, the rest leave the
// index as their entries go.
void deadlines_go_with_their_entries() {
  using Index = qv::DeadlineIndex<int>;
  Index index;
  struct Entry {
    int value;
    Index::Handle deadline;
  };
  qv::KeyedTable<std::uint64_t, Entry> table;
  const auto now = Clock::now();
  for (int i = 0; i < 50; ++i) {
    Entry& e = table.add(static_cast<std::uint64_t>(i), Entry{i, {}});
    if (i % 2) e.deadline = index.add(now + std::chrono::milliseconds(i), i);
  }
  auto moved = std::move(table);
  qv::KeyedTable<std::uint64_t, Entry> again;
  again = std::move(moved);
  int due = 0;
  while (auto key = index.take_due(now + std::chrono::milliseconds(25))) {
    check(*key % 2 == 1 && *key <= 25, "only passed deadlines are due");
    check(again.take(static_cast<std::uint64_t>(*key)).has_value(), "a due entry is found");
    ++due;
  }
  check(due == 13, "every passed deadline once");
  check(again.take(7) == std::nullopt, "a due entry left its table");
  (void)again.take(9);  // taken before its deadline: the deadline goes with it
  check(!index.take_due(now + std::chrono::milliseconds(9)), "no deadline outlives its entry");
  again.clear();
  check(index.empty(), "every deadline leaves with its entry");
}

// ---- the link ------------------------------------------------------------------------------

using Do = qv::LinkStep::Do;
using In = qv::LinkInput;

qv::LinkConfig config(std::string host, std::uint32_t attempts = 3) {
  return {std::move(host), 1234, "ivr", 1.0, attempts, 0.1, 5.0};
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void link_connects_and_reconnects() {
  qv::Link link(config("127.0.0.1"));
  auto t = Clock::now();
  qv::LinkStep step = link.advance(t, In::start(0));
  check(step.what == Do::Connect && link.state() == qv::LinkState::Connecting, "an IP connects");
  check(step.until && seconds(*step.until - t) == 1.0, "an address has the timeout");
  step = link.advance(t, In::Kind::Connected);
  check(step.what == Do::LogIn && step.login_tag == 0 && step.notes == std::vector<std::string>{"connected"},
        "connected: the Login, under its tag");
  step = link.advance(t, In::Kind::LoggedIn);
  check(step.what == Do::Up && !step.reconnected && link.up(), "up");
  check(step.notes == std::vector<std::string>{"logged in as 'ivr'"}, "the login's note");
  check(link.advance(t, In::Kind::Connected).what == Do::Wait, "a late input changes nothing");
  (void)link.advance(t, In::Kind::Lost);
  check(link.state() == qv::LinkState::Down, "lost");
  step = link.advance(t + std::chrono::seconds(1), In::start(7));
  step = link.advance(t, In::connect_failed(ECONNREFUSED));
  check(step.what == Do::Pause && step.pause >= 0 && step.pause <= 0.1, "a pause, with jitter");
  check(step.notes.size() == 1 && step.notes[0].find("connect attempt failed: Failed to connect: ") == 0,
        "the failed attempt's note");
  step = link.advance(t, In::Kind::PauseOver);
  check(step.what == Do::Connect, "the next attempt");
  step = link.advance(t, In::Kind::Connected);
  step = link.advance(t + std::chrono::seconds(3), In::Kind::LoggedIn);
  check(step.what == Do::Up && step.reconnected && step.gap >= 2.0, "a reconnect, and its gap");
  check(step.notes.back() == "reconnected after the connection was lost", "the reconnect's note");
}

void link_fails_as_it_should() {
  auto t = Clock::now();
  {  // the first connect: one attempt, failing as the system said
    qv::Link link(config("127.0.0.1"));
    (void)link.advance(t, In::start(0));
    const qv::LinkStep step = link.advance(t, In::connect_failed(ECONNREFUSED));
    check(step.what == Do::Fail && step.failure.kind == qv::LinkFailure::Kind::System &&
              step.failure.err == ECONNREFUSED,
          "the first connect fails with the system's error");
  }
  {  // no reconnect
    qv::Link link(config("127.0.0.1", 0));
    (void)link.advance(t, In::start(0));
    (void)link.advance(t, In::Kind::Connected);
    (void)link.advance(t, In::Kind::LoggedIn);
    (void)link.advance(t, In::Kind::Lost);
    const qv::LinkStep step = link.advance(t, In::start(1));
    check(step.what == Do::Fail && step.failure.text == qv::Link::no_reconnect_text(),
          "reconnect_attempts 0: a lost connection stays lost");
  }
  {  // a refused Login ends connecting; a closed link refuses everything
    qv::Link link(config("127.0.0.1"));
    (void)link.advance(t, In::start(0));
    (void)link.advance(t, In::Kind::Connected);
    qv::LinkStep step = link.advance(t, In::login_failed(qv::LoginEnd::Refused));
    check(step.what == Do::Fail && step.failure.kind == qv::LinkFailure::Kind::Login,
          "a refused Login is the Login's failure");
    (void)link.advance(t, In::Kind::Close);
    step = link.advance(t, In::start(1));
    check(step.what == Do::Fail && step.failure.kind == qv::LinkFailure::Kind::Closed, "closed");
  }
  {  // a call's deadline bounds a reconnect
    qv::Link link(config("127.0.0.1"));
    (void)link.advance(t, In::start(0));
    (void)link.advance(t, In::Kind::Connected);
    (void)link.advance(t, In::Kind::LoggedIn);
    (void)link.advance(t, In::Kind::Lost);
    const auto at = t + std::chrono::milliseconds(500);
    qv::LinkStep step = link.advance(t, In::start(1, qv::CallBound{at, 0.5}));
    check(step.until == at, "the call's deadline cuts the address's limit");
    (void)link.advance(at, In::Kind::Connected);
    step = link.advance(at, In::login_failed(qv::LoginEnd::TimedOut));
    check(step.what == Do::Fail && step.failure.kind == qv::LinkFailure::Kind::Timeout &&
              step.failure.text ==
                  "the connection was lost, and the session could not connect and log in again "
                  "within 0.5 s (the server did not answer Login in time); nothing was sent: try "
                  "again later, or give a longer timeout",
          "a Login cut short by the call's deadline says so");
  }
}

void link_shares_the_time_among_addresses() {
  qv::Link link(config("multi.test"));
  const auto t = Clock::now();
  qv::LinkStep step = link.advance(t, In::start(0));
  check(step.what == Do::Resolve && step.until && seconds(*step.until - t) == 1.0,
        "a name is resolved, within the timeout");
  qv::IpAddress a = *qv::parse_ip_address("10.0.0.1"), b = *qv::parse_ip_address("10.0.0.2");
  step = link.advance(t, In::resolved({a, b}));
  check(step.what == Do::Connect && seconds(*step.until - t) == 0.5, "the first gets its share");
  const auto later = t + std::chrono::milliseconds(500);
  step = link.advance(later, In::connect_failed(ETIMEDOUT));
  check(step.what == Do::Connect && step.address.bytes == b.bytes &&
            seconds(*step.until - later) == 0.5,
        "the next gets what is left");
  step = link.advance(later, In::Kind::Connected);
  check(step.what == Do::LogIn && seconds(*step.until - later) == 1.0,
        "the Login gets a limit of its own");
  qv::Link silent(config("multi.test", 0));
  (void)silent.advance(t, In::start(0));
  step = silent.advance(t, In::Kind::ResolveTimedOut);
  check(step.what == Do::Fail && step.failure.kind == qv::LinkFailure::Kind::Resolve &&
            step.failure.text ==
                "Failed to resolve 'multi.test': the resolver gave no answer within 1 s",
        "a silent resolver fails the attempt");
}

void seconds_read_as_the_messages_write_them() {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1"},     {0.5, "0.5"},       {10.0, "10"},   {1e-05, "1e-05"},
      {0.0001, "0.0001"}, {1e16, "1e+16"}, {123.25, "123.25"}, {0.1, "0.1"},
      {2.5e-07, "2.5e-07"}, {1e15, "1000000000000000"}, {0.0, "0"}};
  for (const auto& [value, text] : cases) check(qv::seconds_text(value) == text, text);
}

}  // namespace

int main() {
  routing_and_loss();
  deadlines_go_with_their_entries();
  link_connects_and_reconnects();
  link_fails_as_it_should();
  link_shares_the_time_among_addresses();
  seconds_read_as_the_messages_write_them();
  std::puts("session core: ok");
  return 0;
}
