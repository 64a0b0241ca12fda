#include "session/session_report.hpp"

#include <array>

#include "session/core/session_docs.hpp"

namespace qv::py {

namespace {

// In the order of SessionCounts.
// Their docstrings are the table's (session_docs.hpp).
PyStructSequence_Field g_fields[] = {
    {"requests", session_doc("SessionStats.requests").data()},
    {"replies", session_doc("SessionStats.replies").data()},
    {"events", session_doc("SessionStats.events").data()},
    {"dropped", session_doc("SessionStats.dropped").data()},
    {"reconnects", session_doc("SessionStats.reconnects").data()},
    {nullptr, nullptr},
};

PyStructSequence_Desc g_desc = {
    "builtins.SessionStats",  // as the other session classes: quelvant_rs.session holds it
    session_doc("SessionStats").data(),
    g_fields, 5};

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

PyTypeObject* stats_class() {
  static PyTypeObject* type = nullptr;
  if (!type) type = PyStructSequence_NewType(&g_desc);
  return type;
}

Ref make_stats(const SessionCounts& counts) {
  PyTypeObject* type = stats_class();
  if (!type) return {};
  Ref stats = Ref::steal(PyStructSequence_New(type));
  if (!stats) return {};
  const std::array<std::uint64_t, 5> values = {counts.requests, counts.replies, counts.events,
                                               counts.dropped, counts.reconnects};
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* value = PyLong_FromUnsignedLongLong(values[i]);
    if (!value) return {};
    PyStructSequence_SetItem(stats.get(), static_cast<Py_ssize_t>(i), value);  // steals it
  }
  return stats;
}

PyObject* session_repr(const SessionLook& look) {
  const bool v6 = look.server.find(':') != std::string::npos;
  const std::string text = std::string("<") + look.owner + " " + (v6 ? "[" : "") + look.server +
                           (v6 ? "]" : "") + ":" + std::to_string(look.port) + " " + look.state +
                           ", " + plural(look.pending, "request", "requests") + " pending, " +
                           plural(look.held, "event", "events") + " held>";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace qv::py
