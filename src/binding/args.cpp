#include "binding/args.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "binding/errors.hpp"

namespace qv::py {

bool holds_line_break(std::string_view text) {
  // Eight bytes at a time: a byte equal to '\n' or '\r' becomes zero after the XOR, and the
  // classic "has a zero byte" test finds it.
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  const char* p = text.data();
  std::size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    const std::uint64_t lf = word ^ (kOnes * '\n');
    const std::uint64_t cr = word ^ (kOnes * '\r');
    if ((((lf - kOnes) & ~lf) | ((cr - kOnes) & ~cr)) & kHighs) return true;
  }
  for (; n > 0; ++p, --n)
    if (*p == '\n' || *p == '\r') return true;
  return false;
}

Param make_param(std::string_view name, Conv conv, bool optional, PyTypeObject* cls) {
  Param p;
  p.name = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  if (p.name) PyUnicode_InternInPlace(&p.name);
  p.text_name = std::string(name);
  p.conv = conv;
  p.optional = optional;
  p.cls = cls;
  return p;
}

Param make_defaulted_param(std::string_view name, Conv conv, bool optional) {
  Param p = make_param(name, conv, optional);
  p.has_default = true;
  return p;
}

std::optional<Signature> make_signature(std::string full_name, std::vector<Param> params,
                                        std::size_t positional, bool python_wording) {
  for (const Param& p : params)
    if (!p.name) return std::nullopt;  // the interpreter's error stays set
  Signature sig;
  sig.full_name = std::move(full_name);
  sig.params = std::move(params);
  sig.positional = positional;
  sig.python_wording = python_wording;
  return sig;
}

std::string type_qualname(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  const char* utf8 = name ? utf8_chars(name.get()) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return type_slot_name(Py_TYPE(obj));
  }
  return utf8;
}

namespace {

// CPython's list of missing names: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_name_list(const std::vector<const std::string*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2)
        out += " and ";
      else if (i + 1 == names.size())
        out += ", and ";
      else
        out += ", ";
    }
    out += '\'';
    out += *names[i];
    out += '\'';
  }
  return out;
}

std::ptrdiff_t find_keyword(const Signature& sig, PyObject* key) {
  const auto n = static_cast<std::ptrdiff_t>(sig.params.size());
  for (std::ptrdiff_t i = 0; i < n; ++i)
    if (sig.params[i].name == key) return i;
  // Not interned by the caller: compare by value.
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    const int eq = PyUnicode_Compare(sig.params[i].name, key);
    if (eq == 0) return i;
    if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
  }
  return -1;
}

std::string key_text(PyObject* key) {
  const char* s = PyUnicode_Check(key) ? utf8_chars(key) : nullptr;
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  return s;
}

}  // namespace

namespace {

std::string plural(Py_ssize_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// "<name> takes <n> positional arguments but <m> were given", as Python words it.
void too_many_positional(const Signature& sig, Py_ssize_t allowed, Py_ssize_t given,
                         Py_ssize_t keyword_only_given) {
  Py_ssize_t defaults = 0;
  for (Py_ssize_t i = 0; i < allowed; ++i) defaults += sig.params[i].has_default;
  std::string takes = defaults > 0 ? "from " + std::to_string(allowed - defaults) + " to " +
                                         std::to_string(allowed)
                                   : std::to_string(allowed);
  const bool many = !sig.python_wording || defaults > 0 || allowed != 1;
  std::string message =
      sig.full_name + " takes " + takes + " positional argument" + (many ? "s" : "") + " but " +
      std::to_string(given);
  if (keyword_only_given > 0) {
    message += std::string(" positional argument") + (given == 1 ? "" : "s") + " (and " +
               plural(keyword_only_given, "keyword-only argument") + ") were given";
  } else {
    message += given == 1 ? " was given" : " were given";
  }
  set_error(PyExc_TypeError, message);
}

}  // namespace

PyObject* const* bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, PyObject** scratch) {
  const auto n = static_cast<Py_ssize_t>(sig.params.size());
  const auto positional =
      static_cast<Py_ssize_t>(sig.positional < sig.params.size() ? sig.positional : sig.params.size());
  const Py_ssize_t nkw = kwnames ? tuple_size(kwnames) : 0;
  if (nkw == 0 && nargs == n && positional == n) return args;  // the common case

  for (Py_ssize_t i = 0; i < n; ++i) scratch[i] = i < nargs && i < positional ? args[i] : nullptr;
  Py_ssize_t keyword_only_given = 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = tuple_item(kwnames, k);
    const std::ptrdiff_t index = find_keyword(sig, key);
    if (index < 0) {
      set_error(PyExc_TypeError,
                sig.full_name + " got an unexpected keyword argument '" + key_text(key) + "'");
      return nullptr;
    }
    if (scratch[index] || (index < nargs && index < positional)) {
      set_error(PyExc_TypeError, sig.full_name + " got multiple values for argument '" +
                                     sig.params[index].text_name + "'");
      return nullptr;
    }
    scratch[index] = args[nargs + k];
    keyword_only_given += index >= positional;
  }
  // Checked after the keywords, in the order a Python function reports them.
  if (nargs > positional) {
    too_many_positional(sig, positional, nargs, keyword_only_given);
    return nullptr;
  }
  std::vector<const std::string*> missing;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!scratch[i] && !sig.params[i].has_default) missing.push_back(&sig.params[i].text_name);
  if (!missing.empty()) {
    set_error(PyExc_TypeError, sig.full_name + " missing " + std::to_string(missing.size()) +
                                   " required positional argument" +
                                   (missing.size() == 1 ? ": " : "s: ") +
                                   quoted_name_list(missing));
    return nullptr;
  }
  return scratch;
}

