// F1, the floor for sending: one send() per pre-rendered CallMake line, to a loopback drain.
//   send_floor PORT [nodelay]
// Connects once ("nodelay" sets TCP_NODELAY, to match a client that sets it), then for each
// stdin line "N [B]" renders N tagged lines, sends them with one send() each, or with B given
// in blocks of B lines with one send() per block (the floor of a batch), and prints
// "ns <elapsed>" for the send loop alone. One long-lived connection, like the other senders:
// a fresh connection starts with a small send buffer and would make the floor look slow.
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
#include <string>
#include <vector>

namespace {

std::int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s PORT [nodelay]\n", argv[0]);
    return 2;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("connect");
    return 1;
  }
  if (argc == 3 && std::string(argv[2]) == "nodelay") {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  std::uint64_t tag = 0;
  std::vector<std::string> lines;
  char request[64];
  while (std::fgets(request, sizeof request, stdin)) {
    long count = 0, block = 1;
    if (std::sscanf(request, "%ld %ld", &count, &block) < 1 || count <= 0 || block <= 0) break;
    // Rendering happens before the clock starts: this measures the sends only.
    lines.clear();
    for (long i = 0; i < count; ++i) {
      std::string line = "CallMake 7 1001 TimeOut=30000 Privacy=0 Screen=1 COMMANDTAG=" +
                         std::to_string(tag++) + "\n";
      if (i % block == 0)
        lines.push_back(std::move(line));
      else
        lines.back() += line;
    }
    const std::int64_t t0 = now_ns();
    for (const std::string& piece : lines) {  // a line, or a block of them
      const char* p = piece.data();
      std::size_t left = piece.size();
      while (left > 0) {  // a short send is finished, as a fair peer of sendall would
        const ssize_t sent = ::send(fd, p, left, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) {
          std::perror("send");
          return 1;
        }
        p += sent;
        left -= static_cast<std::size_t>(sent);
      }
    }
    const std::int64_t t1 = now_ns();
    std::printf("ns %lld\n", static_cast<long long>(t1 - t0));
    std::fflush(stdout);
  }
  ::close(fd);
  return 0;
}
