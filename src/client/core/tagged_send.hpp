#pragma once
#include <cstdint>

#include "client/core/line_buffer.hpp"
#include "client/core/socket.hpp"

namespace qv {

// Turns the command text in `line` into its wire form by appending " COMMANDTAG=<tag>\n",
// then writes all of it to `fd`.
SendResult send_tagged_line(int fd, LineBuffer& line, std::uint64_t tag) noexcept;

}  // namespace qv
