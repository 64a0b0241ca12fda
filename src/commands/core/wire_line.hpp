#pragma once
// The wire form of a command line: its text, " COMMANDTAG=<tag>" and "\n". Writing it to a
// socket is net/'s (send_all, send_with_suffix).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/line_buffer.hpp"
#include "commands/core/command.hpp"
#include "commands/core/command_tag.hpp"

namespace qv {

// Appends the command's line text (no tag) to `line`. Throws std::bad_alloc.
void append_command_text(LineBuffer& line, const Command& command);

// Appends the suffix to the command text in `line`, making it a wire line.
// Throws std::bad_alloc (the buffer is then unchanged).
void append_tag_suffix(LineBuffer& line, std::uint64_t tag);

// The suffix of `tag` in a buffer of its own, for a text sent beside it without a copy.
struct TagSuffix {
  char bytes[kMaxTagSuffix];
  std::size_t size;
  std::string_view view() const noexcept { return {bytes, size}; }
};
TagSuffix tag_suffix(std::uint64_t tag) noexcept;

}  // namespace qv
