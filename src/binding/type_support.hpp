#pragma once
// Small pieces shared by the module's classes.
#include "binding/ref.hpp"

namespace qv::py {

// tp_new of a class without constructor: "No constructor defined for <name of the class called>".
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Adds `value` to a type's own dictionary after creation (immutable types refuse setattr).
bool set_type_attribute(PyTypeObject* type, const char* name, PyObject* value);

}  // namespace qv::py
