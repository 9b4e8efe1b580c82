#include "AppMeasurement/foundation/APMTCFClient.h"

#include <limits>

#include "AppMeasurement/foundation/APMTCFAnalyticsSink.h"
#include "AppMeasurement/foundation/APMTCFDataGenerator.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"

using platform::Value;

namespace {

constexpr std::string_view kAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
constexpr const char* kStringRepresentationKey = "tcf_StringRepresentation";
constexpr const char* kEnabledKey = "ORVANE_ANALYTICS_TCF_DATA_ENABLED";

// "%d" of a number: its integer value, saturated to 32 bits.
int64_t intValue(const APMTCFData::Number& number) {
  int64_t value = number ? number->numberAsInteger().value_or(0) : 0;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return value;
}

// The integer value of a number without saturating to 32 bits; nullopt for a fraction-free
// reading that does not fit.
int64_t wideValue(const APMTCFData::Number& number) {
  return number ? number->numberAsInteger().value_or(0) : 0;
}

std::optional<Value> asValue(const APMTCFData::Number& number) { return number; }
std::optional<Value> asValue(const APMTCFData::Text& text) {
  if (!text) return std::nullopt;
  return Value(*text);
}

}  // namespace

APMTCFClient::APMTCFClient(std::weak_ptr<APMTCFAnalyticsSink> sink)
    : store_(std::make_shared<APMUserDefaults>(std::string(kSuiteName))), sink_(std::move(sink)) {}

void APMTCFClient::readTCFData() { tcfData_.readFromUserDefaults(); }

bool APMTCFClient::shouldApplyTCFData() const {
  return tcfData_.isTCFDataEnabled() &&
         APMTCFData::truthOf(tcfData_.isAdvertiserConsentModeEnabled()) &&
         APMTCFData::truthOf(tcfData_.gdprApplies());
}

bool APMTCFClient::shouldApplyOneTimeTCFVendorFix() const {
  auto stored = store_->stringForKey(kStringRepresentationKey);
  bool olderFormat = !stored || stored->find("_v_=2") == std::string::npos;
  return olderFormat && shouldApplyTCFData() && !tcfData_.hasOrvaneInVendorConsents();
}

std::string APMTCFClient::consentStatusFromEnabled(bool enabled) {
  return enabled ? "granted" : "denied";
}

Value::Dictionary APMTCFClient::currentConsent() const {
  return {{"ad_storage", Value(consentStatusFromEnabled(tcfData_.isAdStoragePurposeGranted()))},
          {"ad_personalization",
           Value(consentStatusFromEnabled(tcfData_.isAdPersonalizationPurposeGranted()))},
          {"ad_user_data", Value(consentStatusFromEnabled(tcfData_.isAdUserDataPurposeGranted()))}};
}

void APMTCFClient::setConsentFromTCFData() {
  readTCFData();
  if (!hasTCFDataToRead() || persistedValuesEqualCurrentData()) return;
  Value::Dictionary consent = currentConsent();
  bool fix = shouldApplyOneTimeTCFVendorFix();
  bool same = previousConsent() == consent;
  logTCFChangedEventShouldApplyOneTimeVendorFix(fix, same);
  storeCurrentData();
  if (fix || shouldApplyTCFData()) {
    if (auto sink = sink_.lock()) sink->setConsent(consent, kConsentKey);
  }
}

void APMTCFClient::logTCFChangedEventShouldApplyOneTimeVendorFix(
    bool fix, bool isCurrentSameAsPreviousTCFConsent) {
  auto sink = sink_.lock();
  if (!sink) return;
  sink->logInternalEvent("_tcf", "auto",
                         {{"_tcfd", Value(tcfBundleParameterValue())},
                          {"_tcfd2", Value(tcfd2ParamValue())},
                          {"_tcfm", Value(tcfdMigrationParamValueForMigrationDidOccur(
                                        fix, !isCurrentSameAsPreviousTCFConsent))}});
}

