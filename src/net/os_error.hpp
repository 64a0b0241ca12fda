#pragma once
#include <string>

namespace qv {

// The operating system's description of errno `err`, then " (os error N)".
std::string os_error_text(int err);

}  // namespace qv
