#pragma once
// The client's 54 per-command methods, generated from the command catalogue.
#include <array>

#include "commands/core/catalogue.hpp"
#include "binding/ref.hpp"

namespace qv::py {

// The method definitions in registration order; null name on failure (error set).
// Needs the value classes to exist. The table lives as long as the process.
const std::array<PyMethodDef, kVariantCount>* command_method_table();

}  // namespace qv::py
