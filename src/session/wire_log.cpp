#include "session/wire_log.hpp"

#include <memory>

#include "binding/ref.hpp"

namespace qv::py::wire_log {

namespace {

constexpr int kDebug = 10;

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
  made->wire = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "quelvant_rs.wire"));
  if (!made->wire) return nullptr;
  made->session =
      Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "quelvant_rs.session"));
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

// A failure of the logging machinery is reported, never raised into the session's call.
void report_failure() {
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
}

void log(PyObject* logger, int level, const char* format, const std::string& server,
         std::uint16_t port, std::string_view text) {
  Ref done = Ref::steal(PyObject_CallMethod(logger, "log", "iss#Is#", level, format,
                                            server.data(), static_cast<Py_ssize_t>(server.size()),
                                            static_cast<unsigned>(port), text.data(),
                                            static_cast<Py_ssize_t>(text.size())));
  if (!done) report_failure();
}

}  // namespace

bool tracing() {
  Loggers* l = loggers();
  if (!l) {
    report_failure();
    return false;
  }
  if (l->wire_cache) {
    PyObject* known = PyDict_GetItemWithError(l->wire_cache.get(), l->debug.get());  // borrowed
    if (known == Py_False) return false;
    if (known == Py_True) return true;
    PyErr_Clear();  // not known yet: isEnabledFor() finds out, and keeps the answer
  }
  const Ref on = Ref::steal(call_one_arg(l->wire_enabled.get(), l->debug.get()));
  if (!on) {
    report_failure();
    return false;
  }
  if (on.get() == Py_True) return true;
  if (on.get() == Py_False) return false;
  const int yes = PyObject_IsTrue(on.get());
  if (yes < 0) report_failure();
  return yes > 0;
}

std::string masked(std::string_view line) {
  constexpr std::string_view kWord = "Login ";
  if (line.substr(0, kWord.size()) != kWord) return std::string(line);
  std::string_view rest = line.substr(kWord.size());
  const std::size_t user_end = rest.find(' ');
  if (user_end == std::string_view::npos) return std::string(line);  // no password in it
  std::string shown = std::string(kWord) + std::string(rest.substr(0, user_end)) + " ***";
  constexpr std::string_view kTag = " COMMANDTAG=";
  const std::size_t tag = rest.rfind(kTag);
  if (tag != std::string_view::npos && tag > user_end) shown += rest.substr(tag);
  return shown;
}

void lines(const std::string& server, std::uint16_t port, bool sent, std::string_view text) {
  Loggers* l = loggers();
  if (!l) {
    report_failure();
    return;
  }
  const char* format = sent ? "%s:%d > %s" : "%s:%d < %s";
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    log(l->wire.get(), kDebug, format, server, port, masked(line));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

void note(int level, const std::string& server, std::uint16_t port, std::string_view text) {
  Loggers* l = loggers();
  if (!l) {
    report_failure();
    return;
  }
  Ref enabled = Ref::steal(PyObject_CallMethod(l->session.get(), "isEnabledFor", "i", level));
  if (!enabled) {
    report_failure();
    return;
  }
  if (enabled.get() != Py_True) return;
  log(l->session.get(), level, "%s:%d %s", server, port, text);
}

void dropped(const std::string& server, std::uint16_t port, std::uint64_t count,
             std::size_t max_events) {
  note(kWarning, server, port,
       std::to_string(count) + (count == 1 ? " event" : " events") + " dropped: max_events (" +
           std::to_string(max_events) + ") were held and none was taken");
}

}  // namespace qv::py::wire_log
