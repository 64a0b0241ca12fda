#include "session/wire_log.hpp"

#include <memory>
#include <vector>

#include "binding/method_call.hpp"
#include "binding/ref.hpp"

namespace qv::py::wire_log {

namespace {

// The loggers and what is asked of them, looked up once (logging keeps loggers for the
// process, as these references do).
struct Loggers {
  Ref wire;
  Ref session;
  Ref wire_enabled;  // wire.isEnabledFor, bound
  Ref wire_cache;    // the answers isEnabledFor keeps (logging's own cache), if it has one
  Ref debug;         // the int 10
};

Loggers* loggers() {
  static Loggers* found = nullptr;
  if (found) return found;
  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging) return nullptr;
  auto made = std::make_unique<Loggers>();
  // A library's loggers end in a NullHandler: without one, logging's last resort would print
  // records (a routine drop, say) on stderr for a program that configured no logging.
  Ref package = call_method(logging.get(), "getLogger", "s", "quelvant_rs");
  Ref null_handler = call_method(logging.get(), "NullHandler", nullptr);
  if (!package || !null_handler) return nullptr;
  Ref added = call_method(package.get(), "addHandler", "O", null_handler.get());
  if (!added) return nullptr;
  made->wire = call_method(logging.get(), "getLogger", "s", "quelvant_rs.wire");
  if (!made->wire) return nullptr;
  made->session =
      call_method(logging.get(), "getLogger", "s", "quelvant_rs.session");
  if (!made->session) return nullptr;
  made->wire_enabled = Ref::steal(PyObject_GetAttrString(made->wire.get(), "isEnabledFor"));
  made->debug = Ref::steal(PyLong_FromLong(kDebug));
  if (!made->wire_enabled || !made->debug) return nullptr;
  // isEnabledFor() is a Python call, some thousand instructions: too many for each request.
  // It keeps its answers per level in the logger's dict `_cache`, which logging empties (in
  // place) whenever levels change, so a lookup there answers as it would. Without that dict
  // (another logging), every question goes to isEnabledFor().
  made->wire_cache = Ref::steal(PyObject_GetAttrString(made->wire.get(), "_cache"));
  if (!made->wire_cache || !PyDict_CheckExact(made->wire_cache.get())) {
    PyErr_Clear();
    made->wire_cache = {};
  }
  found = made.release();
  return found;
}

bool log(PyObject* logger, int level, const char* format, const std::string& server,
         std::uint16_t port, std::string_view text) {
  Ref done = call_method(logger, "log", "iss#Is#", level, format,
                                            server.data(), static_cast<Py_ssize_t>(server.size()),
                                            static_cast<unsigned>(port), text.data(),
                                            static_cast<Py_ssize_t>(text.size()));
  return static_cast<bool>(done);
}

// The blanks a server splitting a line into words may split on.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && is_blank(line[at])) ++at;
    const std::size_t start = at;
    while (at < line.size() && !is_blank(line[at])) ++at;
    if (at > start) words.push_back(line.substr(start, at - start));
  }
  return words;
}

bool is_login_word(std::string_view word) {
  constexpr std::string_view kLogin = "login";
  if (word.size() != kLogin.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if ((word[i] | 0x20) != kLogin[i]) return false;  // any case: a server may not care
  return true;
}

}  // namespace

int tracing() {
  Loggers* l = loggers();
  if (!l) return -1;
  if (l->wire_cache) {
    PyObject* known = PyDict_GetItemWithError(l->wire_cache.get(), l->debug.get());  // borrowed
    if (known == Py_False) return 0;
    if (known == Py_True) return 1;
    if (PyErr_Occurred()) return -1;
    // Not known yet: isEnabledFor() finds out, and keeps the answer.
  }
  const Ref on = Ref::steal(call_one_arg(l->wire_enabled.get(), l->debug.get()));
  if (!on) return -1;
  return PyObject_IsTrue(on.get());
}

std::string masked(std::string_view line) {
  const std::vector<std::string_view> words = words_of(line);
  if (words.size() < 3 || !is_login_word(words[0])) return std::string(line);  // no password
  std::string shown(words[0]);
  shown.append(" ").append(words[1]).append(" ***");
  constexpr std::string_view kTag = "COMMANDTAG=";
  if (words.size() > 3 && words.back().substr(0, kTag.size()) == kTag)
    shown.append(" ").append(words.back());
  return shown;
}

bool lines(const std::string& server, std::uint16_t port, bool sent, std::string_view text) {
  Loggers* l = loggers();
  if (!l) return false;
  const char* format = sent ? "%s:%d > %s" : "%s:%d < %s";
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!log(l->wire.get(), kDebug, format, server, port, masked(line))) return false;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return true;
}

bool note(int level, const std::string& server, std::uint16_t port, std::string_view text) {
  Loggers* l = loggers();
  if (!l) return false;
  Ref enabled = call_method(l->session.get(), "isEnabledFor", "i", level);
  if (!enabled) return false;
  if (enabled.get() != Py_True) return true;
  return log(l->session.get(), level, "%s:%d %s", server, port, text);
}

bool failed(const std::string& server, std::uint16_t port, std::string_view text) {
  Ref exc = Ref::steal(take_raised_exception());
  Loggers* l = loggers();
  if (!l) return false;
  const std::string message = server + ":" + std::to_string(port) + " " + std::string(text);
  Ref error = get_attribute(l->session.get(), "error");
  Ref args = Ref::steal(Py_BuildValue("(s#)", message.data(), static_cast<Py_ssize_t>(message.size())));
  Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "exc_info", exc ? exc.get() : Py_True));
  if (!error || !args || !kwargs) return false;
  return static_cast<bool>(Ref::steal(PyObject_Call(error.get(), args.get(), kwargs.get())));
}

namespace {
std::string events_text(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " event" : " events");
}
}  // namespace

bool window_dropped(const std::string& server, std::uint16_t port, std::uint64_t count,
                    std::size_t max_events) {
  return note(kDebug, server, port,
              events_text(count) + " dropped: max_events (" + std::to_string(max_events) +
                  ") were held and none was taken");
}

bool subscription_dropped(const std::string& server, std::uint16_t port, std::uint64_t count) {
  return note(kWarning, server, port,
              events_text(count) +
                  " dropped by a subscription: it held max_pending events the program had not "
                  "taken");
}

bool dropped_before_handing_on(const std::string& server, std::uint16_t port,
                               std::uint64_t count) {
  return note(kWarning, server, port,
              events_text(count) + " dropped before they could be handed on: the program took "
                                   "none for too long");
}

}  // namespace qv::py::wire_log
