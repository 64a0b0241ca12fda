// Reads its stdin (the pipe a reader writes to) until end of file; on stderr reports the
// number of newline characters seen, so the benchmark can check every line arrived.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main() {
  static char buf[1 << 20];
  long newlines = 0;
  for (;;) {
    const ssize_t r = ::read(STDIN_FILENO, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    for (const char* p = buf; (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(buf + r - p)))); ++p)
      ++newlines;
  }
  std::fprintf(stderr, "newlines %ld\n", newlines);
  return 0;
}
