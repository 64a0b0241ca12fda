#pragma once
// The value classes some command fields take: the enumerations ECM and Channels, and the
// value records AudioFormatType, PayloadType, ToneType and ConstantWithDescription.
#include <cstdint>
#include <string_view>

#include "commands/core/kinds.hpp"
#include "binding/ref.hpp"

namespace qv::py {

// Creates the six classes (once per process). False with the error set on failure.
bool init_value_classes();

// The class a field kind takes (only for the six value kinds; null otherwise).
PyTypeObject* value_class(Kind kind);

// The six classes, in the order they are registered.
inline constexpr Kind kValueKinds[] = {Kind::Ecm, Kind::Channels, Kind::AudioFormatType,
                                       Kind::PayloadType, Kind::ToneType,
                                       Kind::ConstantWithDescription};

// What a converted instance contributes to a command: its wire text or its number.
std::string_view value_wire_text(PyObject* instance);
std::int64_t value_number(PyObject* instance);

}  // namespace qv::py
