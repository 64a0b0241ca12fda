// The session core's routing of received lines, as both session classes drive it: tags found
// in line texts, replies completed by tag, everything else queued as events in a bounded
// queue with drop marks, and what a lost connection does to both. Two real sides run the same
// program: a SyncConnection over a socket pair (Session's way: threads read, a given-up
// request is removed), and a SessionCore fed the bytes directly (AsyncSession's way: a
// request whose task was cancelled stays in the table until its reply comes, and is not
// `wanted` then; deadlines expire through the table; a loss hands the requests back). Every
// result of both is checked against one plain model kept here step by step. Each side
// connects, logs in and reconnects through a Link of its own, as its class does: the Login
// is a request answered through the routing, and a reconnect is marked in the events.
//
// Input layout: byte 0 picks max_line, byte 1 max_events, byte 2 how the run ends, byte 3
// how many tags are registered, then one choice per tag (1 byte, or 9 for a raw 64-bit value),
// then a program: opcodes building the stream from pieces (words, tags, overflowing digits,
// spaces, tabs, CR, invalid UTF-8, long runs, raw bytes) and delivering it in chunks, with
// the program's own actions between chunks (taking events, registering and
// giving up requests, deadlines passing, marks, a lost connection and a new one).
//
// Between chunks the harness reads until the socket holds no unread byte, so the point where
// each line is routed is known and the model can be exact.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzz_check.hpp"
#include "commands/core/command_tag.hpp"
#include "session/core/incoming.hpp"
#include "session/core/sync_connection.hpp"
#include "session_core_side.hpp"
#include "utf8_model.hpp"

using namespace qv_fuzz;

namespace {

using Kind = qv::Incoming::Kind;
using State = qv::PendingReply::State;

// ---- model of the tag a line answers --------------------------------------------------------

// Tokens: runs of characters between ' ' characters (no other character separates).
std::vector<std::string_view> split_on_spaces(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      if (i > start) tokens.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return tokens;
}

// Whether decimal `digits` (non-empty, only 0-9) is at most 2^64 - 1, by comparing strings.
bool fits_64_bits(std::string_view digits) {
  static constexpr std::string_view kMax = "18446744073709551615";
  const std::size_t nonzero = digits.find_first_not_of('0');
  if (nonzero == std::string_view::npos) return true;
  digits.remove_prefix(nonzero);
  return digits.size() < kMax.size() || (digits.size() == kMax.size() && digits <= kMax);
}

// The last token starting "COMMANDTAG=" decides alone, whatever follows the '=': a malformed
// one is no tag, and an earlier one does not answer instead.
constexpr bool kLastKeyTokenDecides = true;

std::optional<std::uint64_t> model_tag(std::string_view text) {
  static constexpr std::string_view kKey = "COMMANDTAG=";
  const auto tokens = split_on_spaces(text);
  for (auto it = tokens.rbegin(); it != tokens.rend(); ++it) {
    const std::string_view token = *it;
    if (token.substr(0, kKey.size()) != kKey) continue;
    const std::string_view digits = token.substr(kKey.size());
    const bool all_digits = !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
      return c >= '0' && c <= '9';
    });
    if (all_digits && fits_64_bits(digits)) {
      std::uint64_t value = 0;
      for (const char c : digits) value = value * 10 + static_cast<std::uint64_t>(c - '0');
      return value;
    }
    if (kLastKeyTokenDecides) return std::nullopt;
  }
  return std::nullopt;
}

std::string show_tag(const std::optional<std::uint64_t>& tag) {
  return tag ? std::to_string(*tag) : std::string("none");
}

// ---- model of a line's text -------------------------------------------------------------------

// A line over the limit keeps its first max_line bytes, less a multi-byte character that would
// run past them, and counts the rest.
struct RawLine {
  std::string kept;
  std::uint64_t cut;
};

