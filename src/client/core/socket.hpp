#pragma once
// Blocking TCP primitives over raw file descriptors. Every function reports failure through
// an errno value instead of throwing, so callers decide how it reaches Python.
#include <cstddef>
#include <cstdint>
#include <variant>

#include "client/core/ip_address.hpp"

namespace qv {

struct OsFailure {
  int err;
};

// Opens a blocking TCP connection (close-on-exec) with the system's default connect timeout.
std::variant<int, OsFailure> connect_tcp(const IpAddress& address, std::uint16_t port);

// Sets receive and send timeouts to "none"; failures are deliberately ignored.
void clear_socket_timeouts(int fd);

// A second close-on-exec descriptor for the same socket.
std::variant<int, OsFailure> duplicate_handle(int fd);

void close_handle(int fd) noexcept;

enum class SendOutcome : std::uint8_t { Ok, Failed, ZeroWritten };
struct SendResult {
  SendOutcome outcome;
  int err;  // meaningful for Failed
};

// Writes every byte (MSG_NOSIGNAL, EINTR retried, at most INT_MAX bytes per call).
SendResult send_all(int fd, const char* data, std::size_t size) noexcept;

}  // namespace qv
