#pragma once
#include "binding/ref.hpp"

namespace qv::py {

// Creates the AsyncSession class (once per process); null with the error set.
PyTypeObject* init_async_session_class();

}  // namespace qv::py