RawLine cut_to_limit(std::string_view raw, std::size_t max_line) {
  if (raw.size() <= max_line) return {std::string(raw), 0};
  std::size_t kept = max_line;
  std::size_t j = max_line;
  while (j > 0 && max_line - j < 3 && (static_cast<unsigned char>(raw[j - 1]) & 0xC0) == 0x80) --j;
  if (j > 0 && max_line - j < 3) {
    const auto lead = static_cast<unsigned char>(raw[j - 1]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (j - 1 + length > max_line) kept = j - 1;
  }
  return {std::string(raw.substr(0, kept)), raw.size() - kept};
}

std::string model_text(const RawLine& line) {
  const std::string decoded = reference_decode(line.kept);
  std::string text(reference_strip(decoded));
  if (line.cut != 0) text += " [... " + std::to_string(line.cut) + " bytes cut]";
  return text;
}

// ---- model of the connection ------------------------------------------------------------------

struct WantEvent {
  Kind kind;
  std::optional<std::uint64_t> tag;
  std::string text;
  std::uint64_t count;
};

std::string describe(Kind kind, const std::optional<std::uint64_t>& tag, std::string_view text,
                     std::uint64_t count) {
  const char* names[] = {"Line", "Lost", "Reconnected", "Dropped"};
  return std::string(names[static_cast<int>(kind)]) + " tag=" + show_tag(tag) +
         " count=" + std::to_string(count) + " text=" + escaped(text, 120);
}

struct Request {
  std::uint64_t tag;
  qv::PendingReply reply;  // what the connection sees; lives here until the run ends
  State want = State::Waiting;
  std::string want_text;
  bool registered = false;  // registered with the connection at some point
  // The core's side: what it settled the request with, and whether its waiter is gone.
  State core_state = State::Waiting;
  std::string core_text;
  bool cancelled = false;
};

struct Model {
  Model(std::size_t line_limit, std::size_t event_limit)
      : max_line(line_limit), max_events(event_limit) {}
  std::size_t max_line;
  std::size_t max_events;
  std::string partial;                        // bytes of the current connection's open line
  std::map<std::uint64_t, Request*> pending;  // by tag
  std::vector<WantEvent> queue;               // not yet taken
  std::size_t queued_lines = 0;
  bool connected = false;
  std::uint64_t pushes = 0;  // events and marks pushed, as the connection counts them

  void push(WantEvent event) {
    ++pushes;
    if (event.kind == Kind::Line) {
      if (queued_lines >= max_events) {
        event = WantEvent{Kind::Dropped, std::nullopt, {}, 1};
      } else {
        ++queued_lines;
      }
    }
    if (event.kind == Kind::Dropped && !queue.empty() && queue.back().kind == Kind::Dropped) {
      queue.back().count += event.count;
      return;
    }
    // A loss with no line since the last loss says nothing new; a reconnect that is lost
    // again before any line gives way to the loss.
    if (event.kind == Kind::Lost) {
      if (!queue.empty() && queue.back().kind == Kind::Reconnected) queue.pop_back();
      if (!queue.empty() && queue.back().kind == Kind::Lost) return;
    }
    queue.push_back(std::move(event));
  }

  // Returns the requests this line completed (0 or 1). `ended`: the unterminated rest at the
  // end of a stream, which answers nothing (the stream may have ended inside its tag).
  Request* route(std::string_view raw, bool ended = false) {
    const RawLine line = cut_to_limit(raw, max_line);
    const std::string text = model_text(line);
    const auto found_by_core = qv::find_command_tag(text);
    if (found_by_core != model_tag(text))
      fail("find_command_tag on a line's text", show_tag(found_by_core) + " in " + escaped(text),
           show_tag(model_tag(text)));
    // A cut line answers nothing: its tag token may have lost digits.
    const auto tag = line.cut == 0 && !ended ? model_tag(text) : std::nullopt;
    if (tag) {
      const auto found = pending.find(*tag);
      if (found != pending.end()) {
        Request* request = found->second;
        pending.erase(found);
        request->want = State::Replied;
        request->want_text = text;
        return request;
      }
    }
    push(WantEvent{Kind::Line, tag, text, 0});
    return nullptr;
  }

  // The bytes of one chunk; returns the requests completed, in order.
  std::vector<Request*> receive(std::string_view bytes) {
    std::vector<Request*> done;
    partial.append(bytes);
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = partial.find('\n', start);
      if (end == std::string::npos) break;
      if (Request* r = route(std::string_view(partial).substr(start, end - start))) done.push_back(r);
      start = end + 1;
    }
    partial.erase(0, start);
    return done;
  }

  void lose(bool mark) {
    if (!connected) return;
    if (!partial.empty()) route(partial, true);
    partial.clear();
    for (auto& [tag, request] : pending) request->want = State::Lost;
    pending.clear();
    if (mark) push(WantEvent{Kind::Lost, std::nullopt, {}, 0});
    connected = false;
  }

  std::size_t take() {
    queued_lines = 0;
    const std::size_t n = queue.size();
    taken.insert(taken.end(), queue.begin(), queue.end());
    queue.clear();
    return n;
  }

  std::vector<WantEvent> taken;  // everything taken so far, in order
};

