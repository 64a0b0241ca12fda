#include "binding/type_support.hpp"

namespace qv::py {

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

bool set_type_attribute(PyTypeObject* type, const char* name, PyObject* value) {
  Ref dict = Ref::steal(type_dict(type));
  if (!dict || PyDict_SetItemString(dict.get(), name, value) < 0) return false;
  PyType_Modified(type);
  return true;
}

}  // namespace qv::py
