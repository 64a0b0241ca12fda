#include "session/core/incoming.hpp"

namespace qv {

std::optional<std::uint64_t> find_command_tag(std::string_view text) noexcept {
  static constexpr std::string_view kKey = "COMMANDTAG=";
  std::optional<std::uint64_t> found;
  for_each_token(text, [&](std::string_view token) {
    if (!token.starts_with(kKey) || token.size() == kKey.size()) return;
    std::uint64_t value = 0;
    for (const char c : token.substr(kKey.size())) {
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