// ---- the real side ------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;
// Generous: an answer that is in the socket comes at once; only a fault waits this long.
constexpr auto kWait = std::chrono::seconds(2);
constexpr std::size_t kMaxStream = 256 * 1024;  // bytes per run, so every run stays quick
constexpr std::size_t kMaxPiece = 48 * 1024;    // below the socket buffer: a send never blocks

void send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    check(n > 0, "send to the far end");
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

int unread_bytes(int fd) {
  int n = 0;
  check(::ioctl(fd, FIONREAD, &n) == 0, "FIONREAD");
  return n;
}

struct Pair {
  int near = -1;  // handed to the connection
  int far = -1;   // the server's end, ours
};

Pair make_pair() {
  int fds[2];
  check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
  const int size = 1 << 18;
  (void)::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  (void)::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  return {fds[0], fds[1]};
}

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool empty() const { return at >= size; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
    return v;
  }
  std::string_view bytes(std::size_t n) {
    n = std::min(n, size - std::min(at, size));
    const std::string_view out(reinterpret_cast<const char*>(data + at), n);
    at += n;
    return out;
  }
};

std::uint64_t tag_from_choice(Input& in) {
  const std::uint8_t b = in.byte();
  switch (b >> 6) {
    case 0:
    case 1:
      return b & 0x7F;  // small: the ones requests start with
    case 2:
      return UINT64_MAX - (b & 0x3F);  // at the top of the range
    default:
      return in.u64();
  }
}

class Run {
 public:
  Run(std::size_t max_line, std::size_t max_events)
      : conn_(qv::LinkConfig{"127.0.0.1", 1, "fuzz", std::nullopt, 3, 0.0, 0.0}, max_line,
              max_events),
        model_(max_line, max_events),
        core_(max_line, max_events) {}

  ~Run() {
    if (pair_.far >= 0) ::close(pair_.far);
  }

  std::deque<Request> requests;  // stable addresses: the connection points at their replies

