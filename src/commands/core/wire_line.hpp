#pragma once
// The tagged send: every command line leaves as its text, " COMMANDTAG=<tag>" and "\n".
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/line_buffer.hpp"
#include "net/socket.hpp"
#include "commands/core/command.hpp"
#include "commands/core/command_tag.hpp"

namespace qv {

// Appends the command's line text (no tag) to `line`. Throws std::bad_alloc.
void append_command_text(LineBuffer& line, const Command& command);

// Appends the suffix to the command text in `line`, making it a wire line.
// Throws std::bad_alloc (the buffer is then unchanged).
void append_tag_suffix(LineBuffer& line, std::uint64_t tag);

// Turns the command text in `line` into its wire form and writes all of it to `fd`.
SendResult send_tagged_line(int fd, LineBuffer& line, std::uint64_t tag,
                            const InterruptCheck& check = {});

// The same for a text that is not copied: it goes to the socket straight from `text`, with
// the suffix beside it, so even a huge text needs no second buffer.
SendResult send_tagged_text(int fd, std::string_view text, std::uint64_t tag,
                            const InterruptCheck& check = {}) noexcept;

}  // namespace qv
