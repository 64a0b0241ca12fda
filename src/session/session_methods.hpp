#pragma once
// The per-command methods of a session class, from the one generator (CommandMethods): each
// takes its factory's parameters, in order, every one that may be None defaulting to None,
// and a keyword-only `reply_timeout` (the session's timeout by default); it builds the
// command and hands it to the class's submit. `Class` has kOwner, kDocLine ("{}" standing for
// the command word), settings(self) and submit(self, command, limit).
#include <optional>
#include <string>
#include <string_view>

#include "commands/command_methods.hpp"
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

// `line` with "{}" standing for the command word of entry `v`.
std::string with_command_word(std::string_view line, std::size_t v);

template <class Class>
struct SessionCommands {
  static constexpr const char* kOwner = Class::kOwner;
  static constexpr bool kNoneDefaults = true;
  static constexpr bool kReplyTimeout = true;
  static constexpr bool kPythonWording = true;
  static constexpr bool takes(std::size_t) { return true; }
  static constexpr std::size_t fixed_fields(std::size_t) { return 0; }
  static std::string doc(std::size_t v, std::string text_signature) {
    return text_signature + with_command_word(Class::kDocLine, v);
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

}  // namespace qv::py
