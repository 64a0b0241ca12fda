#pragma once
// Blocking TCP primitives over raw file descriptors. Every function reports failure through
// an errno value instead of throwing, so callers decide how it reaches Python.
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "net/ip_address.hpp"

namespace qv {

struct OsFailure {
  int err;
  bool interrupted = false;  // a signal arrived and the InterruptCheck said to give up
};

// Asked whether to go on after a system call was interrupted by a signal (and, for a send,
// after one that returned early with bytes left, which is how a signal shows there). The
// Python layer runs the interpreter's signal handlers here and gives up if one raised, as
// Python's own socket calls do; without a callback the call is simply retried.
struct InterruptCheck {
  bool (*keep_going)(void* context) = nullptr;
  void* context = nullptr;
  bool operator()() const { return keep_going == nullptr || keep_going(context); }
};

// Opens a blocking TCP connection (close-on-exec) with the system's default connect timeout.
std::variant<int, OsFailure> connect_tcp(const IpAddress& address, std::uint16_t port,
                                         const InterruptCheck& check = {});

// A TCP connection started without waiting for it, for callers that wait their own way (an
// event loop, a deadline): once the socket is writable, connect_outcome() says how it went.
struct ConnectStart {
  int fd;
  bool in_progress;  // false: connected already
};
std::variant<ConnectStart, OsFailure> start_connect(const IpAddress& address, std::uint16_t port);
// 0 once the connection started by start_connect is made, else its errno. The socket is then
// blocking again (every later call that must not wait says so itself).
int connect_outcome(int fd);

// connect_tcp with a limit: gives up with ETIMEDOUT after `timeout_ms` (negative: no limit).
std::variant<int, OsFailure> connect_tcp_within(const IpAddress& address, std::uint16_t port,
                                                int timeout_ms, const InterruptCheck& check = {});

// Sets receive and send timeouts to "none"; failures are deliberately ignored.
void clear_socket_timeouts(int fd);

// Turns off send coalescing (Nagle's algorithm): a control line leaves at once instead of
// waiting for the acknowledgement of the line before it. A failure is ignored, as the
// timeouts' are.
void set_no_delay(int fd);

// Asks for the next acknowledgements to be sent at once rather than delayed. Linux turns
// this off again by itself, so a reader calls it after every receive: a server that writes
// its reply and then each event in separate small writes with Nagle's algorithm on holds
// each write until our acknowledgement of the one before, and a delayed acknowledgement
// costs tens of milliseconds. Does nothing where the system has no such option; a failure
// is ignored.
void rearm_quick_ack(int fd) noexcept;

// A second close-on-exec descriptor for the same socket.
std::variant<int, OsFailure> duplicate_handle(int fd);

void close_handle(int fd) noexcept;

enum class SendOutcome : std::uint8_t { Ok, Failed, ZeroWritten, Interrupted };
struct SendResult {
  SendOutcome outcome;
  int err = 0;              // meaningful for Failed
  std::size_t written = 0;  // bytes that reached the socket, also when the send failed
};

// Writes every byte of the pieces, in order (MSG_NOSIGNAL, at most INT_MAX bytes per call),
// advancing the caller's piece list past what was written. Interrupted calls are retried
// while `check` says so.
SendResult send_all(int fd, iovec* pieces, std::size_t count,
                    const InterruptCheck& check = {}) noexcept;
SendResult send_all(int fd, const char* data, std::size_t size,
                    const InterruptCheck& check = {}) noexcept;

// `text` and then `suffix` (a line's tag, say), in one write where the socket takes it: the
// text goes straight from where it is, so even a huge one needs no second buffer.
SendResult send_with_suffix(int fd, std::string_view text, std::string_view suffix,
                            const InterruptCheck& check = {}) noexcept;

// Writes what the socket takes now, without waiting, from `data + written` on, advancing
// `written`: for callers that wait for room their own way (a deadline, an event loop).
struct SendAvailable {
  enum class State : std::uint8_t { Done, Full, Interrupted, Failed };
  State state;
  int err = 0;  // Failed: the errno
};
SendAvailable send_available(int fd, const char* data, std::size_t size,
                             std::size_t& written) noexcept;

}  // namespace qv
