// F4, the floor for a blocking request: on one thread, send one tagged line with one send(),
// then recv() (blocking) until the line carrying its tag has come, and repeat.
//   rtt_floor PORT
// Connects once with TCP_NODELAY (as the module's sessions do) and logs in, then for each
// count N read from stdin makes N round trips of "GetVersion COMMANDTAG=<n>" and prints
// "ns <elapsed>". A line with another tag (or none) is skipped, as a session routes it away.
#include <time.h>

#include <cstdio>

#include "rtt_client.hpp"

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

void exchange(const std::string& line, long long tag) {
  if (!rtt::send_all(line)) fail("send");
  std::string_view reply;
  if (!rtt::await_reply(tag, reply)) fail("recv");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  if (!rtt::connect_to(std::atoi(argv[1]))) fail("connect");
  long long tag = 0;
  exchange("Login bench bench 2 3 COMMANDTAG=0\n", tag++);
  std::string line;
  long count;
  while (std::scanf("%ld", &count) == 1 && count > 0) {
    const std::int64_t t0 = now_ns();
    for (long i = 0; i < count; ++i, ++tag) {
      rtt::render(line, tag);  // inside the loop, as a client renders each request it makes
      exchange(line, tag);
    }
    const std::int64_t t1 = now_ns();
    std::printf("ns %lld\n", static_cast<long long>(t1 - t0));
    std::fflush(stdout);
  }
  ::close(rtt::fd);
  return 0;
}
