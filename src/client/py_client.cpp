#include "client/py_client.hpp"

#include <memory>
#include <new>
#include <string>
#include <variant>
#include <vector>

#include "client/client_object.hpp"
#include "commands/core/login_defaults.hpp"
#include "client/command_methods.hpp"
#include "net/ip_address.hpp"
#include "net/os_error.hpp"
#include "client/core/output.hpp"
#include "client/core/reader_thread.hpp"
#include "net/socket.hpp"
#include "commands/core/wire_line.hpp"
#include "commands/core/render.hpp"
#include "commands/py_command.hpp"
#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"

namespace qv::py {

namespace {

constexpr std::uint16_t kDefaultTransportChannelPort = 1235;

Signature g_constructor;
Signature g_send_raw_command;
Signature g_send_command;
Signature g_send_batch;

ClientObject* as_client(PyObject* self) { return reinterpret_cast<ClientObject*>(self); }

PyObject* Client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_tuple_arguments(g_constructor, args, kwargs, scratch);
  if (!bound) return nullptr;
  Arg a[5];
  for (std::size_t i = 0; i < 5; ++i)
    if (!convert_argument(g_constructor.params[i], bound[i], a[i])) return nullptr;
  const auto server = parse_ip_address(a[0].text);
  if (!server) {
    set_error(PyExc_ValueError, "Invalid IP address: " + std::string(a[0].text));
    return nullptr;
  }
  PyObject* self = type_alloc(type);
  if (!self) return nullptr;
  ClientObject* c = as_client(self);
  std::construct_at(&c->username, a[3].present ? std::string(a[3].text) : kDefaultUsername);
  std::construct_at(&c->password, a[4].present ? std::string(a[4].text) : default_password());
  std::construct_at(&c->line);
  c->server = *server;
  c->control_port =
      a[1].present ? static_cast<std::uint16_t>(a[1].number) : kDefaultControlPort;
  c->transport_channel_port =
      a[2].present ? static_cast<std::uint16_t>(a[2].number) : kDefaultTransportChannelPort;
  c->connection = -1;
  c->command_tag = 0;
  c->borrow = 0;
  return self;
}

void Client_dealloc(PyObject* self) noexcept {
  ClientObject* c = as_client(self);
  if (c->connection >= 0) close_handle(c->connection);  // the reader keeps its own handle
  std::destroy_at(&c->username);
  std::destroy_at(&c->password);
  std::destroy_at(&c->line);
  PyTypeObject* type = Py_TYPE(self);
  type_free(type, self);
  Py_DECREF(type);
}

PyObject* Client_connect(PyObject* self, PyObject*) {
  ClientObject* c = as_client(self);
  ExclusiveUse use(c);
  if (!use) return nullptr;
  const auto connected = connect_tcp(c->server, c->control_port, kRunSignalHandlers);
  if (const auto* failure = std::get_if<OsFailure>(&connected)) {
    // Interrupted: the signal handler's exception is already set.
    if (!failure->interrupted)
      set_error(PyExc_OSError, "Failed to connect: " + os_error_text(failure->err));
    return nullptr;
  }
  const int fd = std::get<int>(connected);
  clear_socket_timeouts(fd);
  set_no_delay(fd);
  const auto duplicated = duplicate_handle(fd);
  if (const auto* failure = std::get_if<OsFailure>(&duplicated)) {
    close_handle(fd);
    raise_os_error_kind(failure->err);
    return nullptr;
  }
  const int reader_fd = std::get<int>(duplicated);
  if (c->connection >= 0) close_handle(c->connection);
  c->connection = fd;
  const auto started = start_reader_thread(reader_fd);
  if (const auto* failure = std::get_if<OsFailure>(&started)) {
    close_handle(reader_fd);
    raise_panic("failed to spawn thread: " + os_error_text(failure->err));
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* Client_disconnect(PyObject* self, PyObject*) {
  ClientObject* c = as_client(self);
  ExclusiveUse use(c);
  if (!use) return nullptr;
  if (c->connection < 0) {
    PyErr_SetString(PyExc_RuntimeError, "No active connection to disconnect");
    return nullptr;
  }
  close_handle(c->connection);
  c->connection = -1;
  Py_RETURN_NONE;
}

// send_raw_command and send_command: one argument, one line sent, the tag returned.
template <bool (*kSend)(ClientObject*, const Arg&, std::uint64_t&)>
PyObject* send_line_method(PyObject* self, const Signature& sig, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  ClientObject* c = as_client(self);
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_arguments(sig, args, nargs, kwnames, scratch);
  if (!bound) return nullptr;
  ExclusiveUse use(c);
  if (!use) return nullptr;
  Arg arg;
  if (!convert_argument(sig.params[0], bound[0], arg)) return nullptr;
  std::uint64_t tag = 0;
  if (!kSend(c, arg, tag)) return nullptr;
  return PyLong_FromUnsignedLongLong(tag);
}

// The text goes to the socket from the str's own UTF-8, uncopied.
bool send_raw_text(ClientObject* c, const Arg& message, std::uint64_t& tag) {
  return send_tagged_text(c, message.text, tag);
}

bool send_rendered(ClientObject* c, const Arg& command, std::uint64_t& tag) {
  c->line.clear();
  append_command_text(c->line, command_value(command.object));
  return send_tagged(c, tag);
}

PyObject* Client_send_raw_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return send_line_method<send_raw_text>(self, g_send_raw_command, args, nargs, kwnames);
}

PyObject* Client_send_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return send_line_method<send_rendered>(self, g_send_command, args, nargs, kwnames);
}

// Checks one element of a batch: a Command, or a text sent as it is. False with the error
// set, naming the element.
bool check_batch_element(PyObject* item, Py_ssize_t index, std::string_view& text) {
  const Command* command;
  return command_or_text(
      item, [&] { return "argument 'commands': element " + std::to_string(index); },
      [&] { return "element " + std::to_string(index) + " of argument 'commands'"; }, command,
      text);
}

PyObject* Client_send_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  ClientObject* c = as_client(self);
  PyObject* scratch[kMaxParams];
  PyObject* const* bound = bind_arguments(g_send_batch, args, nargs, kwnames, scratch);
  if (!bound) return nullptr;
  ExclusiveUse use(c);
  if (!use) return nullptr;
  // Held as a list, so every element lives until the send is over.
  Ref items = Ref::steal(PySequence_List(bound[0]));
  if (!items) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      set_error(PyExc_TypeError,
                "argument 'commands': '" + type_qualname(bound[0]) + "' object is not iterable");
    }
    return nullptr;
  }
  const Py_ssize_t count = list_size(items.get());
  std::vector<std::string_view> texts(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i)
    if (!check_batch_element(list_item(items.get(), i), i, texts[i])) return nullptr;
  if (c->connection < 0) {
    PyErr_SetString(PyExc_RuntimeError, "No active connection to send message");
    return nullptr;
  }
  const std::uint64_t first_tag = c->command_tag;
  std::vector<std::size_t> line_ends;
  line_ends.reserve(static_cast<std::size_t>(count));
  c->line.clear();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = list_item(items.get(), i);
    if (PyUnicode_Check(item))
      c->line.append(texts[i]);
    else
      append_command_text(c->line, command_value(item));
    append_tag_suffix(c->line, first_tag + static_cast<std::uint64_t>(i));
    line_ends.push_back(c->line.size());
  }
  if (!send_tagged_lines(c, line_ends)) return nullptr;
  Ref tags = Ref::steal(PyList_New(count));
  if (!tags) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* tag = PyLong_FromUnsignedLongLong(first_tag + static_cast<std::uint64_t>(i));
    if (!tag) return nullptr;
    list_fill(tags.get(), i, tag);
  }
  return tags.release();
}

