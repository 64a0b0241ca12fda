#include "client/core/output.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace qv {
namespace {

// Constant-initialised, so it is usable before any dynamic initialiser or thread runs.
constinit std::mutex output_lock;

// A fork() while a reader thread holds the lock would leave the child a lock nobody can
// release (the reader does not exist there). So fork waits for the line being written, and
// both sides come out of it with the lock free.
void lock_before_fork() noexcept { output_lock.lock(); }
void unlock_after_fork() noexcept { output_lock.unlock(); }

[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork(lock_before_fork, unlock_after_fork, unlock_after_fork);

}  // namespace

int write_stdout_line(std::string_view line) noexcept {
  const std::lock_guard<std::mutex> guard(output_lock);
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, data, left);
    if (written > 0) {
      data += written;
      left -= static_cast<std::size_t>(written);
      continue;
    }
    if (written == 0) return EIO;  // no progress and no errno: give up instead of spinning
    const int err = errno;
    if (err == EINTR) continue;
    // Nothing is listening on fd 1 (it was closed): the text goes nowhere, as with a
    // detached console.
    if (err == EBADF) return 0;
    return err;
  }
  return 0;
}

}  // namespace qv
