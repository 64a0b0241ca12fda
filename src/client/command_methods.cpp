#include "client/command_methods.hpp"

#include <string>
#include <utility>

#include "client/client_object.hpp"
#include "commands/core/tagged_send.hpp"
#include "commands/build_command.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"

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
  const Variant& entry = kCatalogue[variant];
  switch (entry.on_failure) {
    case OnSendFailure::Raise: return;
    case OnSendFailure::PanicTodo:
      raise_panic("TODO: panic message: " + describe_current_exception());
      return;
    case OnSendFailure::PanicNamed:
      raise_panic(std::string(entry.method) + " failed: " + describe_current_exception());
      return;
  }
}

// Renders the prepared command and sends it; the method's failure rule applies.
PyObject* send_command_line(ClientObject* client, std::size_t variant, const Command& command) {
  client->line.clear();
  append_command_text(client->line, command);
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
  auto* client = reinterpret_cast<ClientObject*>(self);
  const Signature& sig = g_methods[V].signature;
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_arguments(sig, args, nargs, kwnames, scratch);
  if (!bound) return nullptr;
  ExclusiveUse use(client);
  if (!use) return nullptr;
  Command command(V);
  if (!convert_fields<V>(sig, bound, command)) return nullptr;
  return send_command_line(client, V, command);
}

template <std::size_t V>
PyObject* method_without_args(PyObject* self, PyObject*) {
  auto* client = reinterpret_cast<ClientObject*>(self);
  ExclusiveUse use(client);
  if (!use) return nullptr;
  Command command(V);
  if constexpr (kCatalogue[V].method_args == MethodArgs::Credentials) {
    // The stored user name and password fill the first two fields; the rest take defaults.
    if (!build_login(command, client->username, client->password)) return nullptr;
  }
  return send_command_line(client, V, command);
}

PyMethodDef method_def(std::size_t variant, PyCFunction with, PyCFunction without) {
  const bool args = takes_arguments(variant);
  return PyMethodDef{kCatalogue[variant].method.data(), args ? with : without,
                     args ? METH_FASTCALL | METH_KEYWORDS : METH_NOARGS,
                     g_methods[variant].doc.c_str()};
}

template <std::size_t... I>
std::array<PyMethodDef, kVariantCount> by_variant(std::index_sequence<I...>) {
  return {method_def(I, method_entry<method_with_args<I>>(), method_entry<method_without_args<I>>())...};
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
