// The docstrings of the per-command calls (the factories, the client's methods, the
// sessions' and the resource handles'), which the stubs carry and the module compiles in
// (write_command_docs), and those of the session layer's table, as the stubs give them.
#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/core/catalogue.hpp"
#include "session/core/settings_table.hpp"
#include "tools/command_text.hpp"
#include "tools/generated_texts.hpp"

namespace qv::tools {

namespace {

constexpr std::string_view kReplyTimeoutText =
    "seconds to wait for the reply; None waits for ever; the default, SESSION_TIMEOUT, is the "
    "session's own timeout.";

// The docstrings compiled into the module for the per-command methods of the sessions and the
// handles, the same as the stubs': a C++ source the build compiles.
std::string cpp_string(const DocLines& doc) {
  std::string out = "\n    \"";
  for (std::size_t i = 0; i < doc.size(); ++i) {
    for (const char c : doc[i]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    if (i + 1 < doc.size()) out += "\\n\"\n    \"";
  }
  return out + "\"";
}

}  // namespace

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

// A session's method of `v`, or (`handle`) a resource handle's, whose resource_id is its own.
DocLines session_doc(const Variant& v, bool async, bool handle) {
  DocLines doc;
  const std::string word(v.name);
  const std::string which = handle ? " for this resource" : "";
  add_paragraph(doc, async ? "Send ``" + word + "``" + which +
                                 " at once, tagged; await the result for its reply."
                           : "Send ``" + word + "``" + which + ", tagged, and wait for its reply.");
  add_literal(doc, "Line", {line_shape(v) + " COMMANDTAG=<tag>"});
  add_args(doc, v, "reply_timeout", kReplyTimeoutText, handle ? 1 : 0);
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
  const std::string call =
      (async ? "await " : "") + std::string(handle ? "resource." : "s.") + std::string(v.method);
  for (const Example& ex : examples(v)) {
    lines.push_back(keyword_call(call, v, ex, handle ? 1 : 0));
    lines.push_back("# sends " + ex.line + " COMMANDTAG=<tag>");
  }
  add_literal(doc, handle ? "Example (a resource of id " + examples(v).front().args[0] + ")"
                          : std::string("Example"),
              lines);
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

// A docstring of the table as lines; a session class's ends with its settings, as its
// runtime docstring does (settings_class_doc).
DocLines table_doc(std::string_view key, std::string_view text) {
  DocLines doc;
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find('\n', at);
    doc.emplace_back(text.substr(at, end - at));
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  if (key == "Session" || key == "AsyncSession") {
    doc.emplace_back();
    doc.emplace_back("Args:");
    const std::string args = qv::settings_doc_lines("    ");
    for (std::size_t at = 0; at < args.size();) {
      const std::size_t end = args.find('\n', at);
      doc.emplace_back(args.substr(at, end - at));
      at = end + 1;
    }
  }
  return doc;
}

void write_command_docs(std::ostream& out) {
  out << "// Generated by stub_generator from the command catalogue. Edit that, not this file.\n"
         "#include \"session/command_docs.hpp\"\n\nnamespace qv::py {\n\n"
         "const char* const kCommandDocs[4][kVariantCount] = {\n";
  for (const auto& [async, handle] : {std::pair{false, false}, std::pair{true, false},
                                     std::pair{false, true}, std::pair{true, true}}) {
    out << "  {";
    for (const Variant& v : qv::kCatalogue) {
      if (handle && !names_a_resource(v))
        out << "\n    nullptr";
      else
        out << cpp_string(session_doc(v, async, handle));
      out << ',';
    }
    out << "\n  },\n";
  }
  out << "};\n\n}  // namespace qv::py\n";
}

}  // namespace qv::tools
