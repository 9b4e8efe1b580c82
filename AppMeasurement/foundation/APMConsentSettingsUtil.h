#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"

// The consent-type name of the configuration's integer: 1 "ad_storage", 2 "analytics_storage",
// 3 "ad_user_data", 4 "ad_personalization", else "".
std::string APMConsentTypeName(int64_t type);
// 1 "granted", 2 "denied", else "".
std::string APMConsentStatusName(int64_t status);

// The process-wide consent state: explicit settings with the number of their source (a lower
// number wins; 5 and 10 are of equal priority; 100 is none), server defaults, delegations and
// regional defaults, and one diagnostic digit per consent type. Consent dictionaries map a
// consent type to its status ("granted", "denied", "eu_consent_policy"); statuses compare
// case-insensitively and a value that is no string matches nothing.
//
// Class operations. All state lives on the serial queue "APMConsentSettingsUtilQueue": setters
// are queued, getters wait for it (never call them from it), so a getter after a setter from
// the same thread sees the change. After each change the queue also publishes the answers of
// the per-event getters (the denied tests, adPersonalization, consentSource, consentSignals and
// consentDiagnostics); those answer from that snapshot without waiting while no change is
// queued, and wait for the queue as the others do while one is.
class APMConsentSettingsUtil {
 public:
  using Dictionary = platform::Value::Dictionary;

  static std::shared_ptr<platform::DispatchQueue> serialQueue();

  static std::optional<Dictionary> consentSettings();
  static std::optional<Dictionary> defaultSettings();
  static std::optional<Dictionary> delegatedSettings();
  static std::optional<Dictionary> regionalDefaults();
  static int64_t consentSource();
  static int64_t version();

  // nullopt also resets the source to 100 and refreshes the digits from it.
  static void setConsentSettings(std::optional<Dictionary> settings);
  static void setConsentSource(int64_t source);
  static void setDefaultSettings(std::optional<Dictionary> settings);
  static void setDelegatedSettings(std::optional<Dictionary> settings);
  static void setRegionalDefaults(std::optional<Dictionary> settings);
  // Only 1 and 2 are taken.
  static void setVersion(int64_t version);
  static void updateSettings(const Dictionary& settings);
  // Merges, sets the source and the digits of the types given. The caller checks priority.
  static void updateSettings(const Dictionary& settings, int64_t consentSource);

  static bool isConsentSourceEqualPriority(int64_t source);
  static bool isConsentSourceHigherPriority(int64_t source);

  static bool isAdStorageDenied();
  static bool isAnalyticsStorageDenied();
  static bool isAdUserDataDenied();
  // 0 denied, 1 granted, nullopt unknown.
  static std::optional<int64_t> adPersonalization();
  static bool didAdUserDataConsentChange(bool previousDenied);

  // Only the entries of the four consent types, values as they are.
  static Dictionary consentSettingsFromDictionary(const Dictionary& dictionary);
  // The Info.plist default-allow keys.
  static Dictionary consentSettingsFromPlist();

  // "Q1" + ad_storage + analytics_storage, each "0" denied, "1" granted, "-" otherwise.
  static std::string consentSignals();
  // "1" + one digit per type.
  static std::string consentDiagnostics();
  static std::string description();

  static void setDiagnosticSource(int64_t digit, const std::string& consentType);
  static void resetDiagnosticSources();
  static void refreshDiagnosticSources(bool fromSource);
  static void unsetAdPersonalization();
  static void clearAllSettings();
};
