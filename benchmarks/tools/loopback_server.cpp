// Loopback peer for the benchmarks. Listens on 127.0.0.1 on an ephemeral port, prints
// "port N" on stdout, and serves until its stdin reaches end of file (the parent closed it or
// died) or a hard time limit passes, so it never outlives the run.
//
//   loopback_server drain              read and discard everything, any number of connections
//   loopback_server flood COUNT LINE   on each connection write COUNT copies of LINE + "\n"
//                                      in large writes, then FIN; drain until the peer closes
//   loopback_server stamp silent|reply|late MS
//                                      on each connection note CLOCK_MONOTONIC when each line
//                                      was read; "reply" answers it at once, like the stand-in
//                                      server, "late" answers it MS milliseconds after reading
//                                      (a command that takes a while); at the peer's close
//                                      print "stamps N" then one "<tag> <ns>" per line on stdout
//   loopback_server echo [login]       answer each line at once with "OK <word> <its tag token>",
//                                      the answers to one recv() in one write; "login" answers
//                                      the first line (the Login) only, later ones are dropped
//   loopback_server events COUNT LINE [on-request]
//                                      answer lines as "echo" does, and write COUNT copies of
//                                      LINE + "\n" in large writes right after the Login's
//                                      answer, or ("on-request") when the next line comes,
//                                      before its answer
//   loopback_server events COUNT LINE on-request EVENT
//                                      the same (COUNT may be 0), and every answer but the
//                                      Login's is followed by EVENT + "\n" in the same write:
//                                      the event a request causes, after events ignored
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kHardLimitSeconds = 900;  // a forgotten server still goes away
std::mutex stdout_lock;

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(2);
}

std::int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int listen_loopback() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("bind");
  if (::listen(fd, 512) != 0) die("listen");
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::printf("port %u\n", ntohs(addr.sin_port));
  std::fflush(stdout);
  return fd;
}

// Ends the process once the parent closes our stdin.
void exit_when_stdin_closes() {
  std::thread([] {
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    std::_Exit(0);
  }).detach();
}

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

void drain_until_eof(int fd) {
  static thread_local std::vector<char> buf(1 << 16);
  for (;;) {
    const ssize_t r = ::recv(fd, buf.data(), buf.size(), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
  }
}

// One epoll loop serves every connection, so hundreds of idle clients cost no threads here.
// While data keeps coming it polls instead of sleeping: a sleeping reader would make every
// send() on loopback pay for waking it, a cost a sender to a remote host does not have, and
// one that varies from run to run with how deeply the idle core slept.
[[noreturn]] void serve_drain(int listener) {
  constexpr std::int64_t kPollAfterDataNs = 2'000'000;
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listener;
  ::epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  std::vector<char> buf(1 << 18);
  epoll_event events[64];
  std::int64_t last_data = 0;
  for (;;) {
    const bool busy = now_ns() - last_data < kPollAfterDataNs;
    const int n = ::epoll_wait(ep, events, 64, busy ? 0 : -1);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listener) {
        const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        epoll_event cev{};
        cev.events = EPOLLIN;
        cev.data.fd = c;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
        continue;
      }
      const ssize_t r = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
      if (r > 0) last_data = now_ns();
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
        ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
      }
    }
  }
}

// COUNT copies of `line` (which ends in "\n") in writes of about 1 MiB.
bool write_copies(int fd, long count, const std::string& line) {
  const long per_chunk = std::max<long>(1, (1 << 20) / static_cast<long>(line.size()));
  std::string chunk;
  chunk.reserve(static_cast<std::size_t>(per_chunk) * line.size());
  for (long i = 0; i < per_chunk; ++i) chunk += line;
  long left = count;
  bool ok = true;
  while (ok && left >= per_chunk) {
    ok = write_all(fd, chunk.data(), chunk.size());
    left -= per_chunk;
  }
  if (ok && left > 0) ok = write_all(fd, chunk.data(), static_cast<std::size_t>(left) * line.size());
  return ok;
}

