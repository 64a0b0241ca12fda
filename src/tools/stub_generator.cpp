// Writes the module's type stubs. The fixed parts live in stubs/*.pyi.in; every line there
// that is just a marker such as `@@factories@@` is replaced by text generated from the
// command catalogue (or the sessions' settings table), so a new catalogue entry (or setting)
// reaches the stubs with no other edit. The per-command docstrings, and the command reference
// of the documentation site, are generated here too, from the same entries; their example
// lines are rendered by the module's own renderer.
//
// Usage: stub_generator [--reference RST_DIR] [--catalogue JSON_FILE] TEMPLATE_DIR OUTPUT_DIR
//                       NAME...
//   reads TEMPLATE_DIR/NAME.in and writes OUTPUT_DIR/NAME for each NAME; with --reference,
//   also writes the documentation's pages on the commands and on the sessions' settings
//   (reStructuredText) to RST_DIR/commands.rst and RST_DIR/settings.rst; with --catalogue,
//   the command catalogue as JSON, installed beside the module for the Python code that
//   needs the command words without importing it (the stand-in server, the console).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/core/catalogue.hpp"
#include "commands/core/render.hpp"
#include "commands/core/value_enums.hpp"
#include "session/core/settings_table.hpp"

namespace {

using qv::Field;
using qv::Kind;
using qv::Variant;

// Black's default, so the stubs read like formatted Python.
constexpr std::size_t kLineLimit = 88;

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

void write_wrapped(std::ostream& out, const std::string& first, const std::string& rest,
                   std::string_view text) {
  for (const std::string& line : wrap(first, rest, text)) out << line << '\n';
}

// ---- what the documentation says of one command ----------------------------------------

template <class T>
std::string range_text() {
  return std::to_string(std::numeric_limits<T>::min()) + ".." +
         std::to_string(std::numeric_limits<T>::max());
}

std::string members_text(std::span<const qv::EnumMember> members) {
  std::string out;
  for (const qv::EnumMember& m : members) {
    if (!out.empty()) out += ", ";
    out += std::string(m.name) + " " + std::to_string(m.number);
  }
  return out;
}

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

bool positional(const Field& f) { return f.prefix == " "; }
// "TimeOut=" for the prefix " TimeOut=".
std::string key_of(const Field& f) { return std::string(f.prefix.substr(1)); }

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

// One line on a parameter: "resource_id: int, 0..4294967295; required; positional."
std::string field_text(const Field& f) {
  return kind_text(f.kind) + (f.optional ? ", or None" : "") + "; " + presence_text(f) + "; " +
         placement_text(f) + ".";
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

// An example call: each argument as Python source ("None" where it is left out) and the
// line the renderer makes of it. `full` gives every optional value, otherwise none.
struct Example {
  std::vector<std::string> args;
  std::string line;
};

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

bool has_optional(const Variant& v) {
  for (std::size_t i = 0; i < v.field_count; ++i)
    if (v.fields[i].optional) return true;
  return false;
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
std::string keyword_call(std::string_view prefix, const Variant& v, const Example& ex) {
  std::string out(prefix);
  out += '(';
  bool first = true;
  for (std::size_t i = 0; i < v.field_count; ++i) {
    if (ex.args[i] == "None") continue;
    out += first ? "" : ", ";
    first = false;
    if (v.fields[i].optional) out += std::string(v.fields[i].name) + "=";
    out += ex.args[i];
  }
  return out + ")";
}

// ---- docstrings ------------------------------------------------------------------------

// A docstring as lines, indented relative to its opening quotes.
using DocLines = std::vector<std::string>;

void add_paragraph(DocLines& doc, std::string_view text, const std::string& indent = {}) {
  if (!doc.empty()) doc.emplace_back();
  for (std::string& line : wrap(indent, indent, text)) doc.push_back(std::move(line));
}

void add_literal(DocLines& doc, std::string_view intro, const std::vector<std::string>& lines) {
  add_paragraph(doc, std::string(intro) + "::");
  doc.emplace_back();
  for (const std::string& line : lines) doc.push_back("    " + line);
}

void add_args(DocLines& doc, const Variant& v, std::string_view extra_name = {},
              std::string_view extra_text = {}) {
  if (v.field_count == 0 && extra_name.empty()) return;
  doc.emplace_back();
  doc.emplace_back("Args:");
  for (std::size_t i = 0; i < v.field_count; ++i)
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
               const DocLines& doc = {}) {
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

DocLines factory_doc(const Variant& v) {
  DocLines doc;
  add_paragraph(doc, "Build a ``" + std::string(v.name) +
                         "`` command; ``str()`` of it is its line, without tag or line end.");
  if (v.field_count > 0)
    add_paragraph(doc, "Every argument is required, by position or by keyword; pass None for an "
                       "optional value.");
  add_literal(doc, "Line", {line_shape(v)});
  add_args(doc, v);
  add_section(doc, "Returns", {{"Command." + std::string(v.name), "the command, a value."}});
  std::vector<std::string> lines;
  for (const Example& ex : examples(v)) {
    lines.push_back(positional_call("str(Command." + std::string(v.factory), ex) + ")");
    lines.push_back("# " + ex.line);
  }
  add_literal(doc, "Example", lines);
  return doc;
}

constexpr std::string_view kReplyTimeoutText =
    "seconds to wait for the reply; None waits for ever; the default, SESSION_TIMEOUT, is the "
    "session's own timeout.";

DocLines session_doc(const Variant& v, bool async) {
  DocLines doc;
  const std::string word(v.name);
  add_paragraph(doc, async ? "Send ``" + word + "`` at once, tagged; await the result for its reply."
                           : "Send ``" + word + "``, tagged, and wait for its reply.");
  add_literal(doc, "Line", {line_shape(v) + " COMMANDTAG=<tag>"});
  add_args(doc, v, "reply_timeout", kReplyTimeoutText);
  add_section(doc, "Returns",
              {{"Reply", async ? "what the awaitable gives: the line that carries the request's "
                                 "tag (the awaitable is also a coroutine, for "
                                 "asyncio.create_task and gather)."
                               : "the line that carries the request's tag."}});
  add_section(doc, "Raises",
              {{"TimeoutError", "no reply within reply_timeout; the reply, if it comes later, is "
                                "an Event."},
               {"ServerError", "the session's is_failure predicate says the reply failed."},
               {"ConnectionError", "the connection was lost before the reply came; the next "
                                   "call reconnects."},
               {"TypeError", "an argument of the wrong type; nothing is sent."},
               {"OverflowError", "a number out of its range; nothing is sent."},
               {"ValueError", "a text holding CR or LF; nothing is sent."}});
  std::vector<std::string> lines;
  const std::string call = (async ? "await s." : "s.") + std::string(v.method);
  for (const Example& ex : examples(v)) {
    lines.push_back(keyword_call(call, v, ex));
    lines.push_back("# sends " + ex.line + " COMMANDTAG=<tag>");
  }
  add_literal(doc, "Example", lines);
  return doc;
}

DocLines client_doc(const Variant& v) {
  DocLines doc;
  const std::string word(v.name);
  add_paragraph(doc, "Send ``" + word + "`` with the next command tag and return; no reply is "
                                       "awaited (the reader thread prints what comes back).");
  add_literal(doc, "Line", {line_shape(v) + " COMMANDTAG=<tag>"});
  std::vector<std::string> lines;
  if (v.method_args == qv::MethodArgs::Credentials) {
    add_paragraph(doc, "Takes no argument: the line carries the client's username and password, "
                       "then the defaults of the factory's other values.");
    Example ex = make_example(v, false);
    lines.push_back("c.login()  # a client made with username \"ivr\", password \"secret\"");
    lines.push_back("# sends " + ex.line + " COMMANDTAG=<tag>");
  } else {
    if (v.field_count > 0)
      add_paragraph(doc, "Every argument is required, by position or by keyword; pass None for "
                         "an optional value.");
    add_args(doc, v);
    for (const Example& ex : examples(v)) {
      lines.push_back(positional_call("c." + std::string(v.method), ex));
      lines.push_back("# sends " + ex.line + " COMMANDTAG=<tag>");
    }
  }
  const std::string failed =
      v.on_failure == qv::OnSendFailure::PanicTodo ? "TODO: panic message"
                                                   : std::string(v.method) + " failed";
  if (v.on_failure == qv::OnSendFailure::Raise) {
    add_section(doc, "Raises",
                {{"RuntimeError", "the client is not connected (\"No active connection to send "
                                  "message\"); the tag is not used."},
                 {"OSError", "the write failed (\"Failed to send message: ...\"); the tag is "
                             "not used."}});
  } else {
    const std::string text =
        "the send failed (not connected, or the write failed): the internal-failure exception, "
        "reported as pyo3_runtime.PanicException, with the text \"" + failed +
        ": \" and a description of the send's error. It derives from BaseException, so "
        "``except Exception`` does not catch it. The tag is not used.";
    add_section(doc, "Raises", {{"BaseException", text}});
  }
  add_literal(doc, "Example", lines);
  return doc;
}

// Command.CallMake is the variant class itself. Declared as an alias, not a `type[...]`
// attribute, so it also works in annotations and class patterns.
void variant_aliases(std::ostream& out, std::string_view indent) {
  for (const Variant& v : qv::kCatalogue)
    out << indent << v.name << ": TypeAlias = " << variant_class(v) << '\n';
}

void factories(std::ostream& out, std::string_view indent) {
  for (const Variant& v : qv::kCatalogue) {
    out << indent << "@staticmethod\n";
    write_def(out, indent, v.factory, factory_params(v), variant_class(v), factory_doc(v));
  }
}

void variant_classes(std::ostream& out, std::string_view indent) {
  bool first = true;
  for (const Variant& v : qv::kCatalogue) {
    if (!first) out << '\n';
    first = false;
    const std::string in(indent);
    // Not @type_check_only although absent from the module: a checker would then also
    // refuse Command.CallMake, the alias, in ordinary code.
    out << in << "@final\n" << in << "class " << variant_class(v) << "(Command):\n";
    write_docstring(out, in + "    ",
                    {"A ``" + std::string(v.name) + "`` command, as ``Command." +
                         std::string(v.factory) + "(...)`` builds it: reached as ``Command." +
                         std::string(v.name) + "``,",
                     "matched as ``case Command." + std::string(v.name) +
                         "(record)``; it holds one record, ``_0``."});
    out << in << "    __match_args__ = (\"_0\",)\n";
    write_def(out, in + "    ", "__new__", {"cls", "_0: " + std::string(v.name)}, "Self",
              {"The same command again, from the record of one."});
    out << in << "    @property\n";
    write_def(out, in + "    ", "_0", {"self"}, std::string(v.name),
              {"The command's arguments as one opaque record."});
    write_def(out, in + "    ", "__len__", {"self"}, "int", {"1: the command holds one record."});
    write_def(out, in + "    ", "__getitem__", {"self", "idx: SupportsIndex", "/"},
              std::string(v.name), {"The record at index 0 (IndexError otherwise)."});
  }
}

// A command's arguments as one value; Python only carries it from one Command to another.
// No module holds these classes at runtime, so they may appear in annotations only.
void record_classes(std::ostream& out, std::string_view indent) {
  bool first = true;
  for (const Variant& v : qv::kCatalogue) {
    if (!first) out << '\n';
    first = false;
    out << indent << "@final\n"
        << indent << "@type_check_only\n"
        << indent << "class " << v.name << ":\n";
    write_docstring(out, std::string(indent) + "    ",
                    {"The arguments of a ``" + std::string(v.name) +
                     "`` command, opaque to Python: ``Command." + std::string(v.name) +
                     "(record)`` makes the command again."});
  }
}

// A session's per-command methods take the factory's parameters, login's included, under the
// client's method names, in the client's order; each that may be None defaults to None, and
// the keyword-only reply_timeout follows.
void session_methods_returning(std::ostream& out, std::string_view indent, std::string_view ret,
                               bool async) {
  for (std::size_t index : qv::kClientMethodOrder) {
    const Variant& v = qv::kCatalogue[index];
    std::vector<std::string> params{"self"};
    for (std::string& p : factory_params(v))
      params.push_back(p.ends_with(" | None") ? std::move(p) + " = None" : std::move(p));
    params.push_back("*");
    params.push_back("reply_timeout: _WaitLimit = SESSION_TIMEOUT");
    write_def(out, indent, v.method, params, ret, session_doc(v, async));
  }
}

void session_methods(std::ostream& out, std::string_view indent) {
  session_methods_returning(out, indent, "Reply", false);
}

void async_session_methods(std::ostream& out, std::string_view indent) {
  session_methods_returning(out, indent, "Pending[Reply]", true);
}

// In the order the client registers them.
void client_methods(std::ostream& out, std::string_view indent) {
  for (std::size_t index : qv::kClientMethodOrder) {
    const Variant& v = qv::kCatalogue[index];
    std::vector<std::string> params{"self"};
    if (v.method_args == qv::MethodArgs::AsFactory) {
      for (std::string& p : factory_params(v)) params.push_back(std::move(p));
    }
    write_def(out, indent, v.method, params, "None", client_doc(v));
  }
}

// The Python type a session setting accepts. No default case, as for python_type().
std::string_view setting_type(qv::SettingKind kind) {
  switch (kind) {
    case qv::SettingKind::Address:
    case qv::SettingKind::Text:
      return "str";
    case qv::SettingKind::Port:
    case qv::SettingKind::Count:
    case qv::SettingKind::Size:
      return "SupportsIndex";
    case qv::SettingKind::Seconds:
      return "float";
    case qv::SettingKind::Predicate:
      return "Callable[[Reply], object]";
  }
  return {};
}

// A session class's constructor, from the settings table, with a line on each parameter.
void session_new(std::ostream& out, std::string_view indent) {
  const std::string in(indent);
  out << in << "def __new__(\n" << in << "    cls,\n";
  for (std::size_t i = 0; i < qv::kSessionSettings.size(); ++i) {
    const qv::Setting& s = qv::kSessionSettings[i];
    if (i == qv::kFirstKeywordSetting) out << in << "    *,\n";
    out << in << "    " << s.name << ": " << setting_type(s.kind) << (s.none_allowed ? " | None" : "");
    const std::string given = qv::setting_default_text(s);
    if (!given.empty()) out << " = " << given;
    out << ",\n";
  }
  out << in << ") -> Self:\n"
      << in << "    \"\"\"Make a session: Session connects and logs in here, AsyncSession in ``async with``\n"
      << in << "    or ``connect()``.\n\n"
      << in << "    Args:\n";
  for (const qv::Setting& s : qv::kSessionSettings)
    write_wrapped(out, in + "        " + std::string(s.name) + ":", in + "            ", s.doc);
  out << in << "    \"\"\"\n";
}

// ---- the commands' reference page -----------------------------------------------------

std::string underline(std::string_view title, char c) { return std::string(title.size(), c); }

void write_reference(std::ostream& out) {
  out << ".. Generated by stub_generator from the command catalogue. Edit that, not this file.\n\n"
      << "Commands\n" << underline("Commands", '=') << "\n\n"
      << "The " << qv::kVariantCount
      << " protocol commands, in the order of the catalogue the module is built from. Each is\n"
         "reached four ways: a factory on :py:class:`~quelvant_rs.commands.Command` builds it "
         "as a value,\n"
         "a :py:class:`~quelvant_rs.client.QuelvantClient` method sends it, and a method of\n"
         ":py:class:`~quelvant_rs.session.Session` or :py:class:`~quelvant_rs.session.AsyncSession`"
         " sends it and\n"
         "returns its reply. All four take the same parameters, in the same order (the client's "
         "``login()``\n"
         "takes none: it sends the client's own credentials). On the line each value follows the "
         "word after\n"
         "one space, as it stands (positional) or after its key; a value left out (None) writes "
         "nothing,\n"
         "unless a default is shown. Every example line below was rendered by the module's own "
         "renderer.\n";
  for (const Variant& v : qv::kCatalogue) {
    const std::string name(v.name);
    out << "\n.. _command-" << name << ":\n\n" << name << '\n' << underline(name, '-') << "\n\n";
    out << ":py:meth:`Command." << v.factory << " <quelvant_rs.commands.Command." << v.factory
        << ">`, :py:meth:`QuelvantClient." << v.method << " <quelvant_rs.client.QuelvantClient."
        << v.method << ">`, :py:meth:`Session." << v.method << " <quelvant_rs.session.Session."
        << v.method << ">`, :py:meth:`AsyncSession." << v.method
        << " <quelvant_rs.session.AsyncSession." << v.method << ">`\n\n";
    out << "Line::\n\n    " << line_shape(v) << "\n\n";
    if (v.field_count == 0) {
      out << "No parameters.\n\n";
    } else {
      out << ".. list-table::\n   :header-rows: 1\n   :widths: 22 38 22 18\n\n"
          << "   * - Parameter\n     - Kind and range\n     - None\n     - On the line\n";
      for (std::size_t i = 0; i < v.field_count; ++i) {
        const Field& f = v.fields[i];
        out << "   * - ``" << f.name << "``\n     - " << kind_text(f.kind)
            << "\n     - " << presence_text(f) << "\n     - " << placement_text(f) << '\n';
      }
      out << '\n';
    }
    out << "Example";
    if (v.method_args == qv::MethodArgs::Credentials)
      out << " (``c.login()`` sends the first line with the client's own user name and "
             "password)";
    out << "::\n\n";
    for (const Example& ex : examples(v))
      out << "    str(" << positional_call("Command." + std::string(v.factory), ex) << ")\n"
          << "    # " << ex.line << '\n';
  }
}

// What a setting accepts, in words. No default case, as for python_type().
std::string setting_kind_text(const qv::Setting& setting) {
  const std::string from = std::to_string(setting.minimum) + "..";
  switch (setting.kind) {
    case qv::SettingKind::Address:
      return "str, an IP address";
    case qv::SettingKind::Text:
      return "str, one line";
    case qv::SettingKind::Port:
      return "int, " + range_text<std::uint16_t>();
    case qv::SettingKind::Count:
      return "int, " + from + std::to_string(std::numeric_limits<std::uint32_t>::max());
    case qv::SettingKind::Size:
      return "int, " + from + std::to_string(std::numeric_limits<std::uint64_t>::max());
    case qv::SettingKind::Seconds:
      return "float, seconds";
    case qv::SettingKind::Predicate:
      return "callable taking a Reply";
  }
  return {};
}

// The sessions' settings as a table, from the same table as the constructors' signatures.
void write_settings_reference(std::ostream& out) {
  out << ".. Generated by stub_generator from the sessions' settings table. Edit that, not this "
         "file.\n\n"
      << "Session settings\n" << underline("Session settings", '=') << "\n\n"
      << "The parameters of :py:class:`~quelvant_rs.session.Session` and\n"
         ":py:class:`~quelvant_rs.session.AsyncSession`, in order. The first four may be given "
         "by position;\nthe others only by keyword. Times may be an int or a float, not negative.\n\n"
      << ".. list-table::\n   :header-rows: 1\n   :widths: 20 22 14 44\n\n"
      << "   * - Setting\n     - Type\n     - Default\n     - Meaning\n";
  for (const qv::Setting& setting : qv::kSessionSettings) {
    const std::string type =
        setting_kind_text(setting) + (setting.none_allowed ? ", or None" : "");
    const std::string given = qv::setting_default_text(setting);
    out << "   * - ``" << setting.name << "``" << (setting.keyword_only ? " (keyword)" : "")
        << "\n     - " << type << "\n     - " << (given.empty() ? "required" : "``" + given + "``")
        << "\n     - " << setting.doc << '\n';
  }
}

// ---- the catalogue as data, for Python code ------------------------------------------

// How the JSON names a kind. No default case, as for python_type().
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

struct Block {
  std::string_view name;
  void (*write)(std::ostream&, std::string_view);
};

constexpr Block kBlocks[] = {
    {"variant_aliases", variant_aliases}, {"factories", factories},
    {"variant_classes", variant_classes}, {"record_classes", record_classes},
    {"client_methods", client_methods},
    {"session_methods", session_methods},
    {"async_session_methods", async_session_methods},
    {"session_new", session_new},
};

// Expands one template; false (with a message) on a marker it does not know.
bool expand(std::istream& in, std::ostream& out, const std::string& template_name) {
  out << "# Generated by stub_generator from stubs/" << template_name
      << " and the command catalogue.\n# Edit those, not this file.\n";
  std::string line;
  std::size_t line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    const std::size_t start = line.find_first_not_of(' ');
    const std::string_view body =
        start == std::string::npos ? std::string_view{} : std::string_view(line).substr(start);
    if (!(body.size() > 4 && body.starts_with("@@") && body.ends_with("@@"))) {
      out << line << '\n';
      continue;
    }
    const std::string_view name = body.substr(2, body.size() - 4);
    const Block* block = nullptr;
    for (const Block& b : kBlocks)
      if (b.name == name) block = &b;
    if (!block) {
      std::fprintf(stderr, "stub_generator: %s:%zu: unknown block @@%.*s@@\n",
                   template_name.c_str(), line_number, static_cast<int>(name.size()), name.data());
      return false;
    }
    block->write(out, std::string_view(line).substr(0, start));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string reference;  // a folder
  std::string catalogue;  // a file
  while (args.size() >= 2 && (args[0] == "--reference" || args[0] == "--catalogue")) {
    (args[0] == "--reference" ? reference : catalogue) = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() < 3) {
    std::fprintf(stderr,
                 "usage: %s [--reference RST_DIR] [--catalogue JSON_FILE] TEMPLATE_DIR "
                 "OUTPUT_DIR NAME...\n",
                 argv[0]);
    return 2;
  }
  const std::filesystem::path template_dir = args[0];
  const std::filesystem::path output_dir = args[1];
  std::error_code ec;
  std::filesystem::create_directories(output_dir, ec);
  if (ec) {
    std::fprintf(stderr, "stub_generator: %s: %s\n", output_dir.c_str(), ec.message().c_str());
    return 1;
  }
  // Each file is written in full first, so a failed expansion leaves no half-written one.
  auto write_file = [](const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) std::fprintf(stderr, "stub_generator: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
  };
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::string& name = args[i];
    const std::string template_name = name + ".in";
    std::ifstream in(template_dir / template_name);
    if (!in) {
      std::fprintf(stderr, "stub_generator: cannot read %s\n",
                   (template_dir / template_name).c_str());
      return 1;
    }
    std::ostringstream text;
    if (!expand(in, text, template_name)) return 1;
    if (!write_file(output_dir / name, text.str())) return 1;
  }
  if (!reference.empty()) {
    const std::filesystem::path dir = reference;
    std::filesystem::create_directories(dir, ec);
    std::ostringstream commands, settings;
    write_reference(commands);
    write_settings_reference(settings);
    if (!write_file(dir / "commands.rst", commands.str()) ||
        !write_file(dir / "settings.rst", settings.str()))
      return 1;
  }
  if (!catalogue.empty()) {
    std::ostringstream text;
    write_catalogue(text);
    if (!write_file(catalogue, text.str())) return 1;
  }
  return 0;
}
