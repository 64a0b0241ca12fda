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
  std::optional<std::uint64_t> found;
  for_each_token(text, [&](std::string_view token) {
    if (!token.starts_with(kKey)) return;
    // The last such token decides alone: a malformed one is no tag, rather than letting an
    // earlier one (text the server echoed, say) answer a request.
    found.reset();
    const std::string_view digits = token.substr(kKey.size());
    if (digits.empty()) return;
    std::uint64_t value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return;
      const auto digit = static_cast<std::uint64_t>(c - '0');
      if (value > (UINT64_MAX - digit) / 10) return;  // past 64 bits: no tag of ours
      value = value * 10 + digit;
    }
    found = value;
  });
  return found;
}

}  // namespace qv
