#include "client/client_object.hpp"

#include "net/os_error.hpp"
#include "commands/core/wire_line.hpp"
#include "binding/errors.hpp"

namespace qv::py {

ExclusiveUse::ExclusiveUse(ClientObject* client) noexcept : client_(client) {
  if (client->borrow != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    client_ = nullptr;
  } else {
    client->borrow = -1;
  }
}

ExclusiveUse::~ExclusiveUse() {
  if (client_) client_->borrow = 0;
}

SharedUse::SharedUse(ClientObject* client) noexcept : client_(client) {
  if (client->borrow < 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    client_ = nullptr;
  } else {
    ++client->borrow;
  }
}

SharedUse::~SharedUse() {
  if (client_) --client_->borrow;
}

namespace {

bool signal_handlers_ran_quietly(void*) { return PyErr_CheckSignals() == 0; }

// Sets the Python error for a send that did not complete; false for the caller to return.
bool raise_send_failure(const SendResult& result) {
  switch (result.outcome) {
    case SendOutcome::Ok: break;
    case SendOutcome::ZeroWritten:
      set_error(PyExc_OSError, "Failed to send message: failed to write whole buffer");
      break;
    case SendOutcome::Interrupted: break;  // the signal handler's exception is set
    case SendOutcome::Failed:
      set_error(PyExc_OSError, "Failed to send message: " + os_error_text(result.err));
      break;
  }
  return false;
}

// The outcome of a tagged send as the caller sees it.
bool finish_send(ClientObject* client, const SendResult& result, std::uint64_t& sent_tag) {
  // A long line made the buffer large: give the memory back rather than keep it for the
  // client's life.
  client->line.release_if_large();
  if (result.outcome != SendOutcome::Ok) return raise_send_failure(result);
  sent_tag = client->command_tag++;  // wraps modulo 2^64
  return true;
}

bool refuse_unconnected(const ClientObject* client) {
  if (client->connection >= 0) return false;
  PyErr_SetString(PyExc_RuntimeError, "No active connection to send message");
  return true;
}

}  // namespace

const InterruptCheck kRunSignalHandlers{signal_handlers_ran_quietly, nullptr};

bool send_tagged(ClientObject* client, std::uint64_t& sent_tag) {
  if (refuse_unconnected(client)) return false;
  append_tag_suffix(client->line, client->command_tag);
  const SendResult result =
      send_all(client->connection, client->line.data(), client->line.size(), kRunSignalHandlers);
  return finish_send(client, result, sent_tag);
}

bool send_tagged_text(ClientObject* client, std::string_view text, std::uint64_t& sent_tag) {
  if (refuse_unconnected(client)) return false;
  const SendResult result =
      send_with_suffix(client->connection, text, tag_suffix(client->command_tag).view(),
                       kRunSignalHandlers);
  return finish_send(client, result, sent_tag);
}

bool send_tagged_lines(ClientObject* client, const std::vector<std::size_t>& line_ends) {
  if (refuse_unconnected(client)) return false;
  const SendResult result =
      send_all(client->connection, client->line.data(), client->line.size(), kRunSignalHandlers);
  client->line.release_if_large();
  // Lines that reached the socket whole used their tags; the rest were not sent.
  std::size_t whole = 0;
  while (whole < line_ends.size() && line_ends[whole] <= result.written) ++whole;
  client->command_tag += whole;
  return result.outcome == SendOutcome::Ok || raise_send_failure(result);
}

}  // namespace qv::py