  // Connects as Session does, through the link: claim, connect, log in (the Login a request
  // as any other, answered through the routing), up; a reconnect is marked in the events.
  void connect(const std::vector<std::size_t>& register_now) {
    qv::LinkStep step;
    check(conn_.claim(step) == qv::SyncConnection::Role::Mine, "claim with nobody else connecting");
    check(step.what == qv::LinkStep::Do::Connect, "an IP literal is connected to at once");
    if (pair_.far >= 0) ::close(pair_.far);
    pair_ = make_pair();
    conn_.attach(pair_.near);
    step = conn_.advance(qv::LinkInput::Kind::Connected);
    check(step.what == qv::LinkStep::Do::LogIn, "logging in once connected");
    check(core_.connect() == step.login_tag, "both sides give the Login the same tag");
    model_.partial.clear();
    model_.connected = true;
    login_ = Request{};
    login_.tag = step.login_tag;
    login_.reply.tag = step.login_tag;
    check(conn_.add(login_.reply), "the Login is registered on the new socket");
    model_.pending[login_.tag] = &login_;
    // Short enough for the smallest max_line: a cut reply would answer nothing.
    const std::string reply = "COMMANDTAG=" + std::to_string(step.login_tag) + "\n";
    send_all(pair_.far, reply);
    core_.feed(reply, [](std::size_t) { return true; },
               [](std::uint64_t, std::size_t, std::string&&) { fail("the Login's reply as a request's"); });
    const std::vector<Request*> done = model_.receive(reply);
    check(done.size() == 1 && done[0] == &login_, "the model routes the Login's reply");
    wait_ready(login_.reply, "wait_reply for the Login");
    check(login_.reply.state == State::Replied, "the Login is answered");
    check(!conn_.up(), "not up until logged in");
    step = conn_.advance(qv::LinkInput::Kind::LoggedIn);
    check(step.what == qv::LinkStep::Do::Up, "up once logged in");
    check(core_.logged_in() == step.reconnected, "both sides see a reconnect alike");
    if (step.reconnected) {
      conn_.mark(Kind::Reconnected);
      model_.push(WantEvent{Kind::Reconnected, std::nullopt, {}, 0});
    }
    conn_.finish_connect();
    check(conn_.up() && core_.up(), "up");
    for (const std::size_t i : register_now) add(i);
  }

  void add(std::size_t i) {
    Request& r = requests[i];
    if (model_.connected && model_.pending.count(r.tag)) return;  // one waiter per tag
    r.reply = qv::PendingReply{};
    r.reply.tag = r.tag;
    r.reply.state = State::Replied;  // add() must reset it
    const bool added = conn_.add(r.reply);
    if (added != model_.connected) fail("add() on a connection", added ? "added" : "refused");
    if (!added) {
      r.reply.state = State::Waiting;  // never registered: leave it out of the checks
      r.want = State::Waiting;
      r.registered = false;
      return;
    }
    check(r.reply.state == State::Waiting, "add() leaves the reply waiting");
    // The core: a request cancelled earlier under this tag is forgotten first, as its
    // session forgets it once its task ends.
    if (const std::size_t* stale = core_.find(r.tag)) {
      check(requests[*stale].cancelled, "only a cancelled request stays in the core unpending");
      core_.settle(r.tag);
    }
    r.cancelled = false;
    r.core_state = State::Waiting;
    r.core_text.clear();
    core_.add(r.tag, i, kStart + std::chrono::milliseconds(adds_++ % 128));
    r.want = State::Waiting;
    r.want_text.clear();
    r.registered = true;
    model_.pending[r.tag] = &r;
  }

  // `cancel`: the core keeps the request until its reply comes, as AsyncSession does for a
  // task cancelled in the loop iteration its reply is read in; else it is settled at once.
  void remove(std::size_t i, bool cancel) {
    Request& r = requests[i];
    conn_.remove(r.reply);
    if (const std::size_t* at = core_.find(r.tag); at && *at == i) {
      if (cancel)
        r.cancelled = true;
      else
        core_.settle(r.tag);
    }
    const auto found = model_.pending.find(r.tag);
    if (found != model_.pending.end() && found->second == &r) model_.pending.erase(found);
    r.registered = false;  // its state is frozen from here: no longer checked
  }

  // Deadlines up to `ms` pass: the core settles those requests (their waiters time out, and
  // on the connection they give up).
  void expire(unsigned ms) {
    while (auto due = core_.settle_due(kStart + std::chrono::milliseconds(ms))) {
      Request& r = requests[due->second];
      check(r.tag == due->first, "a due request comes with its own tag");
      if (r.cancelled) continue;
      conn_.remove(r.reply);
      const auto found = model_.pending.find(r.tag);
      if (found != model_.pending.end() && found->second == &r) model_.pending.erase(found);
      r.registered = false;
    }
  }

