#pragma once
// Python's view of commands: the class Command with its 54 static factories, one variant class
// Command_<V> per variant and one opaque record class <V> per variant.
#include <string>
#include <string_view>

#include "commands/core/command.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace qv::py {

// Creates Command and its variant classes (once per process); null with the error set.
PyTypeObject* init_command_classes();
PyTypeObject* command_class();

// Value to object: a new instance of the value's variant class.
PyObject* wrap_command(Command&& value);

// Object to value, without a copy: `obj` must be an instance of Command.
const Command& command_value(PyObject* obj);

// Raises TypeError "<what>: '<type>' object cannot be converted to 'Command' or 'PyString'".
void raise_not_command_or_text(const std::string& what, PyObject* item);

// What a call that takes a Command or a text was given: `command` for a Command (null
// otherwise), else `text`, the str's UTF-8 form. False with the error set: the TypeError above,
// or the interpreter's error for a str without a UTF-8 form (lone surrogates) with the note
// note() added. what() and note() make their texts only on failure.
template <class What, class Note>
bool command_or_text(PyObject* item, What&& what, Note&& note, const Command*& command,
                     std::string_view& text) {
  command = nullptr;
  if (PyObject_TypeCheck(item, command_class())) {
    command = &command_value(item);
    return true;
  }
  if (!PyUnicode_Check(item)) {
    raise_not_command_or_text(what(), item);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
  if (!utf8) {
    note_current_exception(note());
    return false;
  }
  text = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace qv::py
