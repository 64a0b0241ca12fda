#include "net/os_error.hpp"

#include <cstring>

namespace qv {

std::string os_error_text(int err) {
  // GNU strerror_r: returns either `buffer` or a static string; safe on any thread.
  char buffer[256];
  const char* description = strerror_r(err, buffer, sizeof buffer);
  std::string text(description);
  text += " (os error ";
  text += std::to_string(err);
  text += ')';
  return text;
}

}  // namespace qv
