#include "AppMeasurement/foundation/APMTCFData.h"

#include "AppMeasurement/foundation/APMStringAdditions.h"
#include "AppMeasurement/foundation/APMTCFRegistration.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/Bundle.h"

namespace {

constexpr int64_t kVendorIndex = 754;  // vendor 755

// The character at a UTF-16 index as text, or "" when the text is shorter or the index falls
// inside a character.
std::string characterAtUTF16Index(std::string_view text, int64_t index) {
  int64_t unit = 0;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (i + length > text.size()) return "";
    if (unit == index) return std::string(text.substr(i, length));
    unit += length == 4 ? 2 : 1;
    if (unit > index) return "";
    i += length;
  }
  return "";
}

}  // namespace

APMTCFData::APMTCFData() : isTCFDataEnabled_(readTCFDataEnabledStateFromPlist()) {}

APMTCFData::APMTCFData(bool isTCFDataEnabled, Number isAdvertiserConsentModeEnabled,
                       Number cmpSDKID, Text vendorConsents, Text vendorLegitimateInterests,
                       Number gdprApplies, Number policyVersion, Text purposeConsents,
                       Text purposeLegitimateInterests,
                       std::optional<std::vector<std::string>> publisherRestrictions,
                       Number isPurposeOneTreatmentEnabled, Text publisherCC)
    : isTCFDataEnabled_(isTCFDataEnabled),
      isAdvertiserConsentModeEnabled_(std::move(isAdvertiserConsentModeEnabled)),
      cmpSDKID_(std::move(cmpSDKID)),
      vendorConsents_(std::move(vendorConsents)),
      vendorLegitimateInterests_(std::move(vendorLegitimateInterests)),
      gdprApplies_(std::move(gdprApplies)),
      policyVersion_(std::move(policyVersion)),
      purposeConsents_(std::move(purposeConsents)),
      purposeLegitimateInterests_(std::move(purposeLegitimateInterests)),
      publisherRestrictions_(std::move(publisherRestrictions)),
      isPurposeOneTreatmentEnabled_(std::move(isPurposeOneTreatmentEnabled)),
      publisherCC_(std::move(publisherCC)) {}

bool APMTCFData::readTCFDataEnabledStateFromPlist() {
  auto value = platform::Bundle::mainBundle()->objectForInfoDictionaryKey(
      "ORVANE_ANALYTICS_TCF_DATA_ENABLED");
  if (!value) return true;
  return value->isNumber() && value->numberAsBool().value_or(false);
}

void APMTCFData::readFromUserDefaults() {
  auto defaults = APMUserDefaults::sharedUserDefaults();
  isAdvertiserConsentModeEnabled_ = defaults->numberForKey("IABTCF_EnableAdvertiserConsentMode");
  vendorConsents_ = defaults->stringForKey("IABTCF_VendorConsents");
  vendorLegitimateInterests_ = defaults->stringForKey("IABTCF_VendorLegitimateInterests");
  cmpSDKID_ = defaults->numberForKey("IABTCF_CmpSdkID");
  gdprApplies_ = defaults->numberForKey("IABTCF_gdprApplies");
  policyVersion_ = defaults->numberForKey("IABTCF_PolicyVersion");
  purposeConsents_ = defaults->stringForKey("IABTCF_PurposeConsents");
  purposeLegitimateInterests_ = defaults->stringForKey("IABTCF_PurposeLegitimateInterests");
  std::vector<std::string> restrictions;
  for (int n = 1; n <= 10; ++n) {
    auto text = defaults->stringForKey("IABTCF_PublisherRestrictions" + std::to_string(n));
    restrictions.push_back(text ? characterAtUTF16Index(*text, kVendorIndex) : "");
  }
  publisherRestrictions_ = std::move(restrictions);
  isPurposeOneTreatmentEnabled_ = defaults->numberForKey("IABTCF_PurposeOneTreatment");
  publisherCC_ = defaults->stringForKey("IABTCF_PublisherCC");
}

