#include "commands/build_command.hpp"

#include "commands/py_values.hpp"
#include "binding/errors.hpp"

namespace qv::py {

namespace {

Conv conv_for(Kind kind) {
  switch (kind) {
    case Kind::Text: return Conv::Text;
    case Kind::U8: return Conv::U8;
    case Kind::U16: return Conv::U16;
    case Kind::U32: return Conv::U32;
    case Kind::I16: return Conv::I16;
    case Kind::I64: return Conv::I64;
    case Kind::Bool: return Conv::Bool;
    default: return Conv::Instance;  // the value classes
  }
}

}  // namespace

std::vector<Param> field_params(std::size_t variant) {
  const Variant& entry = kCatalogue[variant];
  std::vector<Param> params;
  params.reserve(entry.field_count);
  for (std::size_t i = 0; i < entry.field_count; ++i) {
    const Field& f = entry.fields[i];
    params.push_back(make_param(f.name, conv_for(f.kind), f.optional, value_class(f.kind)));
  }
  return params;
}

std::optional<Signature> field_signature(std::size_t variant, const std::string& owner,
                                         std::string_view name) {
  return make_signature(owner + "." + std::string(name) + "()", field_params(variant));
}

bool store_text(Command& command, std::size_t field, std::string_view text) {
  if (command.set_text(field, text)) return true;
  set_error(PyExc_OverflowError, "argument '" + std::string(command.entry().fields[field].name) +
                                     "': the texts of one command must not exceed " +
                                     std::to_string(Command::kMaxTextBytes) + " bytes in all");
  return false;
}

bool store_field(Command& command, std::size_t field, const Arg& arg) {
  const Field& f = command.entry().fields[field];
  if (!arg.present) {
    if (f.has_default) command.set_number(field, f.default_value);
    return true;
  }
  switch (f.kind) {
    case Kind::Text: return store_text(command, field, arg.text);
    case Kind::AudioFormatType:
    case Kind::PayloadType:
    case Kind::ToneType:
    case Kind::ConstantWithDescription:
      return store_text(command, field, value_wire_text(arg.object));
    case Kind::Ecm:
    case Kind::Channels: command.set_number(field, value_number(arg.object)); return true;
    default: command.set_number(field, arg.number); return true;
  }
}

bool build_login(Command& login, std::string_view username, std::string_view password) {
  if (!store_text(login, 0, username) || !store_text(login, 1, password)) return false;
  for (std::size_t i = 2; i < login.entry().field_count; ++i) (void)store_field(login, i, Arg{});
  return true;
}

std::string text_signature(std::size_t variant, std::string_view name, bool method,
                           bool none_defaults, std::string_view keyword_only,
                           std::size_t first_field) {
  const Variant& entry = kCatalogue[variant];
  std::string doc(name);
  doc += method ? "($self" : "(";
  bool first = !method;
  auto next = [&] {
    if (!first) doc += ", ";
    first = false;
  };
  for (std::size_t i = first_field; i < entry.field_count; ++i) {
    next();
    doc += entry.fields[i].name;
    if (none_defaults && entry.fields[i].optional) doc += "=None";
  }
  if (!keyword_only.empty()) {
    next();
    doc += "*, ";
    doc += keyword_only;
  }
  doc += ")\n--\n\n";
  return doc;
}

}  // namespace qv::py
