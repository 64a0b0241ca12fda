#include "client/command_methods.hpp"

#include <string>
#include <utility>

#include "client/client_object.hpp"
#include "commands/core/wire_line.hpp"
#include "commands/build_command.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "commands/command_methods.hpp"

namespace qv::py {

namespace {

// Replaces the pending send error with the internal failure this method reports instead.
void report_send_failure(std::size_t variant) {
  const Variant& entry = kCatalogue[variant];
  switch (entry.on_failure) {
    case OnSendFailure::Raise: return;
    case OnSendFailure::PanicTodo:
      raise_panic("TODO: panic message: " + describe_current_exception());
      return;
    case OnSendFailure::PanicNamed:
      raise_panic(std::string(entry.method) + " failed: " + describe_current_exception());
      return;
  }
}

// The client's: every parameter required, no reply waited for; the Login sends the client's
// own user name and password; a call has the client to itself.
struct ClientCommands {
  static constexpr const char* kOwner = "QuelvantClient";
  static constexpr bool kNoneDefaults = false;
  static constexpr bool kReplyTimeout = false;
  static constexpr bool kPythonWording = false;
  static constexpr bool takes(std::size_t) { return true; }
  static constexpr std::size_t fixed_fields(std::size_t v) {
    return kCatalogue[v].method_args == MethodArgs::Credentials ? kCatalogue[v].field_count : 0;
  }
  static std::string doc(std::size_t, std::string text_signature) { return text_signature; }

  class Use {
   public:
    explicit Use(PyObject* self) : use_(reinterpret_cast<ClientObject*>(self)) {}
    explicit operator bool() const { return static_cast<bool>(use_); }

   private:
    ExclusiveUse use_;
  };

  template <std::size_t V>
  static bool fill(PyObject* self, Command& command) {
    if constexpr (kCatalogue[V].method_args == MethodArgs::Credentials) {
      const auto* client = reinterpret_cast<ClientObject*>(self);
      return build_login(command, client->username, client->password);
    }
    return true;
  }

  // Renders the prepared command and sends it; the method's failure rule applies.
  static PyObject* submit(PyObject* self, std::size_t variant, const Command& command, PyObject*) {
    auto* client = reinterpret_cast<ClientObject*>(self);
    client->line.clear();
    append_command_text(client->line, command);
    std::uint64_t tag = 0;
    if (!send_tagged(client, tag)) {
      report_send_failure(variant);
      return nullptr;
    }
    Py_RETURN_NONE;
  }
};

}  // namespace

const std::vector<PyMethodDef>* command_method_table() {
  return CommandMethods<ClientCommands>::table();
}

}  // namespace qv::py
