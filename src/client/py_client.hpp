#pragma once
#include "binding/ref.hpp"

namespace qv::py {

// Creates the QuelvantClient class (once per process); null with the error set.
PyTypeObject* init_client_class();

}  // namespace qv::py
