// F4, the floor for a blocking request: on one thread, send one tagged line with one send(),
// then recv() (blocking) until the line carrying its tag has come, and repeat.
//   rtt_floor PORT
// Connects once with TCP_NODELAY (as the module's sessions do) and logs in, then for each
// count N read from stdin makes N round trips of "GetVersion COMMANDTAG=<n>" and prints
// "ns <elapsed>". A line with another tag (or none) is skipped, as a session routes it away.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

std::int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

int fd = -1;
char buf[1 << 16];
std::size_t begin = 0, end = 0;  // unread bytes in buf

void send_all(const std::string& line) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t sent = ::send(fd, p, left, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) fail("send");
    p += sent;
    left -= static_cast<std::size_t>(sent);
  }
}

// The number after the last "COMMANDTAG=" on the line, or -1.
long long tag_of(std::string_view line) {
  const std::size_t key = line.rfind("COMMANDTAG=");
  if (key == std::string_view::npos) return -1;
  return std::strtoll(line.data() + key + 11, nullptr, 10);
}

// Reads until the line carrying `tag` has come.
void await_reply(long long tag) {
  for (;;) {
    while (const void* nl = std::memchr(buf + begin, '\n', end - begin)) {
      const auto at = static_cast<std::size_t>(static_cast<const char*>(nl) - buf);
      const std::string_view line(buf + begin, at - begin);
      begin = at + 1;
      if (tag_of(line) == tag) return;
    }
    if (begin > 0) {  // keep the partial line at the front
      std::memmove(buf, buf + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    if (end == sizeof buf) {
      std::fprintf(stderr, "line too long\n");
      std::exit(1);
    }
    const ssize_t r = ::recv(fd, buf + end, sizeof buf - end, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) fail("recv");
    end += static_cast<std::size_t>(r);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("connect");
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  long long tag = 0;
  send_all("Login bench bench 2 3 COMMANDTAG=0\n");
  await_reply(tag++);
  std::string line;
  long count;
  while (std::scanf("%ld", &count) == 1 && count > 0) {
    const std::int64_t t0 = now_ns();
    for (long i = 0; i < count; ++i, ++tag) {
      // Rendered inside the loop, as a client renders each request it makes.
      line = "GetVersion COMMANDTAG=";
      line += std::to_string(tag);
      line += '\n';
      send_all(line);
      await_reply(tag);
    }
    const std::int64_t t1 = now_ns();
    std::printf("ns %lld\n", static_cast<long long>(t1 - t0));
    std::fflush(stdout);
  }
  ::close(fd);
  return 0;
}
