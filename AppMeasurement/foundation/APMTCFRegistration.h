#pragma once

#include <cstdint>

// Which IAB TCF purposes the measurement vendor (ID 755) registers for which legal basis:
// consent {1, 3, 4}; legitimate interest {2, 7, 9, 10}; flexible, where the publisher may switch
// the basis, {2, 7, 9, 10}. Stateless; any thread.
class APMTCFRegistration {
 public:
  static const APMTCFRegistration& sharedInstance();
  bool hasConsentForPurposeID(int64_t purpose) const;
  bool hasLegitimateInterestForPurposeID(int64_t purpose) const;
  bool hasFlexibleLegitimateInterestForPurposeID(int64_t purpose) const;
};
