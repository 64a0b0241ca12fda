#include "commands/py_values.hpp"

#include <memory>
#include <new>
#include <span>
#include <string>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/type_support.hpp"
#include "commands/core/value_enums.hpp"

namespace qv::py {

namespace {

struct EnumObject {
  PyObject_HEAD
  std::int64_t number;
  const char* repr;  // static text, "ECM.No"
};

struct TextValueObject {
  PyObject_HEAD
  std::string wire_text;
  std::string description;  // ConstantWithDescription only; carried, never rendered
};

PyTypeObject* g_classes[std::size(kValueKinds)] = {};

std::size_t slot_of(Kind kind) {
  for (std::size_t i = 0; i < std::size(kValueKinds); ++i)
    if (kValueKinds[i] == kind) return i;
  return std::size(kValueKinds);
}

// ---- enumerations ----------------------------------------------------------------------

PyObject* Enum_repr(PyObject* self) {
  return PyUnicode_FromString(reinterpret_cast<EnumObject*>(self)->repr);
}

PyObject* Enum_int(PyObject* self) {
  return PyLong_FromLongLong(reinterpret_cast<EnumObject*>(self)->number);
}

void Enum_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

PyTypeObject* make_enum(const char* qualified_name, std::span<const EnumMember> members) {
  static PyType_Slot slots[] = {
      {Py_tp_new, slot_entry<no_constructor_new>()},
      {Py_tp_repr, slot_entry<Enum_repr>()},
      {Py_nb_int, slot_entry<Enum_int>()},
      {Py_tp_dealloc, dealloc_slot<Enum_dealloc>()},
      {0, nullptr},
  };
  PyType_Spec shape = {qualified_name, sizeof(EnumObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  Ref type = Ref::steal(PyType_FromSpec(&shape));
  if (!type) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  for (const EnumMember& m : members) {
    EnumObject* obj = PyObject_New(EnumObject, tp);
    if (!obj) return nullptr;
    Ref member = Ref::steal(reinterpret_cast<PyObject*>(obj));
    obj->number = m.number;
    obj->repr = m.repr.data();
    if (!set_type_attribute(tp, m.name.data(), member.get())) return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

// ---- value records ---------------------------------------------------------------------

Signature& text_value_signature(std::size_t slot) {
  static Signature sigs[std::size(kValueKinds)];
  return sigs[slot];
}

std::size_t slot_of_type(PyTypeObject* type) {
  for (std::size_t i = 0; i < std::size(kValueKinds); ++i)
    if (g_classes[i] == type) return i;
  return std::size(kValueKinds);
}

PyObject* TextValue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const std::size_t slot = slot_of_type(type);
  const Signature& sig = text_value_signature(slot);
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_tuple_arguments(sig, args, kwargs, scratch);
  if (!bound) return nullptr;
  Arg converted[2];
  for (std::size_t i = 0; i < sig.params.size(); ++i)
    if (!convert_argument(sig.params[i], bound[i], converted[i])) return nullptr;
  PyObject* self = type_alloc(type);
  if (!self) return nullptr;
  auto* obj = reinterpret_cast<TextValueObject*>(self);
  std::construct_at(&obj->wire_text, converted[0].text);
  std::construct_at(&obj->description, sig.params.size() > 1 ? converted[1].text : "");
  return self;
}

void TextValue_dealloc(PyObject* self) noexcept {
  auto* obj = reinterpret_cast<TextValueObject*>(self);
  std::destroy_at(&obj->wire_text);
  std::destroy_at(&obj->description);
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

PyTypeObject* make_text_value(const char* qualified_name) {
  static PyType_Slot slots[] = {
      {Py_tp_new, slot_entry<TextValue_new>()},
      {Py_tp_dealloc, dealloc_slot<TextValue_dealloc>()},
      {0, nullptr},
  };
  PyType_Spec shape = {qualified_name, sizeof(TextValueObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&shape));
}

}  // namespace

bool init_value_classes() {
  if (g_classes[0]) return true;
  PyTypeObject* made[std::size(kValueKinds)] = {
      make_enum("builtins.ECM", kEcmMembers),
      make_enum("builtins.Channels", kChannelsMembers),
      make_text_value("builtins.AudioFormatType"),
      make_text_value("builtins.PayloadType"),
      make_text_value("builtins.ToneType"),
      make_text_value("builtins.ConstantWithDescription"),
  };
  for (PyTypeObject* t : made)
    if (!t) return false;
  static const char* const names[] = {"ECM", "Channels", "AudioFormatType", "PayloadType",
                                      "ToneType", "ConstantWithDescription"};
  for (std::size_t i = 2; i < std::size(kValueKinds); ++i) {
    std::vector<Param> params;
    if (kValueKinds[i] == Kind::ConstantWithDescription) {
      params.push_back(make_param("value", Conv::Text));
      params.push_back(make_param("description", Conv::Text));
    } else {
      params.push_back(make_param("text", Conv::Text));
    }
    auto sig = make_signature(std::string(names[i]) + ".__new__()", std::move(params));
    if (!sig) return false;
    text_value_signature(i) = std::move(*sig);
  }
  for (std::size_t i = 0; i < std::size(kValueKinds); ++i) g_classes[i] = made[i];
  return true;
}

PyTypeObject* value_class(Kind kind) {
  const std::size_t slot = slot_of(kind);
  return slot < std::size(kValueKinds) ? g_classes[slot] : nullptr;
}

std::string_view value_wire_text(PyObject* instance) {
  return reinterpret_cast<TextValueObject*>(instance)->wire_text;
}

std::int64_t value_number(PyObject* instance) {
  return reinterpret_cast<EnumObject*>(instance)->number;
}

}  // namespace qv::py
