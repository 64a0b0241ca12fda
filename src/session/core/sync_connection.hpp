#pragma once
// One session's connection as threads share it. There is no reader thread: whoever waits
// reads. Of the threads waiting (for their replies, or for events), one at a time takes the
// reader's role: it waits on the socket, routes every line it reads (a reply to the waiter
// registered with its tag, anything else to the events), and hands the role on when its own
// wait is over. A sender waiting for room takes the role too, so that a server blocked on
// its own replies is read from. A reply so costs no thread hand-off when one thread waits,
// and nothing is read while nobody waits: unread events stay in the socket, which holds the
// server back.
// The requests, their routing and what a loss does to them are the session core's
// (SessionCore, shared with AsyncSession); this class adds the locking, the reader's role and
// the socket. Never touches Python: the Python layer calls in with the interpreter lock
// released.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "net/socket.hpp"
#include "session/core/event_queue.hpp"
#include "session/core/line_router.hpp"
#include "session/core/session_core.hpp"

namespace qv {

using SteadyClock = std::chrono::steady_clock;
using SteadyTime = SteadyClock::time_point;
inline constexpr SteadyTime kNoDeadline = SteadyTime::max();

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

// Sending on the connection's socket, for the bytes of whole lines.
struct SendStep {
  enum class State : std::uint8_t { Done, Slice, Interrupted, Failed };
  State state;
  int err = 0;  // Failed: the errno
};

class SyncConnection {
 public:
  // `max_events`: event lines queued and not taken beyond this are dropped (counted).
  // `hand_back`: once this many are queued, a thread that would read stops and returns
  // (Slice), so that its caller takes them (take_events()) before it reads on.
  SyncConnection(std::size_t max_line, std::size_t max_events, std::size_t hand_back = SIZE_MAX);
  ~SyncConnection();
  SyncConnection(const SyncConnection&) = delete;
  SyncConnection& operator=(const SyncConnection&) = delete;

  // -- connection ---------------------------------------------------------------------------
  // One thread at a time connects: true when the caller is to (then end_connect() after),
  // false when another thread is connecting (wait_connecting() waits for it to finish).
  bool begin_connect();
  // Until no thread is connecting (Ready), or until `until` (Slice).
  WaitOutcome wait_connecting(SteadyTime until);
  // The new socket, taken over. Requests can be registered and sent on it at once (the
  // login), while connected() says false to other threads until end_connect().
  void attach(int fd);
  void end_connect();
  // Connected, and not in the middle of connecting.
  bool connected();
  // Ends the connection. Every request waiting is lost; when `mark`, the events record the
  // point where the connection was lost. Threads blocked on the socket wake at once.
  void disconnect(bool mark);

  // -- requests ---------------------------------------------------------------------------
  // Registered before their lines are sent, so that even an immediate reply finds them, each
  // under a new tag (set in it, also when refused). False when not connected (then none is
  // registered). Throws std::bad_alloc (likewise).
  bool add_new(std::span<PendingReply> replies);
  // The same under the tag the reply carries, not in use (for a test's own tags).
  bool add(PendingReply& reply);
  // Unregisters a request that is given up; a reply coming later is an event. After it the
  // reply's state can be read without a race (a reader may be routing into it until then).
  void remove(PendingReply& reply);
  // Until `reply` is answered or lost, or until `until`; reads when nobody else does.
  WaitOutcome wait_reply(PendingReply& reply, SteadyTime until);

  // -- events -----------------------------------------------------------------------------
  // Until an event or mark is queued, or until `until`.
  WaitOutcome wait_event(SteadyTime until);
  // Wakes the threads in wait_event(): events taken from here were handed on to them another
  // way (by the thread that took them).
  void wake_event_waiters();
  // Reads what has arrived, without waiting, if nobody else is reading: a connection the
  // server closed while nobody waited shows as lost here.
  void read_arrived();
  // Whether data was read in the last `span`: the connection was alive then.
  bool read_within(SteadyClock::duration span);
  // The queued events and marks, in order; their lines count as held by the program until
  // consumed() says it took them.
  std::deque<QueuedEvent> take_events();
  void consumed(std::size_t lines);
  void mark(Incoming::Kind kind);

  // -- monitoring -------------------------------------------------------------------------
  struct Snapshot {
    std::size_t pending;        // requests waiting for their replies
    std::size_t queued_events;  // event lines read and not yet taken
    std::uint64_t events;       // event lines read over the connection's life
    std::uint64_t dropped;      // ... of them dropped (max_events were held)
  };
  Snapshot snapshot();

  // -- sending ----------------------------------------------------------------------------
  // Held by the one thread sending; lines never interleave. Timed, so that a thread queued
  // behind a sender the server does not read from still ends at its own deadline.
  std::timed_mutex& send_mutex() noexcept { return send_mutex_; }
  // Writes data[written, size) (written is advanced), waiting for room until `until` (with
  // `until` in the past: not waiting at all). While it waits it also reads, when nobody else
  // does: a server that answers as it reads blocks on its own sends once our receive side is
  // full, and would never read the rest. Call with send_mutex held.
  SendStep send(const char* data, std::size_t size, std::size_t& written, SteadyTime until);

 private:
  // Reads until ready(), or until `until`. `quick_ack`: acknowledge at once from the first
  // read on (a wait for events); otherwise only once data came that did not end the wait.
  template <class Ready>
  WaitOutcome wait(Ready ready, SteadyTime until, bool quick_ack);
  // Waits for data until `until` and routes what it reads; called by the reader, unlocked.
  enum class Read : std::uint8_t { Data, Nothing, Interrupted, Ended };
  Read read_once(int fd, SteadyTime until);
  // Receives what the socket holds now, without waiting, and routes it; called by the reader.
  Read receive_now(int fd);
  Read route_received(ssize_t received);  // what a recv() into buffer_ returned
  void route_locked(const char* data, std::size_t size);
  void lose_locked(bool mark);
  void release_locked();  // one user of the socket is done with it
  int use_locked();       // the socket for one more user, or -1

  std::mutex mutex_;
  std::condition_variable changed_;
  int fd_ = -1;
  int closing_fd_ = -1;  // shut down, closed when its last user is done
  int users_ = 0;        // threads using the socket (the reader, a sender)
  bool reading_ = false;
  bool connecting_ = false;
  SessionCore<PendingReply*> core_;
  CountedEvents<QueuedEvent> events_;
  std::size_t hand_back_;
  std::uint64_t event_wakes_ = 0;
  SteadyTime last_read_{};
  std::unique_ptr<char[]> buffer_;  // the reader's receive buffer
  std::timed_mutex send_mutex_;
};

}  // namespace qv
