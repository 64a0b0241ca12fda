#include "client/client_object.hpp"

#include "client/core/os_error.hpp"
#include "client/core/tagged_send.hpp"
#include "module/errors.hpp"

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

bool send_tagged(ClientObject* client, std::uint64_t& sent_tag) {
  if (client->connection < 0) {
    PyErr_SetString(PyExc_RuntimeError, "No active connection to send message");
    return false;
  }
  const SendResult result = send_tagged_line(client->connection, client->line, client->command_tag);
  switch (result.outcome) {
    case SendOutcome::Ok:
      sent_tag = client->command_tag++;  // wraps modulo 2^64
      return true;
    case SendOutcome::ZeroWritten:
      set_error(PyExc_OSError, "Failed to send message: failed to write whole buffer");
      return false;
    case SendOutcome::Failed:
      break;
  }
  set_error(PyExc_OSError, "Failed to send message: " + os_error_text(result.err));
  return false;
}

}  // namespace qv::py