  // Sends one chunk and reads it all, in the way `mode` picks; the core gets it in pieces.
  void deliver(std::string_view chunk, std::uint8_t mode) {
    if (!model_.connected) return;
    std::uint64_t seen = conn_.event_generation();  // nobody reads until this thread does
    const std::size_t core_piece = std::size_t{1} << ((mode >> 3) % 17);
    for (std::size_t at = 0; at < chunk.size(); at += core_piece) {
      const std::string_view piece = chunk.substr(at, core_piece);
      core_.feed(
          piece, [&](std::size_t i) { return !requests[i].cancelled; },
          [&](std::uint64_t tag, std::size_t i, std::string&& text) {
            Request& r = requests[i];
            check(r.tag == tag && !r.cancelled, "the core answers a wanted request of its tag");
            r.core_state = State::Replied;
            r.core_text = std::move(text);
          });
    }
    const std::uint64_t pushed_before = model_.pushes;
    const std::vector<Request*> completes = model_.receive(chunk);
    const unsigned how = mode & 3;
    const bool queue_fills = model_.pushes != pushed_before;  // what wakes a wait for events
    if (chunk.size() <= kMaxPiece && how == 3 && completes.size() >= 2) {
      // Two waiters: one already waits (as the reader, mostly) when the chunk comes, the
      // other arrives while it reads. Each is woken by the reader routing its reply, or takes
      // over the reading; neither may sleep on past that.
      qv::PendingReply& first = completes.front()->reply;
      std::atomic<bool> started{false};
      qv::WaitOutcome other_outcome = qv::WaitOutcome::Slice;
      Clock::duration other_took{};
      std::thread other([&] {
        started = true;
        const auto start = Clock::now();
        other_outcome = conn_.wait_reply(first, start + kWait);
        other_took = Clock::now() - start;
      });
      while (!started) std::this_thread::yield();
      for (unsigned k = 0; k < (mode >> 2) % 8; ++k) std::this_thread::yield();
      send_all(pair_.far, chunk);
      const auto start = Clock::now();
      const auto outcome = conn_.wait_reply(completes.back()->reply, start + kWait);
      const auto took = Clock::now() - start;
      other.join();
      if (outcome != qv::WaitOutcome::Ready) fail("wait_reply beside another waiter");
      if (other_outcome != qv::WaitOutcome::Ready) fail("the other waiter's wait_reply");
      // Both answers were in the socket: a wait near its deadline slept through a wake-up.
      check(took < kWait / 2 && other_took < kWait / 2, "a waiter wakes when its reply is routed");
      drain();
    } else if (chunk.size() <= kMaxPiece && how != 0) {
      send_all(pair_.far, chunk);
      if (how == 1 && !completes.empty()) {
        wait_ready(completes.back()->reply, "wait_reply for a reply in the socket");
      } else if (how == 2 && queue_fills) {
        const auto out = conn_.wait_event(Clock::now() + kWait, seen);
        if (out != qv::WaitOutcome::Ready) fail("wait_event with an event in the socket");
      }
      drain();
    } else {
      // In pieces, each read before the next is sent: the reader sees the chunking.
      std::size_t piece = (mode >> 2) == 0 ? kMaxPiece : std::size_t{1} << ((mode >> 2) % 12);
      piece = std::clamp<std::size_t>(piece, chunk.size() / 64 + 1, kMaxPiece);  // few reads
      for (std::size_t at = 0; at < chunk.size(); at += piece) {
        send_all(pair_.far, chunk.substr(at, piece));
        drain();
      }
    }
    check_replies();
  }

