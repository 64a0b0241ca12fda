#pragma once
// Why one attempt to connect failed, for both session classes: the server's name did not
// resolve, or every address it resolved to failed (the last one's errno is kept).
#include <optional>
#include <string>

#include "net/os_error.hpp"
#include "net/resolve.hpp"

namespace qv {

struct AttemptFailure {
  int err = 0;                              // the last address's errno
  std::optional<ResolveFailure> resolving;  // set when the name did not resolve
  bool lost_in_login = false;               // connected, then lost before the Login's reply

  // "Failed to connect: ..." (an IP literal), "Failed to connect to 'name' ...", or
  // "Failed to resolve 'name': ...".
  std::string text(const std::string& host) const {
    if (resolving) return "Failed to resolve '" + host + "': " + resolving->text;
    if (lost_in_login) return "the connection to '" + host + "' was lost during its Login";
    if (is_ip_literal(host)) return "Failed to connect: " + os_error_text(err);
    return "Failed to connect to '" + host + "' (at any address it resolves to; the last: " +
           os_error_text(err) + ")";
  }
};

}  // namespace qv
