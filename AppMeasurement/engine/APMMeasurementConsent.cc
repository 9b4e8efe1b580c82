// Consent at start and from the server: the settings chosen by source priority, the server's
// defaults, delegations and regional defaults, and the IAB TCF values.
#include <map>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMTCFClient.h"
#include "platform/runtime/ClassRegistry.h"

namespace {

// A server table as consent settings. A type or status that the server gave as a number this
// library does not know is the empty string, and stays: the layer says what the server sent.
platform::Value::Dictionary settingsFrom(const std::map<std::string, std::string>& table) {
  platform::Value::Dictionary settings;
  for (const auto& [type, value] : table) settings.emplace(type, platform::Value(value));
  return settings;
}

}  // namespace

void APMMeasurement::setProspectiveConsentSettings() {
  using Util = APMConsentSettingsUtil;
  using Dictionary = platform::Value::Dictionary;
  int64_t current = Util::consentSource();
  Dictionary appSet = APMAnalytics::consentSettings3P().value_or(Dictionary{});
  Dictionary tcf = APMAnalytics::consentSettingsTCF().value_or(Dictionary{});
  Dictionary fromPlist = Util::consentSettingsFromPlist();
  Dictionary onStart = APMAnalytics::consentSettings1PStart().value_or(Dictionary{});
  Dictionary candidate = appSet;
  int64_t source = 10;
  if (!tcf.empty() && Util::isConsentSourceHigherPriority(5) && (appSet.empty() || current == 5)) {
    candidate = tcf;
    source = 5;
  } else if (!fromPlist.empty() && Util::isConsentSourceHigherPriority(20)) {
    candidate = fromPlist;
    source = 20;
  } else if (platform::ClassRegistry::shared().contains("KVLAnalytics") &&
             (current == 40 || current == 30)) {
    APMAnalytics::clearConsent();
    candidate.clear();
    source = 10;
  } else if (!onStart.empty() && Util::isConsentSourceHigherPriority(40)) {
    candidate = onStart;
    source = 40;
  }
  if (candidate.empty() || !Util::isConsentSourceHigherPriority(source)) return;
  Util::setConsentSettings(candidate);
  Util::setConsentSource(source);
  APMAnalytics::persistConsentSettings(candidate, source);
}

void APMMeasurement::updateConsentSettingsUtilWithRemoteConfig() {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  std::optional<int64_t> before = APMConsentSettingsUtil::adPersonalization();
  std::map<std::string, std::string> defaults = config->consentDefaults();
  std::map<std::string, std::string> delegations = config->consentDelegations();
  if (!defaults.empty() || !delegations.empty()) {
    APMConsentSettingsUtil::setDefaultSettings(settingsFrom(defaults));
    APMConsentSettingsUtil::setDelegatedSettings(settingsFrom(delegations));
  }
  std::map<std::string, std::string> regional = config->regionalDefaults();
  if (regional.empty()) {
    APMConsentSettingsUtil::setRegionalDefaults(std::nullopt);
  } else {
    APMConsentSettingsUtil::setRegionalDefaults(settingsFrom(regional));
  }
  std::optional<int64_t> after = APMConsentSettingsUtil::adPersonalization();
  if (after && after != before) setShouldUpdateNPAUserProperty(true);
}

void APMMeasurement::tcfClientSetConsentFromData() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("tcfClientSetConsentFromData");
  if (tcfClient_) tcfClient_->setConsentFromTCFData();
}
