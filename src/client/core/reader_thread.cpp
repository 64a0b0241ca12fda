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

#include "net/line_assembly.hpp"
#include "client/core/output.hpp"

namespace qv {
namespace {

constexpr std::string_view kPrefix = "Received: ";
constexpr std::string_view kClosed = "Connection closed.\n";

// Many clients may each run a reader, and the loop itself needs little stack (its buffers
// live on the heap), so ask for far less than the 8 MiB default.
constexpr std::size_t kReaderStackSize = 64 * 1024;

// Output is written once per received block rather than once per line: every complete line
// of the block goes out in one write under the output lock, so lines still never interleave
// and none waits for later data, but a flood costs one lock and one system call per block.
// A very long run of lines is written in pieces of about this size.
constexpr std::size_t kOutputBatch = 64 * 1024;

// Appends "Received: <decoded, stripped line>\n" to `out`.
void append_report(const Line& line, std::string& out) {
  out.append(kPrefix);
  append_line_text(line, out);
  out.push_back('\n');
}

// Writes what `out` holds and empties it. False when output failed: nobody can see the
// output any more, so the reader stops at once.
bool flush(std::string& out) {
  if (out.empty()) return true;
  const bool written = write_stdout_line(out) == 0;
  out.clear();
  // A long line made the batch large: do not keep that memory for the connection's life.
  if (out.capacity() > 2 * kOutputBatch) std::string().swap(out);
  return written;
}

void read_until_closed(int fd, std::size_t max_line) {
  const auto buffer = std::make_unique_for_overwrite<char[]>(kReceiveBufferSize);
  LineAssembler lines(max_line);
  Line line;
  std::string out;
  for (;;) {
    const ssize_t received = ::recv(fd, buffer.get(), kReceiveBufferSize, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) {
      // Closed or broken (a reset, say): what arrived of an unfinished line is still shown.
      if (lines.finish(line)) append_report(line, out);
      break;
    }
    rearm_quick_ack(fd);
    lines.feed(buffer.get(), static_cast<std::size_t>(received));
    while (lines.next_line(line)) {
      append_report(line, out);
      if (out.size() >= kOutputBatch && !flush(out)) return;
    }
    if (!flush(out)) return;
  }
  out.append(kClosed);
  (void)flush(out);
}

void* reader_entry(void* arg) {
  run_reader(static_cast<int>(reinterpret_cast<std::intptr_t>(arg)));
  return nullptr;
}

}  // namespace

void run_reader(int fd, std::size_t max_line) {
  try {
    read_until_closed(fd, max_line);
  } catch (...) {
    // Only allocation can fail. The reader ends as it would on a broken connection, with a
    // text that needs no memory of its own, rather than vanish without a word.
    (void)write_stdout_line(kClosed);
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
