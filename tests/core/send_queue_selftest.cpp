// Self-test of the session's send queue against a plain model: whatever is added, withdrawn
// and written in whatever pieces, the bytes that leave are exactly the lines not withdrawn,
// whole and in order, and a line is withdrawn only while none of it has left.
//
// Built and run by scripts/test-core.sh.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "session/core/send_queue.hpp"

namespace {

void check(bool ok, const char* what, unsigned seed) {
  if (ok) return;
  std::fprintf(stderr, "FAILED (seed %u): %s\n", seed, what);
  std::exit(1);
}

void run(unsigned seed) {
  std::mt19937 rnd(seed);
  qv::SendQueue queue;
  struct Line {
    std::uint64_t tag;
    std::string wire;
    bool withdrawn = false;
  };
  std::vector<Line> lines;
  std::string left;       // what has left, in order
  std::size_t total = 0;  // bytes of lines not withdrawn
  std::uint64_t next_tag = 0;
  for (int step = 0; step < 4000; ++step) {
    const unsigned what = rnd() % 10;
    if (what < 4) {
      const std::string text = "Word " + std::string(rnd() % 300, 'a' + static_cast<char>(rnd() % 26));
      const std::uint64_t tag = next_tag++;
      queue.add(text, tag);
      lines.push_back({tag, text + " COMMANDTAG=" + std::to_string(tag) + "\n"});
      total += lines.back().wire.size();
    } else if (what < 7 && !lines.empty()) {
      Line& line = lines[rnd() % lines.size()];
      // Where the line starts in what leaves, had nothing after it been withdrawn.
      std::size_t start = 0;
      for (const Line& before : lines) {
        if (&before == &line) break;
        if (!before.withdrawn) start += before.wire.size();
      }
      const bool started = line.withdrawn || left.size() > start;
      const bool taken = queue.withdraw(line.tag);
      check(taken == !started, "a line is withdrawn exactly while none of it has left", seed);
      if (taken) {
        line.withdrawn = true;
        total -= line.wire.size();
      }
    } else {
      const std::string_view next = queue.next();
      const std::size_t count = next.empty() ? 0 : 1 + rnd() % next.size();
      left.append(next.substr(0, count));
      queue.sent(count);
    }
  }
  while (!queue.empty()) {
    const std::string_view next = queue.next();
    check(!next.empty(), "a queue that is not empty has bytes to send", seed);
    left.append(next);
    queue.sent(next.size());
  }
  std::string expected;
  for (const Line& line : lines)
    if (!line.withdrawn) expected += line.wire;
  check(left.size() == total && left == expected, "what left is the lines kept, whole, in order",
        seed);
}

}  // namespace

int main() {
  for (unsigned seed = 1; seed <= 200; ++seed) run(seed);
  std::puts("send queue: ok");
  return 0;
}
