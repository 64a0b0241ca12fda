#pragma once
// Python's view of commands: the class Command with its 54 static factories, one variant class
// Command_<V> per variant and one opaque record class <V> per variant.
#include "commands/core/command.hpp"
#include "module/ref.hpp"

namespace qv::py {

// Creates Command and its variant classes (once per process); null with the error set.
PyTypeObject* init_command_classes();
PyTypeObject* command_class();

// Value to object: a new instance of the value's variant class.
PyObject* wrap_command(Command&& value);

// Object to value, without a copy: `obj` must be an instance of Command.
const Command& command_value(PyObject* obj);

}  // namespace qv::py
