#include "client/core/reader_thread.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "client/core/line_reader.hpp"
#include "client/core/output.hpp"

namespace qv {
namespace {

constexpr std::string_view kPrefix = "Received: ";
constexpr std::string_view kClosed = "Connection closed.\n";

// Many clients may each run a reader, and the loop itself needs little stack (its buffers
// live on the heap), so ask for far less than the 8 MiB default.
constexpr std::size_t kReaderStackSize = 64 * 1024;

// Writes "Received: <decoded, stripped line>\n" with one output call, building it in
// `message` so that steady-state reading allocates nothing. False when output failed.
bool report_line(std::string_view raw, std::string& message) {
  // Stripping the raw bytes first gives the same text and saves moving decoded bytes.
  message.resize(kPrefix.size());
  decode_utf8_lossy(strip_white_space(raw), message);
  message.push_back('\n');
  return write_stdout_line(message) == 0;
}

void read_until_closed(int fd) {
  const auto buffer = std::make_unique_for_overwrite<char[]>(kReceiveBufferSize);
  LineAssembler lines;
  std::string_view line;
  std::string rest;
  std::string message(kPrefix);
  for (;;) {
    const ssize_t received = ::recv(fd, buffer.get(), kReceiveBufferSize, 0);
    if (received < 0) {
      if (errno == EINTR) continue;
      break;  // a broken connection ends like a closed one
    }
    if (received == 0) {
      if (lines.finish(rest) && !report_line(rest, message)) return;
      break;
    }
    lines.feed(buffer.get(), static_cast<std::size_t>(received));
    while (lines.next_line_view(line)) {
      // Nobody can see the output any more: stop at once.
      if (!report_line(line, message)) return;
    }
  }
  (void)write_stdout_line(kClosed);
}

void* reader_entry(void* arg) {
  run_reader(static_cast<int>(reinterpret_cast<std::intptr_t>(arg)));
  return nullptr;
}

}  // namespace

void run_reader(int fd) {
  try {
    read_until_closed(fd);
  } catch (...) {
    // Only allocation can fail; the thread has nobody to report to, so it just ends.
  }
  close_handle(fd);
}

std::variant<std::monostate, OsFailure> start_reader_thread(int fd) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return OsFailure{rc};
  rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (rc == 0) {
    const std::size_t stack =
        std::max(kReaderStackSize, static_cast<std::size_t>(PTHREAD_STACK_MIN));
    rc = pthread_attr_setstacksize(&attr, stack);
  }
  if (rc == 0) {
    // The new thread inherits the creator's mask. With every signal blocked there, the
    // kernel routes process signals to threads that accept them, i.e. Python's.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    rc = pthread_create(&thread, &attr, reader_entry,
                        reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  pthread_attr_destroy(&attr);
  if (rc != 0) return OsFailure{rc};
  return std::monostate{};
}

}  // namespace qv
