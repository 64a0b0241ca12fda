#pragma once
// The docstrings of the per-command methods of the sessions and their resource handles: made
// by the stub generator from the command catalogue (with example lines from the module's own
// renderer) and compiled in, the same text the stubs carry. Indexed by owner, then by
// catalogue entry; null where the owner has no method for the entry.
#include <cstddef>

#include "commands/core/catalogue.hpp"

namespace qv::py {

enum class CommandDocOwner : std::size_t { Session, AsyncSession, Resource, AsyncResource };

extern const char* const kCommandDocs[4][kVariantCount];

inline const char* command_doc(CommandDocOwner owner, std::size_t v) {
  return kCommandDocs[static_cast<std::size_t>(owner)][v];
}

}  // namespace qv::py