  void take() {
    auto got = conn_.take_events();
    auto core_got = core_.take_events();
    const std::size_t from = model_.taken.size();
    const std::size_t n = model_.take();
    if (got.size() != n)
      fail("events taken", std::to_string(got.size()), std::to_string(n));
    if (core_got.size() != n)
      fail("events taken from the core", std::to_string(core_got.size()), std::to_string(n));
    for (std::size_t k = 0; k < n; ++k) {
      const WantEvent& want = model_.taken[from + k];
      const std::string w = describe(want.kind, want.tag, want.text, want.count);
      const qv::Incoming& in = got[k].in;
      const std::string g = describe(in.kind, in.tag, in.text, in.count);
      if (g != w) fail("event taken", g, w);
      const qv::Incoming& core_in = core_got[k].in;
      const std::string c = describe(core_in.kind, core_in.tag, core_in.text, core_in.count);
      if (c != w) fail("event taken from the core", c, w);
      if (have_seq_ && got[k].seq <= last_seq_) fail("event places grow", std::to_string(got[k].seq));
      have_seq_ = true;
      last_seq_ = got[k].seq;
    }
  }

  void mark(Kind kind) {
    conn_.mark(kind);
    core_.mark(kind);
    model_.push(WantEvent{kind, std::nullopt, {}, 0});
  }

  // The connection ends: the server closes its end (the reader finds it), or the program
  // disconnects, with or without a mark.
  void lose(std::uint8_t how) {
    if (!model_.connected) return;
    const bool by_server = (how & 1) != 0;
    const bool mark = by_server || (how & 2) != 0;
    core_lose(mark);
    if (by_server) {
      ::close(pair_.far);
      pair_.far = -1;
      // Reading finds the end: through a waiter (one still waiting, or for events) or
      // through read_arrived.
      Request* waiting = nullptr;
      for (auto& r : requests)
        if (r.registered && r.reply.state == State::Waiting) waiting = &r;
      if ((how & 4) != 0 && waiting != nullptr) {
        model_.lose(true);
        wait_ready(waiting->reply, "wait_reply across the server's close");
      } else if ((how & 4) != 0 && model_.queue.empty()) {
        // (With events queued already, a wait for events would end before reading.)
        model_.lose(true);
        std::uint64_t seen = conn_.event_generation();
        if (conn_.wait_event(Clock::now() + kWait, seen) != qv::WaitOutcome::Ready)
          fail("wait_event across the server's close");
      } else {
        model_.lose(true);
        for (int k = 0; k < 1000 && conn_.up(); ++k) conn_.read_arrived();
      }
    } else {
      model_.lose(mark);
      conn_.disconnect(mark);
    }
    check(!conn_.up(), "not connected once lost");
    check_replies();
    // Every request is answered or lost now: a wait ends at once.
    for (auto& r : requests) {
      if (!r.registered) continue;
      const auto out = conn_.wait_reply(r.reply, Clock::now() + kWait);
      if (out != qv::WaitOutcome::Ready) fail("wait_reply after the loss");
    }
  }

  void finish() {
    take();
    check(core_.idle(), "the core's table is empty once the connection is lost");
    if (!model_.connected) {
      // Nothing queued and nothing to read: a wait says so at once.
      std::uint64_t seen = conn_.event_generation();
      if (conn_.wait_event(Clock::now() + kWait, seen) != qv::WaitOutcome::Disconnected)
        fail("wait_event with nothing queued and no connection");
      qv::PendingReply late;
      late.tag = 1;
      check(!conn_.add(late), "add() without a connection");
    }
  }

  bool connected() const { return model_.connected; }

 private:
  void wait_ready(qv::PendingReply& reply, const char* what) {
    const auto out = conn_.wait_reply(reply, Clock::now() + kWait);
    if (out != qv::WaitOutcome::Ready) fail(what);
  }

