#pragma once
// What the stub generator's files say of a command, whichever output it goes to: its fields
// in words, example calls with the lines the module renders of them, and docstrings as lines
// with the Python `def` that carries one (command_text.cpp).
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/core/catalogue.hpp"

namespace qv::tools {

// Command.CallMake's class in the stubs: "Command_CallMake".
std::string variant_class(const Variant& v);
// The factory's parameters as the stubs write them: "resource_id: SupportsIndex", ...
std::vector<std::string> factory_params(const Variant& v);
// `text` wrapped to the stubs' line length: the first line after `first` and a space, the
// others after `rest`.
void write_wrapped(std::ostream& out, const std::string& first, const std::string& rest,
                   std::string_view text);
// The commands a resource handle has a method for: those whose first field is resource_id.
bool names_a_resource(const Variant& v);
// The Python type a field accepts: "str", "SupportsIndex", "ECM", ...
std::string_view python_type(Kind kind);
// Whether a field is written by position, or after its key: "TimeOut=" for " TimeOut=".
bool positional(const Field& f);
std::string key_of(const Field& f);

// ---- what the documentation says of one command ----------------------------------------

// "0..255" for std::uint8_t.
template <class T>
std::string range_text() {
  return std::to_string(std::numeric_limits<T>::min()) + ".." +
         std::to_string(std::numeric_limits<T>::max());
}

// What a field accepts and how its value is written.
std::string kind_text(Kind kind);
// What None does, or that the value is required.
std::string presence_text(const Field& f);
// "positional", or the key it follows.
std::string placement_text(const Field& f);
// `CallMake <resource_id> <address> [TimeOut=<timeout>] ...`
std::string line_shape(const Variant& v);

// ---- example calls, rendered by the module's own renderer ------------------------------

// An example call: each argument as Python source ("None" where it is left out) and the
// line the renderer makes of it. `full` gives every optional value, otherwise none.
struct Example {
  std::vector<std::string> args;
  std::string line;
};

Example make_example(const Variant& v, bool full);
// The examples worth showing: the least call, and the fullest when it differs.
std::vector<Example> examples(const Variant& v);
// `prefix(7, "1001", None, ...)`: every argument by position.
std::string positional_call(std::string_view prefix, const Example& ex);
// `prefix(7, "1001", timeout=60000)`: required values by position, the others by keyword,
// None left out; the fields before `first_field` are not the call's.
std::string keyword_call(std::string_view prefix, const Variant& v, const Example& ex,
                         std::size_t first_field = 0);

// ---- docstrings ------------------------------------------------------------------------

// A docstring as lines, indented relative to its opening quotes.
using DocLines = std::vector<std::string>;

// A paragraph, wrapped, after an empty line unless it is the first.
void add_paragraph(DocLines& doc, std::string_view text, const std::string& indent = {});
// "Intro::" and the lines as a literal block.
void add_literal(DocLines& doc, std::string_view intro, const std::vector<std::string>& lines);
// "Args:" with a line on each field from `first_field` on, and on `extra_name` if given.
void add_args(DocLines& doc, const Variant& v, std::string_view extra_name = {},
              std::string_view extra_text = {}, std::size_t first_field = 0);
// "Title:" with a line on each item.
void add_section(DocLines& doc, std::string_view title,
                 std::initializer_list<std::pair<std::string_view, std::string_view>> items);

void write_docstring(std::ostream& out, std::string_view indent, const DocLines& doc);
// `def name(params) -> ret:` with a docstring, or `def ...: ...` without one; one parameter
// a line when it would not fit on one.
void write_def(std::ostream& out, std::string_view indent, std::string_view name,
               const std::vector<std::string>& params, std::string_view ret,
               const DocLines& doc = {});

}  // namespace qv::tools
