#pragma once
// What a session receives, as the program sees it: one server line (decoded, stripped, with
// the tag it carries), or a mark in the stream of events where something happened.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

struct Incoming {
  enum class Kind : std::uint8_t {
    Line,         // a server line
    Lost,         // the connection was lost here: lines may be missing after this point
    Reconnected,  // a new connection was made and logged in
    Dropped,      // `count` events were left out here because the queue was full
  };
  Kind kind = Kind::Line;
  std::optional<std::uint64_t> tag;
  std::string text;
  std::uint64_t count = 0;
  double gap = 0;  // Reconnected: seconds from the loss to the new connection's Login
};

}  // namespace qv
