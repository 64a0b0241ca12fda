// Line assembly, lossy UTF-8 decoding, White_Space stripping and the reader loop, fed
// arbitrary byte streams in arbitrary chunkings and checked against plain models written
// here from the Unicode tables rather than from the code under test.
//
// Input layout: byte 0 holds option bits (chunk sizes, how often lines are taken, the state
// of fd 1, a small line limit), bytes 1..8 seed the chunk sizes (and the limit), the rest is
// the stream the server sends.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/line_assembly.hpp"
#include "client/core/reader_thread.hpp"
#include "fuzz_check.hpp"
#include "utf8_model.hpp"

using namespace qv_fuzz;

namespace {

// ---- chunking -----------------------------------------------------------------------------------

struct Chunker {
  std::uint64_t state;
  std::size_t max;
  std::size_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return 1 + static_cast<std::size_t>(state % max);
  }
};

// ---- fd 1 for the reader loop -------------------------------------------------------------------

int g_stdout_file = -1;  // memfd that fd 1 points at while the fuzzer runs

void point_stdout_at_file() {
  (void)::dup2(g_stdout_file, STDOUT_FILENO);
  (void)::ftruncate(g_stdout_file, 0);
  (void)::lseek(g_stdout_file, 0, SEEK_SET);
}

std::string stdout_contents() {
  struct stat st{};
  (void)::fstat(g_stdout_file, &st);
  std::string out(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(g_stdout_file, out.data() + done, out.size() - done,
                              static_cast<off_t>(done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.resize(done);
  return out;
}

void send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool fd_is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

enum class Stdout { File, Closed, Broken };

constexpr std::size_t kPrewriteLimit = 32768;

// Runs the real reader loop on one end of a socket pair, the stream written to the other end
// and then closed. Returns what reached fd 1.
std::string run_reader_over_socketpair(std::string_view stream, Stdout mode,
                                       std::size_t max_line) {
  int pair[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  const int buffer_size = 1 << 18;
  (void)::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
  int pipe_fds[2] = {-1, -1};
  point_stdout_at_file();
  if (mode == Stdout::Closed) {
    ::close(STDOUT_FILENO);
  } else if (mode == Stdout::Broken) {
    check(::pipe2(pipe_fds, O_CLOEXEC) == 0, "pipe2");
    ::close(pipe_fds[0]);
    ::dup2(pipe_fds[1], STDOUT_FILENO);
  }
  // A stream that fits in the socket buffer is written before the reader starts; a longer
  // one needs a writer running beside it.
  auto write_and_close = [&] {
    send_all(pair[1], stream);
    ::close(pair[1]);
  };
  std::thread writer;
  if (stream.size() <= kPrewriteLimit) write_and_close();
  else writer = std::thread(write_and_close);
  qv::run_reader(pair[0], max_line);
  if (writer.joinable()) writer.join();
  check(!fd_is_open(pair[0]), "run_reader closes its socket");
  if (pipe_fds[1] >= 0) ::close(pipe_fds[1]);
  std::string printed = mode == Stdout::File ? stdout_contents() : std::string();
  point_stdout_at_file();
  return printed;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::signal(SIGPIPE, SIG_IGN);  // as in the Python host
  g_stdout_file = ::memfd_create("fuzz-stdout", MFD_CLOEXEC);
  if (g_stdout_file < 0) std::abort();
  // Keep the memfd itself off fd 1 so that closing fd 1 never closes it.
  if (g_stdout_file <= STDERR_FILENO) g_stdout_file = ::fcntl(g_stdout_file, F_DUPFD_CLOEXEC, 3);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  const std::uint8_t options = data[0];
  std::uint64_t seed = 0;
  std::memcpy(&seed, data + 1, 8);
  const std::string_view stream(reinterpret_cast<const char*>(data + 9), size - 9);
  static constexpr std::size_t kMaxChunk[] = {1, 3, 17, 8192};
  Chunker chunker{seed | 1, kMaxChunk[options & 3]};
  const unsigned drain_every = 1 + ((options >> 2) & 3);  // lines taken after every k-th feed

  // Some runs take a small line limit, so that lines over it are common.
  const std::size_t max_line =
      (options & 0x40) != 0 ? 1 + static_cast<std::size_t>(seed >> 58) : qv::kMaxLineBytes;

  // Model: the stream split at '\n'; a non-empty unterminated rest is one more line. A line
  // over the limit keeps its first max_line bytes, less a multi-byte character that would
  // run past them, and counts the rest.
  struct WantLine {
    std::string_view bytes;
    std::uint64_t cut;
  };
  auto cut_to_limit = [max_line](std::string_view raw) {
    if (raw.size() <= max_line) return WantLine{raw, 0};
    std::size_t kept = max_line;
    std::size_t j = max_line;
    while (j > 0 && max_line - j < 3 && (static_cast<unsigned char>(raw[j - 1]) & 0xC0) == 0x80)
      --j;
    if (j > 0 && max_line - j < 3) {
      const auto lead = static_cast<unsigned char>(raw[j - 1]);
      const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (j - 1 + length > max_line) kept = j - 1;
    }
    return WantLine{raw.substr(0, kept), raw.size() - kept};
  };
  std::vector<WantLine> want_lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (stream[i] == '\n') {
      want_lines.push_back(cut_to_limit(stream.substr(start, i - start)));
      start = i + 1;
    }
  }
  const bool has_rest = start < stream.size();
  if (has_rest) want_lines.push_back(cut_to_limit(stream.substr(start)));

  qv::LineAssembler assembler(max_line);
  std::vector<std::pair<std::string, std::uint64_t>> got_lines;
  qv::Line line;
  unsigned feeds = 0;
  auto take = [&] { got_lines.emplace_back(std::string(line.bytes), line.cut); };
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min(chunker.next(), stream.size() - at);
    assembler.feed(stream.data() + at, n);
    at += n;
    if (++feeds % drain_every == 0)
      while (assembler.next_line(line)) take();
  }
  while (assembler.next_line(line)) take();
  if (assembler.finish(line)) take();
  check(!assembler.next_line(line) && !assembler.finish(line), "assembler empty after finish");
  if (got_lines.size() != want_lines.size())
    fail("line count", std::to_string(got_lines.size()), std::to_string(want_lines.size()));
  for (std::size_t i = 0; i < want_lines.size(); ++i) {
    check_eq(got_lines[i].first, want_lines[i].bytes, "assembled line");
    check_eq(std::to_string(got_lines[i].second), std::to_string(want_lines[i].cut),
             "bytes cut from a line");
  }

  std::string want_output;
  for (const auto& [raw, cut] : want_lines) {
    const std::string want_decoded = reference_decode(raw);
    std::string decoded = "prefix";  // decoding appends
    qv::decode_utf8_lossy(raw, decoded);
    check_eq(decoded, "prefix" + want_decoded, "decode_utf8_lossy");
    check(is_valid_utf8(want_decoded), "decoding yields valid UTF-8");
    if (is_valid_utf8(raw)) check_eq(want_decoded, raw, "valid UTF-8 passes unchanged");

    const std::string_view stripped = qv::strip_white_space(want_decoded);
    check_eq(stripped, reference_strip(want_decoded), "strip_white_space");
    check(stripped.data() >= want_decoded.data() &&
              stripped.data() + stripped.size() <= want_decoded.data() + want_decoded.size(),
          "strip returns a view into its argument");
    // Stripping raw bytes first (invalid UTF-8 included) must come to the same text.
    std::string decoded_after_strip;
    qv::decode_utf8_lossy(qv::strip_white_space(raw), decoded_after_strip);
    check_eq(decoded_after_strip, reference_strip(want_decoded), "strip before decoding");
    want_output += "Received: ";
    want_output += reference_strip(want_decoded);
    if (cut != 0) want_output += " [... " + std::to_string(cut) + " bytes cut]";
    want_output += "\n";
  }
  want_output += "Connection closed.\n";

  // The reader loop itself over a real socket, in one of three fd-1 states.
  const Stdout mode = (options & 0x30) == 0x10 ? Stdout::Closed
                      : (options & 0x30) == 0x20 ? Stdout::Broken
                                                 : Stdout::File;
  const std::string printed = run_reader_over_socketpair(stream, mode, max_line);
  if (mode == Stdout::File) check_eq(printed, want_output, "run_reader output");
  return 0;
}