void APMTCFClient::storeCurrentData() {
  store_->setBool(tcfData_.isTCFDataEnabled(), kEnabledKey);
  store_->setObject(asValue(tcfData_.isAdvertiserConsentModeEnabled()),
                    "IABTCF_EnableAdvertiserConsentMode");
  store_->setObject(asValue(tcfData_.cmpSDKID()), "IABTCF_CmpSdkID");
  store_->setObject(asValue(tcfData_.vendorConsents()), "IABTCF_VendorConsents");
  store_->setObject(asValue(tcfData_.vendorLegitimateInterests()),
                    "IABTCF_VendorLegitimateInterests");
  store_->setObject(asValue(tcfData_.gdprApplies()), "IABTCF_gdprApplies");
  store_->setObject(asValue(tcfData_.policyVersion()), "IABTCF_PolicyVersion");
  store_->setObject(asValue(tcfData_.purposeConsents()), "IABTCF_PurposeConsents");
  store_->setObject(asValue(tcfData_.purposeLegitimateInterests()),
                    "IABTCF_PurposeLegitimateInterests");
  std::optional<Value> restrictions;
  if (tcfData_.publisherRestrictions()) {
    Value::Array list;
    for (const auto& entry : *tcfData_.publisherRestrictions()) list.emplace_back(entry);
    restrictions = Value(std::move(list));
  }
  store_->setObject(restrictions, "IABTCF_PublisherRestrictions");
  store_->setObject(asValue(tcfData_.isPurposeOneTreatmentEnabled()), "IABTCF_PurposeOneTreatment");
  store_->setObject(asValue(tcfData_.publisherCC()), "IABTCF_PublisherCC");
  store_->setObject(Value(stringRepresentationFromTCFData()), kStringRepresentationKey);
  store_->synchronize();
}

std::string APMTCFClient::stringRepresentationFromTCFData() const {
  const APMTCFData& d = tcfData_;
  std::string text = "_v_=2,isTCFDataEnabled=" + std::to_string(d.isTCFDataEnabled() ? 1 : 0);
  auto add = [&](const std::string& part) { text += "," + part; };
  if (d.isAdvertiserConsentModeEnabled()) {
    add("isAdvertiserConsentModeEnabled=" +
        std::to_string(APMTCFData::truthOf(d.isAdvertiserConsentModeEnabled()) ? 1 : 0));
  }
  if (d.cmpSDKID()) add("cmpSDKID=" + std::to_string(intValue(d.cmpSDKID())));
  if (d.vendorConsents()) {
    add("hasOrvaneInVendorConsents=" + std::to_string(d.hasOrvaneInVendorConsents() ? 1 : 0));
  }
  if (d.vendorLegitimateInterests()) {
    add("hasOrvaneInVendorLegitimateInterests=" +
        std::to_string(d.hasOrvaneInVendorLegitimateInterests() ? 1 : 0));
  }
  if (d.gdprApplies()) {
    add("gdprApplies=" + std::to_string(APMTCFData::truthOf(d.gdprApplies()) ? 1 : 0));
  }
  if (d.policyVersion()) add("policyVersion=" + std::to_string(intValue(d.policyVersion())));
  if (d.purposeConsents()) add("purposeConsents=" + *d.purposeConsents());
  if (d.purposeLegitimateInterests()) {
    add("purposeLegitimateInterests=" + *d.purposeLegitimateInterests());
  }
  if (const auto& restrictions = d.publisherRestrictions()) {
    bool any = false;
    std::string joined;
    for (size_t i = 0; i < restrictions->size(); ++i) {
      any = any || !(*restrictions)[i].empty();
      joined += (i ? "|" : "") + (*restrictions)[i];
    }
    if (any) add("publisherRestrictions=" + joined);
  }
  if (d.isPurposeOneTreatmentEnabled()) {
    add("isPurposeOneTreatmentEnabled=" + d.isPurposeOneTreatmentEnabled()->description());
  }
  if (d.publisherCC()) add("publisherCC=" + *d.publisherCC());
  return text;
}

