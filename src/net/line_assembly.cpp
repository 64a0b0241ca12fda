#include "net/line_assembly.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>


namespace qv {
namespace {

using Byte = unsigned char;

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

std::uint64_t load_word(const Byte* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Length of the well-formed sequence starting at p[0] (true), or of its maximal ill-formed
// subpart (false): the lead byte plus every following byte that could still have continued
// it. That subpart becomes a single U+FFFD, matching Python's "replace" error handler.
bool classify_sequence(const Byte* p, std::size_t avail, std::size_t& length) {
  const unsigned lead = p[0];
  if (lead < 0xC2 || lead > 0xF4) {
    length = 1;
    return false;
  }
  std::size_t continuation;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead < 0xE0) {
    continuation = 1;
  } else if (lead < 0xF0) {
    continuation = 2;
    if (lead == 0xE0) low = 0xA0;        // overlong
    else if (lead == 0xED) high = 0x9F;  // surrogates
  } else {
    continuation = 3;
    if (lead == 0xF0) low = 0x90;        // overlong
    else if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  }
  for (std::size_t k = 1; k <= continuation; ++k) {
    if (k >= avail || p[k] < low || p[k] > high) {
      length = k;
      return false;
    }
    low = 0x80;
    high = 0xBF;
  }
  length = continuation + 1;
  return true;
}

bool is_ascii_space(Byte b) { return b == 0x20 || (b >= 0x09 && b <= 0x0D); }

// Byte length of the White_Space character at the start of p[0..n), or 0.
std::size_t leading_space_length(const Byte* p, std::size_t n) {
  const Byte b = p[0];
  if (is_ascii_space(b)) return 1;
  if (b == 0xC2) return n >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;  // NEL, NBSP
  if (n < 3) return 0;
  switch (b) {
    case 0xE1:  // U+1680
      return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
    case 0xE2:
      if (p[1] == 0x80) {
        // U+2000..U+200A, U+2028, U+2029, U+202F
        const Byte c = p[2];
        return (c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF ? 3 : 0;
      }
      return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;  // U+205F
    case 0xE3:  // U+3000
      return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
    default:
      return 0;
  }
}

// Byte length of the White_Space character ending p[0..n), or 0. A lead byte can never be
// read as a continuation byte, so a matching tail is that character even in invalid input.
std::size_t trailing_space_length(const Byte* p, std::size_t n) {
  if (is_ascii_space(p[n - 1])) return 1;
  if (n >= 2 && p[n - 2] == 0xC2 && (p[n - 1] == 0x85 || p[n - 1] == 0xA0)) return 2;
  if (n >= 3 && p[n - 3] >= 0xE1 && leading_space_length(p + n - 3, 3) == 3) return 3;
  return 0;
}

}  // namespace

void decode_utf8_lossy(std::string_view bytes, std::string& out) {
  const auto* s = reinterpret_cast<const Byte*>(bytes.data());
  const std::size_t n = bytes.size();

  // Lines are mostly ASCII: establish that a word at a time and copy them in one piece.
  std::size_t i = 0;  // everything before i is ASCII
  bool ascii = true;
  while (n - i >= 32) {
    if ((load_word(s + i) | load_word(s + i + 8) | load_word(s + i + 16) |
         load_word(s + i + 24)) & kHighBits) {
      ascii = false;
      break;
    }
    i += 32;
  }
  if (ascii) {
    std::uint64_t high = 0;
    if (n >= 8) {
      for (std::size_t k = i; n - k >= 8; k += 8) high |= load_word(s + k);
      high |= load_word(s + n - 8);  // overlapping the last word covers the tail
    } else {
      for (std::size_t k = 0; k < n; ++k) high |= s[k];
    }
    if ((high & kHighBits) == 0) {
      out.append(bytes);
      return;
    }
  }

  std::size_t run_start = 0;  // valid bytes from here on are copied in one piece
  while (i < n) {
    if (s[i] < 0x80) {
      ++i;
      while (n - i >= 8 && (load_word(s + i) & kHighBits) == 0) i += 8;
      continue;
    }
    std::size_t length;
    if (classify_sequence(s + i, n - i, length)) {
      i += length;
      continue;
    }
    out.append(bytes.data() + run_start, i - run_start);
    out.append(kReplacement, 3);
    i += length;
    run_start = i;
  }
  out.append(bytes.data() + run_start, n - run_start);
}

std::string_view strip_white_space(std::string_view text) {
  const auto* p = reinterpret_cast<const Byte*>(text.data());
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    const std::size_t len = leading_space_length(p + begin, end - begin);
    if (len == 0) break;
    begin += len;
  }
  while (end > begin) {
    const std::size_t len = trailing_space_length(p + begin, end - begin);
    if (len == 0) break;
    end -= len;
  }
  return text.substr(begin, end - begin);
}

namespace {

// Memory an assembler keeps between lines; a long line's buffer is given back above this.
constexpr std::size_t kKeptCapacity = std::size_t{64} << 10;

void release_if_large(std::string& buffer) noexcept {
  if (buffer.empty() && buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
}

// How many of the first `n` bytes to keep so that no character is split: a sequence whose
// lead byte is among the last three and that runs past `n` is left out whole.
std::size_t whole_characters(const Byte* p, std::size_t n) {
  for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
    const Byte b = p[n - back];
    if (b < 0x80) return n;
    if (b >= 0xC0) {
      const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
      return length > back ? n - back : n;
    }
  }
  return n;
}

}  // namespace

void append_line_text(const Line& line, std::string& out) {
  // Stripping the raw bytes first gives the same text and saves moving decoded bytes.
  decode_utf8_lossy(strip_white_space(line.bytes), out);
  if (line.cut == 0) return;
  char digits[20];  // UINT64_MAX has 20 digits
  out.append(" [... ");
  out.append(digits, static_cast<std::size_t>(
                         std::to_chars(digits, digits + sizeof digits, line.cut).ptr - digits));
  out.append(" bytes cut]");
}

LineAssembler::LineAssembler(std::size_t max_line) noexcept
    : max_line_(max_line > 0 ? max_line : 1) {}

void LineAssembler::feed(const char* data, std::size_t size) {
  if (cut_state_ == Cut::HandedOut) {
    cut_state_ = Cut::None;
    head_.clear();
    cut_ = 0;
    release_if_large(head_);
  }
  if (start_ == pending_.size()) {
    // Everything handed out already: reuse the buffer from its start.
    pending_.clear();
    start_ = 0;
    scanned_ = 0;
    release_if_large(pending_);
  } else if (start_ > 0) {
    // Keep only the unfinished line so the buffer does not grow with the stream.
    pending_.erase(0, start_);
    scanned_ -= start_;
    start_ = 0;
  }
  if (cut_state_ == Cut::Open) {
    // The rest of a line that is too long passes uncopied up to its '\n'.
    const void* newline = std::memchr(data, '\n', size);
    if (newline == nullptr) {
      cut_ += size;
      return;
    }
    const auto before = static_cast<std::size_t>(static_cast<const char*>(newline) - data);
    cut_ += before;
    cut_state_ = Cut::Ended;
    data += before + 1;
    size -= before + 1;
  }
  pending_.append(data, size);
}

void LineAssembler::start_cutting() {
  const auto* line = reinterpret_cast<const Byte*>(pending_.data() + start_);
  const std::size_t available = pending_.size() - start_;
  const std::size_t kept = whole_characters(line, max_line_);
  head_.assign(reinterpret_cast<const char*>(line), kept);
  cut_ = available - kept;
  cut_state_ = Cut::Open;
  pending_.clear();
  start_ = 0;
  scanned_ = 0;
  release_if_large(pending_);
}

bool LineAssembler::take_line(std::size_t& begin, std::size_t& length) {
  const char* base = pending_.data();
  const void* newline = std::memchr(base + scanned_, '\n', pending_.size() - scanned_);
  if (newline == nullptr) {
    // A long line arriving in many pieces is searched once, not once per piece.
    scanned_ = pending_.size();
    return false;
  }
  const auto end = static_cast<std::size_t>(static_cast<const char*>(newline) - base);
  begin = start_;
  length = end - start_;
  start_ = end + 1;
  scanned_ = start_;
  return true;
}

bool LineAssembler::next_line(Line& line) {
  if (cut_state_ == Cut::Ended) {
    line = {head_, cut_};
    cut_state_ = Cut::HandedOut;
    return true;
  }
  std::size_t begin;
  std::size_t length;
  if (take_line(begin, length)) {
    // A whole line can be over the limit too, when it came in few pieces: it is cut the
    // same way, so how the bytes arrived never changes what comes out.
    const std::size_t kept =
        length > max_line_
            ? whole_characters(reinterpret_cast<const Byte*>(pending_.data() + begin), max_line_)
            : length;
    line = {std::string_view(pending_).substr(begin, kept), length - kept};
    return true;
  }
  // No '\n' in what is left: once that is more than a line may hold, the line is cut. (Not
  // while a cut line handed out still points into head_: the next feed comes back here.)
  if (pending_.size() - start_ > max_line_ && cut_state_ == Cut::None) start_cutting();
  return false;
}

bool LineAssembler::finish(Line& line) {
  bool has_rest = cut_state_ == Cut::Open;
  if (!has_rest && start_ < pending_.size()) {
    const std::size_t length = pending_.size() - start_;
    const std::size_t kept =
        length > max_line_
            ? whole_characters(reinterpret_cast<const Byte*>(pending_.data() + start_), max_line_)
            : length;
    head_.assign(pending_, start_, kept);
    cut_ = length - kept;
    has_rest = true;
  }
  if (has_rest) {
    line = {head_, cut_};
    cut_state_ = Cut::HandedOut;
  } else {
    cut_state_ = Cut::None;
  }
  pending_.clear();
  start_ = 0;
  scanned_ = 0;
  release_if_large(pending_);
  return has_rest;
}

}  // namespace qv
