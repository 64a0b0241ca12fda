#include "commands/core/wire_line.hpp"

#include "commands/core/render.hpp"

namespace qv {

void append_command_text(LineBuffer& line, const Command& command) {
  line.commit(render_into(command, line.prepare(max_line_size(command))));
}

void append_tag_suffix(LineBuffer& line, std::uint64_t tag) {
  line.commit(write_tag_suffix(line.prepare(kMaxTagSuffix), tag));
}

TagSuffix tag_suffix(std::uint64_t tag) noexcept {
  TagSuffix suffix;
  suffix.size = write_tag_suffix(suffix.bytes, tag);
  return suffix;
}

}  // namespace qv
