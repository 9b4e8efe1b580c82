#pragma once

#include "AppMeasurement/foundation/APMTCFData.h"

// A property bag with the fields of APMTCFData; generateData builds the reading that holds
// exactly those values (used to rebuild the previous state from the TCF store).
struct APMTCFDataGenerator {
  bool isTCFDataEnabled = true;
  APMTCFData::Number isAdvertiserConsentModeEnabled;
  APMTCFData::Number cmpSDKID;
  APMTCFData::Text vendorConsents;
  APMTCFData::Text vendorLegitimateInterests;
  APMTCFData::Number gdprApplies;
  APMTCFData::Number policyVersion;
  APMTCFData::Text purposeConsents;
  APMTCFData::Text purposeLegitimateInterests;
  std::optional<std::vector<std::string>> publisherRestrictions;
  APMTCFData::Number isPurposeOneTreatmentEnabled;
  APMTCFData::Text publisherCC;

  APMTCFData generateData() const {
    return APMTCFData(isTCFDataEnabled, isAdvertiserConsentModeEnabled, cmpSDKID, vendorConsents,
                      vendorLegitimateInterests, gdprApplies, policyVersion, purposeConsents,
                      purposeLegitimateInterests, publisherRestrictions,
                      isPurposeOneTreatmentEnabled, publisherCC);
  }
};
