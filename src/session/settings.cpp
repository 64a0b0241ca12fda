#include "session/settings.hpp"

#include "commands/core/login_defaults.hpp"
#include "net/line_assembly.hpp"
#include "binding/errors.hpp"

namespace qv::py {

namespace {

enum Index : std::size_t {
  kServer,
  kPort,
  kUsername,
  kPassword,
  kTimeout,
  kReconnectAttempts,
  kReconnectDelay,
  kReconnectMaxDelay,
  kMaxEvents,
  kMaxLine,
  kIsFailure,
  kCount,
};
static_assert(kCount <= kMaxParams);

bool refuse_zero(const Param& param) {
  set_error(PyExc_ValueError, "argument '" + param.text_name + "': must be at least 1");
  return false;
}

}  // namespace

bool make_settings_signature(Signature& sig, const char* class_name) {
  sig.full_name = std::string(class_name) + "()";
  sig.python_wording = true;
  sig.positional = kTimeout;
  sig.params = {
      make_param("server", Conv::RawText),
      make_param("control_port", Conv::U16, true),
      make_param("username", Conv::Text, true),
      make_param("password", Conv::Text, true),
      make_defaulted_param("timeout", Conv::Seconds, true),
      make_defaulted_param("reconnect_attempts", Conv::U32),
      make_defaulted_param("reconnect_delay", Conv::Seconds),
      make_defaulted_param("reconnect_max_delay", Conv::Seconds),
      make_defaulted_param("max_events", Conv::U64),
      make_defaulted_param("max_line", Conv::U64),
      make_defaulted_param("is_failure", Conv::Object, true),
  };
  for (const Param& p : sig.params)
    if (!p.name) return false;
  return true;
}

std::string settings_text_signature(const char* class_name) {
  return std::string(class_name) +
         "(server, control_port, username, password, *, timeout=10.0, reconnect_attempts=5, "
         "reconnect_delay=0.1, reconnect_max_delay=5.0, max_events=10000, max_line=1048576, "
         "is_failure=None)\n--\n\n";
}

bool read_settings(const Signature& sig, PyObject* args, PyObject* kwargs, SessionSettings& out) {
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_tuple_arguments(sig, args, kwargs, scratch);
  if (!bound) return false;
  Arg a[kCount];
  for (std::size_t i = 0; i < kCount; ++i)
    if (bound[i] && !convert_argument(sig.params[i], bound[i], a[i])) return false;
  const auto server = parse_ip_address(a[kServer].text);
  if (!server) {
    set_error(PyExc_ValueError, "Invalid IP address: " + std::string(a[kServer].text));
    return false;
  }
  out.server = *server;
  out.port = a[kPort].present ? static_cast<std::uint16_t>(a[kPort].number) : kDefaultControlPort;
  out.username = a[kUsername].present ? std::string(a[kUsername].text) : kDefaultUsername;
  out.password = a[kPassword].present ? std::string(a[kPassword].text) : default_password();
  // A left-out setting takes its default; None, where allowed, means "no limit" or "none".
  if (!bound[kTimeout])
    out.timeout = kDefaultTimeout;
  else if (a[kTimeout].present)
    out.timeout = a[kTimeout].seconds;
  out.reconnect_attempts = bound[kReconnectAttempts]
                               ? static_cast<std::uint32_t>(a[kReconnectAttempts].number)
                               : kDefaultReconnectAttempts;
  out.reconnect_delay = bound[kReconnectDelay] ? a[kReconnectDelay].seconds : kDefaultReconnectDelay;
  out.reconnect_max_delay =
      bound[kReconnectMaxDelay] ? a[kReconnectMaxDelay].seconds : kDefaultReconnectMaxDelay;
  out.max_events = bound[kMaxEvents] ? static_cast<std::size_t>(a[kMaxEvents].number) : kDefaultMaxEvents;
  out.max_line = bound[kMaxLine] ? static_cast<std::size_t>(a[kMaxLine].number) : kMaxLineBytes;
  if (out.max_events == 0) return refuse_zero(sig.params[kMaxEvents]);
  if (out.max_line == 0) return refuse_zero(sig.params[kMaxLine]);
  if (bound[kIsFailure] && a[kIsFailure].present) {
    if (!PyCallable_Check(a[kIsFailure].object)) {
      set_error(PyExc_TypeError, "argument 'is_failure': '" + type_qualname(a[kIsFailure].object) +
                                     "' object is not callable");
      return false;
    }
    out.is_failure = Ref::borrow(a[kIsFailure].object);
  }
  return true;
}

}  // namespace qv::py
