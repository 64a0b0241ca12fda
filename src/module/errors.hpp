#pragma once
// Raising the module's exceptions. Every message text the module raises is formed here or
// at the one place that owns it; callers return nullptr/false right after.
#include <string>

#include "module/ref.hpp"

namespace qv::py {

void set_error(PyObject* type, const std::string& message);

// The internal-failure exception: a BaseException subclass created once per process.
PyObject* panic_exception_type();
// Writes a report holding `message` to standard error, then raises the internal failure.
void raise_panic(const std::string& message);

// OSError subclass for an errno (refused -> ConnectionRefusedError, ...), message alone.
void raise_os_error_kind(int err);

// "<repr of the exception's class>, value: <repr of the exception>" form used when an
// internal failure reports the error underneath it. Consumes the current exception.
std::string describe_current_exception();

}  // namespace qv::py
