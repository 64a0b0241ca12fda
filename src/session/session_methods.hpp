#pragma once
// The per-command methods of a session class, from the one generator (CommandMethods): each
// takes its factory's parameters, in order, every one that may be None defaulting to None,
// and a keyword-only `reply_timeout` (the session's timeout by default); it builds the
// command and hands it to the class's submit. `Class` has kOwner, kDocs (whose docstrings,
// see command_docs.hpp), settings(self) and submit(self, command, limit).
#include <optional>
#include <string>
#include <string_view>

#include "commands/command_methods.hpp"
#include "session/command_docs.hpp"
#include "session/event_pipeline.hpp"
#include "session/requests.hpp"
#include "session/settings.hpp"

namespace qv::py {

namespace detail {
// A parameter with a default may not come before one without: the optional fields must come
// last for them to default to None.
consteval bool optional_fields_last() {
  for (const Variant& v : kCatalogue)
    for (std::size_t i = 1; i < v.field_count; ++i)
      if (v.fields[i - 1].optional && !v.fields[i].optional) return false;
  return true;
}
}  // namespace detail
static_assert(detail::optional_fields_last(),
              "a session method defaults its optional fields to None, so they must come last");

template <class Class>
struct SessionCommands {
  static constexpr const char* kOwner = Class::kOwner;
  static constexpr bool kNoneDefaults = true;
  static constexpr bool kReplyTimeout = true;
  static constexpr bool kPythonWording = true;
  static constexpr bool takes(std::size_t) { return true; }
  static constexpr std::size_t fixed_fields(std::size_t) { return 0; }
  static std::string doc(std::size_t v, std::string text_signature) {
    return text_signature + command_doc(Class::kDocs, v);
  }
  struct Use {
    explicit Use(PyObject*) {}
    explicit operator bool() const { return true; }
  };
  template <std::size_t V>
  static bool fill(PyObject*, Command&) {
    return true;
  }
  static PyObject* submit(PyObject* self, std::size_t, const Command& command,
                          PyObject* reply_timeout) {
    std::optional<double> limit;
    if (!wait_limit(Class::settings(self), reply_timeout, reply_timeout_param(), limit))
      return nullptr;
    return Class::submit(self, command, limit);
  }
};

template <class Class>
const std::vector<PyMethodDef>* session_command_methods() {
  return CommandMethods<SessionCommands<Class>>::table();
}

// A resource handle's per-command methods: one for every command whose first field is
// `resource_id`, with the handle's id in it; sent by the handle's session, returning what
// the session's method returns. `Class` has kHandle (the class name), kHandleDocs and
// session_of(handle), besides what SessionCommands asks.
inline constexpr bool names_a_resource(std::size_t v) {
  return kCatalogue[v].field_count > 0 && kCatalogue[v].fields[0].name == "resource_id";
}

template <class Class>
struct HandleCommands : SessionCommands<Class> {
  static constexpr const char* kOwner = Class::kHandle;
  static constexpr bool takes(std::size_t v) { return names_a_resource(v); }
  static constexpr std::size_t fixed_fields(std::size_t v) { return names_a_resource(v) ? 1 : 0; }
  static std::string doc(std::size_t v, std::string text_signature) {
    return text_signature + command_doc(Class::kHandleDocs, v);
  }
  template <std::size_t V>
  static bool fill(PyObject* self, Command& command) {
    if constexpr (names_a_resource(V))
      command.set_number(0, reinterpret_cast<const SubscriptionObject*>(self)->resource_id);
    return true;
  }
  static PyObject* submit(PyObject* self, std::size_t v, const Command& command,
                          PyObject* reply_timeout) {
    return SessionCommands<Class>::submit(Class::session_of(self), v, command, reply_timeout);
  }
};

template <class Class>
const std::vector<PyMethodDef>* handle_command_methods() {
  return CommandMethods<HandleCommands<Class>>::table();
}

}  // namespace qv::py
