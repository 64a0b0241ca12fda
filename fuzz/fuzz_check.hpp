#pragma once
// Shared by the fuzz targets: a failed check prints what differed and aborts, so libFuzzer
// keeps the input as a crash reproducer.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace qv_fuzz {

inline std::string escaped(std::string_view bytes, std::size_t limit = 200) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    }
  }
  if (bytes.size() > limit) out += "...(" + std::to_string(bytes.size()) + " bytes)";
  return out;
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
