#pragma once
// The per-command methods of a session class, generated from the command catalogue as the
// client's are: each takes its factory's parameters, in order, every one that may be None
// defaulting to None, and a keyword-only `reply_timeout` (the session's timeout by default);
// it builds the command and hands it to the class's `submit`. A new catalogue entry is a new
// method of every session class.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "commands/build_command.hpp"
#include "binding/boundary.hpp"
#include "session/requests.hpp"
#include "session/settings.hpp"

namespace qv::py {

// Sends the command; `limit` bounds the wait for its reply (none: for ever).
using SubmitCommand = PyObject* (*)(PyObject* self, const Command& command,
                                    std::optional<double> limit);
// The settings of a session of the class (for its default timeout).
using SettingsOf = const SessionSettings& (*)(PyObject* self);

namespace detail {
// A parameter with a default may not come before one without: the optional fields must come
// last for them to default to None.
consteval bool optional_fields_last() {
  for (const Variant& v : kCatalogue)
    for (std::size_t i = 1; i < v.field_count; ++i)
      if (v.fields[i - 1].optional && !v.fields[i].optional) return false;
  return true;
}
}  // namespace detail
static_assert(detail::optional_fields_last(),
              "a session method defaults its optional fields to None, so they must come last");

template <SubmitCommand Submit, SettingsOf Settings>
class SessionMethods {
 public:
  // The definitions, in the client's order; null on failure (error set). `doc_line` is the
  // one-line docstring, with "{}" standing for the command word.
  static const std::array<PyMethodDef, kVariantCount>* table(const char* owner,
                                                             std::string_view doc_line) {
    if (defs_[0].ml_name) return &defs_;
    reply_timeout_ = make_param("reply_timeout", Conv::Seconds, true);
    if (!reply_timeout_.name) return nullptr;
    for (std::size_t v = 0; v < kVariantCount; ++v) {
      const std::string_view name = kCatalogue[v].method;
      Signature& sig = signatures_[v];
      sig = field_signature(v, owner, name);
      for (Param& p : sig.params) p.has_default = p.optional;
      sig.positional = sig.params.size();
      sig.params.push_back(make_defaulted_param("reply_timeout", Conv::Object));
      sig.python_wording = true;
      for (const Param& p : sig.params)
        if (!p.name) return nullptr;
      const std::size_t hole = doc_line.find("{}");
      std::string line(doc_line.substr(0, hole));
      if (hole != std::string_view::npos) {
        line += kCatalogue[v].name;
        line += doc_line.substr(hole + 2);
      }
      docs_[v] = text_signature(v, name, true, true, "reply_timeout=" QV_SESSION_TIMEOUT_NAME) +
                 line;
    }
    const auto defs = by_variant(std::make_index_sequence<kVariantCount>{});
    for (std::size_t i = 0; i < kVariantCount; ++i) defs_[i] = defs[kClientMethodOrder[i]];
    return &defs_;
  }

 private:
  template <std::size_t V>
  static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    constexpr std::size_t fields = kCatalogue[V].field_count;
    const Signature& sig = signatures_[V];
    PyObject* scratch[kMaxParams];
    PyObject* const* bound = bind_arguments(sig, args, nargs, kwnames, scratch);
    if (!bound) return nullptr;
    Command command(V);
    if constexpr (fields > 0) {
      std::array<PyObject*, fields> given;  // a left-out field is None
      for (std::size_t i = 0; i < fields; ++i) given[i] = bound[i] ? bound[i] : Py_None;
      if (!convert_fields<V>(sig, given.data(), command)) return nullptr;
    }
    std::optional<double> limit;
    if (!wait_limit(Settings(self), bound[fields], reply_timeout_, limit)) return nullptr;
    return Submit(self, command, limit);
  }

  template <std::size_t V>
  static PyMethodDef def() {
    return {kCatalogue[V].method.data(), method_entry<call<V>>(), METH_FASTCALL | METH_KEYWORDS,
            docs_[V].c_str()};
  }

  template <std::size_t... I>
  static std::array<PyMethodDef, kVariantCount> by_variant(std::index_sequence<I...>) {
    return {def<I>()...};
  }

  static inline Param reply_timeout_;  // how a given reply_timeout converts
  static inline std::array<Signature, kVariantCount> signatures_;
  static inline std::array<std::string, kVariantCount> docs_;
  static inline std::array<PyMethodDef, kVariantCount> defs_{};
};

}  // namespace qv::py
