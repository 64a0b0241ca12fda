#include "session/settings.hpp"

#include <algorithm>
#include <string_view>

#include "net/resolve.hpp"

#include "commands/core/login_defaults.hpp"
#include "binding/errors.hpp"
#include "session/core/settings_table.hpp"
#include "session/requests.hpp"

namespace qv::py {

namespace {

static_assert(kSettingCount <= kMaxParams);

// The settings' places in the table, looked up by name when the module is built.
constexpr std::size_t kServer = setting_index("server");
constexpr std::size_t kControlPort = setting_index("control_port");
constexpr std::size_t kUsername = setting_index("username");
constexpr std::size_t kPassword = setting_index("password");
constexpr std::size_t kTimeout = setting_index("timeout");
constexpr std::size_t kReconnectAttempts = setting_index("reconnect_attempts");
constexpr std::size_t kReconnectDelay = setting_index("reconnect_delay");
constexpr std::size_t kReconnectMaxDelay = setting_index("reconnect_max_delay");
constexpr std::size_t kMaxEvents = setting_index("max_events");
constexpr std::size_t kMaxLine = setting_index("max_line");
constexpr std::size_t kIsFailure = setting_index("is_failure");
constexpr std::size_t kResourceKey = setting_index("resource_key");
constexpr std::size_t kOnReconnect = setting_index("on_reconnect");
constexpr std::size_t kTelemetry = setting_index("telemetry");

Conv conversion(SettingKind kind) {
  switch (kind) {
    case SettingKind::Address: return Conv::RawText;
    case SettingKind::Port: return Conv::U16;
    case SettingKind::Text: return Conv::Text;
    case SettingKind::Seconds: return Conv::Seconds;
    case SettingKind::Count: return Conv::U32;
    case SettingKind::Size: return Conv::U64;
    case SettingKind::Predicate:
    case SettingKind::Hook: return Conv::Object;
    case SettingKind::Flag: return Conv::Bool;
  }
  return Conv::Object;
}

// The converted argument of a setting, or its default when it was left out.
double seconds_or_default(const Arg* a, PyObject* const* bound, std::size_t i) {
  return bound[i] ? a[i].seconds : kSessionSettings[i].value;
}

std::uint64_t number_or_default(const Arg* a, PyObject* const* bound, std::size_t i) {
  return bound[i] ? static_cast<std::uint64_t>(a[i].number)
                  : static_cast<std::uint64_t>(kSessionSettings[i].value);
}

// An IP literal, or what a resolver could take for a name: not empty, no longer than a DNS
// name, no spaces or control characters (a NUL would cut the name short).
bool valid_host(std::string_view host) {
  if (is_ip_literal(host)) return true;
  if (host.empty() || host.size() > 253) return false;
  return std::none_of(host.begin(), host.end(), [](char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
  });
}

bool callable_setting(PyObject* value, const char* name) {
  if (PyCallable_Check(value)) return true;
  set_error(PyExc_TypeError, std::string("argument '") + name + "': '" + type_qualname(value) +
                                 "' object is not callable");
  return false;
}

}  // namespace

bool make_settings_signature(Signature& sig, const char* class_name) {
  std::vector<Param> params;
  for (const Setting& s : kSessionSettings) {
    const Conv conv = conversion(s.kind);
    params.push_back(s.given_default == SettingDefault::Required
                         ? make_param(s.name, conv, s.none_allowed)
                         : make_defaulted_param(s.name, conv, s.none_allowed));
  }
  auto made = make_signature(std::string(class_name) + "()", std::move(params),
                             kFirstKeywordSetting, true);
  if (!made) return false;
  sig = std::move(*made);
  return true;
}

std::string settings_class_doc(const char* class_name, const char* summary) {
  return settings_signature_text(class_name) + "\n--\n\n" + summary + "\n\nArgs:\n" +
         settings_doc_lines("    ");
}

bool read_settings(const Signature& sig, PyObject* args, PyObject* kwargs, SessionSettings& out) {
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_tuple_arguments(sig, args, kwargs, scratch);
  if (!bound) return false;
  Arg a[kSettingCount];
  for (std::size_t i = 0; i < kSettingCount; ++i)
    if (bound[i] && !convert_argument(sig.params[i], bound[i], a[i])) return false;
  for (std::size_t i = 0; i < kSettingCount; ++i) {
    const Setting& s = kSessionSettings[i];
    if (s.minimum > 0 && bound[i] && static_cast<std::uint64_t>(a[i].number) < s.minimum) {
      set_error(PyExc_ValueError, "argument '" + sig.params[i].text_name + "': must be at least " +
                                      std::to_string(s.minimum));
      return false;
    }
  }
  if (!valid_host(a[kServer].text)) {
    set_error(PyExc_ValueError, "Invalid server: '" + std::string(a[kServer].text) +
                                    "' (give an IP address or a host name)");
    return false;
  }
  out.server = std::string(a[kServer].text);
  // None for where and as whom: the client's defaults.
  out.port = a[kControlPort].present ? static_cast<std::uint16_t>(a[kControlPort].number)
                                     : kDefaultControlPort;
  out.username = a[kUsername].present ? std::string(a[kUsername].text) : kDefaultUsername;
  out.password = a[kPassword].present ? std::string(a[kPassword].text) : default_password();
  // A left-out setting takes its default; None, where allowed, means "no limit" or "none".
  if (!bound[kTimeout] || a[kTimeout].present) out.timeout = seconds_or_default(a, bound, kTimeout);
  out.reconnect_attempts =
      static_cast<std::uint32_t>(number_or_default(a, bound, kReconnectAttempts));
  out.reconnect_delay = seconds_or_default(a, bound, kReconnectDelay);
  out.reconnect_max_delay = seconds_or_default(a, bound, kReconnectMaxDelay);
  out.max_events = static_cast<std::size_t>(number_or_default(a, bound, kMaxEvents));
  out.max_line = static_cast<std::size_t>(number_or_default(a, bound, kMaxLine));
  using Rule = SessionSettings::FailureRule;
  out.failure_rule = Rule::ErrorWord;
  if (bound[kIsFailure] && !a[kIsFailure].present) out.failure_rule = Rule::None;
  if (bound[kIsFailure] && a[kIsFailure].present && a[kIsFailure].object != error_replies()) {
    if (!callable_setting(a[kIsFailure].object, "is_failure")) return false;
    out.failure_rule = Rule::Predicate;
    out.is_failure = Ref::borrow(a[kIsFailure].object);
  }
  out.resource_key = bound[kResourceKey] ? std::string(a[kResourceKey].text)
                                         : std::string(kSessionSettings[kResourceKey].shown);
  if (out.resource_key.empty() ||
      out.resource_key.find_first_of(" \t=") != std::string::npos) {
    set_error(PyExc_ValueError, "argument 'resource_key': '" + out.resource_key +
                                    "' is no key of a Key=Value field (one word, without '=')");
    return false;
  }
  if (bound[kOnReconnect] && a[kOnReconnect].present) {
    if (!callable_setting(a[kOnReconnect].object, "on_reconnect")) return false;
    out.on_reconnect = Ref::borrow(a[kOnReconnect].object);
  }
  out.telemetry = bound[kTelemetry] ? a[kTelemetry].number != 0 : kSessionSettings[kTelemetry].value != 0;
  return true;
}

}  // namespace qv::py
