#pragma once
// The members of the two enumerations a command field may take, with the number each sends.
// The Python classes and the stub generator's documentation are both made from these lists.
#include <cstdint>
#include <string_view>

namespace qv {

struct EnumMember {
  std::string_view name;  // also the class attribute (a literal: NUL-terminated)
  std::int64_t number;    // what the line carries
  std::string_view repr;  // a literal: NUL-terminated
};

inline constexpr EnumMember kEcmMembers[] = {
    {"No", 0, "ECM.No"},
    {"ECM64", 64, "ECM.ECM64"},
    {"ECM128", 128, "ECM.ECM128"},
    {"ECM256", 256, "ECM.ECM256"},
};

inline constexpr EnumMember kChannelsMembers[] = {
    {"Mono", 1, "Channels.Mono"},
    {"Stereo", 2, "Channels.Stereo"},
};

}  // namespace qv
