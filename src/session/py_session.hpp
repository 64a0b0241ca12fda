#pragma once
#include "binding/ref.hpp"

namespace qv::py {

// Creates the Session class (once per process); null with the error set.
PyTypeObject* init_session_class();

}  // namespace qv::py
