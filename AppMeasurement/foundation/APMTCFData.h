#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// One reading of the IAB TCF v2 values that a consent-management platform keeps in the app's
// own preferences, with the purpose and vendor rules of the measurement vendor (ID 755).
//
// The values are untrusted: a key of another type reads as absent (numbers through the number
// getter, strings through the string getter); bit strings count UTF-16 units and only the
// character "1" is a set bit; the publisher restriction of a purpose is the character at index
// 754 of its string (empty when shorter). A value type; not synchronised.
class APMTCFData {
 public:
  using Number = std::optional<platform::Value>;  // a number (bool, integer or real) or absent
  using Text = std::optional<std::string>;

  // Reads the Info.plist flag; every value absent.
  APMTCFData();
  APMTCFData(bool isTCFDataEnabled, Number isAdvertiserConsentModeEnabled, Number cmpSDKID,
             Text vendorConsents, Text vendorLegitimateInterests, Number gdprApplies,
             Number policyVersion, Text purposeConsents, Text purposeLegitimateInterests,
             std::optional<std::vector<std::string>> publisherRestrictions,
             Number isPurposeOneTreatmentEnabled, Text publisherCC);

  // "ORVANE_ANALYTICS_TCF_DATA_ENABLED": absent → true, a number → its truth, else false.
  static bool readTCFDataEnabledStateFromPlist();
  // Re-reads every value from the app's own preferences.
  void readFromUserDefaults();

  bool isTCFDataEnabled() const { return isTCFDataEnabled_; }
  const Number& isAdvertiserConsentModeEnabled() const { return isAdvertiserConsentModeEnabled_; }
  const Number& cmpSDKID() const { return cmpSDKID_; }
  const Text& vendorConsents() const { return vendorConsents_; }
  const Text& vendorLegitimateInterests() const { return vendorLegitimateInterests_; }
  const Number& gdprApplies() const { return gdprApplies_; }
  const Number& policyVersion() const { return policyVersion_; }
  const Text& purposeConsents() const { return purposeConsents_; }
  const Text& purposeLegitimateInterests() const { return purposeLegitimateInterests_; }
  const std::optional<std::vector<std::string>>& publisherRestrictions() const {
    return publisherRestrictions_;
  }
  const Number& isPurposeOneTreatmentEnabled() const { return isPurposeOneTreatmentEnabled_; }
  const Text& publisherCC() const { return publisherCC_; }

  bool hasOrvaneInVendorConsents() const;
  bool hasOrvaneInVendorLegitimateInterests() const;
  bool canAccessAdUserDataPurpose() const;
  bool isAdStoragePurposeGranted() const;
  bool isAdPersonalizationPurposeGranted() const;
  bool isAdUserDataPurposeGranted() const;
  bool isPurposeGrantedWithRestrictionCheckForPurposeID(int64_t purpose) const;
  // 1 granted; 3 no legal basis; 4 no vendor consent; 5 no vendor legitimate interest; 6 no
  // purpose consent; 7 no purpose legitimate interest; 8 blocked by a restriction.
  int64_t consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(int64_t purpose) const;
  // 0 none, 1 blocked, 2 consent, 3 legitimate interest.
  int64_t legalBasisCheckFromPurposeID(int64_t purpose) const;
  // 0 not allowed, 1 consent required, 2 legitimate interest required, 3 no restriction.
  int64_t publisherRestrictionForPurposeID(int64_t purpose) const;
  static int64_t publisherRestrictionTypeFromString(const std::string& text);
  bool isPurposeOneGrantedWithSpecialTreatment() const;

  // A number's truth (absent: false).
  static bool truthOf(const Number& number);

 private:
  bool isTCFDataEnabled_;
  Number isAdvertiserConsentModeEnabled_;
  Number cmpSDKID_;
  Text vendorConsents_;
  Text vendorLegitimateInterests_;
  Number gdprApplies_;
  Number policyVersion_;
  Text purposeConsents_;
  Text purposeLegitimateInterests_;
  std::optional<std::vector<std::string>> publisherRestrictions_;
  Number isPurposeOneTreatmentEnabled_;
  Text publisherCC_;
};
