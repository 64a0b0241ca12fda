#pragma once
// The per-command methods of a class, generated from the command catalogue: one generator for
// the client, both sessions and a session's resource handles. Each class has a method for
// every catalogue entry it takes, named as the client's, with the factory's parameters in
// order (less the leading ones the object gives itself); its body binds and converts them
// with the one binder and makes one submission the class's Policy says. A new catalogue
// entry is a new method of every class.
//
// A Policy has:
//   kOwner                       the class name, for messages ("Session")
//   takes(v)                     whether the class has a method for entry v
//   fixed_fields(v)              the leading fields the object fills itself (fill<V>)
//   kNoneDefaults                every optional field defaults to None
//   kReplyTimeout                a keyword-only `reply_timeout` follows the fields
//   kPythonWording               binding errors in Python's own wording (see Signature)
//   doc(v, text_signature)       the method's docstring, its text signature given
//   Use                          held across the call (Use(self); false: refused, error set)
//   fill<V>(self, command)       fills the fixed fields; false with the error set
//   submit(self, v, command, reply_timeout)
//                                sends it (reply_timeout: the argument given, or null); the
//                                method's result, or null with the error set
#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "commands/build_command.hpp"
#include "commands/core/catalogue.hpp"

namespace qv::py {

template <class Policy>
class CommandMethods {
 public:
  // The method definitions, in the client's order; null with the error set when the
  // parameter names could not be made. Made once; they live as long as the process.
  static const std::vector<PyMethodDef>* table() {
    if (made_) return &defs_;
    for (std::size_t v = 0; v < kVariantCount; ++v) {
      if (!Policy::takes(v)) continue;
      const std::string_view name = kCatalogue[v].method;
      std::vector<Param> params = field_params(v);
      params.erase(params.begin(), params.begin() + static_cast<std::ptrdiff_t>(Policy::fixed_fields(v)));
      std::size_t positional = SIZE_MAX;
      if constexpr (Policy::kNoneDefaults)
        for (Param& p : params) p.has_default = p.optional;
      if constexpr (Policy::kReplyTimeout) {
        positional = params.size();
        params.push_back(make_defaulted_param("reply_timeout", Conv::Object));
      }
      auto sig = make_signature(std::string(Policy::kOwner) + "." + std::string(name) + "()",
                                std::move(params), positional, Policy::kPythonWording);
      if (!sig) return nullptr;
      signatures_[v] = std::move(*sig);
      docs_[v] = Policy::doc(v, text_signature(v, name, true, Policy::kNoneDefaults,
                                               Policy::kReplyTimeout ? kReplyTimeoutShown : "",
                                               Policy::fixed_fields(v)));
    }
    const auto all = by_variant(std::make_index_sequence<kVariantCount>{});
    for (std::size_t i = 0; i < kVariantCount; ++i) {
      const std::size_t v = kClientMethodOrder[i];
      if (Policy::takes(v)) defs_.push_back(all[v]);
    }
    made_ = true;
    return &defs_;
  }

  // How the default of `reply_timeout` shows in a text signature.
  static constexpr const char* kReplyTimeoutShown = "reply_timeout=quelvant_rs.session.SESSION_TIMEOUT";

 private:
  template <std::size_t V>
  static constexpr bool takes_no_arguments() {
    return !Policy::kReplyTimeout && kCatalogue[V].field_count == Policy::fixed_fields(V);
  }

  template <std::size_t V>
  static PyObject* submit_from(PyObject* self, PyObject* const* bound) {
    constexpr std::size_t fields = kCatalogue[V].field_count;
    constexpr std::size_t fixed = Policy::fixed_fields(V);
    const typename Policy::Use use(self);
    if (!use) return nullptr;
    Command command(V);
    if (!Policy::template fill<V>(self, command)) return nullptr;
    if constexpr (fields > fixed) {
      std::array<PyObject*, fields - fixed> given;  // a field left out is None
      for (std::size_t i = 0; i < fields - fixed; ++i) given[i] = bound[i] ? bound[i] : Py_None;
      if (!convert_fields<V, fixed>(signatures_[V], given.data(), command)) return nullptr;
    }
    PyObject* reply_timeout = nullptr;
    if constexpr (Policy::kReplyTimeout) reply_timeout = bound[fields - fixed];
    return Policy::submit(self, V, command, reply_timeout);
  }

  template <std::size_t V>
  static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* scratch[kMaxParams];
    PyObject* const* bound = bind_arguments(signatures_[V], args, nargs, kwnames, scratch);
    if (!bound) return nullptr;
    return submit_from<V>(self, bound);
  }

  template <std::size_t V>
  static PyObject* call_without_arguments(PyObject* self, PyObject*) {
    return submit_from<V>(self, nullptr);
  }

  template <std::size_t V>
  static PyMethodDef def() {
    if (!Policy::takes(V)) return {};
    if constexpr (takes_no_arguments<V>())
      return {kCatalogue[V].method.data(), method_entry<call_without_arguments<V>>(), METH_NOARGS,
              docs_[V].c_str()};
    return {kCatalogue[V].method.data(), method_entry<call<V>>(), METH_FASTCALL | METH_KEYWORDS,
            docs_[V].c_str()};
  }

  template <std::size_t... I>
  static std::array<PyMethodDef, kVariantCount> by_variant(std::index_sequence<I...>) {
    return {def<I>()...};
  }

  static inline bool made_ = false;
  static inline std::array<Signature, kVariantCount> signatures_;
  static inline std::array<std::string, kVariantCount> docs_;
  static inline std::vector<PyMethodDef> defs_;
};

}  // namespace qv::py
