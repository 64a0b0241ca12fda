#pragma once
// A command's protocol line: word, then for each present field its prefix and its value.
// No line end, no tag: the transmission layer appends those.
//
// One implementation, instantiated per variant from the catalogue: the prefixes and kinds of
// a variant's fields are compile-time constants there, so writing a line is a handful of
// fixed-size copies instead of a loop over field descriptors.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "commands/core/command.hpp"
#include "commands/core/decimal.hpp"

namespace qv {

namespace detail {

template <std::size_t V, std::size_t I, class Sink>
inline bool render_field(const Command& command, Sink& sink) {
  constexpr Field f = kCatalogue[V].fields[I];
  if (!command.present(I)) return true;  // an absent value writes nothing at all
  if (!sink.append(f.prefix)) return false;
  if constexpr (holds_text(f.kind)) {
    return sink.append(command.text(I));
  } else if constexpr (f.kind == Kind::Bool) {
    return sink.append(command.number(I) ? std::string_view("1") : std::string_view("0"));
  } else {
    char digits[kMaxDecimalDigits];
    const char* end = write_decimal(digits, command.number(I));
    return sink.append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
}

template <std::size_t V, class Sink, std::size_t... I>
bool render_variant(const Command& command, Sink& sink, std::index_sequence<I...>) {
  return sink.append(kCatalogue[V].name) && (render_field<V, I>(command, sink) && ...);
}

template <class Sink>
using Renderer = bool (*)(const Command&, Sink&);

template <class Sink, std::size_t... V>
constexpr std::array<Renderer<Sink>, sizeof...(V)> renderers(std::index_sequence<V...>) {
  return {+[](const Command& command, Sink& sink) {
    return render_variant<V>(command, sink,
                             std::make_index_sequence<kCatalogue[V].field_count>{});
  }...};
}

template <class Sink>
inline constexpr auto kRenderers = renderers<Sink>(std::make_index_sequence<kVariantCount>{});

// The longest line of a variant, leaving its texts out.
template <std::size_t V>
constexpr std::size_t longest_without_texts() {
  std::size_t size = kCatalogue[V].name.size();
  for (std::size_t i = 0; i < kCatalogue[V].field_count; ++i) {
    const Field& f = kCatalogue[V].fields[i];
    size += f.prefix.size() + (holds_text(f.kind) ? 0 : kMaxDecimalDigits);
  }
  return size;
}

template <std::size_t... V>
constexpr std::array<std::size_t, sizeof...(V)> longest_lines(std::index_sequence<V...>) {
  return {longest_without_texts<V>()...};
}

inline constexpr auto kLongestWithoutTexts = longest_lines(std::make_index_sequence<kVariantCount>{});

// Writes into memory known to be large enough; never refuses.
struct RawCursor {
  char* at;
  bool append(std::string_view piece) noexcept {
    std::memcpy(at, piece.data(), piece.size());
    at += piece.size();
    return true;
  }
};

}  // namespace detail

// Writes the line piece by piece to `sink`, whose `append(std::string_view)` returns false
// when it refuses a write; rendering then stops and returns false (earlier pieces stay written).
template <class Sink>
bool render(const Command& command, Sink& sink) {
  return detail::kRenderers<Sink>[command.variant()](command, sink);
}

// An upper bound on the length of the command's line.
inline std::size_t max_line_size(const Command& command) noexcept {
  return detail::kLongestWithoutTexts[command.variant()] + command.text_bytes();
}

// Writes the line to `out`, which must hold max_line_size(command) bytes; returns its length.
inline std::size_t render_into(const Command& command, char* out) noexcept {
  detail::RawCursor cursor{out};
  render(command, cursor);
  return static_cast<std::size_t>(cursor.at - out);
}

// Appends the line to `out` (a string never refuses).
void append_line(const Command& command, std::string& out);
std::string to_string(const Command& command);

}  // namespace qv
