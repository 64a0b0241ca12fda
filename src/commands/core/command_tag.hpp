#pragma once
// Command tags on the wire: the suffix every sent line ends with, and the tag a received
// line answers.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qv {

// " COMMANDTAG=" + 20 digits + "\n"
inline constexpr std::size_t kMaxTagSuffix = 12 + 20 + 1;

// Writes " COMMANDTAG=<tag>\n" at `out` (kMaxTagSuffix bytes of room); returns its length.
std::size_t write_tag_suffix(char* out, std::uint64_t tag) noexcept;

// Calls `each(token)` for every token of `text`: runs of characters between spaces.
template <class F>
void for_each_token(std::string_view text, F&& each) {
  std::size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && text[at] == ' ') ++at;
    const std::size_t start = at;
    while (at < text.size() && text[at] != ' ') ++at;
    if (at > start) each(text.substr(start, at - start));
  }
}

// The first token of `text` (empty when it has none).
inline std::string_view first_token(std::string_view text) noexcept {
  const std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  text.remove_prefix(start);
  return text.substr(0, text.find(' '));
}

// The tag a line answers: the number in its last token that starts "COMMANDTAG=", when that
// token is the key and 1 to 20 digits of a number that fits 64 bits. A line without one, or
// whose last such token is anything else, answers no request.
std::optional<std::uint64_t> find_command_tag(std::string_view text) noexcept;

}  // namespace qv
