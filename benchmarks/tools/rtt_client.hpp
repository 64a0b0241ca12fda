#pragma once
// The blocking client of F4 (rtt_floor.cpp) and F5 (rtt_floor_ext.cpp): one connection with
// TCP_NODELAY, a tagged line sent with send(), recv() until the line carrying its tag.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace rtt {

inline int fd = -1;
inline char buf[1 << 16];
inline std::size_t begin = 0, end = 0;  // unread bytes in buf

// Connects to 127.0.0.1:port (TCP_NODELAY, as the module's sessions do); false on failure.
inline bool connect_to(int port) {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

inline bool send_all(const std::string& line) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t sent = ::send(fd, p, left, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    p += sent;
    left -= static_cast<std::size_t>(sent);
  }
  return true;
}

// The number after the last "COMMANDTAG=" on the line, or -1.
inline long long tag_of(std::string_view line) {
  const std::size_t key = line.rfind("COMMANDTAG=");
  if (key == std::string_view::npos) return -1;
  return std::strtoll(line.data() + key + 11, nullptr, 10);
}

// Reads until the line carrying `tag` has come (a line with another tag, or none, is skipped,
// as a session routes it away); that line, in buf, or false (the connection failed, or a line
// longer than buf).
inline bool await_reply(long long tag, std::string_view& reply) {
  for (;;) {
    while (const void* nl = std::memchr(buf + begin, '\n', end - begin)) {
      const auto at = static_cast<std::size_t>(static_cast<const char*>(nl) - buf);
      const std::string_view line(buf + begin, at - begin);
      begin = at + 1;
      if (tag_of(line) == tag) {
        reply = line;
        return true;
      }
    }
    if (begin > 0) {  // keep the partial line at the front
      std::memmove(buf, buf + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    if (end == sizeof buf) return false;
    const ssize_t r = ::recv(fd, buf + end, sizeof buf - end, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    end += static_cast<std::size_t>(r);
  }
}

// The request line of round trip `tag`, rendered as a client renders each request it makes.
inline void render(std::string& line, long long tag) {
  line = "GetVersion COMMANDTAG=";
  line += std::to_string(tag);
  line += '\n';
}

}  // namespace rtt
