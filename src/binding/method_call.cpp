#include "binding/method_call.hpp"

#include <new>
#include <utility>
#include <vector>

namespace qv::py {

PyObject* attribute_name(const char* name) noexcept {
  // A few dozen literals at most, one per place that spells one: a scan by address is enough.
  // Kept for the process (never destroyed: the interpreter may be gone at exit).
  static auto* kept = new (std::nothrow) std::vector<std::pair<const char*, Ref>>();
  if (!kept) {
    PyErr_NoMemory();
    return nullptr;
  }
  for (const auto& [literal, interned] : *kept)
    if (literal == name) return interned.get();
  Ref made = Ref::steal(PyUnicode_InternFromString(name));
  if (!made) return nullptr;
  try {
    kept->emplace_back(name, std::move(made));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
  return kept->back().second.get();
}

}  // namespace qv::py
