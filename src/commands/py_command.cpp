#include "commands/py_command.hpp"

#include <array>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "net/line_buffer.hpp"
#include "commands/core/wire_line.hpp"
#include "commands/build_command.hpp"
#include "commands/core/render.hpp"
#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/type_support.hpp"

namespace qv::py {

namespace {

// Command, variant and record instances all hold one command value.
struct ValueObject {
  PyObject_HEAD
  Command value;
};

struct VariantClass {
  PyTypeObject* type = nullptr;         // Command_<V>
  PyTypeObject* record_type = nullptr;  // <V>, created on first need
  Signature factory;                    // Command.<factory>()
  Signature constructor;                // Command_<V>.__new__(_0)
  std::string variant_type_name;        // "builtins.Command_<V>", kept for the type's life
  std::string record_type_name;         // "builtins.<V>"
  std::string variant_doc;              // "Command_<V>(_0)\n--\n\n"
  std::string factory_doc;
};

PyTypeObject* g_command = nullptr;
std::array<VariantClass, kVariantCount> g_variants;
Param g_index_param;  // the subscript's `idx`

Command& value_of(PyObject* obj) { return reinterpret_cast<ValueObject*>(obj)->value; }

// Recently freed instances are reused (under the interpreter lock): allocating and freeing
// the object is otherwise a large share of a factory call. Sanitized builds skip the reuse
// so that every use after free is caught.
class FreeBlocks {
 public:
  void* take() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    if (count_ > 0) return blocks_[--count_];
#endif
    return PyObject_Malloc(sizeof(ValueObject));
  }
  void give(void* block) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    if (count_ < kCapacity) {
      blocks_[count_++] = block;
      return;
    }
#endif
    PyObject_Free(block);
  }

 private:
  static constexpr int kCapacity = 64;
  void* blocks_[kCapacity];
  int count_ = 0;
};

FreeBlocks g_free_blocks;

PyObject* new_value_object(PyTypeObject* type, Command&& value) {
  void* memory = g_free_blocks.take();
  if (!memory) return PyErr_NoMemory();
  PyObject* obj = PyObject_Init(static_cast<PyObject*>(memory), type);
  std::construct_at(&value_of(obj), std::move(value));
  return obj;
}

void Value_dealloc(PyObject* self) noexcept {
  std::destroy_at(&value_of(self));
  PyTypeObject* type = Py_TYPE(self);
  g_free_blocks.give(self);
  Py_DECREF(type);
}

// ---- record classes ----------------------------------------------------------------------

PyTypeObject* record_type(std::size_t variant) {
  VariantClass& vc = g_variants[variant];
  if (vc.record_type) return vc.record_type;
  static PyType_Slot slots[] = {
      {Py_tp_new, slot_entry<no_constructor_new>()},
      {Py_tp_dealloc, dealloc_slot<Value_dealloc>()},
      {0, nullptr},
  };
  vc.record_type_name = "builtins." + std::string(kCatalogue[variant].name);
  PyType_Spec shape = {vc.record_type_name.c_str(), sizeof(ValueObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  vc.record_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&shape));
  if (vc.record_type) vc.constructor.params[0].cls = vc.record_type;
  return vc.record_type;
}

// ---- variant classes ---------------------------------------------------------------------

std::size_t variant_of_class(PyTypeObject* type) {
  for (std::size_t i = 0; i < kVariantCount; ++i)
    if (g_variants[i].type == type) return i;
  return kVariantCount;
}

PyObject* Variant_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const std::size_t variant = variant_of_class(type);
  if (variant == kVariantCount) return no_constructor_new(type, args, kwargs);
  if (!record_type(variant)) return nullptr;
  const Signature& sig = g_variants[variant].constructor;
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_tuple_arguments(sig, args, kwargs, scratch);
  if (!bound) return nullptr;
  Arg record;
  if (!convert_argument(sig.params[0], bound[0], record)) return nullptr;
  return new_value_object(type, Command(value_of(record.object)));
}

PyObject* Variant_get_0(PyObject* self, void*) {
  const std::size_t variant = value_of(self).variant();
  PyTypeObject* type = record_type(variant);
  if (!type) return nullptr;
  return new_value_object(type, Command(value_of(self)));
}

Py_ssize_t Variant_length(PyObject*) { return 1; }

PyObject* Variant_subscript(PyObject* self, PyObject* key) {
  Arg index;
  if (!convert_argument(g_index_param, key, index)) return nullptr;
  if (index.number != 0) {
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return nullptr;
  }
  return Variant_get_0(self, nullptr);
}

PyObject* Command_str(PyObject* self) {
  static LineBuffer line;  // reused under the interpreter lock
  line.clear();
  append_command_text(line, value_of(self));
  PyObject* text = PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size()));
  line.release_if_large();  // one huge command must not keep its size for the process's life
  return text;
}

// ---- factories ---------------------------------------------------------------------------

