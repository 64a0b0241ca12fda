#pragma once
// What a None server setting stands for, in the client and the sessions alike: the control
// port, and the user name and password a Login sends.
#include <cstdint>
#include <string>

namespace qv {

inline constexpr std::uint16_t kDefaultControlPort = 1234;
inline constexpr const char* kDefaultUsername = "user1";
std::string default_password();

}  // namespace qv
