// Writes the module's type stubs. The fixed parts live in stubs/*.pyi.in; every line there
// that is just a marker such as `@@factories@@` is replaced by text generated from the
// command catalogue (or the sessions' settings table), so a new catalogue entry (or setting)
// reaches the stubs with no other edit.
//
// Usage: stub_generator TEMPLATE_DIR OUTPUT_DIR NAME...
//   reads TEMPLATE_DIR/NAME.in and writes OUTPUT_DIR/NAME for each NAME.
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "commands/core/catalogue.hpp"
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

// `def name(params) -> ret: ...`, one parameter a line when it would not fit on one.
void write_def(std::ostream& out, std::string_view indent, std::string_view name,
               const std::vector<std::string>& params, std::string_view ret) {
  std::string line = std::string(indent) + "def " + std::string(name) + "(";
  for (std::size_t i = 0; i < params.size(); ++i) line += (i ? ", " : "") + params[i];
  line += ") -> " + std::string(ret) + ": ...";
  if (line.size() <= kLineLimit) {
    out << line << '\n';
    return;
  }
  out << indent << "def " << name << "(\n";
  for (const std::string& p : params) out << indent << "    " << p << ",\n";
  out << indent << ") -> " << ret << ": ...\n";
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
    write_def(out, indent, v.factory, factory_params(v), variant_class(v));
  }
}

void variant_classes(std::ostream& out, std::string_view indent) {
  bool first = true;
  for (const Variant& v : qv::kCatalogue) {
    if (!first) out << '\n';
    first = false;
    // Not @type_check_only although absent from the module: a checker would then also
    // refuse Command.CallMake, the alias, in ordinary code.
    out << indent << "@final\n"
        << indent << "class " << variant_class(v) << "(Command):\n"
        << indent << "    __match_args__ = (\"_0\",)\n"
        << indent << "    def __new__(cls, _0: " << v.name << ") -> Self: ...\n"
        << indent << "    @property\n"
        << indent << "    def _0(self) -> " << v.name << ": ...\n"
        << indent << "    def __len__(self) -> int: ...\n"
        << indent << "    def __getitem__(self, idx: SupportsIndex, /) -> " << v.name << ": ...\n";
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
        << indent << "class " << v.name << ": ...\n";
  }
}

// A method with a one-line docstring.
void write_documented_def(std::ostream& out, std::string_view indent, std::string_view name,
                          const std::vector<std::string>& params, std::string_view ret,
                          std::string_view doc) {
  std::ostringstream head;
  write_def(head, indent, name, params, ret);
  std::string text = head.str();
  text.erase(text.size() - 5);  // " ...\n"
  out << text << '\n' << indent << "    \"\"\"" << doc << "\"\"\"\n";
}

// A session's per-command methods take the factory's parameters, login's included, under the
// client's method names, in the client's order; each that may be None defaults to None, and
// the keyword-only reply_timeout follows.
void session_methods_returning(std::ostream& out, std::string_view indent, std::string_view ret,
                               std::string_view doc_before, std::string_view doc_after) {
  for (std::size_t index : qv::kClientMethodOrder) {
    const Variant& v = qv::kCatalogue[index];
    std::vector<std::string> params{"self"};
    for (std::string& p : factory_params(v))
      params.push_back(p.ends_with(" | None") ? std::move(p) + " = None" : std::move(p));
    params.push_back("*");
    params.push_back("reply_timeout: _WaitLimit = SESSION_TIMEOUT");
    const std::string doc = std::string(doc_before) + std::string(v.name) + std::string(doc_after);
    write_documented_def(out, indent, v.method, params, ret, doc);
  }
}

void session_methods(std::ostream& out, std::string_view indent) {
  session_methods_returning(out, indent, "Reply", "Send ", " and wait for its reply.");
}

void async_session_methods(std::ostream& out, std::string_view indent) {
  session_methods_returning(out, indent, "Pending[Reply]", "Send ", "; await the result for its reply.");
}

// In the order the client registers them.
void client_methods(std::ostream& out, std::string_view indent) {
  for (std::size_t index : qv::kClientMethodOrder) {
    const Variant& v = qv::kCatalogue[index];
    std::vector<std::string> params{"self"};
    if (v.method_args == qv::MethodArgs::AsFactory) {
      for (std::string& p : factory_params(v)) params.push_back(std::move(p));
    }
    write_def(out, indent, v.method, params, "None");
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

// `text` as lines of at most kLineLimit: the first after `first` and a space, the others after
// `rest`. A word longer than a line stays whole.
void write_wrapped(std::ostream& out, const std::string& first, const std::string& rest,
                   std::string_view text) {
  std::string line = first;
  bool words = false;  // on this line
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
    if (words && line.size() + 1 + word.size() > kLineLimit) {
      out << line << '\n';
      line = rest;
    } else {
      line += ' ';
    }
    line += word;
    words = true;
  }
  out << line << '\n';
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
  out << in << ") -> Self:\n" << in << "    \"\"\"Args:\n";
  for (const qv::Setting& s : qv::kSessionSettings)
    write_wrapped(out, in + "        " + std::string(s.name) + ":", in + "            ", s.doc);
  out << in << "    \"\"\"\n";
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
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s TEMPLATE_DIR OUTPUT_DIR NAME...\n", argv[0]);
    return 2;
  }
  const std::filesystem::path template_dir = argv[1];
  const std::filesystem::path output_dir = argv[2];
  std::error_code ec;
  std::filesystem::create_directories(output_dir, ec);
  if (ec) {
    std::fprintf(stderr, "stub_generator: %s: %s\n", output_dir.c_str(), ec.message().c_str());
    return 1;
  }
  for (int i = 3; i < argc; ++i) {
    const std::string name = argv[i];
    const std::string template_name = name + ".in";
    std::ifstream in(template_dir / template_name);
    if (!in) {
      std::fprintf(stderr, "stub_generator: cannot read %s\n",
                   (template_dir / template_name).c_str());
      return 1;
    }
    // Written in full first, so a failed expansion leaves no half-written stub behind.
    std::ostringstream text;
    if (!expand(in, text, template_name)) return 1;
    std::ofstream out(output_dir / name, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.close();
    if (!out) {
      std::fprintf(stderr, "stub_generator: cannot write %s\n", (output_dir / name).c_str());
      return 1;
    }
  }
  return 0;
}
