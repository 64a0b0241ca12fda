#pragma once
// What Session and AsyncSession share about their classes: the signatures of the calls both
// have, and the making of the class itself from its own methods and the per-command ones.
#include <array>
#include <cstddef>
#include <vector>

#include "commands/core/catalogue.hpp"
#include "module/args.hpp"

namespace qv::py {

struct SessionSignatures {
  Signature constructor;
  Signature request;        // (command, timeout=...)
  Signature request_batch;  // (commands, timeout=...)
  Signature events;         // (timeout=...)
  Signature wait_for;       // (predicate, timeout=...)
  Param timeout;            // how a given timeout converts: seconds, or None
};

// Fills `sigs` for the class `owner`; false with the error set.
bool make_session_signatures(SessionSignatures& sigs, const char* owner);

struct SessionClassSpec {
  const char* owner;    // "Session"
  const char* summary;  // the class docstring after its signature
  std::size_t basicsize;
  void* new_slot;
  void* dealloc_slot;
  getter closed;
};

// The class, with `own` methods first and then the per-command ones (kept for the process).
PyTypeObject* make_session_class(const SessionClassSpec& spec, std::vector<PyMethodDef> own,
                                 const std::array<PyMethodDef, kVariantCount>& per_command);

}  // namespace qv::py
