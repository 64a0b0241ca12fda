#include "commands/build_command.hpp"

#include "commands/py_values.hpp"

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
  const Variant& spec = kCatalogue[variant];
  std::vector<Param> params;
  params.reserve(spec.field_count);
  for (std::size_t i = 0; i < spec.field_count; ++i) {
    const Field& f = spec.fields[i];
    params.push_back(make_param(f.name, conv_for(f.kind), f.optional, value_class(f.kind)));
  }
  return params;
}

Signature field_signature(std::size_t variant, const std::string& owner, std::string_view name) {
  Signature sig;
  sig.full_name = owner + "." + std::string(name) + "()";
  sig.params = field_params(variant);
  return sig;
}

void fill_command(Command& command, const Arg* args) {
  const Variant& spec = command.spec();
  std::size_t text_bytes = 0;
  for (std::size_t i = 0; i < spec.field_count; ++i) {
    if (!args[i].present || !holds_text(spec.fields[i].kind)) continue;
    text_bytes += spec.fields[i].kind == Kind::Text ? args[i].text.size()
                                                    : value_wire_text(args[i].object).size();
  }
  command.reserve_text(text_bytes);
  for (std::size_t i = 0; i < spec.field_count; ++i) {
    const Field& f = spec.fields[i];
    const Arg& a = args[i];
    if (!a.present) {
      if (f.has_default) command.set_number(i, f.default_value);
      continue;
    }
    switch (f.kind) {
      case Kind::Text: command.set_text(i, a.text); break;
      case Kind::AudioFormatType:
      case Kind::PayloadType:
      case Kind::ToneType:
      case Kind::ConstantWithDescription: command.set_text(i, value_wire_text(a.object)); break;
      case Kind::Ecm:
      case Kind::Channels: command.set_number(i, value_number(a.object)); break;
      default: command.set_number(i, a.number); break;
    }
  }
}

std::string text_signature(std::size_t variant, std::string_view name, bool method) {
  const Variant& spec = kCatalogue[variant];
  std::string doc(name);
  doc += method ? "($self" : "(";
  for (std::size_t i = 0; i < spec.field_count; ++i) {
    if (i > 0 || method) doc += ", ";
    doc += spec.fields[i].name;
  }
  doc += ")\n--\n\n";
  return doc;
}

}  // namespace qv::py
