#pragma once
// What a session hands the program: Reply (the line that answered a request) and Event (any
// other line, or the mark of a reconnect), and the exceptions for a failed reply and for
// dropped events.
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "binding/ref.hpp"
#include "session/core/incoming.hpp"

namespace qv::py {

// What a request's completion is kept in (see CompletionBox in event_pipeline.hpp); a Reply
// holds its request's, so that it lives as long as the program holds the Reply.
struct CompletionBox;

// Creates the classes and exceptions (once per process); false with the error set.
bool init_received_classes();

// Puts quelvant_rs._rebuild, which their pickles call, on the top-level module (outside
// __all__); false with the error set.
bool add_rebuild_function(PyObject* top);

PyTypeObject* reply_class();
PyTypeObject* event_class();
PyObject* server_error_class();
PyObject* events_dropped_class();

// A new Reply for a line (valid UTF-8) and its tag, holding the request's completion box.
Ref make_reply(std::optional<std::uint64_t> tag, std::string_view text,
               std::shared_ptr<CompletionBox> completion = {});
// The completion box a Reply holds (null for none, or for what is no Reply).
std::shared_ptr<CompletionBox> reply_completion(PyObject* reply);
// A new Event for an incoming line, or for the mark of a reconnect, at `seq` in the stream.
Ref make_event(const Incoming& incoming, std::uint64_t seq);
// An Event's place in the stream, and whether it marks a reconnect.
std::uint64_t event_seq(PyObject* event);
bool event_is_reconnect(PyObject* event);

// The reply's tag and line, read back (for messages).
std::uint64_t reply_tag(PyObject* reply);
PyObject* reply_line(PyObject* reply);  // borrowed

// Raises ServerError for `reply` to the command `word`.
void raise_server_error(std::string_view word, PyObject* reply);
// Raises EventsDropped for `count` events a subscription left out.
void raise_subscription_dropped(std::uint64_t count);

}  // namespace qv::py
