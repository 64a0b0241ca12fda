// F5, the floor for a blocking request made from Python: a minimal extension function that
// does what F4 does (one tagged line with one send(), recv() until the line carrying its tag
// has come) with the interpreter lock released around the two system calls, and returns the
// reply's line as a str. No routing, no locks of its own, no objects but the str: what any
// Python-callable making this request costs at least, on top of F4.
//   connect(port)   connects once with TCP_NODELAY and logs in
//   request()       one round trip of "GetVersion COMMANDTAG=<n>"; the reply's line
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "rtt_client.hpp"

namespace {

long long next_tag = 0;

bool exchange(const std::string& line, long long tag, std::string_view& reply) {
  bool ok;
  Py_BEGIN_ALLOW_THREADS
  ok = rtt::send_all(line) && rtt::await_reply(tag, reply);
  Py_END_ALLOW_THREADS
  return ok;
}

PyObject* lost() {
  PyErr_SetString(PyExc_ConnectionError, "rtt_floor_ext: the connection failed");
  return nullptr;
}

PyObject* connect_to(PyObject*, PyObject* arg) {
  const long port = PyLong_AsLong(arg);
  if (port == -1 && PyErr_Occurred()) return nullptr;
  if (!rtt::connect_to(static_cast<int>(port))) return lost();
  std::string_view reply;
  if (!exchange("Login bench bench 2 3 COMMANDTAG=0\n", next_tag++, reply)) return lost();
  Py_RETURN_NONE;
}

PyObject* request(PyObject*, PyObject*) {
  std::string line;
  const long long tag = next_tag++;
  rtt::render(line, tag);  // inside the call, as F4 renders each request it makes
  std::string_view reply;
  if (!exchange(line, tag, reply)) return lost();
  return PyUnicode_FromStringAndSize(reply.data(), static_cast<Py_ssize_t>(reply.size()));
}

PyMethodDef methods[] = {
    {"connect", connect_to, METH_O, nullptr},
    {"request", request, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "rtt_floor_ext", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_rtt_floor_ext() { return PyModule_Create(&module); }
