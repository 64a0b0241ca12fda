#pragma once
// The operating system's words for an errno value, as every OSError text of the module ends.
#include <string>

namespace qv {

// The operating system's description of errno `err`, then " (os error N)".
std::string os_error_text(int err);

}  // namespace qv
