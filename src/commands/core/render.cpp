#include "commands/core/render.hpp"

namespace qv {

void append_line(const Command& command, std::string& out) {
  const std::size_t old_size = out.size();
  out.resize(old_size + max_line_size(command));
  out.resize(old_size + render_into(command, out.data() + old_size));
}

std::string to_string(const Command& command) {
  std::string out;
  append_line(command, out);
  return out;
}

}  // namespace qv