  // Reads until the socket holds nothing unread.
  void drain() {
    for (int k = 0; k < 100000 && unread_bytes(pair_.near) > 0; ++k) conn_.read_arrived();
    check(unread_bytes(pair_.near) == 0, "read_arrived reads what arrived");
  }

  void check_replies() {
    static const char* names[] = {"Waiting", "Replied", "Lost"};
    for (const auto& r : requests) {
      if (!r.registered) continue;
      const std::string got = std::string(names[static_cast<int>(r.reply.state)]) + " " +
                              (r.reply.state == State::Replied ? r.reply.text : std::string());
      const std::string want = std::string(names[static_cast<int>(r.want)]) + " " +
                               (r.want == State::Replied ? r.want_text : std::string());
      if (got != want) fail(("reply to tag " + std::to_string(r.tag)).c_str(), got, want);
      const std::string core = std::string(names[static_cast<int>(r.core_state)]) + " " +
                               (r.core_state == State::Replied ? r.core_text : std::string());
      if (core != want) fail(("the core's reply to tag " + std::to_string(r.tag)).c_str(), core, want);
    }
  }

  // The core's side of a loss: every request it held is handed back; those whose waiters
  // are still there are lost.
  void core_lose(bool mark) {
    core_.lose(mark, [&](std::uint64_t tag, std::size_t i) {
      Request& r = requests[i];
      check(r.tag == tag, "a lost request comes with its own tag");
      if (!r.cancelled) r.core_state = State::Lost;
    });
    check(core_.idle(), "a loss leaves the core's table empty");
  }

  static inline const Clock::time_point kStart = Clock::now();

  Pair pair_;
  qv::SyncConnection conn_;
  Model model_;
  CoreSide core_;  // its payloads: indexes into `requests`
  Request login_;  // the Login of the connection under way
  unsigned adds_ = 0;
  bool have_seq_ = false;
  std::uint64_t last_seq_ = 0;
};

const std::string_view kWords[] = {
    "Response:", "Success", "Error", "Event:", "COMMANDTAG", "commandtag=3", "COMMANDTAG==3",
    "xCOMMANDTAG=3", "COMMANDTAG=3=", "Message:", "[...", "bytes", "cut]", "COMMANDTAG:3",
};
const std::string_view kDigits[] = {
    "18446744073709551615",   "18446744073709551616", "99999999999999999999",
    "000000000000000000000018446744073709551615",     "0",
    "",                       "184467440737095516150", "1844674407370955161",
    "007",                    "12a",                  "-1",
    "+1",                     "18446744073709551614", "28446744073709551615",
    "0000000000000000000000", "1e3",
};
const std::string_view kSpacing[] = {"\t", "\r", "\v", "\f", "\xc2\xa0", "\xe3\x80\x80", "\xc2\x85",
                                     "\xe2\x80\x8b", "\x00"};
const std::string_view kInvalid[] = {"\xff", "\xc3", "\xe2\x82", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                                     "\xc0\xaf", "\x80", "\xf0\x9f\x98"};

