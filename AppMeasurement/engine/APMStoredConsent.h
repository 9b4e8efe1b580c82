#pragma once

#include <cstdint>
#include <optional>

#include "platform/foundation/Value.h"

// The consent sets the public-call layer keeps in its suite "APMAnalyticsSuiteName": the
// app-set settings ("consent_settings_3p"), the TCF-derived ones ("consent_settings_tcf"), the
// app's other settings ("consent_settings"), the start options' set ("consent_settings_on_start")
// and the source in force ("consent_source"). The engine reads them at start to choose the
// settings that take effect. Any thread.
namespace APMStoredConsent {

inline constexpr const char* kAppSetKey = "consent_settings_3p";
inline constexpr const char* kTCFKey = "consent_settings_tcf";
inline constexpr const char* kFirstPartyKey = "consent_settings";
inline constexpr const char* kStartKey = "consent_settings_on_start";
inline constexpr const char* kSourceKey = "consent_source";

// The stored dictionary under the key; empty when absent or not a dictionary.
platform::Value::Dictionary settingsForKey(const char* key);
// Only the four consent types, and only the values "granted" and "denied".
platform::Value::Dictionary validSettings(const platform::Value::Dictionary& settings);
// Under "consent_settings_tcf" for source 5, "consent_settings_3p" below 21, else
// "consent_settings"; then the source.
void persist(const platform::Value::Dictionary& settings, int64_t source);
// Removes every stored set and the source, then clears the consent state.
void clear();

}  // namespace APMStoredConsent
