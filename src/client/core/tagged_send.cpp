#include "client/core/tagged_send.hpp"

#include <cerrno>
#include <charconv>
#include <string_view>

namespace qv {

SendResult send_tagged_line(int fd, std::string& line, std::uint64_t tag) noexcept {
  static constexpr std::string_view kTagKey = " COMMANDTAG=";
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, tag).ptr;
  try {
    line.append(kTagKey);
    line.append(digits, end);
    line.push_back('\n');
  } catch (...) {
    return {SendOutcome::Failed, ENOMEM};
  }
  return send_all(fd, line.data(), line.size());
}

}  // namespace qv
