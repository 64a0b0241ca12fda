#pragma once
// Turns a byte stream into report lines: split at '\n' (a final unterminated line is kept at
// end of stream), decode as UTF-8 with every invalid sequence replaced by U+FFFD (the maximal
// subpart rule Python's "replace" handler uses), strip Unicode White_Space at both ends.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

// Appends the UTF-8 decoding of `bytes` to `out`, invalid sequences replaced by U+FFFD.
void decode_utf8_lossy(std::string_view bytes, std::string& out);

// `text` without leading and trailing White_Space characters. Also usable on raw bytes that
// may hold invalid UTF-8: a White_Space character's bytes always decode to that character,
// so stripping before or after decode_utf8_lossy gives the same text.
std::string_view strip_white_space(std::string_view text);

// No protocol line comes near this; a longer one is cut (see Line::cut), so that whatever a
// server sends, reading it needs bounded memory.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;

// One received line, without its '\n': raw bytes, valid until the assembler is next fed.
struct Line {
  std::string_view bytes;  // the whole line, or its first bytes when it was too long
  std::uint64_t cut = 0;   // bytes of the line left out after `bytes`
};

// Appends the line as it is shown: White_Space stripped, decoded (invalid sequences as
// U+FFFD), and for a cut line a marker " [... <n> bytes cut]" after the part kept.
void append_line_text(const Line& line, std::string& out);

// Splits pushed bytes into lines. Usage: feed(); while (next_line(l)) ...; at the end of the
// stream finish(). A line longer than the limit keeps its first `max_line` bytes (ending at
// a character boundary) and counts the rest as it passes, so memory stays bounded.
class LineAssembler {
 public:
  explicit LineAssembler(std::size_t max_line = kMaxLineBytes) noexcept;
  // Adds received bytes. Throws std::bad_alloc.
  void feed(const char* data, std::size_t size);
  // The next complete line; false if there is none yet.
  bool next_line(Line& line);
  // At end of stream: the unterminated rest, if any, as a last line. Leaves the assembler
  // empty.
  bool finish(Line& line);

 private:
  // Start and length of the next complete line, which is then counted as handed out.
  bool take_line(std::size_t& begin, std::size_t& length);
  void start_cutting();

  std::size_t max_line_;
  std::string pending_;      // received bytes; those before start_ were handed out already
  std::size_t start_ = 0;
  std::size_t scanned_ = 0;  // pending_[start_, scanned_) is known to hold no '\n'
  // A line over the limit: its kept start, and how many bytes passed since.
  enum class Cut : std::uint8_t { None, Open, Ended, HandedOut } cut_state_ = Cut::None;
  std::string head_;
  std::uint64_t cut_ = 0;
};

}  // namespace qv