bool APMTCFData::truthOf(const Number& number) {
  return number && number->numberAsBool().value_or(false);
}

bool APMTCFData::hasOrvaneInVendorConsents() const {
  return vendorConsents_ && isBitEnabledAtIndex(*vendorConsents_, kVendorIndex);
}

bool APMTCFData::hasOrvaneInVendorLegitimateInterests() const {
  return vendorLegitimateInterests_ &&
         isBitEnabledAtIndex(*vendorLegitimateInterests_, kVendorIndex);
}

int64_t APMTCFData::publisherRestrictionTypeFromString(const std::string& text) {
  if (text == "0") return 0;
  if (text == "1") return 1;
  if (text == "2") return 2;
  return 3;
}

int64_t APMTCFData::publisherRestrictionForPurposeID(int64_t purpose) const {
  if (!publisherRestrictions_ || purpose < 1 ||
      static_cast<int64_t>(publisherRestrictions_->size()) < purpose) {
    return 3;
  }
  return publisherRestrictionTypeFromString((*publisherRestrictions_)[purpose - 1]);
}

int64_t APMTCFData::legalBasisCheckFromPurposeID(int64_t purpose) const {
  const auto& registration = APMTCFRegistration::sharedInstance();
  int64_t restriction = publisherRestrictionForPurposeID(purpose);
  if (restriction == 0) return 0;
  bool flexible = registration.hasFlexibleLegitimateInterestForPurposeID(purpose);
  if (registration.hasConsentForPurposeID(purpose)) {
    if (restriction == 2) return flexible ? 3 : 1;
    return 2;
  }
  if (registration.hasLegitimateInterestForPurposeID(purpose)) {
    if (restriction == 1) return flexible ? 2 : 1;
    return 3;
  }
  return 0;
}

int64_t APMTCFData::consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(
    int64_t purpose) const {
  switch (legalBasisCheckFromPurposeID(purpose)) {
    case 3:
      if (!hasOrvaneInVendorLegitimateInterests()) return 5;
      if (!purposeLegitimateInterests_ ||
          !isBitEnabledAtIndex(*purposeLegitimateInterests_, purpose - 1)) {
        return 7;
      }
      return 1;
    case 2:
      if (purpose == 1 && isPurposeOneGrantedWithSpecialTreatment() &&
          hasOrvaneInVendorConsents()) {
        return 1;
      }
      if (!hasOrvaneInVendorConsents()) return 4;
      if (!purposeConsents_ || !isBitEnabledAtIndex(*purposeConsents_, purpose - 1)) return 6;
      return 1;
    case 1:
      return 8;
    default:
      return 3;
  }
}

bool APMTCFData::isPurposeGrantedWithRestrictionCheckForPurposeID(int64_t purpose) const {
  return consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purpose) == 1;
}

bool APMTCFData::isPurposeOneGrantedWithSpecialTreatment() const {
  return truthOf(isPurposeOneTreatmentEnabled_) && publisherCC_ == "CH";
}

bool APMTCFData::isAdStoragePurposeGranted() const {
  return isPurposeGrantedWithRestrictionCheckForPurposeID(1);
}

bool APMTCFData::isAdPersonalizationPurposeGranted() const {
  return isPurposeGrantedWithRestrictionCheckForPurposeID(3) &&
         isPurposeGrantedWithRestrictionCheckForPurposeID(4);
}

bool APMTCFData::canAccessAdUserDataPurpose() const {
  return policyVersion_ && policyVersion_->numberAsInteger().value_or(0) >= 4;
}

bool APMTCFData::isAdUserDataPurposeGranted() const {
  return canAccessAdUserDataPurpose() && isPurposeGrantedWithRestrictionCheckForPurposeID(1) &&
         isPurposeGrantedWithRestrictionCheckForPurposeID(7);
}
