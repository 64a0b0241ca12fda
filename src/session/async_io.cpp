// AsyncSession's socket: what is queued goes out once per loop iteration, and what arrives
// is read by the loop's callback and routed by the session core: each reply is taken out of
// the core's request table, and only once every line read is routed are the futures waiting
// for them resolved.
#include <sys/socket.h>

#include <cerrno>
#include <new>

#include "binding/boundary.hpp"
#include "commands/core/wire_line.hpp"
#include "net/socket.hpp"
#include "session/async_session.hpp"
#include "session/asyncio_api.hpp"
#include "session/py_received.hpp"
#include "session/wire_log.hpp"

namespace qv::py {

namespace {

PyObject* on_readable(PyObject* self, PyObject*);
PyObject* on_writable(PyObject* self, PyObject*);
PyMethodDef g_on_writable = {"_writable", method_entry<on_writable>(), METH_NOARGS, nullptr};
PyMethodDef g_do_flush = {"_flush", method_entry<on_writable>(), METH_NOARGS, nullptr};

Ref fd_object(int fd) { return Ref::steal(PyLong_FromLong(fd)); }

}  // namespace

PyMethodDef g_on_readable = {"_readable", method_entry<on_readable>(), METH_NOARGS, nullptr};

bool watch(AsyncState& s, PyObject* self, const char* method, PyMethodDef* def, int fd) {
  Ref number = fd_object(fd < 0 ? s.fd : fd);
  return number && loop_call(s, method, self, def, number.get());
}

bool unwatch(AsyncState& s, const char* method, int fd) {
  Ref number = fd_object(fd < 0 ? s.fd : fd);
  return number && aio::call(s.loop.get(), method, number.get());
}

bool trace_sent(AsyncState& s, const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    if (!wire_log::lines(s.settings.server, s.settings.port, true, line)) return false;
  return true;
}

void queue_line(AsyncState& s, const LineBuffer& text, std::uint64_t tag,
                std::vector<std::string>* traced) {
  const bool up = s.link.up();
  (up ? s.out : s.queued).add(text.view(), tag);
  ++s.counts.requests;
  s.request_marker.note(s.events.position());
  // One queued while connecting is traced once logged in, after the Login.
  if (!traced || !up) return;
  LineBuffer wire;
  wire.append(text.view());
  append_tag_suffix(wire, tag);
  traced->emplace_back(wire.view());
}

bool flush(PyObject* self) {
  AsyncState& s = async_of(self);
  s.flush_scheduled = false;
  s.tracing = wire_log::tracing();  // for the lines queued until the next batch
  if (s.tracing < 0) return false;
  // The socket is read from once it connected (logging in, up, or closing now).
  if (s.fd < 0 || !s.reading) return true;
  bool wrote = false;
  for (;;) {
    const std::string_view next = s.out.next();
    if (next.empty()) break;
    std::size_t written = 0;
    const SendAvailable some = send_available(s.fd, next.data(), next.size(), written);
    s.out.sent(written);
    wrote = wrote || written > 0;
    if (some.state == SendAvailable::State::Done) continue;
    if (some.state == SendAvailable::State::Interrupted) continue;
    if (some.state == SendAvailable::State::Failed) return lose(self, true);
    // The server does not read: the loop tells when there is room.
    s.ack_owed = false;
    if (!s.writing && !watch(s, self, "add_writer", &g_on_writable)) return false;
    s.writing = true;
    return true;
  }
  // What came since the last write is acknowledged by the lines just written, or, when
  // nothing was, at once: a server holding its next small write for our acknowledgement
  // (Nagle's algorithm) would otherwise wait for a delayed one, tens of milliseconds. Not on
  // every read: one acknowledgement of its own for each reply would cost a packet per request.
  if (s.ack_owed && !wrote) rearm_quick_ack(s.fd);
  s.ack_owed = false;
  if (s.writing) {
    if (!unwatch(s, "remove_writer")) return false;
    s.writing = false;
  }
  return true;
}

bool schedule_flush(PyObject* self) {
  AsyncState& s = async_of(self);
  if (s.flush_scheduled || s.writing || !s.link.up()) return true;
  s.flush_scheduled = true;
  return loop_call(s, "call_soon", self, &g_do_flush);
}

namespace {

PyObject* on_writable(PyObject* self, PyObject*) {
  return flush(self) ? Py_NewRef(Py_None) : nullptr;
}

// A reply taken out of the table, to be judged once every line read is routed.
struct Answer {
  std::uint64_t tag;
  Request request;
  std::string text;
};

// One answer: judged by is_failure (Python code, run with the tables consistent), then
// handed to its future, or held as an event when nobody waits for it any more.
bool answer(PyObject* self, Answer& a) {
  AsyncState& s = async_of(self);
  Ref reply = make_reply(a.tag, a.text, std::move(a.request.completion));
  if (reply) reply = checked_reply(s.settings, a.request.word.view(), std::move(reply));
  if (a.request.login) return login_answered(self, std::move(reply));
  if (a.request.batch != 0) {
    if (!s.batches.find(a.request.batch)) {  // given up meanwhile
      PyErr_Clear();
      s.events.offer(Incoming{Incoming::Kind::Line, a.tag, std::move(a.text), 0});
      return true;
    }
    return settle_batch_member(self, a.request, std::move(reply));
  }
  Ref exc;
  if (!reply) exc = Ref::steal(take_raised_exception());
  const int done = aio::is_done(a.request.future.get());
  if (done < 0) return false;
  if (done) {  // cancelled meanwhile: the reply is an event, never lost
    s.events.offer(Incoming{Incoming::Kind::Line, a.tag, std::move(a.text), 0});
    return true;
  }
  if (!reply) set_raised_exception(exc.release());
  return settle(a.request.future.get(), reply.get());
}

// Routes the complete lines in `data` through the core: each reply is taken out of the table
// first, for all lines, and only then are the answers judged and handed out. A reply whose
// wait is over (its task, or its batch's, was cancelled in this loop iteration) is an event.
bool route_received(PyObject* self, const char* data, std::size_t size) {
  AsyncState& s = async_of(self);
  std::vector<Answer> answers;
  std::vector<std::uint64_t> dropped_batches;
  FirstError error;
  const auto wanted = [&](const Request& request) {
    if (request.login) return true;
    PyObject* future = request.future.get();
    if (request.batch != 0) {
      const Batch* batch = s.batches.find(request.batch);
      future = batch ? batch->future.get() : nullptr;
    }
    const int done = future ? aio::is_done(future) : 0;
    if (done < 0) error.keep();
    if (done != 0 && request.batch != 0) dropped_batches.push_back(request.batch);
    return done == 0;
  };
  // Traced lines are copied as they are routed and logged once routing is over (logging is
  // Python code, never run inside the core's routing).
  s.tracing = wire_log::tracing();
  if (s.tracing < 0) {
    error.keep();
    s.tracing = 0;
  }
  std::vector<std::string> traced;
  struct Events {
    AsyncState& s;
    std::vector<std::string>* traced;
    std::size_t push(Incoming&& in) {
      if (traced) traced->push_back(in.text);
      s.events.offer(std::move(in));
      return 0;
    }
  } events{s, s.tracing > 0 ? &traced : nullptr};
  bool whole = true;
  try {
    s.core.feed(data, size, events, wanted,
                [&](std::uint64_t tag, Request&& request, std::string&& text) {
                  if (s.tracing > 0) traced.push_back(text);
                  answers.push_back(Answer{tag, std::move(request), std::move(text)});
                });
  } catch (const std::bad_alloc&) {
    // Out of memory for a line: the stream cannot go on whole, so the connection is lost
    // (once the replies taken out so far are handed out).
    whole = false;
  }
  for (const std::string& line : traced)
    if (!wire_log::lines(s.settings.server, s.settings.port, false, line)) error.keep();
  for (const std::uint64_t batch : dropped_batches) (void)give_up_batch(s, batch);
  s.counts.replies += answers.size();
  for (Answer& a : answers) {
    if (!answer(self, a)) error.keep();
  }
  if (!whole && !lose(self, true)) error.keep();
  return error.restore();
}

PyObject* on_readable(PyObject* self, PyObject*) {
  AsyncState& s = async_of(self);
  if (s.fd < 0) Py_RETURN_NONE;
  if (!s.buffer) s.buffer = std::make_unique_for_overwrite<char[]>(kSessionReceiveBytes);
  const ssize_t received = ::recv(s.fd, s.buffer.get(), kSessionReceiveBytes, MSG_DONTWAIT);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    Py_RETURN_NONE;
  FirstError error;
  if (received <= 0) {  // closed, or broken (a reset, say)
    if (!lose(self, true)) error.keep();
  } else {
    s.ack_owed = true;
    if (!route_received(self, s.buffer.get(), static_cast<std::size_t>(received))) error.keep();
  }
  if (!s.events.pump()) error.keep();
  // The flush after the tasks woken here have run acknowledges what came (see flush()).
  if (s.ack_owed && !schedule_flush(self)) error.keep();
  if (!error.restore()) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

}  // namespace qv::py
