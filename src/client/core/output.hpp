#pragma once
// The process-wide output lock: every line this module writes to file descriptor 1 goes
// through here as one whole write sequence, so lines from several threads never interleave.
#include <string_view>

namespace qv {

// Writes `line` (one or more whole lines, each ending in '\n') to fd 1 under the output lock.
// Returns 0, or the errno of the failed write. A closed or invalid descriptor (EBADF)
// absorbs the text and counts as success.
int write_stdout_line(std::string_view line) noexcept;

}  // namespace qv
