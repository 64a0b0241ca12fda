#pragma once
#include <cstdint>

namespace qv {

// How many fork()s this process came out of as the child. An object made before a fork finds
// a different number in the child, where the threads it shared its locks with do not exist:
// it must then touch neither its locks nor its sockets' shared state.
std::uint64_t fork_generation() noexcept;

}  // namespace qv