PyObject* Client_print_details(PyObject* self, PyObject*) {
  ClientObject* c = as_client(self);
  SharedUse use(c);
  if (!use) return nullptr;
  const std::string line = "QuelvantClient(server: " + format_ip_address(c->server) +
                           ", control_port: " + std::to_string(c->control_port) +
                           ", transport_channel_port: " +
                           std::to_string(c->transport_channel_port) +
                           ", username: " + c->username + ", password: " + c->password + ")\n";
  if (const int err = write_stdout_line(line)) {
    raise_panic("failed printing to stdout: " + os_error_text(err));
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* Client_get_command_tag(PyObject* self, void*) {
  ClientObject* c = as_client(self);
  SharedUse use(c);
  if (!use) return nullptr;
  return PyLong_FromUnsignedLongLong(c->command_tag);
}

}  // namespace

PyTypeObject* init_client_class() {
  static PyTypeObject* type = nullptr;
  if (type) return type;
  auto constructor = make_signature(
      "QuelvantClient.__new__()",
      {make_param("server", Conv::RawText), make_param("control_port", Conv::U16, true),
       make_param("transport_channel_port", Conv::U16, true),
       make_param("username", Conv::Text, true), make_param("password", Conv::Text, true)});
  auto send_raw_command = make_signature("QuelvantClient.send_raw_command()",
                                         {make_param("message", Conv::RawText)});
  auto send_command = make_signature(
      "QuelvantClient.send_command()",
      {make_param("command", Conv::Instance, false, command_class())});
  auto send_batch =
      make_signature("QuelvantClient.send_batch()", {make_param("commands", Conv::Object)});
  if (!constructor || !send_raw_command || !send_command || !send_batch) return nullptr;
  g_constructor = std::move(*constructor);
  g_send_raw_command = std::move(*send_raw_command);
  g_send_command = std::move(*send_command);
  g_send_batch = std::move(*send_batch);

  const auto* per_command = command_method_table();
  if (!per_command) return nullptr;
  static std::vector<PyMethodDef> methods;
  methods.clear();
  methods.push_back({"connect", method_entry<Client_connect>(), METH_NOARGS,
                     "connect($self)\n--\n\n"});
  methods.push_back({"disconnect", method_entry<Client_disconnect>(), METH_NOARGS,
                     "disconnect($self)\n--\n\n"});
  methods.push_back({"send_raw_command", method_entry<Client_send_raw_command>(),
                     METH_FASTCALL | METH_KEYWORDS, "send_raw_command($self, message)\n--\n\n"});
  methods.push_back({"send_command", method_entry<Client_send_command>(),
                     METH_FASTCALL | METH_KEYWORDS, "send_command($self, command)\n--\n\n"});
  methods.insert(methods.end(), per_command->begin(), per_command->end());
  methods.push_back({"print_details", method_entry<Client_print_details>(), METH_NOARGS,
                     "print_details($self)\n--\n\n"});
  // Last: the per-command methods and print_details keep the order they always had.
  methods.push_back({"send_batch", method_entry<Client_send_batch>(),
                     METH_FASTCALL | METH_KEYWORDS, "send_batch($self, commands)\n--\n\n"});
  methods.push_back({nullptr, nullptr, 0, nullptr});

  static PyGetSetDef getset[] = {
      {"command_tag", entry<Client_get_command_tag>, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_new, slot_entry<Client_new>()},
      {Py_tp_dealloc, dealloc_slot<Client_dealloc>()},
      {Py_tp_methods, nullptr},
      {Py_tp_getset, getset},
      {Py_tp_doc, const_cast<char*>(
                      "QuelvantClient(server, control_port, transport_channel_port, username, "
                      "password)\n--\n\n")},
      {0, nullptr},
  };
  slots[2].pfunc = methods.data();
  PyType_Spec shape = {"builtins.QuelvantClient", sizeof(ClientObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&shape));
  return type;
}

}  // namespace qv::py
