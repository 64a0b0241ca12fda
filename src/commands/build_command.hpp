#pragma once
// From converted Python arguments to a command value, for every variant alike: the factories
// and the client's per-command methods both come through here.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/core/command.hpp"
#include "binding/args.hpp"

namespace qv::py {

// The parameters of variant `variant`'s factory, straight from its catalogue entry.
// The value classes must exist (init_value_classes) before this is called.
std::vector<Param> field_params(std::size_t variant);

// A signature named "<owner>.<name>()" with the variant's field parameters; nullopt with the
// error set when their names could not be made.
std::optional<Signature> field_signature(std::size_t variant, const std::string& owner,
                                         std::string_view name);

// Stores one converted argument into field `field`, applying the catalogue's default where
// the argument was None. False with OverflowError set when the command's texts together
// would be too long to represent (the error names the field's argument).
bool store_field(Command& command, std::size_t field, const Arg& arg);

// Stores a text into field `field`; false with the OverflowError of store_field.
bool store_text(Command& command, std::size_t field, std::string_view text);

// The Login a client sends for itself: its user name and password, the factory's defaults for
// the rest. False with the error of store_text.
bool build_login(Command& login, std::string_view username, std::string_view password);

namespace detail {

constexpr bool is_integer_kind(Kind k) {
  return k == Kind::U8 || k == Kind::U16 || k == Kind::U32 || k == Kind::I16 || k == Kind::I64;
}

// Field `I` of variant `V`. The field's kind is known at compile time, so the commonest
// arguments (None, a small int, an ASCII str) are stored without the general conversion;
// everything else, including every refusal, goes through convert_argument.
template <std::size_t V, std::size_t I>
inline bool convert_field(const Param& param, PyObject* value, Command& command) {
  constexpr Field f = kCatalogue[V].fields[I];
  if constexpr (f.optional) {
    if (value == Py_None) {
      if constexpr (f.has_default) command.set_number(I, f.default_value);
      return true;
    }
  }
  if constexpr (is_integer_kind(f.kind)) {
    Py_ssize_t v = 0;
    if (PyLong_CheckExact(value) && small_int_value(value, v)) {
      constexpr Py_ssize_t lo = f.kind == Kind::I16 ? -0x8000
                                : f.kind == Kind::I64 ? PY_SSIZE_T_MIN
                                                      : 0;
      constexpr Py_ssize_t hi = f.kind == Kind::U8    ? 0xff
                                : f.kind == Kind::U16 ? 0xffff
                                : f.kind == Kind::U32 ? 0xffffffff
                                : f.kind == Kind::I16 ? 0x7fff
                                                      : PY_SSIZE_T_MAX;
      if (v >= lo && v <= hi) {
        command.set_number(I, v);
        return true;
      }
    }
  } else if constexpr (f.kind == Kind::Text) {
    std::string_view text;
    if (PyUnicode_CheckExact(value) && cheap_utf8_view(value, text)) {
      if (!holds_line_break(text)) return store_text(command, I, text);
    }
  }
  Arg arg;
  return convert_argument(param, value, arg) && store_field(command, I, arg);
}

template <std::size_t V, std::size_t From, std::size_t... I>
inline bool convert_fields(const Signature& sig, PyObject* const* bound, Command& command,
                           std::index_sequence<I...>) {
  return (convert_field<V, From + I>(sig.params[I], bound[I], command) && ...);
}

}  // namespace detail

// Converts bound arguments (in parameter order) straight into the fields of `command`, a
// command of variant V, from field `From` on (those before it the caller filled); false with
// the error set at the first failure.
template <std::size_t V, std::size_t From = 0>
bool convert_fields(const Signature& sig, PyObject* const* bound, Command& command) {
  return detail::convert_fields<V, From>(
      sig, bound, command, std::make_index_sequence<kCatalogue[V].field_count - From>{});
}

// The docstring "<name>(<a>, <b>)\n--\n\n" (with "$self, " first for methods), from field
// `first_field` on. With `none_defaults` every optional field shows "=None"; `keyword_only`
// ("c=1, d=2"), when given, follows a "*".
std::string text_signature(std::size_t variant, std::string_view name, bool method,
                           bool none_defaults = false, std::string_view keyword_only = {},
                           std::size_t first_field = 0);

}  // namespace qv::py
