#include "net/socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace qv {
namespace {

// A connect() interrupted by a signal keeps going in the kernel; calling connect() again
// would only report EALREADY, so wait for the outcome and collect it from SO_ERROR. Every
// further interruption asks `check` again. Returns an errno, or -1 when `check` gave up.
int finish_interrupted_connect(int fd, const InterruptCheck& check) {
  pollfd entry{};
  entry.fd = fd;
  entry.events = POLLOUT;
  for (;;) {
    const int ready = ::poll(&entry, 1, -1);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) return errno;
    if (ready < 0 && !check()) return -1;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// Keeps sockets off descriptors 0..2: if the host closed stdout, a socket landing on fd 1
// would receive the text the reader prints.
int move_above_standard_streams(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int err = errno;
  ::close(fd);
  if (moved < 0) errno = err;
  return moved;
}

// The socket address of `address` and `port` (IPv6: flow information and scope 0).
socklen_t socket_address(const IpAddress& address, std::uint16_t port, sockaddr_storage& storage) {
  storage = {};
  if (address.family == IpAddress::Family::V4) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    std::memcpy(&sin->sin_addr, address.bytes.data(), 4);
    return sizeof(sockaddr_in);
  }
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = htons(port);
  sin6->sin6_flowinfo = 0;
  std::memcpy(&sin6->sin6_addr, address.bytes.data(), 16);
  sin6->sin6_scope_id = 0;
  return sizeof(sockaddr_in6);
}

// A new TCP socket for `address`, off descriptors 0..2; -1 with errno set.
int new_tcp_socket(const IpAddress& address, int flags) {
  const int family = address.family == IpAddress::Family::V4 ? AF_INET : AF_INET6;
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  return fd >= 0 ? move_above_standard_streams(fd) : fd;
}

}  // namespace

std::variant<int, OsFailure> connect_tcp(const IpAddress& address, std::uint16_t port,
                                         const InterruptCheck& check) {
  sockaddr_storage storage;
  const socklen_t length = socket_address(address, port, storage);
  const int fd = new_tcp_socket(address, 0);
  if (fd < 0) return OsFailure{errno};

  int err = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
    err = errno;
    if (err == EINTR) err = check() ? finish_interrupted_connect(fd, check) : -1;
  }
  if (err != 0) {
    ::close(fd);
    return err < 0 ? OsFailure{EINTR, true} : OsFailure{err};
  }
  return fd;
}

std::variant<ConnectStart, OsFailure> start_connect(const IpAddress& address,
                                                    std::uint16_t port) {
  sockaddr_storage storage;
  const socklen_t length = socket_address(address, port, storage);
  const int fd = new_tcp_socket(address, SOCK_NONBLOCK);
  if (fd < 0) return OsFailure{errno};
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&storage), length) == 0) {
    (void)connect_outcome(fd);  // back to blocking
    return ConnectStart{fd, false};
  }
  const int err = errno;
  if (err == EINPROGRESS || err == EINTR) return ConnectStart{fd, true};
  ::close(fd);
  return OsFailure{err};
}

int connect_outcome(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  if (err == 0) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
  }
  return err;
}

std::variant<int, OsFailure> connect_tcp_within(const IpAddress& address, std::uint16_t port,
                                                int timeout_ms, const InterruptCheck& check) {
  const auto started = start_connect(address, port);
  if (const auto* failure = std::get_if<OsFailure>(&started)) return *failure;
  const ConnectStart start = std::get<ConnectStart>(started);
  if (!start.in_progress) return start.fd;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long deadline_ms =
      timeout_ms < 0 ? -1 : now.tv_sec * 1000LL + now.tv_nsec / 1000000 + timeout_ms;
  for (;;) {
    int wait_ms = -1;
    if (deadline_ms >= 0) {
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const long long left = deadline_ms - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
      wait_ms = left > 0 ? static_cast<int>(left < INT_MAX ? left : INT_MAX) : 0;
    }
    pollfd entry{start.fd, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, wait_ms);
    if (ready > 0) break;
    const int err = ready == 0 ? ETIMEDOUT : errno;
    if (err == EINTR && check()) continue;
    ::close(start.fd);
    return OsFailure{err, err == EINTR};
  }
  const int err = connect_outcome(start.fd);
  if (err != 0) {
    ::close(start.fd);
    return OsFailure{err};
  }
  return start.fd;
}

