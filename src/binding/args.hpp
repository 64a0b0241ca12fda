#pragma once
// The one way every Python-callable of the module binds its arguments to its parameters and
// converts each to a typed value, with CPython's own wording for binding errors.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/ref.hpp"

namespace qv::py {

enum class Conv : std::uint8_t {
  Text,      // str; refuses a carriage return or line feed (they would split a protocol line)
  RawText,   // str, sent as given
  U8,
  U16,
  I16,
  U32,
  U64,
  I64,
  Bool,      // True/False or a NumPy boolean
  Instance,  // an instance of `cls`
  Object,    // any object, taken as it is (the callable checks it itself)
  Seconds,   // an int or float, not negative and not NaN: a length of time
};

struct Param {
  // Interned, for keyword matching by identity. A reference held for the life of the process:
  // parameter tables are static and outlive the interpreter at exit, so they never release it.
  PyObject* name = nullptr;
  std::string text_name;  // for messages
  Conv conv = Conv::Text;
  bool optional = false;
  PyTypeObject* cls = nullptr;  // Conv::Instance; lives as long as the process
  bool has_default = false;     // may be left out: its bound argument is then null
};

struct Signature {
  std::string full_name;  // "Command.call_make()", used to start binding errors
  std::vector<Param> params;
  // Parameters from this one on are keyword-only (only callables beyond the protocol's have
  // them).
  std::size_t positional = SIZE_MAX;
  // Python's own wording in every message, a singular "argument" included; the protocol's
  // callables keep "arguments" always.
  bool python_wording = false;
};

Param make_param(std::string_view name, Conv conv, bool optional = false,
                 PyTypeObject* cls = nullptr);
// A parameter that may be left out (the callable applies its default).
Param make_defaulted_param(std::string_view name, Conv conv, bool optional = false);

// A signature, once every parameter's name was made; nullopt with the error set otherwise.
std::optional<Signature> make_signature(std::string full_name, std::vector<Param> params,
                                        std::size_t positional = SIZE_MAX,
                                        bool python_wording = false);

// Upper bound on parameters of any callable (a session's constructor has the most).
inline constexpr std::size_t kMaxParams = 12;

// Binds a fast call to `sig`. Returns the arguments in parameter order (either `args` itself
// or `scratch`, which must hold kMaxParams entries), or nullptr with TypeError set. A
// parameter left out (one with a default) is bound to null.
PyObject* const* bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, PyObject** scratch);

// The same for a classic (tuple, dict) call, as a type's __new__ receives it.
PyObject* const* bind_tuple_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                                      PyObject** scratch);

// A converted argument. `text` borrows the str's cached UTF-8; `object` is borrowed.
// Only the member the parameter's conversion fills is meaningful.
struct Arg {
  bool present = false;
  std::int64_t number;  // U64 stored bit for bit
  std::string_view text;
  PyObject* object;
  double seconds;
};

// Converts one bound argument. On failure returns false with the error set; a TypeError is
// re-raised as "argument '<name>': <message>", keeping its cause.
bool convert_argument(const Param& param, PyObject* value, Arg& out);

// Binds and converts in one go; false with the error set on the first failure.
bool bind_and_convert(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Arg* out);

// Whether a text holds a carriage return or line feed (which would end a protocol line).
bool holds_line_break(std::string_view text);

// The qualified name of an object's type, for messages ("int", "NoneType", "CallAnswer").
std::string type_qualname(PyObject* obj);

}  // namespace qv::py
