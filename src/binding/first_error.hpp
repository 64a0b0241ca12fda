#pragma once
// The first error of several steps that must all run: kept aside while the others do, and
// raised again once they have.
#include "binding/py_compat.hpp"
#include "binding/ref.hpp"

namespace qv::py {

class FirstError {
 public:
  void keep() {
    if (!PyErr_Occurred()) return;
    Ref exc = Ref::steal(take_raised_exception());
    if (!exc_) exc_ = std::move(exc);
  }
  bool failed() const noexcept { return static_cast<bool>(exc_); }
  bool restore() {
    if (!exc_) return true;
    set_raised_exception(exc_.release());
    return false;
  }

 private:
  Ref exc_;
};

}  // namespace qv::py
