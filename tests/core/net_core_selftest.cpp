// Self-test of the Python-free networking core (addresses, sockets, output, line reading).
//
// Build and run from the repository root:
//   g++ -std=c++20 -Wall -Wextra -Wpedantic -Wshadow -Isrc tests/core/net_core_selftest.cpp src/net/{ip_address,os_error,socket,line_assembly,resolve}.cpp src/client/core/{output,reader_thread}.cpp -pthread -o /tmp/net_core_selftest && /tmp/net_core_selftest
// With sanitizers, add: -fsanitize=address,undefined -fno-omit-frame-pointer -g
// (the brace list needs bash; under sh, spell out the six files)
// Prints "N passed, M failed" and exits non-zero if anything failed.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "net/ip_address.hpp"
#include "net/line_buffer.hpp"
#include "net/line_assembly.hpp"
#include "net/os_error.hpp"
#include "net/resolve.hpp"
#include "client/core/output.hpp"
#include "client/core/reader_thread.hpp"
#include "net/socket.hpp"
#include "commands/core/command.hpp"
#include "commands/core/command_tag.hpp"
#include "escaped_bytes.hpp"

using namespace qv;
using namespace std::string_view_literals;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

int g_passed = 0;
int g_failed = 0;

std::string printable(std::string_view bytes, std::size_t limit = 120) {
  return escaped_bytes(bytes, limit);
}

// Failure messages go to stderr: fd 1 is redirected by several tests.
bool check(bool ok, const std::string& what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
  }
  return ok;
}

bool check_eq(std::string_view got, std::string_view want, const std::string& what) {
  return check(got == want,
               what + "\n    got:  \"" + printable(got) + "\"\n    want: \"" + printable(want) + "\"");
}

bool check_eq(long long got, long long want, const std::string& what) {
  return check(got == want,
               what + " (got " + std::to_string(got) + ", want " + std::to_string(want) + ")");
}

// Test scaffolding that cannot be set up ends the run: later results would mean nothing.
void setup(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "SETUP FAILED: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
  }
}

void skip(const std::string& what) { std::fprintf(stderr, "SKIP: %s\n", what.c_str()); }

bool fd_is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

std::string read_all_fd(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return out;
}

void write_all_fd(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Points fd 1 at an in-memory file until contents() or the destructor puts it back.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    file_ = ::memfd_create("selftest-stdout", MFD_CLOEXEC);
    ::dup2(file_, STDOUT_FILENO);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture() { restore(); }

  // What was written so far, without ending the capture.
  std::string peek() const {
    std::string out;
    char buf[65536];
    off_t offset = 0;
    for (;;) {
      const ssize_t n = ::pread(file_, buf, sizeof buf, offset);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
      offset += n;
    }
    return out;
  }

  std::string contents() {
    std::string out = peek();
    restore();
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::close(file_);
    saved_ = -1;
  }
  int saved_ = -1;
  int file_ = -1;
};


// ---------------------------------------------------------------------------------------------
// IP addresses

// What the C library makes of `text`, for comparison: glibc's inet_pton applies the same
// rules (it too refuses leading zeros in IPv4 octets and "::" standing for no group).
std::optional<IpAddress> libc_parse(const std::string& text) {
  IpAddress address;
  if (::inet_pton(AF_INET, text.c_str(), address.bytes.data()) == 1) {
    address.family = IpAddress::Family::V4;
    return address;
  }
  if (::inet_pton(AF_INET6, text.c_str(), address.bytes.data()) == 1) {
    address.family = IpAddress::Family::V6;
    return address;
  }
  return std::nullopt;
}

bool same_address(const std::optional<IpAddress>& a, const std::optional<IpAddress>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->family != b->family) return false;
  const std::size_t used = a->family == IpAddress::Family::V4 ? 4 : 16;
  return std::memcmp(a->bytes.data(), b->bytes.data(), used) == 0;
}

void test_ip_parse_tables() {
  struct Accepted {
    std::string_view text;
    bool v6;
    std::string_view canonical;
  };
  static constexpr Accepted kAccepted[] = {
      {"0.0.0.0", false, "0.0.0.0"},
      {"127.0.0.1", false, "127.0.0.1"},
      {"10.0.0.1", false, "10.0.0.1"},
      {"255.255.255.255", false, "255.255.255.255"},
      {"1.20.199.0", false, "1.20.199.0"},
      {"::1", true, "::1"},
      {"::", true, "::"},
      {"1::", true, "1::"},
      {"1:2:3:4:5:6:7:8", true, "1:2:3:4:5:6:7:8"},
      {"::ffff:10.0.0.1", true, "::ffff:10.0.0.1"},
      {"::FFFF:10.0.0.1", true, "::ffff:10.0.0.1"},
      {"0:0:0:0:0:ffff:1.2.3.4", true, "::ffff:1.2.3.4"},
      {"::1.2.3.4", true, "::102:304"},
      {"::0.0.0.0", true, "::"},
      {"1:2:3:4:5:6:7::", true, "1:2:3:4:5:6:7:0"},
      {"::2:3:4:5:6:7:8", true, "0:2:3:4:5:6:7:8"},
      {"1::2:3:4:5:6:7", true, "1:0:2:3:4:5:6:7"},
      {"1:2:3:4:5:6:1.2.3.4", true, "1:2:3:4:5:6:102:304"},
      {"1:2:3:4:5::1.2.3.4", true, "1:2:3:4:5:0:102:304"},
      {"1::2:1.2.3.4", true, "1::2:102:304"},
      {"0001:0db8::", true, "1:db8::"},
      {"ABCD:EF01::", true, "abcd:ef01::"},
      {"fe80::1", true, "fe80::1"},
      {"2001:db8:0:0:1:0:0:1", true, "2001:db8::1:0:0:1"},
      {"2001:0db8:0000:0000:0000:0000:0002:0001", true, "2001:db8::2:1"},
      {"::ffff:0.0.0.0", true, "::ffff:0.0.0.0"},
      {"::ffff:255.255.255.255", true, "::ffff:255.255.255.255"},
  };
  for (const auto& c : kAccepted) {
    const std::string label = "parse \"" + std::string(c.text) + "\"";
    const auto parsed = parse_ip_address(c.text);
    if (!check(parsed.has_value(), label + " accepted")) continue;
    check(parsed->family == (c.v6 ? IpAddress::Family::V6 : IpAddress::Family::V4),
          label + " family");
    check(same_address(parsed, libc_parse(std::string(c.text))), label + " bytes match inet_pton");
    check_eq(format_ip_address(*parsed), c.canonical, label + " formats canonically");
  }

  static constexpr std::string_view kRefused[] = {
      "", "localhost", "example.com", " 10.0.0.1", "10.0.0.1 ", "10.0.0.1:5000", "010.0.0.1",
      "10.0.0.01", "00.0.0.0", "256.1.1.1", "1.2.3.256", "1.2.3", "1.2.3.4.5", "1..2.3",
      "1.2.3.4.", ".1.2.3.4", "1.2.3.-4", "+1.2.3.4", "1.2.3.0x4", "1.2.3.1000", "1234.1.1.1",
      ":::", "1:2:3:4:5:6:7:8:9", "1::2::3", "12345::", "1:2:3:4:5:6:7::8", "1:2:3:4:5:6:7:8::",
      "::1:2:3:4:5:6:7:8", "1:2:3:4:5:6::1.2.3.4", "1:2:3:4:5:6:7:1.2.3.4", "::01.2.3.4",
      "::1.2.3.04", "::ffff:010.0.0.1", "::256.1.1.1", "::1.2.3", "::1.2.3.4.5", "::1.2.3.4:5",
      "1.2.3.4::", "::a.1.2.3", "::1234.1.1.1", "1::1.2.3.4::", "00001::", ":1::", "1::2:", ":",
      "1:", "1:2:3:4:5:6:7", "[::1]", "::1%eth0", "fe80::1%1", " ::1", "::1 ", "::g", "1:::2",
      "::1\n", "1.2.3.4\n", "::ffff:1.2.3.4x", "1.2.3.4/8",
      // An embedded NUL must not end the text early.
      "::1\0"sv, "1.2.3.4\0"sv, "\0::1"sv,
  };
  for (const auto text : kRefused) {
    const std::string label = "parse \"" + printable(text) + "\"";
    check(!parse_ip_address(text).has_value(), label + " refused");
    // inet_pton reads a C string; only compare where the text has no NUL.
    if (text.find('\0') == std::string_view::npos) {
      check(!libc_parse(std::string(text)).has_value(), label + " refused by inet_pton too");
    }
  }
}

