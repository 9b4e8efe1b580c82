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

// A server table as consent settings. Entries whose type or status the server gave as a number
// this library does not know (an empty name) are left out.
platform::Value::Dictionary knownEntries(const std::map<std::string, std::string>& table) {
  platform::Value::Dictionary settings;
  for (const auto& [type, value] : table) {
    if (!type.empty() && !value.empty()) settings.emplace(type, platform::Value(value));
  }
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
  platform::Value::Dictionary knownDefaults = knownEntries(defaults);
  platform::Value::Dictionary knownDelegations = knownEntries(delegations);
  // A table that names nothing this library knows leaves the layer in force as it is.
  if ((!defaults.empty() || !delegations.empty()) &&
      (!knownDefaults.empty() || !knownDelegations.empty())) {
    APMConsentSettingsUtil::setDefaultSettings(knownDefaults);
    APMConsentSettingsUtil::setDelegatedSettings(knownDelegations);
  }
  std::map<std::string, std::string> regional = config->regionalDefaults();
  platform::Value::Dictionary knownRegional = knownEntries(regional);
  if (regional.empty()) {
    APMConsentSettingsUtil::setRegionalDefaults(std::nullopt);
  } else if (!knownRegional.empty()) {
    APMConsentSettingsUtil::setRegionalDefaults(knownRegional);
  }
  std::optional<int64_t> after = APMConsentSettingsUtil::adPersonalization();
  if (after && after != before) setShouldUpdateNPAUserProperty(true);
}

void APMMeasurement::tcfClientSetConsentFromData() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("tcfClientSetConsentFromData");
  if (tcfClient_) tcfClient_->setConsentFromTCFData();
}
