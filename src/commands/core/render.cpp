#include "commands/core/render.hpp"

namespace qv {

namespace {
struct StringSink {
  std::string& out;
  bool append(std::string_view piece) {
    out.append(piece);
    return true;
  }
};
}  // namespace

void append_line(const Command& command, std::string& out) {
  StringSink sink{out};
  render(command, sink);
}

std::string to_string(const Command& command) {
  std::string out;
  append_line(command, out);
  return out;
}

}  // namespace qv