// Random near-miss texts built from address-like pieces, compared with inet_pton.
void test_ip_parse_against_libc() {
  std::mt19937 rng(12345);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  static constexpr std::string_view kHex = "0123456789abcdefABCDEF";
  static constexpr std::string_view kJunk = " %[]/g-+x\n";
  int mismatches = 0;
  int accepted = 0;
  constexpr int kRounds = 200000;
  for (int round = 0; round < kRounds; ++round) {
    std::string text;
    const int pieces = 1 + pick(11);
    for (int p = 0; p < pieces; ++p) {
      switch (pick(10)) {
        case 0:
        case 1:
        case 2: {  // hex group, sometimes too long
          const int digits = pick(10) == 0 ? 5 : 1 + pick(4);
          for (int d = 0; d < digits; ++d) text.push_back(kHex[static_cast<std::size_t>(pick(22))]);
          break;
        }
        case 3:
        case 4: {  // decimal octet, sometimes out of range or zero-padded
          const int value = pick(4) == 0 ? pick(300) : pick(256);
          if (pick(8) == 0) text.push_back('0');
          text += std::to_string(value);
          break;
        }
        case 5:
        case 6:
          text.push_back(':');
          break;
        case 7:
          text += "::";
          break;
        case 8:
          text.push_back('.');
          break;
        default:
          if (pick(4) == 0) text.push_back(kJunk[static_cast<std::size_t>(pick(10))]);
          break;
      }
    }
    const auto ours = parse_ip_address(text);
    if (ours) ++accepted;
    if (!same_address(ours, libc_parse(text))) {
      if (++mismatches <= 10) {
        check(false, "parse \"" + printable(text) + "\" disagrees with inet_pton");
      }
    }
  }
  check_eq(mismatches, 0, "random texts where parse_ip_address and inet_pton disagree");
  // Guards against a generator that only ever produces garbage.
  check(accepted > kRounds / 100, "random texts include valid addresses (" +
                                      std::to_string(accepted) + " accepted)");
}

IpAddress v6_from_words(const std::uint16_t (&words)[8]) {
  IpAddress a;
  a.family = IpAddress::Family::V6;
  for (int k = 0; k < 8; ++k) {
    a.bytes[static_cast<std::size_t>(2 * k)] = static_cast<std::uint8_t>(words[k] >> 8);
    a.bytes[static_cast<std::size_t>(2 * k + 1)] = static_cast<std::uint8_t>(words[k]);
  }
  return a;
}

