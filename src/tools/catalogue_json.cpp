// The command catalogue as JSON (stub_generator --catalogue), installed beside the module for
// the Python code that needs the command words and fields without importing it: the stand-in
// server and the console.
#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

#include "tools/command_text.hpp"
#include "tools/generated_texts.hpp"

namespace qv::tools {

namespace {

// How the JSON names a kind: the integers by their range, the value classes by their name.
std::string_view kind_name(Kind kind) {
  switch (kind) {
    case Kind::Text:
      return "text";
    case Kind::U8:
      return "u8";
    case Kind::U16:
      return "u16";
    case Kind::U32:
      return "u32";
    case Kind::I16:
      return "i16";
    case Kind::I64:
      return "i64";
    case Kind::Bool:
    case Kind::AudioFormatType:
    case Kind::PayloadType:
    case Kind::ToneType:
    case Kind::ConstantWithDescription:
    case Kind::Ecm:
    case Kind::Channels:
      return python_type(kind);
  }
  return {};
}

// The catalogue's names are identifiers and keys; quotes and backslashes are escaped all the
// same, so the file stays JSON whatever an entry holds.
std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

// One command per line: its word, factory, session method and fields in order; a field's key
// is null when it is written by position, its default null when None leaves it off.
void write_catalogue(std::ostream& out) {
  out << "{\"format\": 1, \"commands\": [\n";
  for (std::size_t i = 0; i < qv::kCatalogue.size(); ++i) {
    const Variant& v = qv::kCatalogue[i];
    out << "  {\"word\": " << json_string(v.name) << ", \"factory\": " << json_string(v.factory)
        << ", \"method\": " << json_string(v.method) << ", \"fields\": [";
    for (std::size_t f = 0; f < v.field_count; ++f) {
      const Field& field = v.fields[f];
      std::string key = "null";
      if (!positional(field)) {
        std::string bare = key_of(field);
        bare.pop_back();  // the "=" after the key
        key = json_string(bare);
      }
      out << (f ? ", " : "") << "{\"name\": " << json_string(field.name)
          << ", \"kind\": " << json_string(kind_name(field.kind))
          << ", \"optional\": " << (field.optional ? "true" : "false") << ", \"key\": " << key
          << ", \"default\": "
          << (field.has_default ? std::to_string(field.default_value) : std::string("null"))
          << "}";
    }
    out << "]}" << (i + 1 < qv::kCatalogue.size() ? "," : "") << "\n";
  }
  out << "]}\n";
}

}  // namespace qv::tools
