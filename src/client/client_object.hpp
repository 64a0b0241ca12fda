#pragma once
// The state behind one QuelvantClient and the rule that a call needing exclusive use of it
// cannot run while another call on the same client is in progress.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/ip_address.hpp"
#include "net/line_buffer.hpp"
#include "net/socket.hpp"
#include "binding/ref.hpp"

namespace qv::py {

struct ClientObject {
  PyObject_HEAD
  std::string username;
  std::string password;
  IpAddress server;
  std::uint16_t control_port;
  std::uint16_t transport_channel_port;
  int connection;            // -1: not connected
  std::uint64_t command_tag;  // the tag the next successful send carries
  LineBuffer line;           // reused buffer for the line being sent
  int borrow;                // 0 free, >0 shared readers, -1 exclusive
};

// Exclusive use for the duration of a call; check with `if (!use)`.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(ClientObject* client) noexcept;
  ~ExclusiveUse();
  explicit operator bool() const noexcept { return client_ != nullptr; }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;

 private:
  ClientObject* client_;
};

// Shared (read-only) use; refused while a call has exclusive use.
class SharedUse {
 public:
  explicit SharedUse(ClientObject* client) noexcept;
  ~SharedUse();
  explicit operator bool() const noexcept { return client_ != nullptr; }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;

 private:
  ClientObject* client_;
};

// The tagged send of the command text in `client->line`: the tag it carried, or false with
// RuntimeError/OSError set (tag unchanged), or with the exception a signal handler raised
// while the send was blocked.
bool send_tagged(ClientObject* client, std::uint64_t& sent_tag);

// The same for a text sent as it is, without copying it into `client->line`.
bool send_tagged_text(ClientObject* client, std::string_view text, std::uint64_t& sent_tag);

// Several wire lines already in `client->line` (each tagged, from command_tag on), ending at
// `line_ends`, in one send: command_tag moves past every line that was written whole, also
// when the send then fails (RuntimeError/OSError or a signal handler's exception set).
bool send_tagged_lines(ClientObject* client, const std::vector<std::size_t>& line_ends);

// Runs the interpreter's signal handlers when a blocking call is interrupted, and says to
// give up if one raised (its exception is then set), as Python's own socket calls do.
extern const InterruptCheck kRunSignalHandlers;

}  // namespace qv::py
