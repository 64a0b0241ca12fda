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

// `text` (valid UTF-8) without leading and trailing White_Space characters.
std::string_view strip_white_space(std::string_view text);

// Splits pushed bytes into lines. Usage: feed(); while (next_line(l)) ...; at end finish().
class LineAssembler {
 public:
  // Adds received bytes.
  void feed(const char* data, std::size_t size);
  // Moves the next complete line (without its '\n', raw bytes) into `line`; false if none.
  bool next_line(std::string& line);
  // At end of stream: the unterminated rest, if any, as a last line. Leaves the assembler
  // empty.
  bool finish(std::string& line);

 private:
  std::string pending_;      // received bytes; those before start_ were handed out already
  std::size_t start_ = 0;
  std::size_t scanned_ = 0;  // pending_[start_, scanned_) is known to hold no '\n'
};

}  // namespace qv
