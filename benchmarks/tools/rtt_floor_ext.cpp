// F5, the floor for a blocking request made from Python: a minimal extension function that
// does what F4 does (one tagged line with one send(), recv() until the line carrying its tag
// has come) with the interpreter lock released around the two system calls, and returns the
// reply's line as a str. No routing, no locks of its own, no objects but the str: what any
// Python-callable making this request costs at least, on top of F4.
//   connect(port)   connects once with TCP_NODELAY and logs in
//   request()       one round trip of "GetVersion COMMANDTAG=<n>"; the reply's line
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

int fd = -1;
char buf[1 << 16];
std::size_t begin = 0, end = 0;  // unread bytes in buf
long long next_tag = 0;

bool send_all(const std::string& line) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t sent = ::send(fd, p, left, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    p += sent;
    left -= static_cast<std::size_t>(sent);
  }
  return true;
}

long long tag_of(std::string_view line) {
  const std::size_t key = line.rfind("COMMANDTAG=");
  if (key == std::string_view::npos) return -1;
  return std::strtoll(line.data() + key + 11, nullptr, 10);
}

// Reads until the line carrying `tag` has come; its place in buf, or false.
bool await_reply(long long tag, std::string_view& reply) {
  for (;;) {
    while (const void* nl = std::memchr(buf + begin, '\n', end - begin)) {
      const auto at = static_cast<std::size_t>(static_cast<const char*>(nl) - buf);
      const std::string_view line(buf + begin, at - begin);
      begin = at + 1;
      if (tag_of(line) == tag) {
        reply = line;
        return true;
      }
    }
    if (begin > 0) {
      std::memmove(buf, buf + begin, end - begin);
      end -= begin;
      begin = 0;
    }
    if (end == sizeof buf) return false;
    const ssize_t r = ::recv(fd, buf + end, sizeof buf - end, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    end += static_cast<std::size_t>(r);
  }
}

bool exchange(const std::string& line, long long tag, std::string_view& reply) {
  bool ok;
  Py_BEGIN_ALLOW_THREADS
  ok = send_all(line) && await_reply(tag, reply);
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
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return lost();
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string_view reply;
  if (!exchange("Login bench bench 2 3 COMMANDTAG=0\n", next_tag++, reply)) return lost();
  Py_RETURN_NONE;
}

PyObject* request(PyObject*, PyObject*) {
  // Rendered inside the call, as F4 renders each request it makes.
  std::string line = "GetVersion COMMANDTAG=";
  const long long tag = next_tag++;
  line += std::to_string(tag);
  line += '\n';
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
