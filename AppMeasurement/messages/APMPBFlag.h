#pragma once

#include <functional>
#include <optional>
#include <string>

#include "AppMeasurement/messages/NANOObject.h"
#include "proto/experiments.nano.h"

// Where APMPBFlagCreate reports a refused flag: level, message code, text and context (the
// offending object's type). The experiments service passes its monitor; without one the line
// goes to the platform log.
using APMPBFlagLogger = std::function<void(int level, long code, const std::string& message,
                                           const std::string& context)>;

// The value of a flag: the first present of int_value (a 64-bit integer number), double_value
// (a double number), string_value (text) and bool_value (a bool number); nil (monostate) when
// the flag is null or none is present.
NANOObject APMPBFlagGetValue(const APMPBFlag* flag);

// A flag named name with the value: text goes to string_value, a floating-point number to
// double_value, any other number (booleans too) to int_value. nullopt, logged with codes 850000
// (nil name), 850001 (name not text) or 850002 (value neither number nor text).
std::optional<APMPBFlag> APMPBFlagCreate(const NANOObject& name, const NANOObject& value,
                                         const APMPBFlagLogger& logger = nullptr);