template <std::size_t V>
PyObject* factory_with_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature& sig = g_variants[V].factory;
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_arguments(sig, args, nargs, kwnames, scratch);
  if (!bound) return nullptr;
  // Built in place inside the new object: no second copy of the value.
  Ref object = Ref::steal(new_value_object(g_variants[V].type, Command(V)));
  if (!object || !convert_fields<V>(sig, bound, value_of(object.get()))) return nullptr;
  return object.release();
}

template <std::size_t V>
PyObject* factory_without_args(PyObject*, PyObject*) {
  return wrap_command(Command(V));
}

template <std::size_t... I>
std::array<PyMethodDef, kVariantCount> factory_table(std::index_sequence<I...>) {
  auto entry = [](std::size_t v, PyCFunction with, PyCFunction without) {
    const bool no_args = kCatalogue[v].field_count == 0;
    return PyMethodDef{kCatalogue[v].factory.data(), no_args ? without : with,
                       no_args ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS,
                       g_variants[v].factory_doc.c_str()};
  };
  return {entry(I, method_entry<factory_with_args<I>>(), method_entry<factory_without_args<I>>())...};
}

// The factories are static methods of Command, as the interpreter itself registers a
// METH_STATIC method: a built-in function whose __self__ is the class (so its __qualname__
// is "Command.call_make"), wrapped in staticmethod (so documentation tools and help() see
// that no implicit first argument is taken).
bool add_factories(PyTypeObject* command) {
  static std::array<PyMethodDef, kVariantCount> factories =
      factory_table(std::make_index_sequence<kVariantCount>{});
  for (PyMethodDef& def : factories) {
    Ref function = Ref::steal(
        PyCFunction_NewEx(&def, reinterpret_cast<PyObject*>(command), nullptr));
    if (!function) return false;
    Ref method = Ref::steal(new_static_method(function.get()));
    if (!method || !set_type_attribute(command, def.ml_name, method.get())) return false;
  }
  return true;
}

}  // namespace

PyTypeObject* command_class() { return g_command; }

PyObject* wrap_command(Command&& value) {
  return new_value_object(g_variants[value.variant()].type, std::move(value));
}

const Command& command_value(PyObject* obj) { return value_of(obj); }

void raise_not_command_or_text(const std::string& what, PyObject* item) {
  set_error(PyExc_TypeError, what + ": '" + type_qualname(item) +
                                 "' object cannot be converted to 'Command' or 'PyString'");
}

PyTypeObject* init_command_classes() {
  if (g_command) return g_command;
  g_index_param = make_param("idx", Conv::U64);
  if (!g_index_param.name) return nullptr;
  for (std::size_t v = 0; v < kVariantCount; ++v) {
    VariantClass& vc = g_variants[v];
    const std::string name(kCatalogue[v].name);
    auto factory = field_signature(v, "Command", kCatalogue[v].factory);
    auto constructor =
        make_signature("Command_" + name + ".__new__()", {make_param("_0", Conv::Instance)});
    if (!factory || !constructor) return nullptr;
    vc.factory = std::move(*factory);
    vc.constructor = std::move(*constructor);
    vc.factory_doc = text_signature(v, kCatalogue[v].factory, false);
    vc.variant_type_name = "builtins.Command_" + name;
    vc.variant_doc = "Command_" + name + "(_0)\n--\n\n";
  }

  static PyType_Slot base_slots[] = {
      {Py_tp_new, slot_entry<no_constructor_new>()},
      {Py_tp_dealloc, dealloc_slot<Value_dealloc>()},
      {Py_tp_str, slot_entry<Command_str>()},
      {0, nullptr},
  };
  PyType_Spec base_spec = {"builtins.Command", sizeof(ValueObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                           base_slots};
  Ref base = Ref::steal(PyType_FromSpec(&base_spec));
  if (!base || !add_factories(reinterpret_cast<PyTypeObject*>(base.get()))) return nullptr;

  Ref match_args = Ref::steal(Py_BuildValue("(s)", "_0"));
  if (!match_args) return nullptr;
  static PyGetSetDef getset[] = {
      {"_0", entry<Variant_get_0>, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  for (std::size_t v = 0; v < kVariantCount; ++v) {
    VariantClass& vc = g_variants[v];
    PyType_Slot slots[] = {
        {Py_tp_new, slot_entry<Variant_new>()},
        {Py_tp_dealloc, dealloc_slot<Value_dealloc>()},
        {Py_tp_getset, getset},
        {Py_mp_length, slot_entry<Variant_length>()},
        {Py_mp_subscript, slot_entry<Variant_subscript>()},
        {Py_tp_doc, const_cast<char*>(vc.variant_doc.c_str())},
        {0, nullptr},
    };
    PyType_Spec shape = {vc.variant_type_name.c_str(), sizeof(ValueObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    Ref type = Ref::steal(PyType_FromSpecWithBases(&shape, base.get()));
    if (!type) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    if (!set_type_attribute(tp, "__match_args__", match_args.get())) return nullptr;
    if (!set_type_attribute(reinterpret_cast<PyTypeObject*>(base.get()),
                            std::string(kCatalogue[v].name).c_str(), type.get()))
      return nullptr;
    vc.type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
  }
  g_command = reinterpret_cast<PyTypeObject*>(base.release());
  return g_command;
}

}  // namespace qv::py
