#pragma once
// The client's 54 per-command methods, generated from the command catalogue.
#include <vector>

#include "commands/core/catalogue.hpp"
#include "binding/ref.hpp"

namespace qv::py {

// The method definitions in registration order; null on failure (error set). Needs the
// value classes to exist. The table lives as long as the process.
const std::vector<PyMethodDef>* command_method_table();

}  // namespace qv::py