template <std::size_t N>
std::string_view pick(const std::string_view (&list)[N], std::uint8_t b) {
  return list[b % N];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::signal(SIGPIPE, SIG_IGN);  // as in the Python host
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  Input in{data, size};
  const std::uint8_t line_choice = in.byte();
  const std::uint8_t events_choice = in.byte();
  const std::uint8_t ending = in.byte();
  // Small limits often, so that cut lines are common; never so small that the Login's reply
  // ("COMMANDTAG=<n>") is cut.
  const std::size_t max_line = (line_choice & 0x80) != 0 ? qv::kMaxLineBytes : 16 + (line_choice & 0x7F);
  const std::size_t max_events = (events_choice & 0x80) != 0 ? 10000 : (events_choice & 0x0F);
  Run run(max_line, max_events);

  const std::size_t tags = in.byte() % 9;
  std::vector<std::size_t> initial;
  for (std::size_t i = 0; i < tags; ++i) {
    const std::uint64_t tag = tag_from_choice(in);
    bool seen = false;
    for (const auto& r : run.requests) seen = seen || r.tag == tag;
    if (seen) continue;  // one request per tag, as the sessions number them
    run.requests.emplace_back();
    run.requests.back().tag = tag;
    initial.push_back(run.requests.size() - 1);
  }
  run.connect(initial);

  std::string chunk;
  std::size_t streamed = 0;
  auto append = [&](std::string_view piece) {
    if (streamed + chunk.size() + piece.size() <= kMaxStream) chunk.append(piece);
  };
  auto flush = [&](std::uint8_t mode) {
    // (a) the tag of every line as the core finds it, raw and as shown.
    for (std::size_t start = 0;;) {
      const std::size_t end = chunk.find('\n', start);
      const std::string_view raw = std::string_view(chunk).substr(start, end - start);
      const auto got = qv::find_command_tag(raw);
      const auto want = model_tag(raw);
      if (got != want) fail("find_command_tag on raw bytes", show_tag(got) + " in " + escaped(raw), show_tag(want));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    {
      const auto got = qv::find_command_tag(chunk);
      const auto want = model_tag(chunk);
      if (got != want) fail("find_command_tag on a whole chunk", show_tag(got), show_tag(want));
    }
    streamed += chunk.size();
    run.deliver(chunk, mode);
    chunk.clear();
  };
  auto request_index = [&](std::uint8_t b) -> std::optional<std::size_t> {
    if (run.requests.empty()) return std::nullopt;
    return b % run.requests.size();
  };

  while (!in.empty()) {
    const std::uint8_t op = in.byte();
    const std::uint8_t arg = in.byte();
    switch (op % 20) {
      case 0:
      case 1: {
        if (auto i = request_index(arg)) append("COMMANDTAG=" + std::to_string(run.requests[*i].tag));
        else append("COMMANDTAG=" + std::to_string(arg));
        break;
      }
      case 2:
        append("COMMANDTAG=" + std::to_string(arg % 16));
        break;
      case 3:
        append("COMMANDTAG=" + std::string(pick(kDigits, arg)));
        break;
      case 4:
        append(pick(kWords, arg));
        break;
      case 5:
        append(std::string(1 + arg % 4, ' '));
        break;
      case 6:
        append(pick(kSpacing, arg));
        break;
      case 7:
        append(pick(kInvalid, arg));
        break;
      case 8:
      case 9:
        append("\n");
        break;
      case 10:
        append("\r\n");
        break;
      case 11: {  // a long run
        static const std::string_view kRun[] = {"a", " ", "\xe2\x82\xac", "9", "\xf0\x9f\x98\x80", "\xff"};
        const std::string_view unit = kRun[arg % 6];
        std::string long_run;
        for (std::size_t k = 0; k < (1 + arg / 6u) * 48u; ++k) long_run.append(unit);
        append(long_run);
        break;
      }
      case 12:
        append(in.bytes(1 + arg % 32));
        break;
      case 13:
      case 14:
        flush(arg);
        break;
      case 15:
        flush(0);
        run.take();
        break;
      case 16:
        run.expire(arg & 0x7F);
        break;
      case 17:
        if (auto i = request_index(arg)) {
          if ((arg & 0x80) != 0) run.remove(*i, (arg & 0x40) != 0);
          else run.add(*i);
        }
        break;
      case 18:
        run.mark((arg & 1) != 0 ? Kind::Reconnected : Kind::Lost);
        break;
      case 19: {
        flush(0);
        run.lose(arg);
        std::vector<std::size_t> again;
        for (std::size_t i = 0; i < run.requests.size(); ++i)
          if ((arg >> (3 + i % 5)) & 1) again.push_back(i);
        run.connect(again);
        break;
      }
    }
  }
  flush(ending);
  run.lose(ending >> 2);
  run.finish();
  return 0;
}
