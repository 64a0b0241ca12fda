#pragma once
// The one owning reference type. A raw PyObject* anywhere else means "borrowed".
#include "binding/py_compat.hpp"

#include <utility>

namespace qv::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (possibly null, meaning "failed, error set").
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Takes an additional reference to a borrowed object.
  static Ref borrow(PyObject* o) noexcept { return Ref(Py_XNewRef(o)); }

  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference back to the interpreter (a return value of a C callback).
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit Ref(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace qv::py
