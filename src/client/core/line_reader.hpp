#pragma once
// Turns a byte stream into report lines: split at '\n' (a final unterminated line is kept at
// end of stream), decode as UTF-8 with every invalid sequence replaced by U+FFFD (the maximal
// subpart rule Python's "replace" handler uses), strip Unicode White_Space at both ends.
#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// Appends the UTF-8 decoding of `bytes` to `out`, invalid sequences replaced by U+FFFD.
void decode_utf8_lossy(std::string_view bytes, std::string& out);

// `text` without leading and trailing White_Space characters. Also usable on raw bytes that
// may hold invalid UTF-8: a White_Space character's bytes always decode to that character,
// so stripping before or after decode_utf8_lossy gives the same text.
std::string_view strip_white_space(std::string_view text);

// Splits pushed bytes into lines. Usage: feed(); while (next_line(l)) ...; at end finish().
class LineAssembler {
 public:
  // Adds received bytes.
  void feed(const char* data, std::size_t size);
  // Moves the next complete line (without its '\n', raw bytes) into `line`; false if none.
  bool next_line(std::string& line);
  // The same without a copy: `line` points into the assembler and stays valid until the
  // next feed() or finish().
  bool next_line_view(std::string_view& line);
  // At end of stream: the unterminated rest, if any, as a last line. Leaves the assembler
  // empty.
  bool finish(std::string& line);

 private:
  // Start and length of the next complete line, which is then counted as handed out.
  bool take_line(std::size_t& begin, std::size_t& length);

  std::string pending_;      // received bytes; those before start_ were handed out already
  std::size_t start_ = 0;
  std::size_t scanned_ = 0;  // pending_[start_, scanned_) is known to hold no '\n'
};

}  // namespace qv