bool APMTCFClient::persistedValuesEqualCurrentData() const {
  auto stored = store_->stringForKey(kStringRepresentationKey);
  return stored && *stored == stringRepresentationFromTCFData();
}

bool APMTCFClient::hasTCFDataToRead() const {
  return stringRepresentationFromTCFData() != "_v_=2,isTCFDataEnabled=1";
}

void APMTCFClient::clearPersistedValues() {
  store_->clearAllData();
  store_->synchronize();
}

Value::Dictionary APMTCFClient::previousConsent() const {
  APMTCFDataGenerator generator;
  generator.isTCFDataEnabled = store_->boolForKey(kEnabledKey);
  generator.isAdvertiserConsentModeEnabled =
      store_->numberForKey("IABTCF_EnableAdvertiserConsentMode");
  generator.cmpSDKID = store_->numberForKey("IABTCF_CmpSdkID");
  generator.vendorConsents = store_->stringForKey("IABTCF_VendorConsents");
  generator.vendorLegitimateInterests = store_->stringForKey("IABTCF_VendorLegitimateInterests");
  generator.gdprApplies = store_->numberForKey("IABTCF_gdprApplies");
  generator.policyVersion = store_->numberForKey("IABTCF_PolicyVersion");
  generator.purposeConsents = store_->stringForKey("IABTCF_PurposeConsents");
  generator.purposeLegitimateInterests = store_->stringForKey("IABTCF_PurposeLegitimateInterests");
  if (auto list = store_->arrayForKey("IABTCF_PublisherRestrictions")) {
    std::vector<std::string> restrictions;
    for (const auto& entry : *list) {
      // A stored entry of another type reads as no restriction.
      restrictions.push_back(entry.isString() ? *entry.asString() : "");
    }
    generator.publisherRestrictions = std::move(restrictions);
  }
  generator.isPurposeOneTreatmentEnabled = store_->numberForKey("IABTCF_PurposeOneTreatment");
  generator.publisherCC = store_->stringForKey("IABTCF_PublisherCC");
  APMTCFData previous = generator.generateData();
  return {{"ad_storage", Value(consentStatusFromEnabled(previous.isAdStoragePurposeGranted()))},
          {"ad_personalization",
           Value(consentStatusFromEnabled(previous.isAdPersonalizationPurposeGranted()))},
          {"ad_user_data", Value(consentStatusFromEnabled(previous.isAdUserDataPurposeGranted()))}};
}

std::string APMTCFClient::tcfBundleParameterValue() const {
  int64_t cmp = wideValue(tcfData_.cmpSDKID());
  std::string text = "1";
  if (cmp >= 0 && cmp <= 4095) {
    text += kAlphabet[cmp / 64];
    text += kAlphabet[cmp % 64];
  } else {
    text += "00";
  }
  int64_t policy = wideValue(tcfData_.policyVersion());
  text += policy >= 0 && policy <= 63 ? kAlphabet[policy] : '0';
  int flags = (APMTCFData::truthOf(tcfData_.isAdvertiserConsentModeEnabled()) ? 8 : 0) +
              (tcfData_.isTCFDataEnabled() ? 4 : 0) +
              (APMTCFData::truthOf(tcfData_.gdprApplies()) ? 2 : 0) + (isDMARegion_ ? 1 : 0);
  text += kAlphabet[flags];
  return text;
}

std::string APMTCFClient::tcfdMigrationParamValueForMigrationDidOccur(
    bool migrationDidOccur, bool didMigrationChangeConsent) const {
  return std::string(migrationDidOccur ? "1" : "0") + (didMigrationChangeConsent ? "1" : "0");
}

std::string APMTCFClient::tcfd2ParamValueForPurposeID(int64_t purpose) const {
  return std::to_string(
      tcfData_.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purpose));
}

std::string APMTCFClient::tcfd2ParamValue() const {
  return "2" + tcfd2ParamValueForPurposeID(1) + tcfd2ParamValueForPurposeID(3) +
         tcfd2ParamValueForPurposeID(4) + tcfd2ParamValueForPurposeID(7);
}
