#include "client/command_methods.hpp"

#include <string>
#include <utility>

#include "client/client_object.hpp"
#include "commands/build_command.hpp"
#include "commands/core/render.hpp"
#include "module/errors.hpp"

namespace qv::py {

namespace {

struct MethodInfo {
  Signature signature;  // empty parameter list for methods without Python arguments
  std::string doc;
};

std::array<MethodInfo, kVariantCount> g_methods;

bool takes_arguments(std::size_t variant) {
  return kCatalogue[variant].field_count > 0 &&
         kCatalogue[variant].method_args == MethodArgs::AsFactory;
}

// Replaces the pending send error with the internal failure this method reports instead.
void report_send_failure(std::size_t variant) {
  const Variant& spec = kCatalogue[variant];
  switch (spec.on_failure) {
    case OnSendFailure::Raise: return;
    case OnSendFailure::PanicTodo:
      raise_panic("TODO: panic message: " + describe_current_exception());
      return;
    case OnSendFailure::PanicNamed:
      raise_panic(std::string(spec.method) + " failed: " + describe_current_exception());
      return;
  }
}

PyObject* call_method(PyObject* self, std::size_t variant, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  auto* client = reinterpret_cast<ClientObject*>(self);
  const Signature& sig = g_methods[variant].signature;
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = nullptr;
  if (takes_arguments(variant)) {
    bound = bind_arguments(sig, args, nargs, kwnames, scratch);
    if (!bound) return nullptr;
  }
  ExclusiveUse use(client);
  if (!use) return nullptr;

  Arg converted[kMaxFields];
  if (kCatalogue[variant].method_args == MethodArgs::Credentials) {
    converted[0].present = converted[1].present = true;
    converted[0].text = client->username;
    converted[1].text = client->password;
  } else {
    for (std::size_t i = 0; i < sig.params.size(); ++i)
      if (!convert_argument(sig.params[i], bound[i], converted[i])) return nullptr;
  }
  Command command(variant);
  fill_command(command, converted);
  client->line.clear();
  append_line(command, client->line);
  std::uint64_t tag = 0;
  if (!send_tagged(client, tag)) {
    report_send_failure(variant);
    return nullptr;
  }
  Py_RETURN_NONE;
}

template <std::size_t V>
PyObject* method_with_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return call_method(self, V, args, nargs, kwnames);
}

template <std::size_t V>
PyObject* method_without_args(PyObject* self, PyObject*) {
  return call_method(self, V, nullptr, 0, nullptr);
}

PyMethodDef method_def(std::size_t variant, PyCFunction with, PyCFunction without) {
  const bool args = takes_arguments(variant);
  return PyMethodDef{kCatalogue[variant].method.data(), args ? with : without,
                     args ? METH_FASTCALL | METH_KEYWORDS : METH_NOARGS,
                     g_methods[variant].doc.c_str()};
}

template <std::size_t... I>
std::array<PyMethodDef, kVariantCount> by_variant(std::index_sequence<I...>) {
  return {method_def(I, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_with_args<I>)),
                     method_without_args<I>)...};
}

}  // namespace

const std::array<PyMethodDef, kVariantCount>* command_method_table() {
  static std::array<PyMethodDef, kVariantCount> table{};
  if (table[0].ml_name) return &table;
  for (std::size_t v = 0; v < kVariantCount; ++v) {
    MethodInfo& info = g_methods[v];
    const std::string_view name = kCatalogue[v].method;
    if (takes_arguments(v)) {
      info.signature = field_signature(v, "QuelvantClient", name);
      for (const Param& p : info.signature.params)
        if (!p.name) return nullptr;
      info.doc = text_signature(v, name, true);
    } else {
      info.doc = std::string(name) + "($self)\n--\n\n";
    }
  }
  const auto defs = by_variant(std::make_index_sequence<kVariantCount>{});
  for (std::size_t i = 0; i < kVariantCount; ++i) table[i] = defs[kClientMethodOrder[i]];
  return &table;
}

}  // namespace qv::py
