// Any TCF values (strings of any bytes, numbers of any kind) read through the rules: nothing
// may crash, "_tcfd" always has five characters and "_tcfd2" five digits.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "AppMeasurement/foundation/APMTCFClient.h"
#include "AppMeasurement/foundation/APMTCFDataGenerator.h"

namespace {
// Splits the input into fields at 0xFF bytes.
std::vector<std::string> fields(const uint8_t* data, size_t size) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF) {
      out.emplace_back();
    } else {
      out.back() += static_cast<char>(data[i]);
    }
  }
  out.resize(16);
  return out;
}

APMTCFData::Number number(const std::string& field) {
  if (field.empty()) return std::nullopt;
  switch (field[0] % 3) {
    case 0:
      return platform::Value(static_cast<long long>(std::strtoll(field.c_str() + 1, nullptr, 10)));
    case 1:
      return platform::Value(std::strtod(field.c_str() + 1, nullptr));
    default:
      return platform::Value(field.size() % 2 == 0);
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto f = fields(data, size);
  APMTCFDataGenerator g;
  g.isAdvertiserConsentModeEnabled = number(f[0]);
  g.cmpSDKID = number(f[1]);
  g.vendorConsents = f[2];
  g.vendorLegitimateInterests = f[3];
  g.gdprApplies = number(f[4]);
  g.policyVersion = number(f[5]);
  g.purposeConsents = f[6];
  g.purposeLegitimateInterests = f[7];
  g.publisherRestrictions = std::vector<std::string>(f.begin() + 8, f.begin() + 14);
  g.isPurposeOneTreatmentEnabled = number(f[14]);
  g.publisherCC = f[15];
  APMTCFData tcf = g.generateData();
  for (int64_t purpose = -1; purpose <= 12; ++purpose) {
    int64_t reason = tcf.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purpose);
    if (reason < 1 || reason > 8) abort();
  }
  tcf.isAdUserDataPurposeGranted();
  tcf.isAdPersonalizationPurposeGranted();
  return 0;
}
