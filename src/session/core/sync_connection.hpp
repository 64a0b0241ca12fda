#pragma once
// One session's connection as threads share it. There is no reader thread: whoever waits
// reads. Of the threads waiting (for their replies, or for events), one at a time takes the
// reader's role: it waits on the socket, routes every line it reads (a reply to the waiter
// registered with its tag, anything else to the events), and hands the role on when its own
// wait is over. A sender waiting for room takes the role too, so that a server blocked on
// its own replies is read from. A reply so costs no thread hand-off when one thread waits,
// and nothing is read while nobody waits: unread events stay in the socket, which holds the
// server back.
//
// The connection's life is the Link's (link.hpp), kept here under the lock: one thread at a
// time drives it (claim(), advance(), finish_connect()), the others wait for it. The requests,
// their routing and what a loss does to them are the session core's (SessionCore, shared with
// AsyncSession); this class adds the locking, the reader's role and the socket. A request is
// one call (exchange()): registered and tagged, sent, waited for, and taken out again. Never
// touches Python: the Python layer's WaitHooks give the interpreter up while a thread blocks,
// and run what must run with it between the slices of a wait.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "net/line_buffer.hpp"
#include "net/socket.hpp"
#include "session/core/event_queue.hpp"
#include "session/core/line_router.hpp"
#include "session/core/link.hpp"
#include "session/core/session_core.hpp"

namespace qv {

using SteadyClock = std::chrono::steady_clock;
using SteadyTime = SteadyClock::time_point;
inline constexpr SteadyTime kNoDeadline = SteadyTime::max();

// How long a thread blocks before its WaitHooks get the interpreter back (to run signal
// handlers and hand events on): a Ctrl-C is answered within this.
inline constexpr auto kWaitSlice = std::chrono::milliseconds(50);

// One request waiting for its reply; lives on the waiting thread's stack.
struct PendingReply {
  enum class State : std::uint8_t { Waiting, Replied, Lost };
  std::uint64_t tag = 0;
  State state = State::Waiting;
  std::string text;  // the reply's line, once Replied
};

enum class WaitOutcome : std::uint8_t {
  Ready,         // what was waited for is there (or the request was lost)
  Slice,         // the deadline given passed first
  Interrupted,   // a signal interrupted the wait
  Disconnected,  // no connection to wait on
};

// The waiting thread's side of a wait, given by the Python layer.
class WaitHooks {
 public:
  // Around every blocking step: the interpreter is given up, and taken back.
  virtual void release() noexcept = 0;
  virtual void reacquire() noexcept = 0;
  // With the interpreter, after a signal or a slice of a wait to send: runs the signal
  // handlers; false ends the wait (the hooks set the error for their caller).
  virtual bool check_signals() = 0;
  // The same between the slices of a wait for a reply, where the events read meanwhile are
  // handed on too.
  virtual bool between() = 0;
  // With the interpreter, once the lines have left and no lock is held (the wire trace):
  // false ends the wait likewise.
  virtual bool sent(std::string_view wire) = 0;
  // With the interpreter, once the requests have their tags and before anything leaves (what
  // is kept for their later lines). Throws std::bad_alloc (the requests are let go of).
  virtual void tagged(std::span<const PendingReply> replies) = 0;

 protected:
  ~WaitHooks() = default;
};

// Why a line could not be sent in time.
enum class SendHold : std::uint8_t {
  OtherSender,     // another thread's line was still being sent; this one was not sent
  NotRead,         // the server does not read; nothing of it was sent
  TooSlow,         // the server reads too slowly: cut short, the connection given up
  StoppedReading,  // the server stopped reading: cut short, the connection given up
};

struct Exchange {
  enum class Outcome : std::uint8_t {
    Done,          // each request replied, lost, or still waiting (the deadline came first)
    NotConnected,  // nothing was sent: the connection is not up (lost just now, say)
    Stopped,       // the hooks ended it (their error is set)
    SendFailed,    // the connection was lost while sending (`err`)
    SendTimedOut,  // the lines could not be sent by the deadline (`hold`)
    Reentrant,     // this very thread is sending on the connection already
  };
  Outcome outcome = Outcome::Done;
  int err = 0;
  SendHold hold = SendHold::NotRead;
};

class SyncConnection {
 public:
  // `max_events`: event lines queued and not taken beyond this are dropped (counted).
  // `hand_back`: once this many are queued, a thread waiting for a reply goes back to its
  // hooks between() (which hands them on) before it reads on.
  SyncConnection(LinkConfig link, std::size_t max_line, std::size_t max_events,
                 std::size_t hand_back = SIZE_MAX);
  ~SyncConnection();
  SyncConnection(const SyncConnection&) = delete;
  SyncConnection& operator=(const SyncConnection&) = delete;

  // -- the connection's life ----------------------------------------------------------------
  enum class Role : std::uint8_t {
    Up,     // logged in: nothing to do
    Mine,   // the caller connects: it drives `first` on with advance(), then finish_connect()
    Other,  // another thread connects: wait_connecting()
    Own,    // the calling thread connects already (a call from inside its own login)
  };
  Role claim(LinkStep& first, std::optional<CallBound> bound = std::nullopt);
  // The link's transition for what happened, under the lock.
  LinkStep advance(LinkInput input);
  // The socket of the address that connected, taken over; the Login can be exchanged on it.
  void attach(int fd);
  // The connecting thread is done (up, failed or given up): the others wake.
  void finish_connect();
  // Until nobody connects (Ready), or until `until` (Slice).
  WaitOutcome wait_connecting(SteadyTime until);
  // The link's state as it was last changed, read without the lock.
  LinkState state() const noexcept { return shown_.load(std::memory_order_acquire); }
  bool up() const noexcept { return state() == LinkState::Up; }
  bool ever_up();
  // Ends the connection. Every request waiting is lost; when `mark`, the events record the
  // point where the connection was lost. Threads blocked on the socket wake at once.
  void disconnect(bool mark);
  // Ends it for good (close()): every call from here on fails.
  void close();
  // Sleeps until `until`, or until close(); false once the session is closed.
  bool pause(SteadyTime until);

