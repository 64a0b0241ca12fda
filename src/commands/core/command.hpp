#pragma once
// One protocol command: its variant and the values of its fields. Numbers (and booleans and
// enumeration members) live inline; texts share one owned buffer, so a short command needs no
// allocation beyond the small-string buffer.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "commands/core/catalogue.hpp"

namespace qv {

class Command {
 public:
  explicit Command(std::size_t variant) noexcept : variant_(static_cast<std::uint8_t>(variant)) {
    assert(variant < kVariantCount);
  }

  std::size_t variant() const noexcept { return variant_; }
  const Variant& entry() const noexcept { return kCatalogue[variant_]; }

  bool present(std::size_t field) const noexcept { return (present_ >> field) & 1u; }
  std::int64_t number(std::size_t field) const noexcept { return slots_[field]; }
  std::string_view text(std::size_t field) const noexcept {
    const auto slot = static_cast<std::uint64_t>(slots_[field]);
    return std::string_view(texts_).substr(slot >> 32, slot & 0xffffffffu);
  }

  void set_number(std::size_t field, std::int64_t value) noexcept {
    slots_[field] = value;
    present_ |= static_cast<std::uint16_t>(1u << field);
  }
  // A text field is an offset and a length into the shared buffer, 32 bits each, so the
  // texts of one command may hold at most kMaxTextBytes bytes together. Returns false, and
  // changes nothing, for a text that would go past that. Throws std::bad_alloc.
  static constexpr std::uint64_t kMaxTextBytes = 0xffffffffu;
  static constexpr bool text_fits(std::uint64_t offset, std::uint64_t size) noexcept {
    return size <= kMaxTextBytes && offset <= kMaxTextBytes - size;
  }
  [[nodiscard]] bool set_text(std::size_t field, std::string_view value) {
    const std::uint64_t offset = texts_.size();
    if (!text_fits(offset, value.size())) return false;
    texts_.append(value);
    slots_[field] = static_cast<std::int64_t>((offset << 32) | value.size());
    present_ |= static_cast<std::uint16_t>(1u << field);
    return true;
  }
  // The length of all texts together.
  std::size_t text_bytes() const noexcept { return texts_.size(); }

 private:
  std::string texts_;
  std::int64_t slots_[kMaxFields] = {};
  std::uint16_t present_ = 0;
  std::uint8_t variant_;
};

static_assert(kMaxFields <= 16, "presence is one bit per field in a 16-bit mask");

}  // namespace qv