PyObject* const* bind_tuple_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                                      PyObject** scratch) {
  const Py_ssize_t nargs = tuple_size(args);
  const Py_ssize_t nkw = kwargs ? dict_size(kwargs) : 0;
  PyObject* const* items = tuple_items(args);
  if (items && nkw == 0) return bind_arguments(sig, items, nargs, nullptr, scratch);
  // Rare path (keywords, or a tuple whose item array cannot be seen): lay the call out as a
  // fast call would receive it.
  std::vector<PyObject*> flat;
  flat.reserve(static_cast<std::size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(tuple_item(args, i));
  Ref kwnames;
  if (nkw > 0) {
    kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return nullptr;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      tuple_fill(kwnames.get(), k++, Py_NewRef(key));
      flat.push_back(value);
    }
  }
  // Never a null array for no arguments: null is the failure.
  PyObject* const* given = flat.empty() ? scratch : flat.data();
  PyObject* const* bound = bind_arguments(sig, given, nargs, kwnames.get(), scratch);
  if (bound != flat.data() || flat.empty()) return bound;
  // Bound as given, to an array that ends here: the arguments (no more than the parameters)
  // go where they outlive the call.
  std::copy(flat.begin(), flat.end(), scratch);
  return scratch;
}

namespace {

void wrap_type_error(const Param& param) {
  Ref exc = Ref::steal(take_raised_exception());
  if (!exc || !PyErr_GivenExceptionMatches(exc.get(), PyExc_TypeError)) {
    set_raised_exception(exc.release());
    return;
  }
  Ref message = Ref::steal(PyObject_Str(exc.get()));
  if (!message) return;
  Ref wrapped_message =
      Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param.text_name.c_str(), message.get()));
  if (!wrapped_message) return;
  Ref wrapped = Ref::steal(call_one_arg(PyExc_TypeError, wrapped_message.get()));
  if (!wrapped) return;
  if (PyObject* cause = PyException_GetCause(exc.get()))  // new reference, stolen below
    PyException_SetCause(wrapped.get(), cause);
  set_raised_exception(wrapped.release());
}

bool refuse_type(PyObject* value, const char* expected) {
  std::string message = "'";  // appended, not prefixed: GCC 12 misreads the prefix's copy
  message += type_qualname(value);
  message += "' object cannot be converted to '";
  message += expected;
  message += "'";
  set_error(PyExc_TypeError, message);
  return false;
}