  // -- requests -----------------------------------------------------------------------------
  // The request protocol in one call: every line in `lines` (a command's text, untagged) is
  // registered under a new tag (set in its PendingReply) before anything leaves, sent tagged
  // in one write (the wire line is built in `wire`), and its reply waited for until
  // `deadline`, slice by slice; what is still waiting then is taken out again (a reply that
  // comes later is an event). Called with the interpreter held: the hooks give it up while
  // the thread blocks.
  Exchange exchange(std::span<const std::string_view> lines, std::span<PendingReply> replies,
                    LineBuffer& wire, SteadyTime deadline, WaitHooks& hooks);
  // The same for the Login of a connection being made, under the tag the link gave it.
  Exchange log_in(std::string_view line, PendingReply& reply, LineBuffer& wire,
                  SteadyTime deadline, WaitHooks& hooks);

  // The primitives exchange() is made of, for a harness that picks its own tags: registers a
  // request under the tag the reply carries (false when not connected); takes it out again
  // (after which its state can be read without a race); waits for it without hooks.
  bool add(PendingReply& reply);
  void remove(PendingReply& reply);
  WaitOutcome wait_reply(PendingReply& reply, SteadyTime until);

  // -- events -------------------------------------------------------------------------------
  // Until something happened since `seen` (an event or mark was queued, or the waiters were
  // woken), or until `until`; reads when nobody else does. `seen` is updated.
  WaitOutcome wait_event(SteadyTime until, std::uint64_t& seen);
  // What wait_event() compares with: a caller takes it before it looks at the events.
  std::uint64_t event_generation();
  // Wakes the threads in wait_event(): events taken from here were handed on to them another
  // way (by the thread that took them).
  void wake_event_waiters();
  // Reads what has arrived, without waiting, if nobody else is reading: a connection the
  // server closed while nobody waited shows as lost here.
  void read_arrived();
  // The queued events and marks, in order.
  std::deque<QueuedEvent> take_events();
  void mark(Incoming::Kind kind);
  // Whether events or marks were queued since they were last taken, asked without the lock
  // (a request asks it each time: those read meanwhile are handed on after it).
  bool events_queued() const noexcept { return queued_.load(std::memory_order_relaxed); }

  // -- monitoring ---------------------------------------------------------------------------
  struct Snapshot {
    std::size_t pending;        // requests waiting for their replies (not the Login)
    std::size_t queued_events;  // event lines read and not yet taken
    std::uint64_t events;       // event lines read over the connection's life
    std::uint64_t dropped;      // ... of them dropped here (max_events were queued)
    LinkState state;
  };
  Snapshot snapshot();

 private:
  enum class Read : std::uint8_t { Data, Nothing, Interrupted, Ended };
  enum class Waited : std::uint8_t { Ready, TimedOut, Stopped, Disconnected };

  Exchange run(std::span<const std::string_view> lines, std::span<PendingReply> replies,
               LineBuffer& wire, SteadyTime deadline, WaitHooks& hooks, bool login);
  // Sends `wire` whole, with the send lock, waiting for room (and reading meanwhile) until
  // `deadline`. Gives back the socket's use taken for it.
  Exchange send_wire(int fd, const LineBuffer& wire, SteadyTime deadline, WaitHooks& hooks);
  // Waits until ready(), slice by slice, with the hooks between the slices.
  template <class Ready>
  Waited wait_hooked(Ready ready, SteadyTime deadline, WaitHooks& hooks, bool quick_ack);
  // Reads until ready(), or until `until`. `quick_ack`: acknowledge at once from the first
  // read on (a wait for events); otherwise only once data came that did not end the wait.
  template <class Ready>
  WaitOutcome wait(Ready ready, SteadyTime until, bool quick_ack);
  Read read_once(int fd, SteadyTime until);
  Read receive_now(int fd);
  Read route_received(ssize_t received);  // what a recv() into buffer_ returned
  void route_locked(const char* data, std::size_t size);
  void lose_locked(bool mark);
  void unregister(std::span<PendingReply> replies);
  // The link's transition, under the lock; its state shown to readers without it.
  LinkStep transition_locked(LinkInput input);
  void release_locked();  // one user of the socket is done with it
  int use_locked();       // the socket for one more user, or -1
  char* buffer();

  std::mutex mutex_;
  std::condition_variable changed_;
  Link link_;
  std::atomic<LinkState> shown_{LinkState::Down};
  std::thread::id connector_;  // the thread driving the link while it connects
  int fd_ = -1;
  int closing_fd_ = -1;  // shut down, closed when its last user is done
  int users_ = 0;        // threads using the socket (the reader, a sender)
  bool reading_ = false;
  SessionCore<PendingReply*> core_;
  EventQueue<QueuedEvent> events_;
  std::size_t hand_back_;
  std::uint64_t generation_ = 0;  // counts events queued and wake-ups
  std::atomic<bool> queued_{false};  // events_ has entries (kept with it, under the lock)
  SteadyTime last_read_{};
  std::unique_ptr<char[]> buffer_;  // the reader's receive buffer
  std::timed_mutex send_mutex_;
  std::atomic<std::thread::id> sender_{};  // the thread holding send_mutex_
};

}  // namespace qv
