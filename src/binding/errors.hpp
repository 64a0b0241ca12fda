#pragma once
// Raising the module's exceptions. Every message text the module raises is formed here or
// at the one place that owns it; callers return nullptr/false right after.
#include <string>
#include <string_view>

#include "binding/ref.hpp"

namespace qv::py {

void set_error(PyObject* type, const std::string& message);

// The internal-failure exception: a BaseException subclass created once per process.
PyObject* panic_exception_type();
// Writes a report holding `message` to standard error, then raises the internal failure.
void raise_panic(const std::string& message);

// The OSError subclass for an errno (refused -> ConnectionRefusedError, ...).
PyObject* os_error_type(int err);
// Raises it with the system error text alone as the message.
void raise_os_error_kind(int err);

// Adds `note` to the exception being raised (PEP 678), to say which argument or element it
// was about. Leaves the exception set either way.
void note_current_exception(std::string_view note);

// "<repr of the exception's class>, value: <repr of the exception>" form used when an
// internal failure reports the error underneath it. Consumes the current exception.
std::string describe_current_exception();

}  // namespace qv::py
