#include "client/core/tagged_send.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

#include "commands/core/decimal.hpp"

namespace qv {

SendResult send_tagged_line(int fd, LineBuffer& line, std::uint64_t tag) noexcept {
  static constexpr std::string_view kTagKey = " COMMANDTAG=";
  static constexpr std::size_t kMaxSuffix = kTagKey.size() + 20 + 1;
  char* at;
  try {
    at = line.prepare(kMaxSuffix);
  } catch (const std::bad_alloc&) {
    return {SendOutcome::Failed, ENOMEM};
  }
  char* const start = at;
  std::memcpy(at, kTagKey.data(), kTagKey.size());
  at = write_decimal(at + kTagKey.size(), tag);
  *at++ = '\n';
  line.commit(static_cast<std::size_t>(at - start));
  return send_all(fd, line.data(), line.size());
}

}  // namespace qv
