// Many reader threads and direct writers printing at once, for ThreadSanitizer
// (scripts/test-tsan.sh builds it with -fsanitize=thread; it also runs as a plain build).
//
// Reader threads started by start_reader_thread each read a socket pair whose far end sends
// numbered lines of varying length in random pieces; other threads call write_stdout_line
// directly. fd 1 is a pipe drained by this program. Every line must come out whole, once, in
// its source's order, and every reader must end with "Connection closed.".
// Prints "N passed, M failed" and exits non-zero if anything failed.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "client/core/output.hpp"
#include "client/core/reader_thread.hpp"

namespace {

constexpr int kReaders = 12;
constexpr int kDirect = 4;
constexpr int kLines = 4000;

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const std::string& what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
  }
}

void setup(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "SETUP FAILED: %s: %d\n", what, errno);
    std::exit(2);
  }
}

// The body of line `seq` from `source`: every tenth is long, so lines straddle the reader's
// 8 KiB receive buffer at many offsets.
std::string body(const std::string& source, int seq) {
  const std::size_t pad = static_cast<std::size_t>(seq % 10 == 0 ? (seq * 7919) % 9000 : seq % 50);
  return source + " " + std::to_string(seq) + " " + std::string(pad, static_cast<char>('a' + seq % 26)) + ".";
}

void send_in_pieces(int fd, const std::string& data, std::mt19937& rng) {
  std::size_t at = 0;
  std::uniform_int_distribution<std::size_t> piece(1, 12000);
  while (at < data.size()) {
    const std::size_t n = std::min(piece(rng), data.size() - at);
    const ssize_t sent = ::send(fd, data.data() + at, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return;
    at += static_cast<std::size_t>(sent);
  }
}

}  // namespace

int main() {
  ::signal(SIGPIPE, SIG_IGN);  // as in the Python host
  int pipe_fds[2];
  setup(::pipe2(pipe_fds, O_CLOEXEC) == 0, "pipe2");
  const int saved_stdout = ::dup(STDOUT_FILENO);
  setup(saved_stdout >= 0 && ::dup2(pipe_fds[1], STDOUT_FILENO) == STDOUT_FILENO, "dup2");
  ::close(pipe_fds[1]);

  std::string printed;
  std::atomic<int> closes_seen{0};
  std::thread drain([&] {
    constexpr std::string_view kClosed = "Connection closed.\n";
    char buf[1 << 16];
    std::size_t scanned = 0;
    for (;;) {
      const ssize_t n = ::read(pipe_fds[0], buf, sizeof buf);
      if (n > 0) {
        printed.append(buf, static_cast<std::size_t>(n));
        for (std::size_t at; (at = printed.find(kClosed, scanned)) != std::string::npos;) {
          closes_seen.fetch_add(1);
          scanned = at + kClosed.size();
        }
        if (printed.size() > scanned + kClosed.size())
          scanned = printed.size() - kClosed.size();
      } else if (n == 0 || errno != EINTR) {
        return;
      }
    }
  });

  std::vector<std::thread> senders;
  for (int r = 0; r < kReaders; ++r) {
    int pair[2];
    setup(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    const auto started = qv::start_reader_thread(pair[0]);
    setup(std::holds_alternative<std::monostate>(started), "start_reader_thread");
    senders.emplace_back([r, fd = pair[1]] {
      std::mt19937 rng(static_cast<unsigned>(r));
      std::string stream;
      const std::string source = "r" + std::to_string(r);
      for (int seq = 0; seq < kLines; ++seq) stream += body(source, seq) + (seq % 3 ? "\n" : "\r\n");
      send_in_pieces(fd, stream, rng);
      ::close(fd);
    });
  }
  std::atomic<int> direct_errors{0};
  for (int d = 0; d < kDirect; ++d) {
    senders.emplace_back([d, &direct_errors] {
      const std::string source = "d" + std::to_string(d);
      for (int seq = 0; seq < kLines; ++seq)
        if (qv::write_stdout_line("Received: " + body(source, seq) + "\n") != 0) ++direct_errors;
    });
  }
  for (auto& t : senders) t.join();

  // The readers are detached: wait for their last lines, with a generous bound.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (closes_seen.load() < kReaders && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ::dup2(saved_stdout, STDOUT_FILENO);  // the last write end goes, the drain sees the end
  ::close(saved_stdout);
  drain.join();
  ::close(pipe_fds[0]);

  check(direct_errors.load() == 0, "direct writes succeed");
  std::map<std::string, int> next_seq;
  int closes = 0;
  int torn = 0;
  std::size_t at = 0;
  while (at < printed.size()) {
    const std::size_t end = printed.find('\n', at);
    if (end == std::string::npos) {
      ++torn;
      break;
    }
    const std::string_view line = std::string_view(printed).substr(at, end - at);
    at = end + 1;
    if (line == "Connection closed.") {
      ++closes;
      continue;
    }
    constexpr std::string_view kPrefix = "Received: ";
    const std::size_t space = line.find(' ', kPrefix.size());
    if (!line.starts_with(kPrefix) || space == std::string_view::npos) {
      ++torn;
      continue;
    }
    const std::string source(line.substr(kPrefix.size(), space - kPrefix.size()));
    const int seq = next_seq[source]++;
    if (line.substr(kPrefix.size()) != body(source, seq)) ++torn;
  }
  check(torn == 0, "no line torn, lost or out of order (" + std::to_string(torn) + " wrong)");
  check(closes == kReaders, "every reader ended with one close (" + std::to_string(closes) + ")");
  bool complete = next_seq.size() == kReaders + kDirect;
  for (const auto& [source, count] : next_seq) complete = complete && count == kLines;
  check(complete, "every source's lines all arrived");

  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
