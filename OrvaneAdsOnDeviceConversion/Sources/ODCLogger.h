#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"
#include "platform/utilities/OULError.h"

// Logging, errors and JSON of the on-device conversion module. Lines go to the utilities
// framework's log as "[com.orvane.appads] <OnDeviceConversion>[I-ODC%06ld] ..."; errors carry
// the domain below and the message code as their code. Any thread.

inline constexpr char kODCErrorDomain[] = "com.orvane.ads.OnDeviceConversion.ErrorDomain";

// Warning logged for every exchange of the conversion tasks that fails, with the URL and the
// reason (the transport error, or the HTTP status): the module's own codes leave both out.
inline constexpr int64_t kODCExchangeFailedCode = 4001;

void ODCLogError(int64_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ODCLogWarning(int64_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ODCLogDebug(int64_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));

// An error of kODCErrorDomain with `code`; logs the message at error level with the same code
// first. An empty message leaves the description empty.
OULError ODCErrorWithCode(int64_t code, const std::string& message);

// The dictionary of a JSON text (top-level fragments parse, but only an object is answered).
// nullopt data: 2000 "Data is nil."; a parse failure: its own error (domain "NSCocoaErrorDomain",
// code 3840); another root: 2001 "JSON root is not a dictionary.".
std::optional<platform::Value> ODCJSONObjectFromData(std::optional<std::string_view> data,
                                                     std::optional<OULError>* error);

// Compact JSON of the object; nullopt when it is not valid JSON.
std::optional<std::string> ODCDataFromJSONObject(const platform::Value& object);
