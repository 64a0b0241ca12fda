// F3, the floor for reading: receive into an 8192-byte buffer, split lines, strip ASCII
// white space, and write "Received: <line>\n" to fd 1 with one write() per line.
//   read_floor PORT  ->  on stderr: "ns <connect until the last write> lines <N>"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kBuffer = 8192;
constexpr char kPrefix[] = "Received: ";
constexpr std::size_t kPrefixLen = sizeof kPrefix - 1;

std::int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void write_all(const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(STDOUT_FILENO, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) std::exit(1);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

// One write per line, as the module does; the message is built in a reused buffer.
char message[kPrefixLen + kBuffer + 1];
long lines = 0;

void emit(const char* b, const char* e) {
  while (b < e && is_space(*b)) ++b;
  while (e > b && is_space(e[-1])) --e;
  const std::size_t n = static_cast<std::size_t>(e - b);
  std::memcpy(message + kPrefixLen, b, n);
  message[kPrefixLen + n] = '\n';
  write_all(message, kPrefixLen + n + 1);
  ++lines;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  std::memcpy(message, kPrefix, kPrefixLen);
  const std::int64_t t0 = now_ns();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("connect");
    return 1;
  }
  static char buf[kBuffer];
  std::size_t held = 0;  // bytes of an unfinished line kept at the front of buf
  for (;;) {
    if (held == kBuffer) {  // a line longer than the buffer goes out in pieces
      emit(buf, buf + held);
      held = 0;
    }
    const ssize_t r = ::recv(fd, buf + held, kBuffer - held, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    const char* p = buf;
    const char* end = buf + held + r;
    for (;;) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      if (!nl) break;
      emit(p, nl);
      p = nl + 1;
    }
    held = static_cast<std::size_t>(end - p);
    std::memmove(buf, p, held);
  }
  if (held > 0) emit(buf, buf + held);
  static constexpr char kClosed[] = "Connection closed.\n";
  write_all(kClosed, sizeof kClosed - 1);
  const std::int64_t t1 = now_ns();
  ::close(fd);
  std::fprintf(stderr, "ns %lld lines %ld\n", static_cast<long long>(t1 - t0), lines);
  return 0;
}
