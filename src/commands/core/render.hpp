#pragma once
// A command's protocol line: word, then for each present field its prefix and its value.
// No line end, no tag: the transmission layer appends those.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "commands/core/command.hpp"

namespace qv {

// Writes the line piece by piece to `sink`, whose `append(std::string_view)` returns false
// when it refuses a write; rendering then stops and returns false (earlier pieces stay written).
template <class Sink>
bool render(const Command& command, Sink& sink) {
  const Variant& spec = command.spec();
  if (!sink.append(spec.name)) return false;
  for (std::size_t i = 0; i < spec.field_count; ++i) {
    if (!command.present(i)) continue;
    const Field& field = spec.fields[i];
    if (!sink.append(field.prefix)) return false;
    if (holds_text(field.kind)) {
      if (!sink.append(command.text(i))) return false;
    } else if (field.kind == Kind::Bool) {
      if (!sink.append(command.number(i) ? "1" : "0")) return false;
    } else {
      char digits[24];
      const auto res = std::to_chars(digits, digits + sizeof digits, command.number(i));
      if (!sink.append(std::string_view(digits, static_cast<std::size_t>(res.ptr - digits))))
        return false;
    }
  }
  return true;
}

// Appends the line to `out` (a string never refuses).
void append_line(const Command& command, std::string& out);
std::string to_string(const Command& command);

}  // namespace qv
