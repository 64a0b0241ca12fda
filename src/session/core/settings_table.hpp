#pragma once
// A session's constructor parameters, written once: name, conversion, default and a line of
// documentation each. The binding makes the signature, the text signature, the parsing and
// the class documentation from this table, and the stub generator (a host tool without
// Python) the stubs' signature, so none of them can drift from the others.
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/line_assembly.hpp"

namespace qv {

enum class SettingKind : std::uint8_t {
  Address,    // str: an IP address literal
  Port,       // an integer 0..65535
  Text,       // str, one line
  Seconds,    // an int or float: a length of time, not negative, not NaN
  Count,      // an integer 0..2**32-1
  Size,       // an integer 0..2**64-1
  Predicate,  // a callable
  Hook,       // a callable taking the session (AsyncSession: a coroutine function)
  Flag,       // True or False
};

// What a parameter left out (or, when it is not keyword-only, given as None) stands for.
enum class SettingDefault : std::uint8_t {
  Required,  // must be given (None allowed when `none_allowed`: the client's default)
  None,      // None
  Number,    // `value`
  Text,      // the str `shown`
  Named,     // the module's object named `shown` (a sentinel)
};

struct Setting {
  std::string_view name;
  SettingKind kind;
  bool keyword_only;
  bool none_allowed;
  SettingDefault given_default;
  double value;           // SettingDefault::Number (exact for the integers used here)
  std::uint64_t minimum;  // Count and Size: the least value accepted
  std::string_view doc;   // one line
  std::string_view shown = {};  // SettingDefault::Text and Named
};

inline constexpr auto kSessionSettings = std::to_array<Setting>({
    {"server", SettingKind::Address, false, false, SettingDefault::Required, 0, 0,
     "the server: an IP address, or a host name resolved at every (re)connect"},
    {"control_port", SettingKind::Port, false, true, SettingDefault::Required, 0, 0,
     "its control port; None: the client's default"},
    {"username", SettingKind::Text, false, true, SettingDefault::Required, 0, 0,
     "the user name the Login sends; None: the client's default"},
    {"password", SettingKind::Text, false, true, SettingDefault::Required, 0, 0,
     "the password the Login sends; None: the client's default"},
    {"timeout", SettingKind::Seconds, true, true, SettingDefault::Number, 10.0, 0,
     "every wait's limit unless a call gives its own; None waits for ever"},
    {"reconnect_attempts", SettingKind::Count, true, false, SettingDefault::Number, 5, 0,
     "attempts to reconnect after a loss; 0: a lost connection stays lost"},
    {"reconnect_delay", SettingKind::Seconds, true, false, SettingDefault::Number, 0.1, 0,
     "the pause before the second attempt, doubling after each, with full jitter"},
    {"reconnect_max_delay", SettingKind::Seconds, true, false, SettingDefault::Number, 5.0, 0,
     "the longest pause between attempts"},
    {"max_events", SettingKind::Size, true, false, SettingDefault::Number, 16, 1,
     "the recent events no subscription took, held for wait_for(); the oldest goes first"},
    {"max_line", SettingKind::Size, true, false, SettingDefault::Number,
     static_cast<double>(kMaxLineBytes), 1, "received lines longer than this (bytes) are cut"},
    {"is_failure", SettingKind::Predicate, true, true, SettingDefault::Named, 0, 0,
     "a predicate over a Reply: when it is true, the call raises ServerError with the reply; "
     "by default a reply whose first word is ERROR; None: no reply is a failure",
     "quelvant_rs.session.ERROR_REPLIES"},
    {"resource_key", SettingKind::Text, true, false, SettingDefault::Text, 0, 0,
     "the key of the field an event names its resource by, as the server writes it: what "
     "resource() handles take their events by",
     "ResourceId"},
    {"on_reconnect", SettingKind::Hook, true, true, SettingDefault::None, 0, 0,
     "called with the session after a reconnect's Login, before the reconnected mark and the "
     "new connection's events are handed on (AsyncSession: a coroutine function); it may send "
     "requests; what it raises is logged"},
    {"telemetry", SettingKind::Flag, true, false, SettingDefault::Number, 1, 0,
     "report metrics and traces through OpenTelemetry when its API is installed and the "
     "process has a provider set; False: not this session"},
});

inline constexpr std::size_t kSettingCount = kSessionSettings.size();

// A setting's place in the table, by name: a name that is not there fails the build.
consteval std::size_t setting_index(std::string_view name) {
  for (std::size_t i = 0; i < kSessionSettings.size(); ++i)
    if (kSessionSettings[i].name == name) return i;
  throw "no such session setting";  // not a constant expression: the build stops here
}

// The first keyword-only parameter.
inline constexpr std::size_t kFirstKeywordSetting = [] {
  std::size_t i = 0;
  while (i < kSessionSettings.size() && !kSessionSettings[i].keyword_only) ++i;
  return i;
}();

// The default as Python writes it ("10.0", "5", "None"); empty when there is none.
inline std::string setting_default_text(const Setting& s) {
  switch (s.given_default) {
    case SettingDefault::Required: return {};
    case SettingDefault::None: return "None";
    case SettingDefault::Text: {
      std::string quoted(1, '\'');
      return quoted.append(s.shown).append(1, '\'');
    }
    case SettingDefault::Named: return std::string(s.shown);
    case SettingDefault::Number: break;
  }
  if (s.kind == SettingKind::Flag) return s.value != 0 ? "True" : "False";
  char text[32];
  if (s.kind != SettingKind::Seconds) {
    const auto end = std::to_chars(text, text + sizeof text, static_cast<std::uint64_t>(s.value)).ptr;
    return std::string(text, end);
  }
  // The shortest text that reads back as the same double, as Python's repr; a float always
  // shows a point or an exponent.
  std::string out(text, std::to_chars(text, text + sizeof text, s.value).ptr);
  if (out.find_first_of(".en") == std::string::npos) out += ".0";
  return out;
}

// `Session(server, control_port, username, password, *, timeout=10.0, ...)`.
inline std::string settings_signature_text(std::string_view class_name) {
  std::string out(class_name);
  out += '(';
  for (std::size_t i = 0; i < kSessionSettings.size(); ++i) {
    const Setting& s = kSessionSettings[i];
    if (i > 0) out += ", ";
    if (i == kFirstKeywordSetting) out += "*, ";
    out += s.name;
    const std::string given = setting_default_text(s);
    if (!given.empty()) out += "=" + given;
  }
  out += ')';
  return out;
}

// The parameters' documentation, a line each ("    timeout: every wait's limit ...").
inline std::string settings_doc_lines(std::string_view indent) {
  std::string out;
  for (const Setting& s : kSessionSettings) {
    out += indent;
    out += s.name;
    out += ": ";
    out += s.doc;
    out += '\n';
  }
  return out;
}

}  // namespace qv
