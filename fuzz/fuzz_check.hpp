#pragma once
// Shared by the fuzz targets: a failed check prints what differed and aborts, so libFuzzer
// keeps the input as a crash reproducer.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../tests/core/escaped_bytes.hpp"

namespace qv_fuzz {

inline std::string escaped(std::string_view bytes, std::size_t limit = 200) {
  return escaped_bytes(bytes, limit);
}

[[noreturn]] inline void fail(const char* what, std::string_view got = {},
                              std::string_view want = {}) {
  std::fprintf(stderr, "CHECK FAILED: %s\n  got:  \"%s\"\n  want: \"%s\"\n", what,
               escaped(got).c_str(), escaped(want).c_str());
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

inline void check_eq(std::string_view got, std::string_view want, const char* what) {
  if (got != want) fail(what, got, want);
}

}  // namespace qv_fuzz