bool convert_text(const Param& param, PyObject* value, Arg& out) {
  if (!PyUnicode_Check(value)) return refuse_type(value, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (!utf8) return false;  // no UTF-8 form (lone surrogates): the interpreter's error stands
  out.text = std::string_view(utf8, static_cast<std::size_t>(size));
  if (param.conv == Conv::Text && holds_line_break(out.text)) {
    set_error(PyExc_ValueError, "argument '" + param.text_name +
                                    "': text must not contain a carriage return or line feed");
    return false;
  }
  return true;
}

// An int, or the result of __index__; null with the error set.
Ref as_index(PyObject* value) {
  if (PyLong_Check(value)) return Ref::borrow(value);
  return Ref::steal(PyNumber_Index(value));
}

bool out_of_range() {
  set_error(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

bool convert_small_int(const Param& param, PyObject* value, Arg& out) {
  Ref index = as_index(value);
  if (!index) return false;
  const long v = PyLong_AsLong(index.get());
  if (v == -1 && PyErr_Occurred()) return false;
  long lo = 0, hi = 0;
  switch (param.conv) {
    case Conv::U8: hi = 255; break;
    case Conv::U16: hi = 65535; break;
    default: lo = -32768; hi = 32767; break;
  }
  if (v < lo || v > hi) return out_of_range();
  out.number = v;
  return true;
}

bool convert_unsigned(const Param& param, PyObject* value, Arg& out) {
  Ref index = as_index(value);
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (param.conv == Conv::U32 && v > 0xffffffffull) return out_of_range();
  out.number = static_cast<std::int64_t>(v);
  return true;
}

bool convert_i64(PyObject* value, Arg& out) {
  Ref index = as_index(value);
  if (!index) return false;
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) return false;
  out.number = v;
  return true;
}

bool is_numpy_bool_type(PyTypeObject* type) {
  Ref module = Ref::steal(type_module_name(type));
  Ref name = Ref::steal(PyType_GetName(type));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  return text_equals(module.get(), "numpy") &&
         (text_equals(name.get(), "bool_") || text_equals(name.get(), "bool"));
}

bool convert_bool(PyObject* value, Arg& out) {
  if (value == Py_True || value == Py_False) {
    out.number = value == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(value);
  if (!is_numpy_bool_type(type)) return refuse_type(value, "PyBool");
  inquiry nb_bool = type_bool_slot(type);
  if (!nb_bool) {
    set_error(PyExc_TypeError, "object of type '" + type_qualname(value) +
                                   "' does not define a '__bool__' conversion");
    return false;
  }
  const int truth = nb_bool(value);
  if (truth < 0) return false;
  out.number = truth;
  return true;
}

bool convert_instance(const Param& param, PyObject* value, Arg& out) {
  if (!PyObject_TypeCheck(value, param.cls)) {
    Ref name = Ref::steal(PyType_GetName(param.cls));
    const char* expected = name ? utf8_chars(name.get()) : nullptr;
    if (!expected) return false;
    return refuse_type(value, expected);
  }
  out.object = value;
  return true;
}

bool convert_seconds(const Param& param, PyObject* value, Arg& out) {
  if (!PyFloat_Check(value) && !PyLong_Check(value)) return refuse_type(value, "PyFloat");
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  if (std::isnan(seconds)) {
    set_error(PyExc_ValueError, "argument '" + param.text_name +
                                    "': must be a number of seconds, and NaN is not a number");
    return false;
  }
  if (seconds < 0) {
    set_error(PyExc_ValueError, "argument '" + param.text_name +
                                    "': must be a number of seconds, not negative");
    return false;
  }
  out.seconds = seconds;
  return true;
}

bool convert_present(const Param& param, PyObject* value, Arg& out) {
  switch (param.conv) {
    case Conv::Text:
    case Conv::RawText: return convert_text(param, value, out);
    case Conv::U8:
    case Conv::U16:
    case Conv::I16: return convert_small_int(param, value, out);
    case Conv::U32:
    case Conv::U64: return convert_unsigned(param, value, out);
    case Conv::I64: return convert_i64(value, out);
    case Conv::Bool: return convert_bool(value, out);
    case Conv::Instance: return convert_instance(param, value, out);
    case Conv::Object: out.object = value; return true;
    case Conv::Seconds: return convert_seconds(param, value, out);
  }
  return false;
}

}  // namespace

bool convert_argument(const Param& param, PyObject* value, Arg& out) {
  if (param.optional && value == Py_None) {
    out.present = false;
    return true;
  }
  if (!convert_present(param, value, out)) {
    wrap_type_error(param);
    return false;
  }
  out.present = true;
  return true;
}

bool bind_and_convert(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Arg* out) {
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_arguments(sig, args, nargs, kwnames, scratch);
  if (!bound) return false;
  for (std::size_t i = 0; i < sig.params.size(); ++i)
    if (!convert_argument(sig.params[i], bound[i], out[i])) return false;
  return true;
}

}  // namespace qv::py
