#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// Errors of the script runtime are values: a domain text, an integer code and user info.
// Every operation that can fail takes an error slot as `APMPErrorSlot* error`, spelled as the
// rest of the measurement library spells its own (`APMErrorSlot* error`): failure fills it
// and the operation returns its fallback. Callers test the slot after every step and stop at
// the first filled one. A null slot is allowed and receives nothing; the public entry points
// (APMPEventEditing) then keep a slot of their own, so that evaluation still stops at the
// first failure.
struct APMPError {
  std::string domain;
  int64_t code = 0;
  platform::Value userInfo;

  bool operator==(const APMPError&) const = default;
};

// An error out-parameter: callers that do not care pass nullptr.
using APMPErrorSlot = std::optional<APMPError>;

inline constexpr char kAPMPErrorDomain[] = "com.orvane.rzq.measurement.pixie.ErrorDomain";
inline constexpr char kAPMPEditingErrorDomain[] =
    "com.orvane.rzq.measurement.pixie.editing.ErrorDomain";
// Errors of the regular-expression facility (a pattern that does not compile, a match that
// ran out of time): not pixie errors.
inline constexpr char kAPMPRegularExpressionErrorDomain[] = "NSCocoaErrorDomain";
inline constexpr int64_t kAPMPRegularExpressionErrorCode = 2048;

// Codes of the pixie domain.
enum APMPErrorCode : int64_t {
  APMPErrorCodeUndeclaredAssignment = 2,
  APMPErrorCodeBooleanConversion = 3,
  APMPErrorCodeNumberConversion = 4,
  APMPErrorCodeStringConversion = 5,
  APMPErrorCodePropertyOfNullOrUndefined = 6,
  APMPErrorCodeMethodOfNullOrUndefined = 7,
  APMPErrorCodeReduceOfEmpty = 8,
  APMPErrorCodeArgumentCount = 9,
  APMPErrorCodeArgumentType = 10,
  APMPErrorCodeInvalidLength = 11,
  APMPErrorCodeUnknownEntityType = 12,
  APMPErrorCodeUnconvertibleHostObject = 13,
  APMPErrorCodeMissingFunctionName = 14,
  APMPErrorCodeModuleCreatorFailed = 15,
  APMPErrorCodeNotIterable = 16,
  APMPErrorCodeUnknownMethod = 17,
  APMPErrorCodeInstructionBudget = 18,
  // Resource limits of this runtime, beyond the codes above: evaluation nested too deeply
  // (a script recursing without end), and an array or text grown past its bound.
  APMPErrorCodeNestingTooDeep = 19,
  APMPErrorCodeTooLarge = 20,
};

// Codes of the editing domain.
enum APMPEditingErrorCode : int64_t {
  APMPEditingErrorCodeMissingType = 2,
  APMPEditingErrorCodeUnknownType = 3,
  APMPEditingErrorCodeTooManyCallbacks = 4,
  APMPEditingErrorCodeControlValueResult = 5,
  APMPEditingErrorCodeRuleNotAMap = 6,
  APMPEditingErrorCodeRuleNotAFunction = 7,
};

// Fills the slot with a pixie error of the given code (no user info). A null slot is ignored.
inline void APMPSetError(APMPErrorSlot* error, int64_t code) {
  if (error != nullptr) *error = APMPError{kAPMPErrorDomain, code, {}};
}

inline void APMPSetEditingError(APMPErrorSlot* error, int64_t code) {
  if (error != nullptr) *error = APMPError{kAPMPEditingErrorDomain, code, {}};
}

inline bool APMPHasError(APMPErrorSlot* error) { return error != nullptr && error->has_value(); }
