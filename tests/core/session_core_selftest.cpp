// Self-test of the session core's table where the routing fuzz target does not reach without
// clang: a request leaves exactly once whatever ends it, also from a table a loss handed
// over (moved out of the core, with and without deadlines), and the Login is a request as any
// other whose tag precedes those made while connecting.
//
// Built and run by scripts/test-core.sh.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "session/core/event_queue.hpp"
#include "session/core/session_core.hpp"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "FAILED: %s\n", what);
  std::exit(1);
}

using Core = qv::SessionCore<int>;
using Events = qv::CountedEvents<qv::QueuedEvent>;

void login_and_loss() {
  Core core(64);
  Events events(100);
  const auto soon = std::chrono::steady_clock::now() + std::chrono::hours(1);
  const std::uint64_t login = core.start_login();
  const std::uint64_t early = core.new_tag();  // a request made while connecting
  check(early > login, "the Login's tag comes first");
  core.attach();
  core.add(login, 0, soon);
  core.add(early, 1);
  const std::uint64_t late = core.new_tag();
  core.add(late, 2, soon);
  const std::string bytes = "OK COMMANDTAG=" + std::to_string(late) + "\nEvent 1\nOK COMMANDTAG=" +
                            std::to_string(early) + " cut";
  std::vector<int> answered;
  core.feed(bytes.data(), bytes.size(), events,
            [&](std::uint64_t, int payload, std::string&&) { answered.push_back(payload); });
  check(answered == std::vector<int>{2}, "a reply answers its own request");
  // The unterminated last line names `early`, yet answers nothing: the stream may have ended
  // inside its tag. The Login and `early` are handed back; the table is empty.
  Core::Table lost = core.lose(true, events);
  check(core.idle() && !core.earliest(), "a loss empties the core's table and its deadlines");
  std::vector<int> failed;
  Core::drain(lost, [&](std::uint64_t tag, int payload) {
    check(core.is_login(tag) == (payload == 0), "the Login is known by its tag");
    failed.push_back(payload);
  });
  check(failed.size() == 2 && lost.empty() && !lost.earliest(), "each lost request once");
  const std::deque<qv::QueuedEvent> got = events.take_all();
  check(got.size() == 3 && got[0].in.text == "Event 1" && !got[1].in.tag &&
            got[2].in.kind == qv::Incoming::Kind::Lost,
        "events, the cut last line and the mark, in order");
  core.logged_in();
  check(!core.is_login(login) && core.ever_logged_in(), "once logged in, no Login is pending");
}

void moved_tables_settle_once() {
  // Entries with and without deadlines, taken out of a table that was moved twice.
  Core::Table table;
  const auto now = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) {
    if (i % 2) table.add(static_cast<std::uint64_t>(i), i, now + std::chrono::milliseconds(i));
    else table.add(static_cast<std::uint64_t>(i), i, std::nullopt);
  }
  Core::Table moved = std::move(table);
  Core::Table again;
  again = std::move(moved);
  int due = 0;
  while (auto entry = again.take_due(now + std::chrono::milliseconds(25))) {
    check(entry->second % 2 == 1 && entry->second <= 25, "only passed deadlines are due");
    ++due;
  }
  check(due == 13, "every passed deadline once");
  int rest = 0;
  while (again.take_any()) ++rest;
  check(rest == 37 && again.empty() && !again.earliest(), "the rest once, deadlines with them");
}

}  // namespace

int main() {
  login_and_loss();
  moved_tables_settle_once();
  std::puts("session core: ok");
  return 0;
}
