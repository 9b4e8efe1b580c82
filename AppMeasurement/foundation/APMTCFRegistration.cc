#include "AppMeasurement/foundation/APMTCFRegistration.h"

const APMTCFRegistration& APMTCFRegistration::sharedInstance() {
  static const APMTCFRegistration& instance = *new APMTCFRegistration();
  return instance;
}

bool APMTCFRegistration::hasConsentForPurposeID(int64_t purpose) const {
  return purpose == 1 || purpose == 3 || purpose == 4;
}

bool APMTCFRegistration::hasLegitimateInterestForPurposeID(int64_t purpose) const {
  return purpose == 2 || purpose == 7 || purpose == 9 || purpose == 10;
}

bool APMTCFRegistration::hasFlexibleLegitimateInterestForPurposeID(int64_t purpose) const {
  return hasLegitimateInterestForPurposeID(purpose);
}