void flood_one(int fd, long count, std::string line) {
  line.push_back('\n');
  write_copies(fd, count, line);
  ::shutdown(fd, SHUT_WR);
  drain_until_eof(fd);
  ::close(fd);
}

[[noreturn]] void serve_flood(int listener, long count, const std::string& line) {
  for (;;) {
    const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    std::thread(flood_one, c, count, line).detach();
  }
}

// The tag is the number after the last "COMMANDTAG=" on the line; -1 if there is none.
long long tag_of(const char* begin, const char* end) {
  static constexpr char kKey[] = "COMMANDTAG=";
  const std::size_t key_len = sizeof kKey - 1;
  for (const char* p = end - key_len; p >= begin; --p) {
    if (std::memcmp(p, kKey, key_len) == 0) return std::strtoll(p + key_len, nullptr, 10);
  }
  return -1;
}

// Sends answers once they are due, so a late answer never holds up reading.
class LateSender {
 public:
  LateSender(int fd, std::int64_t delay_ns) : fd_(fd), delay_ns_(delay_ns), thread_([this] { run(); }) {}
  ~LateSender() {
    {
      const std::lock_guard<std::mutex> guard(lock_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void post(std::int64_t read_ns, std::string answer) {
    {
      const std::lock_guard<std::mutex> guard(lock_);
      queue_.emplace_back(read_ns + delay_ns_, std::move(answer));
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      if (queue_.empty()) {
        if (stop_) return;
        wake_.wait(guard);
        continue;
      }
      const std::int64_t wait = queue_.front().first - now_ns();
      if (wait > 0 && !stop_) {
        wake_.wait_for(guard, std::chrono::nanoseconds(wait));
        continue;
      }
      std::string answer = std::move(queue_.front().second);
      queue_.pop_front();
      if (stop_) continue;  // closing: answers not yet sent are dropped
      guard.unlock();
      write_all(fd_, answer.data(), answer.size());
      guard.lock();
    }
  }

  int fd_;
  std::int64_t delay_ns_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::pair<std::int64_t, std::string>> queue_;
  bool stop_ = false;
  std::thread thread_;
};

// reply_delay_ms < 0: never answer; 0: answer at once; > 0: answer that much later.
void stamp_one(int fd, int reply_delay_ms) {
  // Answers leave at once, as the stand-in server's do, so only the client's side batches.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<std::pair<long long, std::int64_t>> stamps;
  stamps.reserve(1 << 16);
  std::string pending;
  char buf[1 << 16];
  {
    std::unique_ptr<LateSender> late;
    if (reply_delay_ms > 0) late = std::make_unique<LateSender>(fd, std::int64_t{reply_delay_ms} * 1000000);
    for (;;) {
      const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      const std::int64_t t = now_ns();
      pending.append(buf, static_cast<std::size_t>(r));
      std::size_t start = 0;
      for (;;) {
        const std::size_t nl = pending.find('\n', start);
        if (nl == std::string::npos) break;
        const long long tag = tag_of(pending.data() + start, pending.data() + nl);
        stamps.emplace_back(tag, t);
        if (reply_delay_ms >= 0) {
          const std::size_t word_end = pending.find(' ', start);
          const std::size_t wlen = (word_end == std::string::npos || word_end > nl ? nl : word_end) - start;
          std::string answer = "OK ";
          answer.append(pending, start, wlen);
          answer += " COMMANDTAG=" + std::to_string(tag) + "\n";
          if (late)
            late->post(t, std::move(answer));
          else
            write_all(fd, answer.data(), answer.size());
        }
        start = nl + 1;
      }
      pending.erase(0, start);
    }
  }  // the late sender stops (dropping answers not yet due) before the socket closes
  ::close(fd);
  const std::lock_guard<std::mutex> guard(stdout_lock);
  std::printf("stamps %zu\n", stamps.size());
  for (const auto& [tag, t] : stamps) std::printf("%lld %lld\n", tag, static_cast<long long>(t));
  std::fflush(stdout);
}

// "OK <first word> COMMANDTAG=<n>\n", the tag token copied from the line (none if it has none).
void append_answer(std::string& out, std::string_view line) {
  static constexpr std::string_view kKey = "COMMANDTAG=";
  out += "OK ";
  out += line.substr(0, std::min(line.find(' '), line.size()));
  const std::size_t key = line.rfind(kKey);
  if (key != std::string_view::npos) {
    const std::string_view token = line.substr(key);
    out += ' ';
    out += token.substr(0, std::min(token.find(' '), token.size()));
  }
  out += '\n';
}

// Answers lines as they come. All answers to one recv() leave in one write, so a client with
// many requests in flight is answered at the pace it sends. `login_only`: only the first line
// is answered. `flood_count` > 0: the flood follows the first line's answer, or with
// `flood_on_request` precedes the second line's answer, so that this answer comes after every
// flood line.
void echo_one(int fd, bool login_only, long flood_count, std::string flood_line, bool flood_on_request,
              std::string follow) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  flood_line.push_back('\n');
  std::string pending, out;
  std::vector<char> buf(1 << 16);
  long answered = 0;
  for (;;) {
    const ssize_t r = ::recv(fd, buf.data(), buf.size(), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    if (login_only && answered > 0) continue;  // read and dropped
    pending.append(buf.data(), static_cast<std::size_t>(r));
    std::size_t start = 0;
    bool ok = true;
    for (std::size_t nl; ok && (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
      if (login_only && answered > 0) continue;
      const bool flood_before = flood_count > 0 && flood_on_request && answered == 1;
      if (flood_before) {
        ok = write_all(fd, out.data(), out.size()) && write_copies(fd, flood_count, flood_line);
        out.clear();
      }
      append_answer(out, std::string_view(pending).substr(start, nl - start));
      if (answered > 0 && !follow.empty()) out.append(follow).push_back('\n');
      if (answered++ == 0 && flood_count > 0 && !flood_on_request) {
        ok = write_all(fd, out.data(), out.size()) && write_copies(fd, flood_count, flood_line);
        out.clear();
      }
    }
    pending.erase(0, start);
    if (!ok || (!out.empty() && !write_all(fd, out.data(), out.size()))) break;
    out.clear();
  }
  ::close(fd);
}

[[noreturn]] void serve_echo(int listener, bool login_only, long flood_count, const std::string& line,
                             bool flood_on_request, const std::string& follow = "") {
  for (;;) {
    const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    std::thread(echo_one, c, login_only, flood_count, line, flood_on_request, follow).detach();
  }
}

[[noreturn]] void serve_stamp(int listener, int reply_delay_ms) {
  for (;;) {
    const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    std::thread(stamp_one, c, reply_delay_ms).detach();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: %s drain | flood COUNT LINE | stamp silent|reply|late MS | echo [login] | "
                 "events COUNT LINE [on-request [EVENT]]\n",
                 argv[0]);
    return 2;
  }
  ::alarm(kHardLimitSeconds);
  const std::string mode = argv[1];
  const int listener = listen_loopback();
  exit_when_stdin_closes();
  if (mode == "drain") serve_drain(listener);
  if (mode == "flood" && argc == 4) serve_flood(listener, std::atol(argv[2]), argv[3]);
  if (mode == "echo" && argc == 2) serve_echo(listener, false, 0, "", false);
  if (mode == "echo" && argc == 3 && std::string(argv[2]) == "login") serve_echo(listener, true, 0, "", false);
  if (mode == "events" && (argc == 4 || (argc == 5 && std::string(argv[4]) == "on-request")))
    serve_echo(listener, false, std::max(1L, std::atol(argv[2])), argv[3], argc == 5);
  if (mode == "events" && argc == 6 && std::string(argv[4]) == "on-request")
    serve_echo(listener, false, std::max(0L, std::atol(argv[2])), argv[3], true, argv[5]);
  if (mode == "stamp" && argc >= 3) {
    const std::string how = argv[2];
    if (how == "silent") serve_stamp(listener, -1);
    if (how == "reply") serve_stamp(listener, 0);
    if (how == "late" && argc == 4) serve_stamp(listener, std::max(1, std::atoi(argv[3])));
  }
  std::fprintf(stderr, "bad arguments\n");
  return 2;
}
