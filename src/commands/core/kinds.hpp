#pragma once
#include <cstdint>

namespace qv {

// What a command field holds; also how it is converted from Python and rendered.
enum class Kind : std::uint8_t {
  Text,
  U8,
  U16,
  U32,
  I16,
  I64,
  Bool,
  // Value records: rendered as their wire text.
  AudioFormatType,
  PayloadType,
  ToneType,
  ConstantWithDescription,
  // Enumerations: rendered as their number.
  Ecm,
  Channels,
};

constexpr bool holds_text(Kind k) noexcept {
  return k == Kind::Text || k == Kind::AudioFormatType || k == Kind::PayloadType ||
         k == Kind::ToneType || k == Kind::ConstantWithDescription;
}

}  // namespace qv
