#pragma once
// The background reader: owns a duplicate socket handle, prints every received line as
// "Received: <line>" and "Connection closed." at the end. Never touches Python.
#include <variant>

#include "net/line_assembly.hpp"
#include "net/socket.hpp"

namespace qv {

inline constexpr std::size_t kReceiveBufferSize = 8192;

// Starts a detached thread that owns `fd` (and closes it when it ends).
// On failure the descriptor is NOT closed and the pthread error is returned.
std::variant<std::monostate, OsFailure> start_reader_thread(int fd);

// The loop itself, run on the calling thread; exposed for tests and fuzzing, which may give
// a smaller line limit.
void run_reader(int fd, std::size_t max_line = kMaxLineBytes);

}  // namespace qv