void test_ip_format() {
  struct Case {
    std::uint16_t words[8];
    std::string_view text;
  };
  static constexpr Case kCases[] = {
      {{0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, "2001:db8::1:0:0:1"},
      {{0x2001, 0xdb8, 0, 0, 0, 0, 2, 1}, "2001:db8::2:1"},
      {{1, 0, 0, 2, 0, 0, 0, 3}, "1:0:0:2::3"},
      {{1, 0, 2, 3, 4, 5, 6, 7}, "1:0:2:3:4:5:6:7"},
      {{1, 2, 3, 4, 5, 6, 7, 0}, "1:2:3:4:5:6:7:0"},
      {{0, 1, 2, 3, 4, 5, 6, 7}, "0:1:2:3:4:5:6:7"},
      {{1, 0, 0, 2, 3, 0, 0, 4}, "1::2:3:0:0:4"},
      {{0, 0, 1, 0, 0, 0, 0, 0}, "0:0:1::"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
      {{1, 0, 0, 0, 0, 0, 0, 0}, "1::"},
      {{0xABCD, 0x00EF, 0x0F00, 0, 0, 0x000A, 0xFFFF, 0x1000}, "abcd:ef:f00::a:ffff:1000"},
      {{0, 0, 0, 0, 0, 0xffff, 0x0a00, 0x0001}, "::ffff:10.0.0.1"},
      {{0, 0, 0, 0, 0, 0xffff, 0, 0}, "::ffff:0.0.0.0"},
      {{0, 0, 0, 0, 0, 0, 0x0102, 0x0304}, "::102:304"},      // IPv4-compatible: not dotted
      {{0, 0, 0, 0, 0, 0xfffe, 0x0102, 0x0304}, "::fffe:102:304"},
      {{0, 0, 0, 0, 1, 0xffff, 0x0102, 0x0304}, "::1:ffff:102:304"},
      {{0xffff, 0, 0, 0, 0, 0, 0x0102, 0x0304}, "ffff::102:304"},
      {{0, 0, 0, 0, 0, 0, 0xffff, 0}, "::ffff:0"},
  };
  for (const auto& c : kCases) {
    const IpAddress a = v6_from_words(c.words);
    check_eq(format_ip_address(a), c.text, "format " + std::string(c.text));
    check(same_address(parse_ip_address(format_ip_address(a)), a),
          "format " + std::string(c.text) + " parses back to the same address");
  }

  IpAddress v4;
  v4.family = IpAddress::Family::V4;
  v4.bytes = {192, 168, 0, 10, 0xff, 0xff};  // bytes past the fourth are not part of a V4
  check_eq(format_ip_address(v4), "192.168.0.10", "format IPv4 ignores unused bytes");

  // Random addresses with plenty of zero words, against inet_ntop and parse round trips.
  // glibc prints IPv4-compatible addresses (::a.b.c.d) dotted; this module prints them in hex.
  std::mt19937 rng(777);
  int mismatches = 0;
  for (int round = 0; round < 100000; ++round) {
    std::uint16_t words[8];
    for (auto& w : words) {
      const unsigned r = rng();
      w = (r & 3) != 0 ? 0 : static_cast<std::uint16_t>((r >> 8) & ((r & 4) ? 0xf : 0xffff));
    }
    if (round % 7 == 0) {
      words[0] = words[1] = words[2] = words[3] = words[4] = 0;
      words[5] = 0xffff;
    }
    const IpAddress a = v6_from_words(words);
    const std::string ours = format_ip_address(a);
    char theirs[INET6_ADDRSTRLEN];
    ::inet_ntop(AF_INET6, a.bytes.data(), theirs, sizeof theirs);
    bool compatible = words[6] != 0;
    for (int k = 0; k < 6; ++k) compatible = compatible && words[k] == 0;
    bool ok = same_address(parse_ip_address(ours), a);
    if (compatible) {
      ok = ok && ours.find('.') == std::string::npos;
    } else {
      ok = ok && ours == theirs;
    }
    if (!ok && ++mismatches <= 10) {
      check(false, "format random address: ours \"" + ours + "\", inet_ntop \"" + theirs + "\"");
    }

    IpAddress four;
    four.family = IpAddress::Family::V4;
    for (int k = 0; k < 4; ++k) four.bytes[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(rng());
    char dotted[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, four.bytes.data(), dotted, sizeof dotted);
    if (format_ip_address(four) != dotted && ++mismatches <= 10) {
      check(false, "format random IPv4 differs from inet_ntop: " + std::string(dotted));
    }
  }
  check_eq(mismatches, 0, "random addresses formatted differently from inet_ntop");
}

// ---------------------------------------------------------------------------------------------
// Error text

void test_os_error_text() {
  static constexpr struct {
    int err;
    std::string_view text;
  } kCases[] = {
      {ECONNREFUSED, "Connection refused (os error 111)"},
      {ETIMEDOUT, "Connection timed out (os error 110)"},
      {EPIPE, "Broken pipe (os error 32)"},
      {ENETUNREACH, "Network is unreachable (os error 101)"},
      {9999, "Unknown error 9999 (os error 9999)"},
  };
  for (const auto& c : kCases) {
    check_eq(os_error_text(c.err), c.text, "os_error_text(" + std::to_string(c.err) + ")");
  }
  // Must be usable from many threads at once (no shared static buffer).
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&wrong, t] {
      const int err = t % 2 == 0 ? 7777 : 8888;
      const std::string want = "Unknown error " + std::to_string(err) + " (os error " +
                               std::to_string(err) + ")";
      for (int i = 0; i < 20000; ++i) {
        if (os_error_text(err) != want) wrong.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  check_eq(wrong.load(), 0, "os_error_text gives each thread its own text");
}

// ---------------------------------------------------------------------------------------------
// Lossy UTF-8 decoding

struct DecodeCase {
  std::string_view input;
  std::string_view expected;
};

// Expected values produced by CPython 3.13: bytes.decode("utf-8", "replace").encode("utf-8"),
// for strings over lead, continuation and boundary bytes. A sample only: the line_reader fuzz
// target checks every input against a reference decoder, and the Python tests compare the
// reader's output with the interpreter's own decoding.
const DecodeCase kDecodeCases[] = {
    {std::string_view("", 0), std::string_view("", 0)},
    {std::string_view("\x70\x6c\x61\x69\x6e\x20\x61\x73\x63\x69\x69", 11), std::string_view("\x70\x6c\x61\x69\x6e\x20\x61\x73\x63\x69\x69", 11)},
    {std::string_view("\x00\x7f", 2), std::string_view("\x00\x7f", 2)},
    {std::string_view("\x80", 1), std::string_view("\xef\xbf\xbd", 3)},
    {std::string_view("\xbf", 1), std::string_view("\xef\xbf\xbd", 3)},
    {std::string_view("\xc0\x80", 2), std::string_view("\xef\xbf\xbd\xef\xbf\xbd", 6)},
    {std::string_view("\xc1\xbf", 2), std::string_view("\xef\xbf\xbd\xef\xbf\xbd", 6)},
    {std::string_view("\xc2", 1), std::string_view("\xef\xbf\xbd", 3)},
    {std::string_view("\xc2\x80", 2), std::string_view("\xc2\x80", 2)},
    {std::string_view("\xc2\x7f", 2), std::string_view("\xef\xbf\xbd\x7f", 4)},
    {std::string_view("\xdf\xbf", 2), std::string_view("\xdf\xbf", 2)},
    {std::string_view("\xe0\x80\x80", 3), std::string_view("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", 9)},
    {std::string_view("\xe0\x9f\xbf", 3), std::string_view("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", 9)},
    {std::string_view("\xe0\xa0\x80", 3), std::string_view("\xe0\xa0\x80", 3)},
    {std::string_view("\xe0\xa0", 2), std::string_view("\xef\xbf\xbd", 3)},
    {std::string_view("\xe0\xa0\x41", 3), std::string_view("\xef\xbf\xbd\x41", 4)},
    {std::string_view("\xe1\x80", 2), std::string_view("\xef\xbf\xbd", 3)},
    {std::string_view("\xe1\x80\x80", 3), std::string_view("\xe1\x80\x80", 3)},
    {std::string_view("\xec\xbf\xbf", 3), std::string_view("\xec\xbf\xbf", 3)},
    {std::string_view("\xed\x9f\xbf", 3), std::string_view("\xed\x9f\xbf", 3)},
    {std::string_view("\xed\xa0\x80", 3), std::string_view("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", 9)},
    {std::string_view("\xed\xbf\xbf", 3), std::string_view("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", 9)},
    {std::string_view("\xee\x80\x80", 3), std::string_view("\xee\x80\x80", 3)},
    {std::string_view("\xef\xbf\xbf", 3), std::string_view("\xef\xbf\xbf", 3)},
    {std::string_view("\xef\xbf\xbd", 3), std::string_view("\xef\xbf\xbd", 3)},
    {std::string_view("\xf0\x80\x80\x80", 4), std::string_view("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", 12)},
    {std::string_view("\xf0\x8f\xbf\xbf", 4), std::string_view("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", 12)},
    {std::string_view("\xf0\x90\x80\x80", 4), std::string_view("\xf0\x90\x80\x80", 4)},
    {std::string_view("\xf0\x90\x80", 3), std::string_view("\xef\xbf\xbd", 3)},
    {std::string_view("\xf0\x90", 2), std::string_view("\xef\xbf\xbd", 3)},
    {std::string_view("\xf0\x90\x80\x41", 4), std::string_view("\xef\xbf\xbd\x41", 4)},
    {std::string_view("\xf1\x80\x80\x80", 4), std::string_view("\xf1\x80\x80\x80", 4)},
    {std::string_view("\xf3\xbf\xbf\xbf", 4), std::string_view("\xf3\xbf\xbf\xbf", 4)},
    {std::string_view("\xf4\x8f\xbf\xbf", 4), std::string_view("\xf4\x8f\xbf\xbf", 4)},
    {std::string_view("\xf4\x90\x80\x80", 4), std::string_view("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", 12)},
    {std::string_view("\xf5\x80\x80\x80", 4), std::string_view("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", 12)},
    {std::string_view("\xf8\x88\x80\x80\x80", 5), std::string_view("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", 15)},
    {std::string_view("\xfc\x84\x80\x80\x80\x80", 6), std::string_view("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", 18)},
    {std::string_view("\xfe", 1), std::string_view("\xef\xbf\xbd", 3)},
    {std::string_view("\xff", 1), std::string_view("\xef\xbf\xbd", 3)},
};

void test_decode_table() {
  int index = 0;
  for (const auto& c : kDecodeCases) {
    std::string out = "prefix:";  // decoding appends, it never replaces
    decode_utf8_lossy(c.input, out);
    check_eq(out, "prefix:" + std::string(c.expected),
             "decode case " + std::to_string(index) + " \"" + printable(c.input) + "\"");
    ++index;
  }
}

// The word-at-a-time ASCII scans must notice a non-ASCII byte at any offset and length
// (offsets and lengths past two 32-byte blocks).
void test_decode_positions() {
  static constexpr struct {
    std::string_view bytes;
    std::string_view decoded;
  } kInserts[] = {
      {"\xff", "\xef\xbf\xbd"},
      {"\xc3\xa9", "\xc3\xa9"},
      {"\xe2\x82", "\xef\xbf\xbd"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
  };
  int wrong = 0;
  for (const auto& ins : kInserts) {
    for (std::size_t before = 0; before <= 70; ++before) {
      for (std::size_t after = 0; after <= 70; ++after) {
        const std::string left(before, 'a');
        const std::string right(after, 'z');
        std::string out;
        decode_utf8_lossy(left + std::string(ins.bytes) + right, out);
        const std::string want = left + std::string(ins.decoded) + right;
        if (out != want && ++wrong <= 5) {
          check_eq(out, want, "decode with insert at " + std::to_string(before));
        }
      }
    }
  }
  check_eq(wrong, 0, "decode of inserts at every offset");

  // A long valid text, ASCII and multi-byte mixed, comes through unchanged.
  std::string valid;
  for (int i = 0; i < 5000; ++i) valid += i % 3 == 0 ? "caf\xc3\xa9 " : "\xe2\x82\xac\xf0\x9f\x98\x80x";
  std::string out;
  decode_utf8_lossy(valid, out);
  check(out == valid, "decode leaves 5000 valid mixed segments unchanged");
}

// ---------------------------------------------------------------------------------------------
// White space

void test_strip() {
  // Every White_Space character, and look-alikes that are not White_Space.
  static constexpr std::string_view kSpace[] = {
      "\t", "\n", "\v", "\f", "\r", " ", "\xc2\x85", "\xc2\xa0", "\xe1\x9a\x80",
      "\xe2\x80\x80", "\xe2\x80\x85", "\xe2\x80\x8a", "\xe2\x80\xa8", "\xe2\x80\xa9",
      "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80",
  };
  static constexpr std::string_view kNotSpace[] = {
      "\x1c", "\x1f", "\x00"sv, "\x08", "\x0e", "\xe2\x80\x8b" /* U+200B */,
      "\xe1\xa0\x8e" /* U+180E */, "\xef\xbb\xbf" /* U+FEFF */, "\xe2\x80\x8c",
      "\xe2\x80\xa7", "\xe2\x80\xaa", "\xe2\x80\xae", "\xe2\x81\xa0", "\xe3\x80\x81",
      "\xc2\x84", "\xc2\x86", "\xc2\xa1", "\xef\xbf\xbd", "\xe2\x81\x9e",
  };
  for (const auto sp : kSpace) {
    const std::string s(sp);
    const std::string label = "strip \"" + printable(sp) + "\"";
    check_eq(strip_white_space(s + "x" + s), "x", label + " at both ends");
    check_eq(strip_white_space(s + s + "a" + s + "b" + s + s), "a" + s + "b",
             label + " repeated, kept inside");
    check_eq(strip_white_space(s), "", label + " alone");
    check_eq(strip_white_space("\xc3\xa9" + s), "\xc3\xa9", label + " after a multi-byte char");
  }
  for (const auto ns : kNotSpace) {
    const std::string s(ns);
    const std::string label = "strip keeps \"" + printable(ns) + "\"";
    check_eq(strip_white_space(" " + s + " "), s, label);
    check_eq(strip_white_space(s + "x" + s), s + "x" + s, label + " at both ends");
  }
  check_eq(strip_white_space(""), "", "strip empty");

  // The reader strips raw bytes before decoding them: that must give the same text as
  // stripping the decoded text, whatever invalid bytes surround the blanks.
  static constexpr std::string_view kPieces[] = {
      " ", "\r", "\t", "\xc2\x85", "\xc2\xa0", "\xe3\x80\x80", "\xe2\x80\x8a", "\xc2",
      "\xe2\x80", "\xe3", "\x80", "\x85", "\xa0", "\xff", "\xe1\x9a", "a", "\xc3\xa9", "\xe2",
  };
  std::mt19937 rng(99);
  int differ = 0;
  for (int round = 0; round < 50000; ++round) {
    std::string raw;
    const int count = static_cast<int>(rng() % 7);
    for (int k = 0; k < count; ++k) raw += kPieces[rng() % std::size(kPieces)];
    std::string decoded_then_stripped;
    decode_utf8_lossy(raw, decoded_then_stripped);
    const std::string a(strip_white_space(decoded_then_stripped));
    std::string b;
    decode_utf8_lossy(strip_white_space(raw), b);
    if (a != b && ++differ <= 5) check_eq(b, a, "strip raw \"" + printable(raw) + "\" then decode");
  }
  check_eq(differ, 0, "stripping before or after decoding gives the same text");
  std::string all;
  for (const auto sp : kSpace) all += sp;
  check_eq(strip_white_space(all), "", "strip a text made only of White_Space");
  // Stripping returns a view into the argument, not a copy.
  const std::string text = "  body  ";
  check(strip_white_space(text).data() == text.data() + 2, "strip returns a view of its input");
}

// ---------------------------------------------------------------------------------------------
// Line assembly

struct Assembled {
  std::vector<std::string> lines;  // a cut line as "<kept>|cut <n>"
  std::optional<std::string> rest;
};

std::string shown(const Line& line) {
  std::string text(line.bytes);
  if (line.cut != 0) text += "|cut " + std::to_string(line.cut);
  return text;
}

// Feeds `chunks` one after another. With `drain_each` lines are taken after every feed,
// otherwise only once at the end, so bytes pile up across feeds (and a long line is noticed
// late, which must not change what comes out).
Assembled assemble(const std::vector<std::string_view>& chunks, bool drain_each,
                   std::size_t max_line = kMaxLineBytes) {
  LineAssembler assembler(max_line);
  Assembled result;
  Line line;
  auto drain = [&] {
    while (assembler.next_line(line)) result.lines.push_back(shown(line));
  };
  for (const auto chunk : chunks) {
    assembler.feed(chunk.data(), chunk.size());
    if (drain_each) drain();
  }
  drain();
  if (assembler.finish(line)) result.rest = shown(line);
  // After finish the assembler is empty.
  if (assembler.finish(line) || assembler.next_line(line)) result.lines.push_back("<left over>");
  return result;
}

std::string describe(const Assembled& a) {
  std::string out = "[";
  for (const auto& l : a.lines) out += "\"" + printable(l, 40) + "\" ";
  out += "] rest=";
  out += a.rest ? "\"" + printable(*a.rest, 40) + "\"" : std::string("none");
  return out;
}

void test_line_assembler() {
  struct Case {
    std::string_view input;
    std::vector<std::string> lines;
    std::optional<std::string> rest;
    std::size_t max_line = kMaxLineBytes;
  };
  const std::vector<Case> cases = {
      {"", {}, std::nullopt},
      {"\n", {""}, std::nullopt},
      {"\n\n\n", {"", "", ""}, std::nullopt},
      {"abc", {}, "abc"},
      {"abc\n", {"abc"}, std::nullopt},
      {"abc\ndef", {"abc"}, "def"},
      {"a\r\nb\r\n", {"a\r", "b\r"}, std::nullopt},
      {"one\ntwo\n\nfour\nfive", {"one", "two", "", "four"}, "five"},
      {"x\0y\nz\0"sv, {std::string("x\0y", 3)}, std::string("z\0", 2)},
      {"\xff\xfe\n\xe2\x82", {"\xff\xfe"}, "\xe2\x82"},
      {"   ", {}, "   "},
      // Lines longer than the limit keep their start and count the rest.
      {"abcdefgh\nabcdefghij\nk\n", {"abcdefgh", "abcdefgh|cut 2", "k"}, std::nullopt, 8},
      {"abcdefghijklmnopqrstuvwxyz\n\nz", {"abcdefgh|cut 18", ""}, "z", 8},
      {"ab\nabcdefghi", {"ab"}, "abcdefgh|cut 1", 8},
      {"abcdefghij\nABCDEFGHIJ", {"abcdefgh|cut 2"}, "ABCDEFGH|cut 2", 8},
      // A character across the limit is left out whole: 2-, 3- and 4-byte sequences.
      {"abcdefg\xc3\xa9xyz\n", {"abcdefg|cut 5"}, std::nullopt, 8},
      {"abcdef\xe2\x82\xac\n", {"abcdef|cut 3"}, std::nullopt, 8},
      {"abcde\xf0\x9f\x98\x80\n", {"abcde|cut 4"}, std::nullopt, 8},
      {"abcdef\xc3\xa9\xc3\xa9\n", {"abcdef\xc3\xa9|cut 2"}, std::nullopt, 8},
      // Invalid bytes at the limit are not a character to keep whole.
      {"abcdefg\x80\x80\x80\x80\n", {"abcdefg\x80|cut 3"}, std::nullopt, 8},
  };
  int wrong = 0;
  for (const auto& c : cases) {
    const std::string want = describe({c.lines, c.rest});
    const std::size_t n = c.input.size();
    auto try_chunks = [&](const std::vector<std::string_view>& chunks, const std::string& how) {
      for (const bool drain_each : {false, true}) {
        const std::string got = describe(assemble(chunks, drain_each, c.max_line));
        if (got != want && ++wrong <= 10) {
          check_eq(got, want,
                   "assemble \"" + printable(c.input) + "\" " + how +
                       (drain_each ? ", drained after each feed" : ", drained at the end"));
        }
      }
    };
    try_chunks({c.input}, "whole");
    std::vector<std::string_view> bytes;
    for (std::size_t i = 0; i < n; ++i) bytes.push_back(c.input.substr(i, 1));
    try_chunks(bytes, "byte by byte");
    for (std::size_t i = 0; i <= n; ++i) {
      for (std::size_t j = i; j <= n; ++j) {
        // Empty chunks included: feeding nothing must change nothing.
        try_chunks({c.input.substr(0, i), c.input.substr(i, j - i), c.input.substr(j)},
                   "split at " + std::to_string(i) + "," + std::to_string(j));
      }
    }
  }
  check_eq(wrong, 0, "line assembly over every two- and three-way split");

  // One long line in many small pieces, then more lines: nothing lost or duplicated.
  LineAssembler assembler;
  std::string long_line;
  for (int i = 0; i < 100000; ++i) long_line.push_back(static_cast<char>('a' + i % 26));
  const std::string stream = long_line + "\nshort\n" + long_line + "\ntail";
  std::vector<std::string> lines;
  Line line;
  for (std::size_t at = 0; at < stream.size(); at += 7) {
    const std::string_view piece = std::string_view(stream).substr(at, 7);
    assembler.feed(piece.data(), piece.size());
    while (assembler.next_line(line)) lines.push_back(shown(line));
  }
  check_eq(static_cast<long long>(lines.size()), 3, "long lines in 7-byte pieces: line count");
  if (lines.size() == 3) {
    check(lines[0] == long_line && lines[2] == long_line, "long lines in 7-byte pieces intact");
    check_eq(lines[1], "short", "short line between long ones");
  }
  check(assembler.finish(line) && shown(line) == "tail", "long-line stream keeps its tail");

  // The text shown for a cut line: stripped, decoded, and the count of what was left out.
  std::string text;
  append_line_text(Line{"  head \xff ", 123456789}, text);
  check_eq(text, "head \xef\xbf\xbd [... 123456789 bytes cut]", "text of a cut line");
}

// ---------------------------------------------------------------------------------------------
// Command texts

// A send buffer grows geometrically for many lines, and to exactly what one huge line needs.
void test_line_buffer_growth() {
  LineBuffer many;
  const std::string line(100, 'x');
  int grown = 0;
  std::size_t capacity = many.capacity();
  for (int i = 0; i < 200000; ++i) {  // 20 MB in all
    many.append(line);
    if (many.capacity() != capacity) ++grown;
    capacity = many.capacity();
  }
  check(grown < 40, "200,000 appended lines grow the buffer " + std::to_string(grown) + " times");
  check(many.size() == 200000u * 100 && many.view().substr(0, 100) == line, "appended lines kept");
  LineBuffer huge;
  huge.prepare(std::size_t{3} << 20);
  check_eq(static_cast<long long>(huge.capacity()), 3 << 20, "one huge line takes what it needs");
  many.release_if_large();
  check(many.size() == 0 && many.capacity() == 0, "a large buffer is given back");
}

// A command keeps each text as a 32-bit offset and length: texts that would not fit are
// refused, never wrapped into another field's bytes. The sizes are only claimed, never read,
// so no big allocation is needed.
void test_command_texts() {
  constexpr std::uint64_t four_gib = std::uint64_t{1} << 32;
  check(Command::text_fits(0, four_gib - 1) && Command::text_fits(four_gib - 1, 0),
        "texts up to 4 GiB - 1 in all fit");
  check(!Command::text_fits(0, four_gib) && !Command::text_fits(1, four_gib - 1) &&
            !Command::text_fits(3u << 30, 3u << 30) && !Command::text_fits(four_gib, 0),
        "texts past 4 GiB - 1 in all do not fit");
  Command command(15);  // CallMake: resource_id, address, ...
  const char bytes[] = "1001";
  check(!command.set_text(1, std::string_view(bytes, four_gib + 16)),
        "a text of 4 GiB + 16 bytes is refused");
  check(!command.present(1) && command.text_bytes() == 0, "a refused text changes nothing");
  check(command.set_text(1, "1001") && command.text(1) == "1001", "a short text is kept");
  check(!command.set_text(3, std::string_view(bytes, four_gib - 4)),
        "a text that would end past 4 GiB - 1 after another is refused");
  check(command.text(1) == "1001" && !command.present(3), "the earlier text is unchanged");
}

// ---------------------------------------------------------------------------------------------
// Tags of received lines

void test_command_tags() {
  struct Case {
    std::string_view text;
    std::optional<std::uint64_t> tag;
  };
  const Case cases[] = {
      {"OK CallMake COMMANDTAG=4", 4},
      {"COMMANDTAG=0", 0},
      {"OK COMMANDTAG=7 ResourceId=2", 7},  // anywhere in the line
      {"  OK   COMMANDTAG=9  ", 9},          // runs of spaces
      {"OK COMMANDTAG=18446744073709551615", UINT64_MAX},
      {"OK COMMANDTAG=00012", 12},
      {"OK COMMANDTAG=18446744073709551616", std::nullopt},  // past 64 bits
      {"OK COMMANDTAG=", std::nullopt},
      {"OK COMMANDTAG=12a", std::nullopt},
      {"OK COMMANDTAG=-1", std::nullopt},
      {"OK xCOMMANDTAG=3", std::nullopt},
      {"OK COMMANDTAG=5 xCOMMANDTAG=6", 5},  // inside a later token: not a tag
      {"OK COMMANDTAG:3", std::nullopt},
      {"OK\tCOMMANDTAG=3", std::nullopt},  // only spaces separate tokens
      {"echo COMMANDTAG=5 COMMANDTAG=6", 6},  // the last one decides ...
      {"echo COMMANDTAG=5 COMMANDTAG=x", std::nullopt},  // ... even when it is no number
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto got = find_command_tag(c.text);
    check(got == c.tag, "tag of \"" + printable(c.text) + "\": " +
                            (got ? std::to_string(*got) : std::string("none")));
  }
}

// ---------------------------------------------------------------------------------------------
// Sockets

// A loopback listener on an ephemeral port.
struct Listener {
  int fd = -1;
  std::uint16_t port = 0;
  explicit Listener(int family, int backlog = 16) {
    fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_storage storage{};
    socklen_t length;
    if (family == AF_INET) {
      auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
      sin->sin_family = AF_INET;
      sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof(sockaddr_in);
    } else {
      auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
      sin6->sin6_family = AF_INET6;
      sin6->sin6_addr = in6addr_loopback;
      length = sizeof(sockaddr_in6);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
      ::close(fd);
      fd = -1;
      return;
    }
    port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&storage)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener() {
    if (fd >= 0) ::close(fd);
  }
};

int lowest_free_fd() {
  const int probe = ::dup(0);
  ::close(probe);
  return probe;
}

void test_connect() {
  for (const bool v6 : {false, true}) {
    const std::string name = v6 ? "IPv6" : "IPv4";
    Listener listener(v6 ? AF_INET6 : AF_INET);
    if (listener.fd < 0) {
      skip(name + " loopback listener unavailable: " + os_error_text(errno));
      continue;
    }
    const auto address = parse_ip_address(v6 ? "::1" : "127.0.0.1");
    const auto result = connect_tcp(*address, listener.port);
    if (!check(std::holds_alternative<int>(result), name + " connect to loopback listener")) {
      std::fprintf(stderr, "    %s\n", os_error_text(std::get<OsFailure>(result).err).c_str());
      continue;
    }
    const int fd = std::get<int>(result);
    check((::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0, name + " socket is close-on-exec");
    check((::fcntl(fd, F_GETFL) & O_NONBLOCK) == 0, name + " socket is blocking");
    int type = 0;
    socklen_t len = sizeof type;
    ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len);
    check_eq(type, SOCK_STREAM, name + " socket is a stream socket");
    const int peer = ::accept(listener.fd, nullptr, nullptr);
    check(peer >= 0, name + " listener sees the connection");
    const auto sent = send_all(fd, "ping\n", 5);
    check(sent.outcome == SendOutcome::Ok, name + " send over the new connection");
    char buf[8] = {};
    check(peer >= 0 && ::recv(peer, buf, 5, MSG_WAITALL) == 5 &&
              std::string_view(buf, 5) == "ping\n",
          name + " peer receives what was sent");
    if (peer >= 0) ::close(peer);
    ::close(fd);
  }

  // Refused: the port was bound a moment ago and is now closed. The socket must not leak.
  std::uint16_t dead_port;
  {
    Listener gone(AF_INET);
    dead_port = gone.port;
  }
  const int free_before = lowest_free_fd();
  const auto refused = connect_tcp(*parse_ip_address("127.0.0.1"), dead_port);
  check(std::holds_alternative<OsFailure>(refused) &&
            std::get<OsFailure>(refused).err == ECONNREFUSED,
        "connect to a closed port fails with ECONNREFUSED");
  check_eq(lowest_free_fd(), free_before, "failed connect closes its socket");

  // With stdout closed, the socket must not take fd 1 (the reader prints there).
  Listener listener(AF_INET);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::close(STDOUT_FILENO);
  const auto low = connect_tcp(*parse_ip_address("127.0.0.1"), listener.port);
  std::optional<std::variant<int, OsFailure>> low_dup;
  if (std::holds_alternative<int>(low)) low_dup = duplicate_handle(std::get<int>(low));
  const bool stdout_still_closed = !fd_is_open(STDOUT_FILENO);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  check(stdout_still_closed, "connect_tcp and duplicate_handle leave a closed fd 1 alone");
  if (check(std::holds_alternative<int>(low), "connect with stdout closed")) {
    check(std::get<int>(low) > STDERR_FILENO, "connected socket is above fd 2");
    ::close(std::get<int>(low));
  }
  if (low_dup && std::holds_alternative<int>(*low_dup)) ::close(std::get<int>(*low_dup));
}

std::atomic<int> g_signals{0};
extern "C" void count_signal(int) { g_signals.fetch_add(1); }

// Installs `count_signal` for SIGUSR1 without SA_RESTART, so blocking calls see EINTR.
struct InterruptingHandler {
  struct sigaction previous {};
  InterruptingHandler() {
    struct sigaction action {};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(SIGUSR1, &action, &previous);
  }
  InterruptingHandler(const InterruptingHandler&) = delete;
  InterruptingHandler& operator=(const InterruptingHandler&) = delete;
  ~InterruptingHandler() { ::sigaction(SIGUSR1, &previous, nullptr); }
};

// Signals the calling thread every 300 microseconds until stop(). The constructor returns
// once the first signal has arrived, so a busy machine cannot let a whole operation slip
// through before the first one.
class SignalPest {
 public:
  SignalPest() : target_(pthread_self()) {
    g_signals = 0;
    thread_ = std::thread([this] {
      while (!done_) {
        pthread_kill(target_, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    });
    const auto deadline = steady_clock::now() + milliseconds(5000);
    while (g_signals.load() == 0 && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(1));
    }
  }
  SignalPest(const SignalPest&) = delete;
  SignalPest& operator=(const SignalPest&) = delete;
  ~SignalPest() { stop(); }
  void stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  pthread_t target_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// A connect held up by a full accept queue and hit by a signal must still complete.
void test_connect_interrupted() {
  Listener listener(AF_INET, 0);
  const auto loopback = *parse_ip_address("127.0.0.1");
  const auto first = connect_tcp(loopback, listener.port);  // fills the queue
  if (!check(std::holds_alternative<int>(first), "first connect fills the accept queue")) return;

  InterruptingHandler handler;
  g_signals = 0;
  const pthread_t self = pthread_self();
  std::atomic<bool> connect_returned{false};
  std::thread helper([&] {
    // The first signal interrupts connect(), the second the wait that follows it.
    std::this_thread::sleep_for(milliseconds(300));
    if (!connect_returned) pthread_kill(self, SIGUSR1);
    std::this_thread::sleep_for(milliseconds(150));
    if (!connect_returned) pthread_kill(self, SIGUSR1);
    std::this_thread::sleep_for(milliseconds(150));
    // Make room; the pending handshake completes at the client's next SYN retransmission.
    const int accepted = ::accept(listener.fd, nullptr, nullptr);
    if (accepted >= 0) ::close(accepted);
  });
  const auto start = steady_clock::now();
  const auto second = connect_tcp(loopback, listener.port);
  connect_returned = true;
  const auto waited = steady_clock::now() - start;
  helper.join();

  if (waited < milliseconds(250) || g_signals.load() == 0) {
    // The kernel completed the connect at once: the interruption could not be staged.
    skip("interrupted connect: this system did not hold the connect back");
  } else if (check(std::holds_alternative<int>(second),
                   "connect interrupted by a signal completes instead of failing")) {
    const int fd = std::get<int>(second);
    check(send_all(fd, "x", 1).outcome == SendOutcome::Ok, "interrupted connect is usable");
  }
  if (std::holds_alternative<int>(second)) ::close(std::get<int>(second));

  // A check that says to give up ends the connect at the first signal, closing its socket.
  const int free_before = lowest_free_fd();
  int asked = 0;
  auto give_up = [](void* count) {
    ++*static_cast<int*>(count);
    return false;
  };
  std::thread pest([&] {
    std::this_thread::sleep_for(milliseconds(200));
    pthread_kill(self, SIGUSR1);
  });
  const auto stopped = connect_tcp(loopback, listener.port, InterruptCheck{give_up, &asked});
  pest.join();
  if (std::holds_alternative<int>(stopped)) {
    skip("interrupted connect with a giving-up check: the connect completed first");
    ::close(std::get<int>(stopped));
  } else {
    const OsFailure failure = std::get<OsFailure>(stopped);
    check(failure.interrupted && failure.err == EINTR && asked == 1,
          "connect gives up when the check says so");
    check_eq(lowest_free_fd(), free_before, "a given-up connect leaves no descriptor open");
  }
  ::close(std::get<int>(first));
}

void test_socket_helpers() {
  int pair[2];
  setup(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "socketpair");

  timeval some{};
  some.tv_sec = 3;
  ::setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &some, sizeof some);
  ::setsockopt(pair[0], SOL_SOCKET, SO_SNDTIMEO, &some, sizeof some);
  clear_socket_timeouts(pair[0]);
  for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    timeval got{};
    socklen_t len = sizeof got;
    ::getsockopt(pair[0], SOL_SOCKET, option, &got, &len);
    check(got.tv_sec == 0 && got.tv_usec == 0,
          std::string("clear_socket_timeouts clears ") +
              (option == SO_RCVTIMEO ? "SO_RCVTIMEO" : "SO_SNDTIMEO"));
  }
  clear_socket_timeouts(-1);  // ignored failure, must not crash

  const auto copy = duplicate_handle(pair[0]);
  if (check(std::holds_alternative<int>(copy), "duplicate_handle succeeds")) {
    const int dup_fd = std::get<int>(copy);
    struct stat a {};
    struct stat b {};
    ::fstat(pair[0], &a);
    ::fstat(dup_fd, &b);
    check(dup_fd != pair[0] && a.st_ino == b.st_ino, "duplicate refers to the same socket");
    check((::fcntl(dup_fd, F_GETFD) & FD_CLOEXEC) != 0, "duplicate is close-on-exec");
    close_handle(dup_fd);
    check(!fd_is_open(dup_fd), "close_handle closes");
    check(fd_is_open(pair[0]), "closing the duplicate leaves the original open");
  }
  const auto bad = duplicate_handle(-1);
  check(std::holds_alternative<OsFailure>(bad) && std::get<OsFailure>(bad).err == EBADF,
        "duplicate_handle(-1) reports EBADF");
  close_handle(pair[0]);
  close_handle(pair[1]);
}

// Names go to the system's resolver; literals never do. Only loopback names are asked.
void test_resolve() {
  const auto literal = resolve_host("::1");
  check(std::holds_alternative<std::vector<IpAddress>>(literal) &&
            std::get<std::vector<IpAddress>>(literal).size() == 1 &&
            format_ip_address(std::get<std::vector<IpAddress>>(literal)[0]) == "::1",
        "an IP literal resolves to itself alone");
  const auto local = resolve_host("localhost");
  if (check(std::holds_alternative<std::vector<IpAddress>>(local), "localhost resolves")) {
    const auto& found = std::get<std::vector<IpAddress>>(local);
    const bool loopback = std::all_of(found.begin(), found.end(), [](const IpAddress& a) {
      const std::string text = format_ip_address(a);
      return text == "::1" || text.starts_with("127.");
    });
    check(!found.empty() && loopback, "localhost is loopback addresses only");
  }
  const auto none = resolve_host("");
  check(std::holds_alternative<ResolveFailure>(none) &&
            !std::get<ResolveFailure>(none).text.empty(),
        "an empty name fails with the resolver's words");
}

// Runs with SIGPIPE at its default action: a send without MSG_NOSIGNAL would kill the test.
void test_send_all() {
  int pair[2];
  setup(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "socketpair");
  std::string payload(3 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 + (i >> 9));
  std::string received;
  std::thread drain([&] {
    received = read_all_fd(pair[1]);
  });
  const auto big = send_all(pair[0], payload.data(), payload.size());
  check(big.outcome == SendOutcome::Ok, "send_all of 3 MiB reports Ok");
  ::shutdown(pair[0], SHUT_WR);
  drain.join();
  check(received == payload, "send_all delivers every byte in order");

  const auto empty = send_all(pair[0], "", 0);
  check(empty.outcome == SendOutcome::Ok, "send_all of nothing is Ok");

  ::close(pair[1]);
  const auto broken = send_all(pair[0], "after close", 11);
  check(broken.outcome == SendOutcome::Failed && broken.err == EPIPE,
        "send_all to a closed peer fails with EPIPE and no signal");
  ::close(pair[0]);

  const auto invalid = send_all(-1, "x", 1);
  check(invalid.outcome == SendOutcome::Failed && invalid.err == EBADF,
        "send_all on a bad descriptor fails with EBADF");

  // Interrupted sends continue where they stopped. The slow reader keeps the socket full, so
  // signals hit both sends that wrote part of their data and sends that wrote nothing yet.
  setup(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "socketpair");
  InterruptingHandler handler;
  std::thread slow_drain([&] {
    std::string got;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(pair[1], buf, sizeof buf, 0);
      if (n > 0) {
        got.append(buf, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(milliseconds(1));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    received = std::move(got);
  });
  SignalPest pest;
  const int signals_before = g_signals.load();
  const auto interrupted = send_all(pair[0], payload.data(), 1 << 19);
  const int signals_during = g_signals.load() - signals_before;
  pest.stop();
  ::shutdown(pair[0], SHUT_WR);
  slow_drain.join();
  check(interrupted.outcome == SendOutcome::Ok, "send_all under signals reports Ok");
  check(received == payload.substr(0, 1 << 19), "send_all under signals delivers every byte");
  check(signals_during > 0, "signals did arrive during the interrupted send");
  ::close(pair[0]);
  ::close(pair[1]);

  // Several pieces, empty ones among them, arrive as one stream in order.
  setup(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "socketpair");
  std::thread gather([&] { received = read_all_fd(pair[1]); });
  iovec pieces[] = {{nullptr, 0},
                    {payload.data(), 1 << 20},
                    {nullptr, 0},
                    {payload.data() + (1 << 20), 5},
                    {payload.data() + (1 << 20) + 5, (2 << 20) - 5}};
  const auto vectored = send_all(pair[0], pieces, std::size(pieces));
  ::shutdown(pair[0], SHUT_WR);
  gather.join();
  check(vectored.outcome == SendOutcome::Ok && vectored.written == (3u << 20),
        "send_all of pieces reports every byte written");
  check(received == payload, "send_all of pieces delivers them in order");
  ::close(pair[0]);
  ::close(pair[1]);

  // A check that gives up ends a blocked send at the first signal, reporting what was
  // written: exactly what the peer then reads.
  setup(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "socketpair");
  const pthread_t sender = pthread_self();
  std::thread interrupter([&] {
    std::this_thread::sleep_for(milliseconds(100));
    pthread_kill(sender, SIGUSR1);
  });
  auto give_up = [](void*) { return false; };
  const auto stopped = send_all(pair[0], payload.data(), payload.size(), InterruptCheck{give_up});
  interrupter.join();
  ::shutdown(pair[0], SHUT_WR);
  const std::string arrived = read_all_fd(pair[1]);
  check(stopped.outcome == SendOutcome::Interrupted, "a blocked send gives up at a signal");
  check(stopped.written == arrived.size() && arrived == payload.substr(0, arrived.size()),
        "an interrupted send reports the bytes the peer received");
  ::close(pair[0]);
  ::close(pair[1]);
}

// ---------------------------------------------------------------------------------------------
// Output

void test_output() {
  {
    StdoutCapture capture;
    const int rc1 = write_stdout_line("first line\n");
    const int rc2 = write_stdout_line(std::string_view("nul\0inside\n", 11));
    const int rc3 = write_stdout_line("");
    const std::string got = capture.contents();
    check(rc1 == 0 && rc2 == 0 && rc3 == 0, "write_stdout_line reports success");
    check_eq(got, std::string_view("first line\nnul\0inside\n", 22), "write_stdout_line output");
  }

  // fd 1 closed: the text is absorbed and that counts as success.
  std::fflush(stdout);
  int saved = ::dup(STDOUT_FILENO);
  ::close(STDOUT_FILENO);
  const int closed_rc = write_stdout_line("into the void\n");
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  check_eq(closed_rc, 0, "write_stdout_line with fd 1 closed succeeds");

  // Nobody reading: the errno comes back (SIGPIPE is ignored, as in the Python host).
  int pipe_fds[2];
  setup(::pipe2(pipe_fds, O_CLOEXEC) == 0, "pipe2");
  ::close(pipe_fds[0]);
  saved = ::dup(STDOUT_FILENO);
  ::dup2(pipe_fds[1], STDOUT_FILENO);
  const int broken_rc = write_stdout_line("nobody listens\n");
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(pipe_fds[1]);
  check_eq(broken_rc, EPIPE, "write_stdout_line to a pipe without reader returns EPIPE");

  // Several threads writing lines larger than the pipe buffer: no line may be torn.
  setup(::pipe2(pipe_fds, O_CLOEXEC) == 0, "pipe2");
  saved = ::dup(STDOUT_FILENO);
  std::fflush(stdout);
  ::dup2(pipe_fds[1], STDOUT_FILENO);
  ::close(pipe_fds[1]);
  std::string collected;
  std::thread drain([&] { collected = read_all_fd(pipe_fds[0]); });
  constexpr int kThreads = 4;
  constexpr int kLines = 30;
  constexpr std::size_t kLength = 100000;
  std::atomic<int> write_errors{0};
  {
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([t, &write_errors] {
        std::string line(kLength, static_cast<char>('A' + t));
        line.back() = '\n';
        for (int i = 0; i < kLines; ++i) {
          if (write_stdout_line(line) != 0) write_errors.fetch_add(1);
        }
      });
    }
    for (auto& w : writers) w.join();
  }
  ::dup2(saved, STDOUT_FILENO);  // closes the last write end, so the drain sees the end
  ::close(saved);
  drain.join();
  ::close(pipe_fds[0]);
  check_eq(write_errors.load(), 0, "concurrent write_stdout_line calls succeed");
  int torn = 0;
  int per_thread[kThreads] = {};
  std::size_t at = 0;
  while (at < collected.size()) {
    const std::size_t end = collected.find('\n', at);
    if (end == std::string::npos) {
      ++torn;
      break;
    }
    const std::string_view line = std::string_view(collected).substr(at, end - at);
    const char c = line.empty() ? '?' : line[0];
    if (line.size() != kLength - 1 || c < 'A' || c >= 'A' + kThreads ||
        line.find_first_not_of(c) != std::string_view::npos) {
      ++torn;
    } else {
      ++per_thread[c - 'A'];
    }
    at = end + 1;
  }
  check_eq(torn, 0, "lines from concurrent writers are never interleaved");
  for (int t = 0; t < kThreads; ++t) {
    check_eq(per_thread[t], kLines, "every line of writer " + std::to_string(t) + " arrived");
  }

  // Interrupted writes, partial (some bytes written) or not (EINTR), are continued to the end
  // of the line. The slow reader keeps the pipe full so that both kinds happen.
  setup(::pipe2(pipe_fds, O_CLOEXEC) == 0, "pipe2");
  saved = ::dup(STDOUT_FILENO);
  ::dup2(pipe_fds[1], STDOUT_FILENO);
  ::close(pipe_fds[1]);
  InterruptingHandler handler;
  std::string slow;
  std::thread slow_drain([&] {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(pipe_fds[0], buf, sizeof buf);
      if (n > 0) {
        slow.append(buf, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(milliseconds(1));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
  });
  std::string big(1 << 19, 'q');
  big.back() = '\n';
  SignalPest pest;
  const int signals_before = g_signals.load();
  const int big_rc = write_stdout_line(big);
  const int signals_during = g_signals.load() - signals_before;
  pest.stop();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  slow_drain.join();
  ::close(pipe_fds[0]);
  check_eq(big_rc, 0, "write_stdout_line under signals succeeds");
  check(slow == big, "write_stdout_line under signals writes the whole line once");
  check(signals_during > 0, "signals did arrive during the interrupted write");
}

// ---------------------------------------------------------------------------------------------
// The reader loop

// Sends `input` from the far end of a socket pair, closes it, runs the reader on the near end
// and returns what the reader printed. Inputs that fit in the socket buffer are sent before
// the reader starts, so each recv() returns a full 8192-byte block and line and character
// boundaries fall where the case puts them.
std::string run_reader_on(std::string_view input, bool* fd_closed = nullptr) {
  int pair[2];
  setup(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  int buffer_size = 1 << 20;
  ::setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
  ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
  std::thread writer;
  if (input.size() <= 65536) {
    write_all_fd(pair[1], input);
    ::close(pair[1]);
  } else {
    writer = std::thread([&] {
      write_all_fd(pair[1], input);
      ::close(pair[1]);
    });
  }
  StdoutCapture capture;
  run_reader(pair[0]);
  std::string out = capture.contents();
  if (writer.joinable()) writer.join();
  if (fd_closed != nullptr) *fd_closed = !fd_is_open(pair[0]);
  return out;
}

std::string received_lines(std::initializer_list<std::string> texts) {
  std::string out;
  for (const auto& t : texts) out += "Received: " + t + "\n";
  return out;
}

void test_reader_cases() {
  const std::string a8191(8191, 'a');
  const std::string b8192(8192, 'b');
  const std::string c20000(20000, 'c');
  struct Case {
    std::string name;
    std::string input;
    std::string expected;
  };
  const std::string closed = "Connection closed.\n";
  const std::vector<Case> cases = {
      {"empty stream", "", closed},
      {"two lines, last unterminated", "hello\nworld",
       received_lines({"hello", "world"}) + closed},
      {"CRLF endings", "a\r\nb\r\n", received_lines({"a", "b"}) + closed},
      {"empty line", "\n", received_lines({""}) + closed},
      {"empty lines between", "x\n\n\ny\n", received_lines({"x", "", "", "y"}) + closed},
      {"0xFF replaced, reading goes on", "x\xffy\nnext\n",
       received_lines({"x\xef\xbf\xbdy", "next"}) + closed},
      {"lone 0xFF line", "\xff\nafter", received_lines({"\xef\xbf\xbd", "after"}) + closed},
      {"truncated sequence before newline", "\xe2\x82\nz\n",
       received_lines({"\xef\xbf\xbd", "z"}) + closed},
      {"truncated sequence at end of stream", "abc\xe2\x82",
       received_lines({"abc\xef\xbf\xbd"}) + closed},
      {"surrounding blanks stripped", "  padded \t\n\t\v\f x y \r\n",
       received_lines({"padded", "x y"}) + closed},
      {"Unicode blanks stripped", "\xc2\xa0nbsp\xe3\x80\x80\n\xe2\x80\x83\n",
       received_lines({"nbsp", ""}) + closed},
      {"blank unterminated rest still reported", "x\n   ", received_lines({"x", ""}) + closed},
      {"NUL kept", std::string("a\0b\n", 4), received_lines({std::string("a\0b", 3)}) + closed},
      {"character split by the 8192-byte block", a8191 + "\xc3\xa9" + "b\n",
       received_lines({a8191 + "\xc3\xa9" + "b"}) + closed},
      {"invalid byte at the block edge", a8191 + "\xc3" + "b\n",
       received_lines({a8191 + "\xef\xbf\xbd" + "b"}) + closed},
      {"newline exactly at the block edge", a8191 + "\nrest",
       received_lines({a8191, "rest"}) + closed},
      {"line of exactly one block", b8192 + "\n", received_lines({b8192}) + closed},
      {"long lines", c20000 + "\n" + b8192 + "\nshort\n" + c20000,
       received_lines({c20000, b8192, "short", c20000}) + closed},
      {"line over the limit, reading goes on", std::string(3 << 20, 'L') + "\nafter\n",
       received_lines({std::string(kMaxLineBytes, 'L') + " [... " +
                           std::to_string((3 << 20) - kMaxLineBytes) + " bytes cut]",
                       "after"}) + closed},
      {"unterminated line over the limit at the end", "x\n" + std::string(kMaxLineBytes + 9, 'E'),
       received_lines({"x", std::string(kMaxLineBytes, 'E') + " [... 9 bytes cut]"}) + closed},
  };
  for (const auto& c : cases) {
    bool fd_closed = false;
    check_eq(run_reader_on(c.input, &fd_closed), c.expected, "reader: " + c.name);
    check(fd_closed, "reader closes its descriptor: " + c.name);
  }

  // A stream larger than the socket buffer, sent while the reader runs.
  std::string many;
  std::string want;
  for (int i = 0; i < 50000; ++i) {
    const std::string text = "line " + std::to_string(i) + (i % 1000 == 0 ? " \xe2\x82\xac" : "");
    many += text + (i % 3 == 0 ? "\r\n" : "\n");
    want += "Received: " + text + "\n";
  }
  many += std::string(300000, 'L');
  want += "Received: " + std::string(300000, 'L') + "\n" + closed;
  check_eq(run_reader_on(many), want, "reader: 50000 lines and a 300000-byte tail");
}

// Signals interrupting recv() (on a thread that does not block them) do not end the reader.
void test_reader_interrupted() {
  int pair[2];
  setup(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  std::string want;
  for (int i = 0; i < 100; ++i) want += "Received: slow " + std::to_string(i) + "\n";
  want += "Connection closed.\n";
  InterruptingHandler handler;
  StdoutCapture capture;
  SignalPest pest;
  const int signals_before = g_signals.load();
  std::thread writer([&] {
    for (int i = 0; i < 100; ++i) {
      std::this_thread::sleep_for(milliseconds(2));
      write_all_fd(pair[1], "slow " + std::to_string(i) + "\n");
    }
    ::close(pair[1]);
  });
  run_reader(pair[0]);
  const int signals_during = g_signals.load() - signals_before;
  pest.stop();
  writer.join();
  check_eq(capture.contents(), want, "reader output while signals interrupt recv");
  check(signals_during > 0, "signals did arrive while the reader waited");
}

// A connection reset: the reader prints what arrived, the unfinished line included, and ends
// as if the connection had closed. Once with the reset arriving behind the data, once after
// the reader has taken the data in.
void test_reader_reset() {
  for (const bool read_first : {false, true}) {
    const std::string when = read_first ? " (data read before the reset)" : " (data queued)";
    Listener listener(AF_INET);
    const auto connected = connect_tcp(*parse_ip_address("127.0.0.1"), listener.port);
    if (!check(std::holds_alternative<int>(connected), "reset test connects")) return;
    const int fd = std::get<int>(connected);
    const int peer = ::accept(listener.fd, nullptr, nullptr);
    linger abort_close{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
    write_all_fd(peer, "one\npartial");
    StdoutCapture capture;
    std::thread reader;
    if (read_first) {
      reader = std::thread([fd] { run_reader(fd); });
      // Until the reader has taken every byte out of the socket.
      pollfd ready{fd, POLLIN, 0};
      ::poll(&ready, 1, 5000);
      int queued = 1;
      const auto deadline = steady_clock::now() + milliseconds(5000);
      while (::ioctl(fd, FIONREAD, &queued) == 0 && queued > 0 && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(1));
      ::close(peer);  // sends RST
      reader.join();
    } else {
      pollfd ready{fd, POLLIN, 0};
      ::poll(&ready, 1, 5000);
      ::close(peer);  // sends RST
      std::this_thread::sleep_for(milliseconds(50));
      run_reader(fd);
    }
    check_eq(capture.contents(), "Received: one\nReceived: partial\nConnection closed.\n",
             "reader after a reset" + when);
    check(!fd_is_open(fd), "reader closes its descriptor after a reset" + when);
  }
}

// Runs the reader on its own thread with fd 1 replaced by `stdout_fd` (-1: closed), the peer
// kept open. Returns whether the reader finished by itself within `limit`.
bool reader_finishes_alone(int stdout_fd, std::string_view input, milliseconds limit,
                           bool close_peer_first, bool* fd_closed) {
  int pair[2];
  setup(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  write_all_fd(pair[1], input);
  if (close_peer_first) ::close(pair[1]);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  if (stdout_fd >= 0) {
    ::dup2(stdout_fd, STDOUT_FILENO);
  } else {
    ::close(STDOUT_FILENO);
  }
  std::atomic<bool> finished{false};
  std::thread reader([&] {
    run_reader(pair[0]);
    finished = true;
  });
  const auto deadline = steady_clock::now() + limit;
  while (!finished && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
  const bool alone = finished;
  if (!close_peer_first) ::close(pair[1]);  // releases a reader that is still waiting
  reader.join();
  *fd_closed = !fd_is_open(pair[0]);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  return alone;
}

void test_reader_output_failures() {
  // Output broken (no reader on the pipe): the reader stops at the first line even though
  // the connection stays open.
  int pipe_fds[2];
  setup(::pipe2(pipe_fds, O_CLOEXEC) == 0, "pipe2");
  ::close(pipe_fds[0]);
  bool fd_closed = false;
  const bool stopped = reader_finishes_alone(pipe_fds[1], "a\nb\n", milliseconds(3000), false,
                                             &fd_closed);
  ::close(pipe_fds[1]);
  check(stopped, "reader stops at once when output fails");
  check(fd_closed, "reader closes its descriptor when output fails");

  // fd 1 closed: output counts as delivered, so the reader keeps waiting for more data.
  std::string input;
  for (int i = 0; i < 1000; ++i) input += "line\n";
  fd_closed = false;
  const bool ended = reader_finishes_alone(-1, input, milliseconds(300), false, &fd_closed);
  check(!ended, "reader with fd 1 closed goes on reading");
  check(fd_closed, "reader with fd 1 closed closes its descriptor at the end of stream");
}

std::set<std::string> thread_ids() {
  std::set<std::string> ids;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ids.insert(entry->d_name);
    }
    ::closedir(dir);
  }
  return ids;
}

std::optional<unsigned long long> blocked_signals(const std::string& tid) {
  FILE* status = std::fopen(("/proc/self/task/" + tid + "/status").c_str(), "re");
  if (status == nullptr) return std::nullopt;
  char line[256];
  std::optional<unsigned long long> mask;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "SigBlk:", 7) == 0) mask = std::strtoull(line + 7, nullptr, 16);
  }
  std::fclose(status);
  return mask;
}

struct Mapping {
  unsigned long long begin;
  unsigned long long end;
  std::string perms;
  bool operator<(const Mapping& other) const {
    return std::tie(begin, end, perms) < std::tie(other.begin, other.end, other.perms);
  }
};

std::set<Mapping> memory_maps() {
  std::set<Mapping> maps;
  FILE* file = std::fopen("/proc/self/maps", "re");
  if (file == nullptr) return maps;
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    Mapping m;
    char perms[8] = {};
    if (std::sscanf(line, "%llx-%llx %7s", &m.begin, &m.end, perms) == 3) {
      m.perms = perms;
      maps.insert(m);
    }
  }
  std::fclose(file);
  return maps;
}

// Size of a thread stack that appeared between two snapshots: a new writable mapping right
// above a new inaccessible guard page.
std::optional<unsigned long long> new_stack_size(const std::set<Mapping>& before,
                                                 const std::set<Mapping>& after) {
  std::vector<Mapping> fresh;
  for (const auto& m : after) {
    if (before.count(m) == 0) fresh.push_back(m);
  }
  for (const auto& guard : fresh) {
    if (guard.perms != "---p") continue;
    for (const auto& stack : fresh) {
      if (stack.begin == guard.end && stack.perms == "rw-p") return stack.end - stack.begin;
    }
  }
  return std::nullopt;
}

void test_reader_thread() {
  sigset_t before;
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  const std::set<std::string> old_threads = thread_ids();

  int pair[2];
  setup(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  StdoutCapture capture;
  // This is the first thread asking for a small stack, so the C library has none cached
  // and maps a fresh one.
  const auto maps_before = memory_maps();
  const auto started = start_reader_thread(pair[0]);
  const auto maps_after = memory_maps();
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  if (!check(std::holds_alternative<std::monostate>(started), "start_reader_thread succeeds")) {
    ::close(pair[0]);
    ::close(pair[1]);
    return;
  }
  bool same_mask = true;
  for (int sig = 1; sig < NSIG; ++sig) {
    same_mask = same_mask && sigismember(&before, sig) == sigismember(&after, sig);
  }
  check(same_mask, "start_reader_thread restores the caller's signal mask");

  std::vector<std::string> fresh;
  for (const auto& id : thread_ids()) {
    if (old_threads.count(id) == 0) fresh.push_back(id);
  }
  const auto stack = new_stack_size(maps_before, maps_after);
#if defined(__SANITIZE_THREAD__)
  (void)stack;
  skip("reader thread stack size: ThreadSanitizer enlarges thread stacks");
#else
  check(stack.has_value() && *stack >= 64 * 1024 && *stack <= 128 * 1024,
        "reader thread stack is small (" +
            (stack ? std::to_string(*stack) + " bytes" : std::string("no new stack mapped")) + ")");
#endif

  if (check_eq(static_cast<long long>(fresh.size()), 1, "one new thread is running")) {
    // While the C library starts a thread, the thread has every signal blocked, including
    // the library's own (signal 32); wait for the mask the thread really runs with.
    std::optional<unsigned long long> mask;
    const auto settle = steady_clock::now() + milliseconds(3000);
    do {
      mask = blocked_signals(fresh[0]);
      if (mask && ((*mask >> 31) & 1ULL) == 0) break;
      std::this_thread::sleep_for(milliseconds(1));
    } while (steady_clock::now() < settle);
    bool all_blocked = mask.has_value() && ((*mask >> 31) & 1ULL) == 0;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD, SIGPIPE,
                          SIGWINCH, SIGQUIT}) {
      all_blocked = all_blocked && ((*mask >> (sig - 1)) & 1ULL) != 0;
    }
    check(all_blocked, "the reader thread blocks signals");
  }

  write_all_fd(pair[1], "from thread\r\nsecond \xff\n");
  ::close(pair[1]);
  const std::string want = "Received: from thread\nReceived: second \xef\xbf\xbd\nConnection closed.\n";
  const auto deadline = steady_clock::now() + milliseconds(5000);
  while (capture.peek() != want && steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  // A detached thread leaves the task list on its own once it returns.
  bool gone = false;
  while (!gone && steady_clock::now() < deadline) {
    gone = !fresh.empty() && thread_ids().count(fresh[0]) == 0;
    if (!gone) std::this_thread::sleep_for(milliseconds(5));
  }
  check_eq(capture.contents(), want, "reader thread output");
  check(gone, "reader thread exits by itself after the end of stream");
  check(!fd_is_open(pair[0]), "reader thread closes its descriptor");
}

// Detached reader threads give their resources back when they end: one after another, many
// of them leave the memory map about as it was (an unjoined joinable thread keeps its stack).
void test_reader_threads_reclaimed() {
  constexpr int kThreads = 100;
  StdoutCapture capture;
  const std::set<std::string> baseline = thread_ids();
  const std::size_t maps_before = memory_maps().size();
  int started = 0;
  for (int i = 0; i < kThreads; ++i) {
    int pair[2];
    setup(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    write_all_fd(pair[1], "n\n");
    ::close(pair[1]);
    if (!std::holds_alternative<std::monostate>(start_reader_thread(pair[0]))) {
      ::close(pair[0]);
      break;
    }
    ++started;
    // Wait until the thread is gone, so its stack can be reused by the next one.
    const auto deadline = steady_clock::now() + milliseconds(3000);
    while (thread_ids() != baseline && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(1));
    }
  }
  const std::size_t maps_after = memory_maps().size();
  std::string want;
  for (int i = 0; i < kThreads; ++i) want += "Received: n\nConnection closed.\n";
  check_eq(started, kThreads, "reader threads started one after another");
  check_eq(capture.contents(), want, "output of the reader threads started one after another");
  check(maps_after < maps_before + kThreads,
        "ended reader threads release their stacks (mappings " + std::to_string(maps_before) +
            " -> " + std::to_string(maps_after) + ")");
}

}  // namespace

int main() {
  // SIGPIPE keeps its default action here: MSG_NOSIGNAL must prevent it.
  test_send_all();
  test_command_texts();
  test_line_buffer_growth();
  test_command_tags();
  // The Python host ignores SIGPIPE; so do the remaining tests.
  ::signal(SIGPIPE, SIG_IGN);

  test_ip_parse_tables();
  test_ip_parse_against_libc();
  test_ip_format();
  test_os_error_text();
  test_decode_table();
  test_decode_positions();
  test_strip();
  test_line_assembler();
  test_connect();
  test_connect_interrupted();
  test_socket_helpers();
  test_resolve();
  test_output();
  test_reader_cases();
  test_reader_interrupted();
  test_reader_reset();
  test_reader_output_failures();
  test_reader_thread();
  test_reader_threads_reclaimed();

  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
