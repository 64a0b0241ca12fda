#pragma once
// From converted Python arguments to a command value, for every variant alike: the factories
// and the client's per-command methods both come through here.
#include <string>
#include <vector>

#include "commands/core/command.hpp"
#include "module/args.hpp"

namespace qv::py {

// The parameters of variant `variant`'s factory, straight from its catalogue entry.
// The value classes must exist (init_value_classes) before this is called.
std::vector<Param> field_params(std::size_t variant);

// A signature named "<owner>.<name>()" with the variant's field parameters.
Signature field_signature(std::size_t variant, const std::string& owner, std::string_view name);

// Stores the converted arguments into `command` (all fields, in order), applying the
// catalogue's default where an argument was None.
void fill_command(Command& command, const Arg* args);

// The docstring "<name>(<a>, <b>)\n--\n\n" (with "$self, " first for methods).
std::string text_signature(std::size_t variant, std::string_view name, bool method);

}  // namespace qv::py
