#pragma once
// What Session and AsyncSession share about their classes: the signatures of the calls both
// have, and the making of the class itself from its own methods and the per-command ones.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "net/line_buffer.hpp"
#include "commands/core/catalogue.hpp"
#include "binding/args.hpp"
#include "session/event_pipeline.hpp"
#include "session/settings.hpp"

namespace qv::py {

struct SessionSignatures {
  Signature constructor;
  Signature request;        // (command, timeout=SESSION_TIMEOUT)
  Signature request_batch;  // (commands, timeout=SESSION_TIMEOUT)
  Signature events;         // (timeout=SESSION_TIMEOUT)
  Signature wait_for;       // (predicate, timeout=SESSION_TIMEOUT)
  Signature subscribe;      // (predicate=None, *, max_pending=10000)
  Signature get;            // a subscription's (timeout=SESSION_TIMEOUT)
  Signature resource;       // (resource_id, *, max_pending=10000)
  Signature completion;     // (reply, timeout=SESSION_TIMEOUT)
  Signature handle_get;     // a resource handle's (timeout=SESSION_TIMEOUT)
  Signature handle_wait_for;  // a resource handle's (predicate=None, timeout=SESSION_TIMEOUT)
  Param timeout;            // how a given timeout converts: seconds, or None
  Param max_pending;
  Param resource_id;
};

// Fills `sigs` for the class `owner`; false with the error set.
bool make_session_signatures(SessionSignatures& sigs, const char* owner);

// Binds a call of `sig` (one of `sigs`' calls, whose last parameter is the timeout): its
// first argument (null when it has no other), and the wait's limit. False with the error set.
bool bind_session_call(const SessionSignatures& sigs, const Signature& sig,
                       const SessionSettings& settings, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject*& first, std::optional<double>& limit);

// The completion box of `reply`, a Reply of this session's pipeline; null with TypeError or
// ValueError set otherwise.
std::shared_ptr<CompletionBox> completion_box(PyObject* reply, const EventPipeline& events);

// The one text of `key` ("Session.request", see session/core/session_docs.hpp), kept for the
// process; with a text signature, that first ("request($self, /, command)" and "--").
const char* documented(std::string_view key, std::string_view signature = {});
// A method of a session-layer class, documented from the same table.
PyMethodDef method(const char* owner, const char* name, PyCFunction function, int flags,
                   std::string_view signature = {});

// wait_for's predicate must be callable; false with TypeError set.
bool check_predicate(PyObject* predicate);

// Binds a call of subscribe(): the predicate (null for None: every event) and max_pending.
// False with the error set.
bool bind_subscribe(const SessionSignatures& sigs, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject*& predicate, std::size_t& max_pending);
// The same for resource(): the resource's id and max_pending.
bool bind_resource(const SessionSignatures& sigs, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::uint32_t& resource_id, std::size_t& max_pending);

// Every element of a batch as its untagged line and command word, all checked before any is
// sent; false with the error set, naming the element.
bool read_batch(PyObject* commands, std::vector<LineBuffer>& lines, std::vector<std::string>& words);

struct SessionClassTraits {
  const char* owner;    // "Session"; its docstring is the table's (session_docs.hpp)
  std::size_t basicsize;
  void* new_slot;
  void* dealloc_slot;
  getter closed;
  getter stats;    // a SessionStats of the session's counters
  void* repr_slot;  // one line: address, port, state, requests pending, events held
  // A session takes part in cyclic garbage collection: it holds the program's objects (the
  // is_failure predicate, futures, events), which may hold it in turn. The finalizer closes
  // the socket of a session collected unclosed, with a ResourceWarning.
  void* traverse_slot;
  void* clear_slot;
  void* finalize_slot;
};

// A finalizer's first step for a session still open at collection: warns with
// ResourceWarning ("unclosed <repr>"), as an unclosed socket does. The finalizer then closes
// the socket. Leaves the exception being raised, if any, as it was.
void warn_unclosed(PyObject* session) noexcept;

// The class, with `own` methods first and then the per-command ones (kept for the process).
PyTypeObject* make_session_class(const SessionClassTraits& traits, std::vector<PyMethodDef> own,
                                 const std::vector<PyMethodDef>& per_command);

}  // namespace qv::py