void clear_socket_timeouts(int fd) {
  const timeval none{};
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
}

void set_no_delay(int fd) {
  const int on = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void rearm_quick_ack([[maybe_unused]] int fd) noexcept {
#ifdef TCP_QUICKACK
  const int on = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

std::variant<int, OsFailure> duplicate_handle(int fd) {
  // Never below 3, for the same reason as move_above_standard_streams.
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (copy < 0) return OsFailure{errno};
  return copy;
}

void close_handle(int fd) noexcept { (void)::close(fd); }

SendResult send_all(int fd, iovec* pieces, std::size_t count,
                    const InterruptCheck& check) noexcept {
  std::size_t first = 0;
  while (first < count && pieces[first].iov_len == 0) ++first;
  SendResult result{SendOutcome::Ok};
  while (first < count) {
    // At most INT_MAX bytes per call: the piece that crosses the budget is shortened for the
    // call and restored after it.
    std::size_t budget = INT_MAX;
    std::size_t end = first;
    std::size_t cut_piece_len = 0;
    while (end < count && budget > 0) {
      if (pieces[end].iov_len > budget) {
        cut_piece_len = pieces[end].iov_len;
        pieces[end++].iov_len = budget;
        break;
      }
      budget -= pieces[end++].iov_len;
    }
    msghdr message{};
    message.msg_iov = pieces + first;
    message.msg_iovlen = end - first;
    // The system call itself: glibc's sendmsg() is a cancellation point, and in a process
    // with threads it pays for cancellation bookkeeping that nothing here uses.
    const long sent = ::syscall(SYS_sendmsg, fd, &message, MSG_NOSIGNAL);
    const int err = errno;
    if (cut_piece_len != 0) pieces[end - 1].iov_len = cut_piece_len;
    if (sent == 0) return {SendOutcome::ZeroWritten, 0, result.written};
    if (sent < 0) {
      if (err != EINTR) return {SendOutcome::Failed, err, result.written};
      if (!check()) return {SendOutcome::Interrupted, EINTR, result.written};
      continue;
    }
    auto done = static_cast<std::size_t>(sent);
    result.written += done;
    while (first < count && done >= pieces[first].iov_len) done -= pieces[first++].iov_len;
    if (first < count) {
      pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + done;
      pieces[first].iov_len -= done;
      // A blocking send returns early, with bytes left, when a signal interrupts it after
      // it wrote something: the only sign of that signal is the short count.
      if (!check()) return {SendOutcome::Interrupted, EINTR, result.written};
    }
  }
  return result;
}

SendResult send_all(int fd, const char* data, std::size_t size,
                    const InterruptCheck& check) noexcept {
  iovec piece{const_cast<char*>(data), size};
  return send_all(fd, &piece, 1, check);
}

SendResult send_with_suffix(int fd, std::string_view text, std::string_view suffix,
                            const InterruptCheck& check) noexcept {
  iovec pieces[2] = {{const_cast<char*>(text.data()), text.size()},
                     {const_cast<char*>(suffix.data()), suffix.size()}};
  return send_all(fd, pieces, 2, check);
}

SendAvailable send_available(int fd, const char* data, std::size_t size,
                             std::size_t& written) noexcept {
  while (written < size) {
    const std::size_t left = size - written;
    const long sent = ::syscall(SYS_sendto, fd, data + written, left < INT_MAX ? left : INT_MAX,
                                MSG_NOSIGNAL | MSG_DONTWAIT, nullptr, 0);
    if (sent > 0) {
      written += static_cast<std::size_t>(sent);
      continue;
    }
    const int err = sent == 0 ? EIO : errno;
    if (err == EINTR) return {SendAvailable::State::Interrupted};
    if (err == EAGAIN || err == EWOULDBLOCK) return {SendAvailable::State::Full};
    return {SendAvailable::State::Failed, err};
  }
  return {SendAvailable::State::Done};
}

}  // namespace qv
