#pragma once
// The stub generator's texts beyond the stubs' own blocks: the docstrings (command_docs.cpp),
// which the stubs carry too, the documentation's reference pages (reference_pages.cpp) and
// the catalogue as JSON (catalogue_json.cpp).
#include <ostream>
#include <string_view>

#include "commands/core/catalogue.hpp"
#include "tools/command_text.hpp"

namespace qv::tools {

// A factory's docstring: Command.call_make's, say.
DocLines factory_doc(const Variant& v);
// A session's method of `v`, or (`handle`) a resource handle's, whose resource_id is its own.
DocLines session_doc(const Variant& v, bool async, bool handle = false);
// The printing client's method of `v`.
DocLines client_doc(const Variant& v);
// A docstring of the session layer's table (`key`, `text`), as the stubs give it.
DocLines table_doc(std::string_view key, std::string_view text);

// The C++ source of the per-command docstrings the module compiles in.
void write_command_docs(std::ostream& out);
// The pages on the commands and on the sessions' settings.
void write_reference(std::ostream& out);
void write_settings_reference(std::ostream& out);
// The catalogue as JSON (catalogue_json.cpp).
void write_catalogue(std::ostream& out);

}  // namespace qv::tools
