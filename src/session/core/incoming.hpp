#pragma once
// What a session receives, as the program sees it: one server line (decoded, stripped, with
// the tag it carries), or a mark in the stream of events where something happened.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

struct Incoming {
  enum class Kind : std::uint8_t {
    Line,         // a server line
    Lost,         // the connection was lost here: lines may be missing after this point
    Reconnected,  // a new connection was made and logged in
    Dropped,      // `count` events were left out here because the queue was full
  };
  Kind kind = Kind::Line;
  std::optional<std::uint64_t> tag;
  std::string text;
  std::uint64_t count = 0;
};

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

// The tag a line answers: the number in its last token that starts "COMMANDTAG=", when that
// token is the key and 1 to 20 digits of a number that fits 64 bits. A line without one, or
// whose last such token is anything else, answers no request.
std::optional<std::uint64_t> find_command_tag(std::string_view text) noexcept;

}  // namespace qv
