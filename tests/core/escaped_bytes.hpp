#pragma once
// Bytes shown readably in a failure message: printable ASCII as is, everything else as \xNN,
// cut after `limit` bytes. Shared by the core's self-test and the fuzz targets.
#include <cstdio>
#include <string>
#include <string_view>

inline std::string escaped_bytes(std::string_view bytes, std::size_t limit) {
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
