#pragma once

#include <memory>
#include <optional>
#include <string>

#include "AppMeasurement/foundation/APMTCFData.h"
#include "platform/foundation/Value.h"

class APMTCFAnalyticsSink;
class APMUserDefaults;

// Reads the IAB TCF values, derives "ad_storage", "ad_personalization" and "ad_user_data" for
// the measurement vendor, logs "_tcf" when the TCF state changed since the last reading,
// remembers the state in the suite "com.orvane.rzq.measurement.tcf.userdefaults", and hands the
// derived consent on (key "consent_settings_tcf") when TCF applies or the one-time vendor fix
// does.
//
// No lock: the engine calls it on its worker queue only.
class APMTCFClient {
 public:
  static constexpr const char* kSuiteName = "com.orvane.rzq.measurement.tcf.userdefaults";
  static constexpr const char* kConsentKey = "consent_settings_tcf";

  // The sink is held weakly; without one nothing is logged or handed on.
  explicit APMTCFClient(std::weak_ptr<APMTCFAnalyticsSink> sink = {});

  void readTCFData();
  bool shouldApplyTCFData() const;
  bool shouldApplyOneTimeTCFVendorFix() const;
  void setConsentFromTCFData();
  void logTCFChangedEventShouldApplyOneTimeVendorFix(bool fix,
                                                     bool isCurrentSameAsPreviousTCFConsent);
  void storeCurrentData();
  std::string stringRepresentationFromTCFData() const;
  static std::string consentStatusFromEnabled(bool enabled);
  bool persistedValuesEqualCurrentData() const;
  bool hasTCFDataToRead() const;
  void clearPersistedValues();
  // The three statuses derived from the stored state (values of an unexpected type in the store
  // read as absent).
  platform::Value::Dictionary previousConsent() const;
  // "_tcfd": "1", CMP id in two characters, policy version, flags.
  std::string tcfBundleParameterValue() const;
  std::string tcfdMigrationParamValueForMigrationDidOccur(bool migrationDidOccur,
                                                          bool didMigrationChangeConsent) const;
  // "_tcfd2": "2" and the reasons of purposes 1, 3, 4 and 7.
  std::string tcfd2ParamValue() const;
  std::string tcfd2ParamValueForPurposeID(int64_t purpose) const;

  const APMTCFData& tcfData() const { return tcfData_; }
  bool isDMARegion() const { return isDMARegion_; }
  void setIsDMARegion(bool isDMARegion) { isDMARegion_ = isDMARegion; }

 private:
  platform::Value::Dictionary currentConsent() const;

  APMTCFData tcfData_;
  bool isDMARegion_ = true;
  std::shared_ptr<APMUserDefaults> store_;
  std::weak_ptr<APMTCFAnalyticsSink> sink_;
};
