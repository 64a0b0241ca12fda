// What the generated texts say of a command: its fields' kinds and places in words, example
// calls whose lines the module's own renderer makes, and docstrings as lines, written into
// the stubs under their Python `def`.
#include "tools/command_text.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/core/render.hpp"
#include "commands/core/value_enums.hpp"

namespace qv::tools {

namespace {

// Black's default, so the stubs read like formatted Python.
constexpr std::size_t kLineLimit = 88;


// `text` as lines of at most kLineLimit: the first after `first` and a space, the others after
// `rest`. A word longer than a line stays whole.
std::vector<std::string> wrap(const std::string& first, const std::string& rest,
                              std::string_view text) {
  std::vector<std::string> lines;
  std::string line = first;
  bool words = false;  // on this line
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
    if (words && line.size() + 1 + word.size() > kLineLimit) {
      lines.push_back(std::move(line));
      line = rest;
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
    line += word;
    words = true;
  }
  lines.push_back(std::move(line));
  return lines;
}

std::string members_text(std::span<const qv::EnumMember> members) {
  std::string out;
  for (const qv::EnumMember& m : members) {
    if (!out.empty()) out += ", ";
    out += std::string(m.name) + " " + std::to_string(m.number);
  }
  return out;
}


// One line on a parameter: "resource_id: int, 0..4294967295; required; positional."
std::string field_text(const Field& f) {
  return kind_text(f.kind) + (f.optional ? ", or None" : "") + "; " + presence_text(f) + "; " +
         placement_text(f) + ".";
}

}  // namespace

// The Python type a field accepts. No default case: a new Kind must be given a type here
// (the build turns the missing case into an error).
std::string_view python_type(Kind kind) {
  switch (kind) {
    case Kind::Text:
      return "str";
    // Anything with __index__ is accepted, not only int.
    case Kind::U8:
    case Kind::U16:
    case Kind::U32:
    case Kind::I16:
    case Kind::I64:
      return "SupportsIndex";
    case Kind::Bool:
      return "bool";
    case Kind::AudioFormatType:
      return "AudioFormatType";
    case Kind::PayloadType:
      return "PayloadType";
    case Kind::ToneType:
      return "ToneType";
    case Kind::ConstantWithDescription:
      return "ConstantWithDescription";
    case Kind::Ecm:
      return "ECM";
    case Kind::Channels:
      return "Channels";
  }
  return {};
}

bool positional(const Field& f) { return f.prefix == " "; }
std::string key_of(const Field& f) { return std::string(f.prefix.substr(1)); }

std::string variant_class(const Variant& v) { return "Command_" + std::string(v.name); }

std::vector<std::string> factory_params(const Variant& v) {
  std::vector<std::string> params;
  for (std::size_t i = 0; i < v.field_count; ++i) {
    const Field& f = v.fields[i];
    std::string p = std::string(f.name) + ": " + std::string(python_type(f.kind));
    if (f.optional) p += " | None";
    params.push_back(std::move(p));
  }
  return params;
}

void write_wrapped(std::ostream& out, const std::string& first, const std::string& rest,
                   std::string_view text) {
  for (const std::string& line : wrap(first, rest, text)) out << line << '\n';
}

// The commands a resource handle has a method for: those whose first field is resource_id.
bool names_a_resource(const Variant& v) {
  return v.field_count > 0 && v.fields[0].name == "resource_id";
}

// ---- what the documentation says of one command ----------------------------------------

// What a field accepts and how its value is written. No default case, as for python_type().
std::string kind_text(Kind kind) {
  switch (kind) {
    case Kind::Text:
      return "str, one line (no CR or LF)";
    case Kind::U8:
      return "int, " + range_text<std::uint8_t>();
    case Kind::U16:
      return "int, " + range_text<std::uint16_t>();
    case Kind::U32:
      return "int, " + range_text<std::uint32_t>();
    case Kind::I16:
      return "int, " + range_text<std::int16_t>();
    case Kind::I64:
      return "int, " + range_text<std::int64_t>();
    case Kind::Bool:
      return "bool, sent as 1 or 0";
    case Kind::AudioFormatType:
      return "AudioFormatType, sent as its text";
    case Kind::PayloadType:
      return "PayloadType, sent as its text";
    case Kind::ToneType:
      return "ToneType, sent as its text";
    case Kind::ConstantWithDescription:
      return "ConstantWithDescription, sent as its value";
    case Kind::Ecm:
      return "ECM, sent as its number (" + members_text(qv::kEcmMembers) + ")";
    case Kind::Channels:
      return "Channels, sent as its number (" + members_text(qv::kChannelsMembers) + ")";
  }
  return {};
}

// What None does, or that the value is required.
std::string presence_text(const Field& f) {
  if (!f.optional) return "required";
  if (f.has_default)
    return "None sends " + (positional(f) ? std::string() : key_of(f)) +
           std::to_string(f.default_value);
  return "None leaves it off the line";
}

std::string placement_text(const Field& f) {
  return positional(f) ? "positional" : "key ``" + key_of(f) + "``";
}

// `CallMake <resource_id> <address> [TimeOut=<timeout>] ...`
std::string line_shape(const Variant& v) {
  std::string out(v.name);
  for (std::size_t i = 0; i < v.field_count; ++i) {
    const Field& f = v.fields[i];
    const std::string piece = (positional(f) ? std::string() : key_of(f)) + "<" +
                              std::string(f.name) + ">";
    out += f.optional ? " [" + piece + "]" : " " + piece;
  }
  return out;
}

// ---- example calls, rendered by the module's own renderer ------------------------------

namespace {

struct Sample {
  std::int64_t number = 0;
  std::string text;    // what the line carries, for the kinds that hold text
  std::string python;  // the argument as Python source
};

std::string python_text(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Plausible values by argument name; anything else takes its kind's sample below.
constexpr std::pair<std::string_view, std::string_view> kTextSamples[] = {
    {"username", "ivr"},
    {"password", "secret"},
    {"address", "1001"},
    {"reg_incoming_ani", "2000"},
    {"reg_incoming_dnis", "1001"},
    {"reg_incoming_rdn", "3000"},
    {"transport_type", "UDP"},
    {"direction", "Out"},
    {"device", "default"},
    {"caller_number", "2000"},
    {"caller_name", "Bob"},
    {"reason", "Busy"},
    {"dtmf_string", "123#"},
    {"alerting_type", "Ring"},
    {"file_name", "hello.wav"},
    {"file_path", "report.tif"},
    {"sender_control_address", "192.0.2.10:4001"},
    {"receiver_data_address", "192.0.2.20:4000"},
    {"receiver_control_address", "192.0.2.20:4001"},
    {"sender_data_address", "192.0.2.10:4000"},
    {"csi", "+15550100"},
    {"tsi", "+15550100"},
    {"header", "Daily report"},
};

constexpr std::pair<std::string_view, std::int64_t> kNumberSamples[] = {
    {"major", 2},          {"minor", 3},           {"revision", 1},
    {"timeout", 60000},    {"privacy", 1},         {"screen", 0},
    {"use_h450", 0},       {"buffers", 4},         {"duration", 500},
    {"delay", 100},        {"pause_duration", 1000}, {"sample_rate", 8000},
    {"index", 2},          {"skip_bytes", 44},     {"frequency", 440},
    {"frequency2", 480},   {"volume", 6},          {"file_offset", 0},
    {"max_duration", 60000}, {"max_silence", 5000}, {"buffer_optimum_size", 4096},
    {"rfc2833_payload_type", 101}, {"rtp_session_id", 1},
    {"jitter_buffer_length_min", 40}, {"jitter_buffer_length_max", 200},
    {"source_channel", 0}, {"sink_channel", 1},   {"resolution", 10},
};

struct DescribedSample {
  std::string_view name, value, description;
};
constexpr DescribedSample kDescribedSamples[] = {
    {"fax_mode", "T30", "T.30 fax"},
    {"speed", "14400", "14.4 kbit/s"},
    {"transformation", "None", "as it is"},
    {"paper_size", "A4", "A4 paper"},
    {"resolution", "Fine", "fine resolution"},
    {"document_type", "TIFF", "TIFF document"},
};

Sample sample_for(const Field& f, std::int64_t& next_id) {
  Sample s;
  switch (f.kind) {
    case Kind::Text:
      s.text = "text";
      for (const auto& [name, text] : kTextSamples)
        if (name == f.name) s.text = text;
      s.python = python_text(s.text);
      return s;
    case Kind::Bool:
      s.number = 1;
      s.python = "True";
      return s;
    case Kind::U8:
    case Kind::U16:
    case Kind::U32:
    case Kind::I16:
    case Kind::I64:
      if (!f.optional && f.name.ends_with("id")) {
        s.number = next_id++;  // resource ids, one after another
      } else {
        s.number = f.kind == Kind::I16 ? -6 : 1;
        for (const auto& [name, number] : kNumberSamples)
          if (name == f.name) s.number = f.kind == Kind::I16 ? -number : number;
      }
      s.python = std::to_string(s.number);
      return s;
    case Kind::AudioFormatType:
      s.text = "PCM16";
      s.python = "values.AudioFormatType(" + python_text(s.text) + ")";
      return s;
    case Kind::PayloadType:
      s.text = "PCMU";
      s.python = "values.PayloadType(" + python_text(s.text) + ")";
      return s;
    case Kind::ToneType:
      s.text = "Busy";
      s.python = "values.ToneType(" + python_text(s.text) + ")";
      return s;
    case Kind::ConstantWithDescription: {
      DescribedSample d{f.name, "1", "one"};
      for (const DescribedSample& known : kDescribedSamples)
        if (known.name == f.name) d = known;
      s.text = d.value;
      s.python = "values.ConstantWithDescription(" + python_text(d.value) + ", " +
                 python_text(d.description) + ")";
      return s;
    }
    case Kind::Ecm:
      s.number = qv::kEcmMembers[std::size(qv::kEcmMembers) - 1].number;
      s.python = "values." + std::string(qv::kEcmMembers[std::size(qv::kEcmMembers) - 1].repr);
      return s;
    case Kind::Channels:
      s.number = qv::kChannelsMembers[0].number;
      s.python = "values." + std::string(qv::kChannelsMembers[0].repr);
      return s;
  }
  return s;
}

bool has_optional(const Variant& v) {
  for (std::size_t i = 0; i < v.field_count; ++i)
    if (v.fields[i].optional) return true;
  return false;
}

}  // namespace

Example make_example(const Variant& v, bool full) {
  qv::Command command(static_cast<std::size_t>(&v - qv::kCatalogue.data()));
  Example ex;
  std::int64_t next_id = 7;
  for (std::size_t i = 0; i < v.field_count; ++i) {
    const Field& f = v.fields[i];
    if (f.optional && !full) {
      ex.args.emplace_back("None");
      if (f.has_default) command.set_number(i, f.default_value);  // as the factories do
      continue;
    }
    const Sample s = sample_for(f, next_id);
    if (qv::holds_text(f.kind)) {
      if (!command.set_text(i, s.text)) std::abort();  // a few bytes always fit
    } else {
      command.set_number(i, s.number);
    }
    ex.args.push_back(s.python);
  }
  ex.line.resize(qv::max_line_size(command));
  ex.line.resize(qv::render_into(command, ex.line.data()));
  return ex;
}

// The examples worth showing: the least call, and the fullest when it differs.
std::vector<Example> examples(const Variant& v) {
  std::vector<Example> out{make_example(v, false)};
  if (has_optional(v)) out.push_back(make_example(v, true));
  return out;
}

// `prefix(7, "1001", None, ...)`: every argument by position.
std::string positional_call(std::string_view prefix, const Example& ex) {
  std::string out(prefix);
  out += '(';
  for (std::size_t i = 0; i < ex.args.size(); ++i) out += (i ? ", " : "") + ex.args[i];
  return out + ")";
}

// `prefix(7, "1001", timeout=60000)`: required values by position, the others by keyword,
// None left out.
std::string keyword_call(std::string_view prefix, const Variant& v, const Example& ex,
                         std::size_t first_field) {
  std::string out(prefix);
  out += '(';
  bool first = true;
  for (std::size_t i = first_field; i < v.field_count; ++i) {
    if (ex.args[i] == "None") continue;
    out += first ? "" : ", ";
    first = false;
    if (v.fields[i].optional) out += std::string(v.fields[i].name) + "=";
    out += ex.args[i];
  }
  return out + ")";
}

// ---- docstrings ------------------------------------------------------------------------

void add_paragraph(DocLines& doc, std::string_view text, const std::string& indent) {
  if (!doc.empty()) doc.emplace_back();
  for (std::string& line : wrap(indent, indent, text)) doc.push_back(std::move(line));
}

void add_literal(DocLines& doc, std::string_view intro, const std::vector<std::string>& lines) {
  add_paragraph(doc, std::string(intro) + "::");
  doc.emplace_back();
  for (const std::string& line : lines) doc.push_back("    " + line);
}

void add_args(DocLines& doc, const Variant& v, std::string_view extra_name,
              std::string_view extra_text, std::size_t first_field) {
  if (v.field_count == first_field && extra_name.empty()) return;
  doc.emplace_back();
  doc.emplace_back("Args:");
  for (std::size_t i = first_field; i < v.field_count; ++i)
    for (std::string& line : wrap("    " + std::string(v.fields[i].name) + ":", "        ",
                                  field_text(v.fields[i])))
      doc.push_back(std::move(line));
  if (!extra_name.empty())
    for (std::string& line : wrap("    " + std::string(extra_name) + ":", "        ", extra_text))
      doc.push_back(std::move(line));
}

void add_section(DocLines& doc, std::string_view title,
                 std::initializer_list<std::pair<std::string_view, std::string_view>> items) {
  doc.emplace_back();
  doc.push_back(std::string(title) + ":");
  for (const auto& [name, text] : items)
    for (std::string& line : wrap("    " + std::string(name) + ":", "        ", text))
      doc.push_back(std::move(line));
}

void write_docstring(std::ostream& out, std::string_view indent, const DocLines& doc) {
  out << indent << "\"\"\"";
  for (std::size_t i = 0; i < doc.size(); ++i) {
    if (i > 0) out << '\n' << (doc[i].empty() ? std::string_view{} : indent);
    out << doc[i];
  }
  if (doc.size() > 1) out << '\n' << indent;
  out << "\"\"\"\n";
}

// `def name(params) -> ret:` with a docstring, or `def ...: ...` without one; one parameter
// a line when it would not fit on one.
void write_def(std::ostream& out, std::string_view indent, std::string_view name,
               const std::vector<std::string>& params, std::string_view ret,
               const DocLines& doc) {
  const std::string_view end = doc.empty() ? ": ...\n" : ":\n";
  std::string line = std::string(indent) + "def " + std::string(name) + "(";
  for (std::size_t i = 0; i < params.size(); ++i) line += (i ? ", " : "") + params[i];
  line += ") -> " + std::string(ret);
  if (line.size() + end.size() - 1 <= kLineLimit) {
    out << line << end;
  } else {
    out << indent << "def " << name << "(\n";
    for (const std::string& p : params) out << indent << "    " << p << ",\n";
    out << indent << ") -> " << ret << end;
  }
  if (!doc.empty()) write_docstring(out, std::string(indent) + "    ", doc);
}

}  // namespace qv::tools
