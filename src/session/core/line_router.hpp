#pragma once
// The one way a session turns received bytes into lines, whoever drives it (a waiting
// thread or an event loop): the reader's line assembly, its line text (stripping, lossy
// decoding, the cut marker of an over-long line), and the tag each line carries.
#include <cstddef>

#include "commands/core/command_tag.hpp"
#include "net/line_assembly.hpp"
#include "session/core/incoming.hpp"

namespace qv {

// What a session asks of the socket at once: a flood of events is read in large pieces, so
// one line costs no system call of its own.
inline constexpr std::size_t kSessionReceiveBytes = 64 * 1024;

class LineRouter {
 public:
  explicit LineRouter(std::size_t max_line) : assembler_(max_line) {}

  // Calls `route(Incoming&&)` for every line the bytes complete. Throws std::bad_alloc.
  template <class Route>
  void feed(const char* data, std::size_t size, Route&& route) {
    assembler_.feed(data, size);
    Line line;
    while (assembler_.next_line(line)) route(incoming(line));
  }

  // At the end of the stream: the unterminated rest, if any, as a last line. It carries no
  // tag: the server may have been cut off anywhere, its tag token included, so it answers no
  // request.
  template <class Route>
  void finish(Route&& route) {
    Line line;
    if (!assembler_.finish(line)) return;
    Incoming in = incoming(line);
    in.tag.reset();
    route(std::move(in));
  }

 private:
  // A cut line carries no tag: what is left of its tag token could be another request's.
  static Incoming incoming(const Line& line) {
    Incoming in;
    append_line_text(line, in.text);
    if (line.cut == 0) in.tag = find_command_tag(in.text);
    return in;
  }

  LineAssembler assembler_;
};

}  // namespace qv
