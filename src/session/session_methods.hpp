#pragma once
// The per-command methods of a session class, generated from the command catalogue as the
// client's are: each takes its factory's parameters, builds the command and hands it to the
// class's `submit`. A new catalogue entry is a new method of every session class.
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "commands/build_command.hpp"
#include "binding/boundary.hpp"

namespace qv::py {

using SubmitCommand = PyObject* (*)(PyObject* self, const Command& command);

template <SubmitCommand Submit>
class SessionMethods {
 public:
  // The definitions, in the client's order; null on failure (error set). `doc_line` is the
  // one-line docstring, with "{}" standing for the command word.
  static const std::array<PyMethodDef, kVariantCount>* table(const char* owner,
                                                             std::string_view doc_line) {
    if (defs_[0].ml_name) return &defs_;
    for (std::size_t v = 0; v < kVariantCount; ++v) {
      const std::string_view name = kCatalogue[v].method;
      signatures_[v] = field_signature(v, owner, name);
      for (const Param& p : signatures_[v].params)
        if (!p.name) return nullptr;
      const std::size_t hole = doc_line.find("{}");
      std::string line(doc_line.substr(0, hole));
      if (hole != std::string_view::npos) {
        line += kCatalogue[v].name;
        line += doc_line.substr(hole + 2);
      }
      docs_[v] = text_signature(v, name, true) + line;
    }
    const auto defs = by_variant(std::make_index_sequence<kVariantCount>{});
    for (std::size_t i = 0; i < kVariantCount; ++i) defs_[i] = defs[kClientMethodOrder[i]];
    return &defs_;
  }

 private:
  template <std::size_t V>
  static PyObject* with_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    const Signature& sig = signatures_[V];
    PyObject* scratch[kMaxParams];
    PyObject* const* bound = bind_arguments(sig, args, nargs, kwnames, scratch);
    if (!bound) return nullptr;
    Command command(V);
    if (!convert_fields<V>(sig, bound, command)) return nullptr;
    return Submit(self, command);
  }

  template <std::size_t V>
  static PyObject* without_args(PyObject* self, PyObject*) {
    return Submit(self, Command(V));
  }

  template <std::size_t V>
  static PyMethodDef def() {
    if constexpr (kCatalogue[V].field_count > 0) {
      return {kCatalogue[V].method.data(), method_entry<with_args<V>>(),
              METH_FASTCALL | METH_KEYWORDS, docs_[V].c_str()};
    } else {
      return {kCatalogue[V].method.data(), method_entry<without_args<V>>(), METH_NOARGS,
              docs_[V].c_str()};
    }
  }

  template <std::size_t... I>
  static std::array<PyMethodDef, kVariantCount> by_variant(std::index_sequence<I...>) {
    return {def<I>()...};
  }

  static inline std::array<Signature, kVariantCount> signatures_;
  static inline std::array<std::string, kVariantCount> docs_;
  static inline std::array<PyMethodDef, kVariantCount> defs_{};
};

}  // namespace qv::py
