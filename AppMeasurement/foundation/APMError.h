#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/foundation/Value.h"

class APMLogContext;

// The domain of every error the measurement library makes.
inline constexpr std::string_view kAPMErrorDomain = "com.orvane.rzq.measurement.ErrorDomain";
// User-info key of the short, personal-data-free text that the monitor adds to health data.
inline constexpr std::string_view kAPMMonitorContextKey = "APMMonitorContext";
// User-info key of the human-readable description (NSLocalizedDescriptionKey).
inline constexpr std::string_view kAPMLocalizedDescriptionKey = "NSLocalizedDescription";

// An error object: a domain, a numeric code and a user-info dictionary. A value type;
// errors of other domains (from the platform or companion libraries) use the same type.
class APMError {
 public:
  APMError(std::string domain, int64_t code, platform::Value::Dictionary userInfo = {})
      : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const platform::Value::Dictionary& userInfo() const { return userInfo_; }

  // The localized description from the user info, or empty when there is none.
  std::string localizedDescription() const;
  // The "APMMonitorContext" entry when it is a string, else empty.
  std::string monitorContext() const;
  // "Error Domain=<domain> Code=<code> "<description>" UserInfo={...}", for log lines.
  std::string description() const;

  bool operator==(const APMError&) const = default;

 private:
  std::string domain_;
  int64_t code_;
  platform::Value::Dictionary userInfo_;
};

// An error out-parameter (NSError **): callers that do not care pass nullptr.
using APMErrorSlot = std::optional<APMError>;

// A new error of the library's domain. The description and the monitor context enter the
// user info only when they are not empty.
APMError apm_errorWithCode(int64_t code, std::string_view description);
APMError apm_errorWithCode(int64_t code, std::string_view description,
                           std::string_view monitorContext);

// Stores a new library error into the slot; an absent slot receives nothing.
void APMSetError(APMErrorSlot* error, int64_t code, std::string_view description);
void APMSetErrorWithMonitorContext(APMErrorSlot* error, int64_t code, std::string_view description,
                                   std::string_view monitorContext);

// Returns the flag unchanged; when it is false, first stores a new error into the slot.
// A true flag never touches the slot, even when it already holds an error.
bool APMCheckResult(bool result, APMErrorSlot* error, int64_t code, std::string_view description);

// True when the object (a pointer, smart pointer or optional) is present, or when a length
// or count passed in its place is not zero; otherwise stores a new error and returns false.
template <typename T>
bool APMCheckNonNil(const T& object, APMErrorSlot* error, int64_t code,
                    std::string_view description) {
  bool present;
  if constexpr (std::is_arithmetic_v<T>) {
    present = object != 0;
  } else {
    present = static_cast<bool>(object);
  }
  return APMCheckResult(present, error, code, description);
}

// The monitor contexts of the library errors among the contexts of one log call, joined
// with commas: only errors of the library's domain whose context is a non-empty string
// count. Empty when there is none.
std::string APMMonitorContextsFromErrors(const std::vector<APMLogContext>& contexts);
