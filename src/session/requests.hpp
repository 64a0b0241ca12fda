#pragma once
// What the two session classes share about one request: reading the command a caller gives,
// the tagged line, the reply and its failure rule, and the texts of the errors a wait raises.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/line_buffer.hpp"
#include "commands/core/command.hpp"
#include "binding/ref.hpp"
#include "session/settings.hpp"

namespace qv::py {

// The command word of a request, for messages: the catalogue's own text for a command (so
// that keeping it costs nothing), a copy for a raw text.
class CommandWord {
 public:
  CommandWord() = default;
  explicit CommandWord(std::string_view catalogue_name) : fixed_(catalogue_name) {}
  explicit CommandWord(std::string own) : own_(std::move(own)) {}
  std::string_view view() const noexcept { return own_.empty() ? fixed_ : std::string_view(own_); }

 private:
  std::string_view fixed_;
  std::string own_;
};

// A buffer a request builds its line in: the calling thread's own (a session may send from
// several threads at once, each with the interpreter lock released), kept between calls so
// that a request costs no allocation; or, for a call made while an outer call of the same
// thread still holds that one (from a log handler or a predicate that ran meanwhile), a
// buffer of its own, so the outer call's line is never overwritten. `Slot` tells the
// thread's buffers apart (the untagged line, the wire line).
template <int Slot>
class LineLease {
 public:
  LineLease() {
    Kept& kept = kept_();
    if (kept.busy) {
      own_ = std::make_unique<LineBuffer>();
      line_ = own_.get();
    } else {
      kept.busy = true;
      kept_here_ = &kept;
      line_ = &kept.line;
    }
  }
  ~LineLease() {
    if (kept_here_) {
      line_->release_if_large();
      kept_here_->busy = false;
    }
  }
  LineLease(const LineLease&) = delete;
  LineLease& operator=(const LineLease&) = delete;
  LineBuffer& get() noexcept { return *line_; }

 private:
  struct Kept {
    LineBuffer line;
    bool busy = false;
  };
  static Kept& kept_() {
    thread_local Kept kept;
    return kept;
  }
  LineBuffer* line_;
  Kept* kept_here_ = nullptr;  // the thread's buffer, when this lease holds it
  std::unique_ptr<LineBuffer> own_;
};
using RequestLine = LineLease<0>;
using WireLine = LineLease<1>;

// A request's line, without its tag: `command` is a Command, or a text sent as it is (one
// line: a carriage return or line feed is refused). The command word (for messages) goes to
// `word`. False with the error set, naming the argument ("argument 'command'") and, for an
// element of it, the element's index.
bool build_request_line(PyObject* command, std::string_view argument,
                        std::optional<std::size_t> element, LineBuffer& line, std::string& word);
void build_command_line(const Command& command, LineBuffer& line);

// The reply to a request, after the failure rule: the reply, or null with ServerError (or the
// predicate's own exception) set.
Ref checked_reply(const SessionSettings& settings, std::string_view word, Ref reply);

// The default of every wait limit a session call takes: "the session's own timeout". Shown
// in signatures by this name, which inspect evaluates; inspect only takes a default that is
// a str, int, float, bytes, bool or None, so the sentinel is the one instance of a final str
// subclass (never taken for a number of seconds anywhere).
#define QV_SESSION_TIMEOUT_NAME "quelvant_rs.session.SESSION_TIMEOUT"
// The default of is_failure, made the same way: a reply whose first word is ERROR (the reply
// format the stand-in server documents) is a failure.
#define QV_ERROR_REPLIES_NAME "quelvant_rs.session.ERROR_REPLIES"
// Makes the sentinels once; false with the error set.
bool init_sentinels();
// The sentinels (borrowed; they live as long as the process), once init_sentinels ran.
PyObject* session_timeout();
PyObject* error_replies();

// The limit of one wait: the call's own `timeout` argument when given (None: forever), else
// (left out, or the sentinel) the session's. False with the error set.
bool wait_limit(const SessionSettings& settings, PyObject* timeout_arg, const Param& param,
                std::optional<double>& limit);

// How a given `reply_timeout` converts (seconds, or None), for every per-command method.
const Param& reply_timeout_param();

void raise_timeout(std::string_view word, std::uint64_t tag, std::optional<double> limit);
// The line of `word` could not be sent in time; `why` says what held it up.
void raise_send_timeout(std::string_view word, std::uint64_t tag, std::optional<double> limit,
                        std::string_view why);
void raise_lost(std::string_view word, std::uint64_t tag, bool closed_by_program);
void raise_closed();
void raise_forked();
// At the point of the stream where the connection was lost.
void raise_events_lost();
// A request that never went: its limit ran out while the session connected again
// (TimeoutError), or each connection was lost before its line could go (ConnectionError).
void raise_not_sent_in_time(std::string_view word, std::optional<double> limit);
void raise_not_sent_lost(std::string_view word);
// wait_for: nothing matched in time. When `unseen` events that came after the caller's last
// request were dropped from the recent window before it looked, it says so, and what to use.
void raise_no_event(std::optional<double> limit, std::uint64_t unseen = 0, bool at_least = false,
                    std::size_t max_events = 0);

// The place in a session's event stream of the calling thread's or task's last request, in a
// context variable (each task and each thread has its own context). A context keeps every
// variable ever set in it, so a variable per session would leave an entry behind in each
// thread's context for every session it ever used: sessions take their variable from a pool
// (as large as the most sessions alive at once) and give it back when destroyed, and the value
// names the session it is of, so one an earlier owner left reads as none.
class RequestMarker {
 public:
  RequestMarker() = default;
  RequestMarker(const RequestMarker&) = delete;
  RequestMarker& operator=(const RequestMarker&) = delete;
  ~RequestMarker();  // with the interpreter lock held, as a session's state is destroyed

  void note(std::uint64_t position);  // the variable is taken on first use
  std::optional<std::uint64_t> last() const;

 private:
  Ref var_;
  Ref owner_;  // this session's serial, an int: the first item of the value
};
// completion(): no later line of the request of `tag` came in time.
void raise_no_completion(std::uint64_t tag, std::optional<double> limit);

}  // namespace qv::py
