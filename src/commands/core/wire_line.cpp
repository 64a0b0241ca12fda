#include "commands/core/wire_line.hpp"

#include "commands/core/render.hpp"

namespace qv {

void append_command_text(LineBuffer& line, const Command& command) {
  line.commit(render_into(command, line.prepare(max_line_size(command))));
}

void append_tag_suffix(LineBuffer& line, std::uint64_t tag) {
  line.commit(write_tag_suffix(line.prepare(kMaxTagSuffix), tag));
}

SendResult send_tagged_line(int fd, LineBuffer& line, std::uint64_t tag,
                            const InterruptCheck& check) {
  append_tag_suffix(line, tag);
  return send_all(fd, line.data(), line.size(), check);
}

SendResult send_tagged_text(int fd, std::string_view text, std::uint64_t tag,
                            const InterruptCheck& check) noexcept {
  char suffix[kMaxTagSuffix];
  iovec pieces[2] = {{const_cast<char*>(text.data()), text.size()},
                     {suffix, write_tag_suffix(suffix, tag)}};
  return send_all(fd, pieces, 2, check);
}

}  // namespace qv
