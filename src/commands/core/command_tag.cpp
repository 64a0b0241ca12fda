#include "commands/core/command_tag.hpp"

#include <cstring>

#include "commands/core/decimal.hpp"

namespace qv {

std::size_t write_tag_suffix(char* out, std::uint64_t tag) noexcept {
  static constexpr std::string_view kTagKey = " COMMANDTAG=";
  std::memcpy(out, kTagKey.data(), kTagKey.size());
  char* at = write_decimal(out + kTagKey.size(), tag);
  *at++ = '\n';
  return static_cast<std::size_t>(at - out);
}

std::optional<std::uint64_t> find_command_tag(std::string_view text) noexcept {
  static constexpr std::string_view kKey = "COMMANDTAG=";
  // The last token that starts with the key decides alone: a malformed one is no tag, rather
  // than letting an earlier one (text the server echoed, say) answer a request. Sought from
  // the end, where the tag stands.
  std::size_t at = text.rfind(kKey);
  while (at != std::string_view::npos && at > 0 && text[at - 1] != ' ')
    at = at >= kKey.size() ? text.rfind(kKey, at - 1) : std::string_view::npos;
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view digits = text.substr(at + kKey.size());
  digits = digits.substr(0, digits.find(' '));
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;  // past 64 bits: no tag of ours
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace qv
