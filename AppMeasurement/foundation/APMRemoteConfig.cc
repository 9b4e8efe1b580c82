#include "AppMeasurement/foundation/APMRemoteConfig.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDefaultIdentitySupport.h"
#include "AppMeasurement/foundation/APMMeasurementEngineState.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMSOTMPreviewHeadersSource.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/script/APMPEventEditing.h"
#include "AppMeasurement/script/APMPKeyValueStore.h"
#include "AppMeasurement/script/APMPMessageLogger.h"
#include "AppMeasurement/script/APMPObjectProvider.h"
#include "AppMeasurement/script/APMPixieLogger.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/URL.h"

using platform::Value;

struct APMRemoteConfig::SettingsCache {
  std::mutex mutex;
  Value::Dictionary values;  // guarded by mutex: the server's text, or the checked number
};

struct APMRemoteConfig::Tables {
  std::optional<APMPBMeasurementConfig> config;
  std::map<std::string, APMPBEventConfig, std::less<>> eventConfigs;
  std::map<std::string, bool, std::less<>> experimentFlags;
  std::vector<std::string> dataControls;
  std::map<std::string, std::string> consentDefaults;
  std::map<std::string, std::string> consentDelegations;
  std::set<std::string> corePlatformServices;
  std::map<std::string, std::string> regionalDefaults;
  bool isDMARegion = true;
  std::shared_ptr<APMPEventEditing> eventEditing;
};

class APMRemoteConfig::AppliedState {
 public:
  Value::Dictionary settings;
  Tables tables;
};

namespace {

constexpr int64_t kLibraryVersion = 111500;

APMMonitor& monitor() { return *APMMonitor::monitor(); }

std::mutex& staticsMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}
APMRemoteConfig::Hosts& hostsSlot() {
  static APMRemoteConfig::Hosts& hosts = *new APMRemoteConfig::Hosts();
  return hosts;
}

std::string internalEventName(std::string_view name) {
  const APMNameTable& map = APMEventNameMap();
  auto it = map.find(name);
  return it == map.end() ? std::string(name) : it->second;
}

std::string schemeFor(std::string_view host) { return platform::URL::schemePrefixForHost(host); }

// -1 below, 0 equal, 1 above; integers compare exactly, otherwise as doubles.
int compareNumbers(const Value& a, const Value& b) {
  if (a.isInteger() && b.isInteger()) {
    return *a.asInteger() < *b.asInteger() ? -1 : (*a.asInteger() > *b.asInteger() ? 1 : 0);
  }
  double x = a.numberAsDouble().value_or(0), y = b.numberAsDouble().value_or(0);
  return x < y ? -1 : (x > y ? 1 : 0);
}

// NSNumber's stringValue for the script's key-value module.
std::optional<std::string> textOf(const Value& value) {
  if (const auto* text = value.asString()) return *text;
  if (const auto* integer = value.asInteger()) return std::to_string(*integer);
  if (const auto* flag = value.asBool()) return *flag ? "1" : "0";
  if (const auto* real = value.asReal()) {
    if (!std::isfinite(*real)) return std::nullopt;
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, *real);
    return std::string(buffer, result.ptr);
  }
  return std::nullopt;
}

// Truncation toward zero that never leaves the target range.
template <typename T>
T truncated(const Value& number) {
  double d = number.numberAsDouble().value_or(0);
  if (number.isInteger()) {
    int64_t i = *number.asInteger();
    if (i > std::numeric_limits<T>::max()) return std::numeric_limits<T>::max();
    if (i < std::numeric_limits<T>::min()) return std::numeric_limits<T>::min();
    return static_cast<T>(i);
  }
  if (std::isnan(d)) return 0;
  if (d >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  if (d <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  return static_cast<T>(d);
}

std::optional<Value> millisecondsToSeconds(std::optional<Value> number) {
  if (!number) return std::nullopt;
  return Value(static_cast<double>(number->numberAsInteger().value_or(0)) / 1000.0);
}

// A stable string hash spread evenly modulo 100 (FNV-1a, 64 bits).
uint64_t stringHash(std::string_view text) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

// Creation.

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::defaultInstance() {
  static const std::shared_ptr<APMRemoteConfig>& instance = *new std::shared_ptr<APMRemoteConfig>(
      create("", std::weak_ptr<APMRemoteConfigStore>(), std::nullopt, nullptr, nullptr));
  return instance;
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::create(
    std::string appID, std::weak_ptr<APMRemoteConfigStore> database,
    std::shared_ptr<APMPersistedConfig> persistedConfig,
    std::shared_ptr<APMExperimentManaging> experimentManager) {
  if (appID.empty()) {
    monitor().logWithLevel(1, 29000,
                           "Cannot init remote configuration without valid Orvane App ID");
    return nullptr;
  }
  if (database.expired()) {
    monitor().logWithLevel(1, 29001, "Cannot init remote configuration without valid database");
    return nullptr;
  }
  return create(std::move(appID), std::move(database), std::nullopt, std::move(persistedConfig),
                std::move(experimentManager));
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::create(
    std::string appID, std::weak_ptr<APMRemoteConfigStore> database,
    std::optional<APMPBMeasurementConfig> measurementConfig,
    std::shared_ptr<APMPersistedConfig> persistedConfig,
    std::shared_ptr<APMExperimentManaging> experimentManager) {
  std::shared_ptr<APMRemoteConfig> config(new APMRemoteConfig(std::move(appID), std::move(database),
                                                              std::move(persistedConfig),
                                                              std::move(experimentManager)));
  config->start(std::move(measurementConfig));
  return config;
}

APMRemoteConfig::APMRemoteConfig(std::string appID, std::weak_ptr<APMRemoteConfigStore> database,
                                 std::shared_ptr<APMPersistedConfig> persistedConfig,
                                 std::shared_ptr<APMExperimentManaging> experimentManager)
    : appID_(std::move(appID)),
      database_(std::move(database)),
      persistedConfig_(std::move(persistedConfig)),
      experimentManager_(std::move(experimentManager)),
      settings_(std::make_shared<SettingsCache>()),
      tables_(std::make_unique<Tables>()) {}

APMRemoteConfig::~APMRemoteConfig() = default;

void APMRemoteConfig::start(std::optional<APMPBMeasurementConfig> measurementConfig) {
  if (experimentManager_) {
    experimentClient_ = experimentManager_->registerSDKProperty("app_measurement", kLibraryVersion);
    if (experimentClient_) {
      experimentClient_->setDelegate(std::weak_ptr<APMExperimentClientDelegate>(
          std::static_pointer_cast<APMExperimentClientDelegate>(shared_from_this())));
      APMErrorSlot error;
      if (!experimentClient_->activateLatestSnapshot(&error) && error) {
        monitor().logWithLevel(2, 29023, "Cannot activate stale snapshot. Error", *error);
      }
      updateCachedExperimentFlags();
    }
  }
  // A store that is already gone counts as none.
  isDefault_ = database_.expired() && appID_.empty();
  if (isDefault_) return;
  if (measurementConfig) {
    updateMeasurementConfig(measurementConfig);
    return;
  }
  if (auto stored = measurementConfigFromDatabase()) {
    {
      std::lock_guard<std::mutex> lock(tablesMutex_);
      tables_->config = *stored;
    }
    parseRemoteConfigFromMeasurementConfig(*stored);
  }
}

void APMRemoteConfig::setHosts(Hosts hosts) {
  std::lock_guard<std::mutex> lock(staticsMutex());
  hostsSlot() = std::move(hosts);
}

APMRemoteConfig::Hosts APMRemoteConfig::hosts() {
  std::lock_guard<std::mutex> lock(staticsMutex());
  return hostsSlot();
}

std::string APMRemoteConfig::baseURLWithHost(std::string_view host) {
  return schemeFor(host) + std::string(host);
}

void APMRemoteConfig::setSOTMPreviewHeadersSource(
    std::weak_ptr<APMSOTMPreviewHeadersSource> source) {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  previewHeaders_ = std::move(source);
}

// Storing, reading and parsing.

bool APMRemoteConfig::updateMeasurementConfig(const std::optional<APMPBMeasurementConfig>& config) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
  if (isDefault_) {
    monitor().logWithLevel(2, 29002, "Cannot update the default measurement configuration");
    return false;
  }
  if (!config) {
    monitor().logWithLevel(5, 29003, "Cannot set empty measurement config to database");
    return false;
  }
  if (NANOGetString(*config, APMPBMeasurementConfig::kAppId).value_or("") != appID_) {
    monitor().logWithLevel(2, 29004,
                           "Cannot set measurement config when Orvane App ID does not match");
    return false;
  }
  auto database = database_.lock();
  APMErrorSlot error;
  // A refusal counts as a failure whether or not the store explains it.
  if (!database || !database->updateRemoteConfig(*config, &error)) {
    if (!error) error = apm_errorWithCode(3, "The configuration was not stored");
    monitor().logWithLevel(1, 29005, "Cannot store config into the database", *error);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(tablesMutex_);
    tables_->config = *config;
  }
  parseRemoteConfigFromMeasurementConfig(*config);
  return true;
}

std::optional<APMPBMeasurementConfig> APMRemoteConfig::measurementConfigFromDatabase() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
  if (isDefault_) {
    monitor().logWithLevel(
        2, 29015,
        "Cannot retrieve a measurement configuration from the database for the default instance");
    return std::nullopt;
  }
  auto database = database_.lock();
  if (!database) return std::nullopt;
  APMErrorSlot error;
  auto config = database->queryMeasurementConfigWithError(&error);
  if (!config) {
    if (error) {
      monitor().logWithLevel(2, 29016, "Cannot retrieve configuration data from database. Error",
                             *error);
    } else {
      monitor().logWithLevel(7, 29017,
                             "Configuration was not found in database. The configuration will be "
                             "fetched from the network when necessary");
    }
  }
  return config;
}

void APMRemoteConfig::parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig& config) {
  std::lock_guard<std::mutex> parsing(parseMutex_);
  auto settings = NANOViewMessageArray<APMPBSetting>(config, APMPBMeasurementConfig::kSettings);
  if (!settings) {
    monitor().logWithLevel(2, 29012, "Cannot parse empty measurement config. Using default values");
    return;
  }
  if (NANOGetString(config, APMPBMeasurementConfig::kAppId).value_or("") != appID_) return;

  {
    std::lock_guard<std::mutex> lock(settings_->mutex);
    settings_->values.clear();
    for (const NANOMessageView& setting : *settings) {
      auto name = NANOGetString(setting, APMPBSetting::kName);
      auto value = NANOGetString(setting, APMPBSetting::kValue);
      if (!name || name->empty() || !value) {
        monitor().logWithLevel(5, 29019, "Cannot cache empty configuration value");
        continue;
      }
      settings_->values[*name] = Value(std::move(*value));
    }
  }

  std::map<std::string, APMPBEventConfig, std::less<>> eventConfigs;
  if (auto entries =
          NANOGetMessageArray<APMPBEventConfig>(config, APMPBMeasurementConfig::kEventConfig)) {
    for (auto& entry : *entries) {
      auto name = NANOGetString(entry, APMPBEventConfig::kName).value_or("");
      if (name.empty()) {
        monitor().logWithLevel(5, 29013,
                               "Cannot cache event configuration with an empty configuration name");
        continue;
      }
      eventConfigs.insert_or_assign(internalEventName(name), std::move(entry));
    }
  }
  {
    std::lock_guard<std::mutex> lock(tablesMutex_);
    tables_->eventConfigs = std::move(eventConfigs);
  }

  if (NANOHasField(config, APMPBMeasurementConfig::kVersion)) {
    monitor().logWithLevel(
        7, 29014, "Successfully parsed a configuration. Version",
        Value(static_cast<long long>(NANOGetInt64(config, APMPBMeasurementConfig::kVersion))));
  }

  auto programs =
      NANOViewMessageArray<APMPBProgram>(config, APMPBMeasurementConfig::kDynamicEventEditing);
  if (programs && !programs->empty()) {
    auto host = makeEventEditing();
    std::optional<APMPError> error;
    if (!host->loadProgram(programs->front(), &error)) {
      monitor().logWithLevel(1, 29026, "Failed to initiate event editing instance");
      std::lock_guard<std::mutex> lock(tablesMutex_);
      tables_->eventEditing = nullptr;
      return;
    }
    monitor().logWithLevel(7, 29027, "Loading Event Modification and Creation programs",
                           Value(static_cast<long long>(programs->size())));
    std::lock_guard<std::mutex> lock(tablesMutex_);
    tables_->eventEditing = std::move(host);
  }

  std::vector<std::string> dataControls;
  if (auto entries =
          NANOViewMessageArray<APMPBDataControl>(config, APMPBMeasurementConfig::kDataControls)) {
    for (const auto& entry : *entries) {
      if (auto name = NANOGetString(entry, APMPBDataControl::kName)) dataControls.push_back(*name);
    }
  }

  std::map<std::string, std::string> defaults, delegations, regional;
  std::set<std::string> services;
  std::optional<bool> dmaRegion;
  if (auto consent =
          NANOViewMessage<APMPBConsentConfig>(config, APMPBMeasurementConfig::kConsentConfig)) {
    dmaRegion = NANOGetBool(*consent, APMPBConsentConfig::kDmaRegion);
    auto fillStatuses = [&](uint32_t slot, std::map<std::string, std::string>& target) {
      if (auto entries = NANOViewMessageArray<APMPBConsentDefaultEntry>(*consent, slot)) {
        for (const auto& entry : *entries) {
          target[APMConsentTypeName(NANOGetInt32(entry, APMPBConsentDefaultEntry::kConsentType))] =
              APMConsentStatusName(NANOGetInt32(entry, APMPBConsentDefaultEntry::kConsentValue));
        }
      }
    };
    fillStatuses(APMPBConsentConfig::kDefaults, defaults);
    fillStatuses(APMPBConsentConfig::kEnforcedDefaults, regional);
    if (auto entries = NANOViewMessageArray<APMPBConsentDelegationEntry>(
            *consent, APMPBConsentConfig::kDelegations)) {
      for (const auto& entry : *entries) {
        delegations[APMConsentTypeName(
            NANOGetInt32(entry, APMPBConsentDelegationEntry::kConsentType))] =
            APMConsentTypeName(NANOGetInt32(entry, APMPBConsentDelegationEntry::kDelegateType));
      }
    }
    if (auto entries = NANOViewMessageArray<APMPBCorePlatformServiceEntry>(
            *consent, APMPBConsentConfig::kCorePlatformServices)) {
      for (const auto& entry : *entries) {
        if (auto service = NANOGetString(entry, APMPBCorePlatformServiceEntry::kService)) {
          services.insert(*service);
        }
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(tablesMutex_);
    tables_->dataControls = std::move(dataControls);
    tables_->consentDefaults = std::move(defaults);
    tables_->consentDelegations = std::move(delegations);
    tables_->corePlatformServices = std::move(services);
    tables_->regionalDefaults = std::move(regional);
    if (dmaRegion) tables_->isDMARegion = *dmaRegion;
  }

  if (auto psm = NANOViewMessage<APMPBPsmSetting>(config, APMPBMeasurementConfig::kPsmSetting)) {
    // Cached as numbers, so they are answered without the range check (their users bound them).
    std::lock_guard<std::mutex> lock(settings_->mutex);
    const std::pair<uint32_t, const char*> fields[] = {
        {APMPBPsmSetting::kPrefixEmail, "measurement.psm_prefix_email"},
        {APMPBPsmSetting::kPrefixPhone, "measurement.psm_prefix_phone"},
        {APMPBPsmSetting::kSigninDelay, "measurement.psm_signin_delay"}};
    for (const auto& [slot, key] : fields) {
      if (NANOHasField(*psm, slot)) {
        settings_->values[key] = Value(static_cast<long long>(NANOGetInt32(*psm, slot)));
      }
    }
  }
}

std::shared_ptr<const APMRemoteConfig::AppliedState> APMRemoteConfig::appliedState() const {
  auto state = std::make_shared<AppliedState>();
  {
    std::lock_guard<std::mutex> lock(settings_->mutex);
    state->settings = settings_->values;
  }
  std::lock_guard<std::mutex> lock(tablesMutex_);
  state->tables = *tables_;
  return state;
}

void APMRemoteConfig::restoreAppliedState(const AppliedState& state) {
  std::lock_guard<std::mutex> parsing(parseMutex_);
  {
    // In place: the event-editing host reads the settings through this same object.
    std::lock_guard<std::mutex> lock(settings_->mutex);
    settings_->values = state.settings;
  }
  std::lock_guard<std::mutex> lock(tablesMutex_);
  auto experimentFlags = std::move(tables_->experimentFlags);
  *tables_ = state.tables;
  tables_->experimentFlags = std::move(experimentFlags);
}

std::shared_ptr<APMPEventEditing> APMRemoteConfig::makeEventEditing() const {
  auto host = std::make_shared<APMPEventEditing>();
  std::shared_ptr<SettingsCache> settings = settings_;
  host->setModuleCreator(
      [settings] {
        return std::make_shared<APMPKeyValueStore>(
            u"internal.remoteConfig", [settings](const std::string& key) {
              std::lock_guard<std::mutex> lock(settings->mutex);
              auto it = settings->values.find(key);
              return it == settings->values.end() ? std::nullopt : textOf(it->second);
            });
      },
      u"internal.remoteConfig");
  host->setModuleCreator(
      [] {
        return std::make_shared<APMPObjectProvider>(u"internal.appMetadata", [] {
          auto bundle = platform::Bundle::mainBundle();
          Value::Dictionary metadata{
              {"platform", "ios"},
              {"package_name", bundle->bundleIdentifier().value_or("")},
              {"rzq_version", Value(static_cast<long long>(kLibraryVersion))}};
          auto version = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
          if (version && version->isString()) metadata["app_version"] = *version;
          return Value(std::move(metadata));
        });
      },
      u"internal.appMetadata");
  host->setModuleCreator(
      [] { return std::make_shared<APMPMessageLogger>(std::make_shared<APMPixieLogger>()); },
      u"internal.logger");
  return host;
}

void APMRemoteConfig::reset() {
  {
    std::lock_guard<std::mutex> lock(settings_->mutex);
    settings_->values.clear();
  }
  {
    std::lock_guard<std::mutex> lock(tablesMutex_);
    auto host = std::move(tables_->eventEditing);
    auto config = std::move(tables_->config);
    tables_ = std::make_unique<Tables>();
    tables_->eventEditing = std::move(host);  // the host survives a reset
    if (isDefault_) tables_->config = std::move(config);
  }
  if (experimentManager_) experimentManager_->reset();
}

int64_t APMRemoteConfig::version() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  if (!tables_->config || !NANOHasField(*tables_->config, APMPBMeasurementConfig::kVersion)) {
    return -1;
  }
  return NANOGetInt64(*tables_->config, APMPBMeasurementConfig::kVersion);
}

double APMRemoteConfig::lastRemoteConfigUpdateTimestamp() {
  if (isDefault_) {
    monitor().logWithLevel(
        2, 29008, "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  auto database = database_.lock();
  if (!database) return 0;
  APMErrorSlot error;
  auto timestamp = database->lastRemoteConfigUpdateTimestamp(&error);
  if (!timestamp && error) {
    monitor().logWithLevel(4, 29009, "Failed to query last configuration update timestamp. Error",
                           *error);
  }
  return timestamp.value_or(0);
}

bool APMRemoteConfig::isExpired() {
  if (isDefault_) {
    monitor().logWithLevel(2, 29007,
                           "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  double now = platform::Clock::current()->now();
  return std::fabs(now - lastRemoteConfigUpdateTimestamp()) >= remoteConfigCacheTimeInterval();
}

std::optional<std::string> APMRemoteConfig::remoteConfigURLWithPlatform(
    std::optional<std::string> platformName, int64_t SDKVersion, int64_t runtimeVersion) const {
  if (appID_.empty()) {
    monitor().logWithLevel(2, 29021,
                           "Cannot create a URL to fetch a configuration with empty app ID");
    return std::nullopt;
  }
  if (!platformName) {
    monitor().logWithLevel(2, 29010,
                           "Cannot create a URL to fetch a configuration with empty platform");
    return std::nullopt;
  }
  // The app ID with the URL-path set ("/" and ";" too, so it stays one segment of no
  // parameters); query values with the unreserved set only, so a value can never add a pair.
  static constexpr std::string_view kUnreserved =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
  auto encode = [](std::string_view text, std::string_view allowed) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
      if (allowed.find(static_cast<char>(c)) != std::string_view::npos) {
        out += static_cast<char>(c);
      } else {
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
    }
    return out;
  };
  std::string path = encode(appID_, std::string(kUnreserved) + "!$&'()*+,=:@");
  std::string host = hosts().config;
  std::string query = "platform=" + encode(*platformName, kUnreserved) +
                      "&runtime_version=" + std::to_string(runtimeVersion) +
                      "&rzq_version=" + std::to_string(SDKVersion);
  return schemeFor(host) + host + "/config/app/" + path + "?" + query;
}

std::optional<std::string> APMRemoteConfig::uploadSubdomain() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  if (!tables_->config) return std::nullopt;
  return NANOGetString(*tables_->config, APMPBMeasurementConfig::kUploadSubdomain);
}

std::string APMRemoteConfig::uploadURL() const {
  Hosts all = hosts();
  bool authorized = APMDefaultIdentitySupport::sharedInstance()->appDataConsentStatus() == 3;
  std::string host = authorized ? all.authorizedUpload : all.upload;
  std::string scheme = schemeFor(host);
  auto subdomain = uploadSubdomain();
  if (subdomain && !subdomain->empty()) host = *subdomain + "." + host;
  return scheme + host + "/a";
}

bool APMRemoteConfig::SOTMUploadEnabled() {
  if (!SOTMUploadSettingEnabled()) return false;
  auto flag = platform::Bundle::mainBundle()->objectForInfoDictionaryKey(
      "ORVANE_ANALYTICS_SOTM_UPLOAD_ENABLED");
  if (!flag || !flag->isNumber() || !flag->numberAsBool().value_or(false)) return false;
  std::optional<std::string> uploadURL;
  int32_t rollout = 0;
  std::shared_ptr<APMSOTMPreviewHeadersSource> preview;
  {
    std::lock_guard<std::mutex> lock(tablesMutex_);
    if (!tables_->config) return false;
    auto sotm =
        NANOViewMessage<APMPBSotmSetting>(*tables_->config, APMPBMeasurementConfig::kSotmSetting);
    if (!sotm) return false;
    uploadURL = NANOGetString(*sotm, APMPBSotmSetting::kUploadUrl);
    rollout = NANOGetInt32(*sotm, APMPBSotmSetting::kRolloutPercent);
    preview = previewHeaders_.lock();
  }
  if (!uploadURL || uploadURL->empty()) return false;
  if (preview && preview->SOTMPreviewHeaders()) return true;
  std::string instanceID = persistedConfig_ ? persistedConfig_->appInstanceID().value_or("") : "";
  if (instanceID.empty() && rollout < 100) return false;
  uint64_t hash = instanceID.empty() ? 0 : stringHash(instanceID);
  return static_cast<int64_t>(hash % 100) < rollout;
}

std::optional<std::string> APMRemoteConfig::SOTMUploadURL() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  if (!tables_->config) return std::nullopt;
  auto sotm =
      NANOViewMessage<APMPBSotmSetting>(*tables_->config, APMPBMeasurementConfig::kSotmSetting);
  if (!sotm) return std::nullopt;
  // A malformed authorized URL falls back to the plain one rather than failing every upload.
  auto authorized = NANOGetString(*sotm, APMPBSotmSetting::kAuthorizedUploadUrl);
  if (authorized && platform::URL::URLWithString(*authorized) &&
      APMDefaultIdentitySupport::sharedInstance()->appDataConsentStatus() == 3) {
    return authorized;
  }
  // The plain one is the last resort: when it makes no URL there is none, and the upload stops.
  auto plain = NANOGetString(*sotm, APMPBSotmSetting::kUploadUrl);
  if (!plain || !platform::URL::URLWithString(*plain)) return std::nullopt;
  return plain;
}

std::optional<Value::Dictionary> APMRemoteConfig::SOTMUploadHTTPHeaders() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  if (!tables_->config) return std::nullopt;
  auto sotm =
      NANOViewMessage<APMPBSotmSetting>(*tables_->config, APMPBMeasurementConfig::kSotmSetting);
  if (!sotm) return std::nullopt;
  auto info = NANOGetString(*sotm, APMPBSotmSetting::kServerInfo);
  if (!info || info->empty()) return std::nullopt;
  return Value::Dictionary{{"x-sotm-server-info", Value(*info)}};
}

// Per-event configuration.

std::optional<APMPBEventConfig> APMRemoteConfig::eventConfigWithName(std::string_view name) const {
  if (name.empty()) {
    monitor().logWithLevel(5, 29006, "Cannot find event config with empty event name");
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(tablesMutex_);
  auto it = tables_->eventConfigs.find(name);
  if (it == tables_->eventConfigs.end()) return std::nullopt;
  return it->second;
}

bool APMRemoteConfig::isEventBlocklisted(std::string_view name) const {
  if (auto config = eventConfigWithName(name)) {
    if (NANOHasField(*config, APMPBEventConfig::kBlocklisted) &&
        NANOGetBool(*config, APMPBEventConfig::kBlocklisted)) {
      return true;
    }
  }
  bool isPublic = !name.empty() && name.front() != '_';
  return isPublic ? blocklistPublic() : blocklistInternal();
}

bool APMRemoteConfig::isEventCustomConversion(std::string_view name) const {
  auto config = eventConfigWithName(name);
  return config && NANOHasField(*config, APMPBEventConfig::kCustomConversion) &&
         NANOGetBool(*config, APMPBEventConfig::kCustomConversion);
}

bool APMRemoteConfig::eventHasSamplingRate(std::string_view name) const {
  auto config = eventConfigWithName(name);
  return config && NANOHasField(*config, APMPBEventConfig::kSamplingRate);
}

int32_t APMRemoteConfig::samplingRateForEvent(std::string_view name) const {
  auto config = eventConfigWithName(name);
  if (!config || !NANOHasField(*config, APMPBEventConfig::kSamplingRate)) return 1;
  int32_t rate = NANOGetInt32(*config, APMPBEventConfig::kSamplingRate);
  return rate >= 2 && rate <= 65535 ? rate : 1;
}

// Consent and data controls.

std::map<std::string, std::string> APMRemoteConfig::consentDefaults() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  return tables_->consentDefaults;
}
std::map<std::string, std::string> APMRemoteConfig::consentDelegations() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  return tables_->consentDelegations;
}
std::map<std::string, std::string> APMRemoteConfig::regionalDefaults() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  return tables_->regionalDefaults;
}
std::set<std::string> APMRemoteConfig::corePlatformServices() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  return tables_->corePlatformServices;
}
bool APMRemoteConfig::isDMARegion() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  return tables_->isDMARegion;
}
std::vector<std::string> APMRemoteConfig::dataControls() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  return tables_->dataControls;
}

// Experiments and scripts.

std::vector<int64_t> APMRemoteConfig::experimentIDs() const {
  return experimentManager_ ? experimentManager_->experimentIDs() : std::vector<int64_t>{};
}

bool APMRemoteConfig::activateNewSnapshot() {
  {
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    if (!pendingSnapshot_) return false;
  }
  if (!experimentClient_) return false;
  APMErrorSlot error;
  if (!experimentClient_->activateLatestSnapshot(&error)) {
    monitor().logWithLevel(2, 29024, "Cannot activate snapshot. Error",
                           error ? APMLogContext(*error) : APMLogContext());
    return false;
  }
  updateCachedExperimentFlags();
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  pendingSnapshot_ = false;
  return true;
}

void APMRemoteConfig::updateCachedExperimentFlags() {
  if (!experimentClient_) return;
  auto value = experimentClient_->flagValue("customer_type_enabled");
  std::lock_guard<std::mutex> lock(tablesMutex_);
  if (value) {
    tables_->experimentFlags["customer_type_enabled"] = *value;
  } else {
    tables_->experimentFlags.erase("customer_type_enabled");
  }
}

void APMRemoteConfig::clientDidReceiveNewSnapshot(APMExperimentClient&) {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  pendingSnapshot_ = true;
}

void APMRemoteConfig::clientDidReceiveFetchError(APMExperimentClient&,
                                                 const std::optional<APMError>& error) {
  if (error) monitor().logWithLevel(2, 29025, "Cannot fetch experiment. Error", *error);
}

bool APMRemoteConfig::shouldFetchExperimentsForClient(APMExperimentClient&) {
  auto engine = APMMeasurementEngineState::current();
  return engine && engine->isEnabled();
}

std::shared_ptr<APMPEventEditing> APMRemoteConfig::eventEditing() const {
  std::lock_guard<std::mutex> lock(tablesMutex_);
  return tables_->eventEditing;
}

// Look-ups.

std::optional<Value> APMRemoteConfig::numberFromString(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  size_t integerStart = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  size_t integerEnd = i;
  if (integerEnd == integerStart) return std::nullopt;
  bool hasFraction = false;
  if (i < text.size() && text[i] == '.') {
    size_t fractionStart = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == fractionStart) return std::nullopt;
    hasFraction = true;
  }
  if (i != text.size()) return std::nullopt;
  // The integer part must fit 64 bits (with its sign) either way.
  uint64_t magnitude = 0;
  auto digits = text.substr(integerStart, integerEnd - integerStart);
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() ||
      magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0)) {
    return std::nullopt;
  }
  if (!hasFraction) {
    int64_t value =
        negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return Value(static_cast<long long>(value));
  }
  double real = 0;
  auto body = text.substr(negative || text[0] == '+' ? 1 : 0);
  std::from_chars(body.data(), body.data() + body.size(), real);
  return Value(negative ? -real : real);
}

std::optional<Value> APMRemoteConfig::cacheValue(const Value& value, std::string_view key) const {
  if (value.isNull() || key.empty()) {
    monitor().logWithLevel(5, 29019, "Cannot cache empty configuration value");
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(settings_->mutex);
  settings_->values[std::string(key)] = value;
  return value;
}

std::optional<Value> APMRemoteConfig::numberFromCacheWithKey(std::string_view key,
                                                             const Value& defaultValue,
                                                             std::optional<Value> maxValue,
                                                             std::optional<Value> minValue,
                                                             const Converter& block) const {
  if (key.empty()) {
    monitor().logWithLevel(7, 29020, "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  // The check and the caching are one step against a parse refilling the cache.
  std::unique_lock<std::mutex> lock(settings_->mutex);
  auto it = settings_->values.find(key);
  if (it == settings_->values.end()) {
    settings_->values.emplace(std::string(key), defaultValue);
    return defaultValue;
  }
  if (it->second.isNumber()) return it->second;
  std::optional<Value> candidate;
  if (const auto* text = it->second.asString()) {
    candidate = numberFromString(*text);
  } else {
    Value stored = it->second;
    lock.unlock();
    monitor().logWithLevel(2, 29018, "Cannot parse number from non-string", stored);
    lock.lock();
    it = settings_->values.find(key);
    if (it == settings_->values.end()) return defaultValue;
  }
  if (block) candidate = block(std::move(candidate));
  if (!candidate || (minValue && compareNumbers(*candidate, *minValue) < 0) ||
      (maxValue && compareNumbers(*candidate, *maxValue) > 0)) {
    candidate = defaultValue;
  }
  it->second = *candidate;
  return candidate;
}

int32_t APMRemoteConfig::intValueFromCacheWithKey(std::string_view key, int32_t defaultValue,
                                                  int32_t maxValue, int32_t minValue) const {
  auto number = numberFromCacheWithKey(key, Value(defaultValue), Value(maxValue), Value(minValue));
  return number ? truncated<int32_t>(*number) : 0;
}

int64_t APMRemoteConfig::int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue,
                                                    int64_t maxValue, int64_t minValue) const {
  auto number = numberFromCacheWithKey(key, Value(static_cast<long long>(defaultValue)),
                                       Value(static_cast<long long>(maxValue)),
                                       Value(static_cast<long long>(minValue)));
  return number ? truncated<int64_t>(*number) : 0;
}

int64_t APMRemoteConfig::int64ValueFromCacheWithKey(std::string_view key,
                                                    int64_t defaultValue) const {
  auto number = numberFromCacheWithKey(key, Value(static_cast<long long>(defaultValue)),
                                       std::nullopt, std::nullopt);
  return number ? truncated<int64_t>(*number) : 0;
}

double APMRemoteConfig::timeIntervalInSecondsFromCacheWithKey(std::string_view key,
                                                              double defaultValue, double maxValue,
                                                              double minValue) const {
  auto number = numberFromCacheWithKey(key, Value(defaultValue), Value(maxValue), Value(minValue),
                                       millisecondsToSeconds);
  return number ? number->numberAsDouble().value_or(0) : 0;
}

bool APMRemoteConfig::boolValueFromCacheWithKey(std::string_view key, bool defaultValue) const {
  return intValueFromCacheWithKey(key, defaultValue ? 1 : 0, 1, 0) == 1;
}

// The settings.

#define APM_SECONDS(op, key, def, max, min)                           \
  double APMRemoteConfig::op() const {                                \
    return timeIntervalInSecondsFromCacheWithKey(key, def, max, min); \
  }
#define APM_INT(op, key, def, max, min) \
  int32_t APMRemoteConfig::op() const { return intValueFromCacheWithKey(key, def, max, min); }
#define APM_INT64(op, key, def, max, min) \
  int64_t APMRemoteConfig::op() const { return int64ValueFromCacheWithKey(key, def, max, min); }
#define APM_BOOL(op, key, def) \
  bool APMRemoteConfig::op() const { return boolValueFromCacheWithKey(key, def); }

// clang-format off
APM_SECONDS(uploadingBackoffInterval, "measurement.upload.backoff_period", 43200, 604800, 3600)
APM_INT(maxAudienceCount, "measurement.audience.max_count", 100, 500, 0)
APM_INT(maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", 10, 100, 0)
APM_INT(maxFilterResultCount, "measurement.audience.filter_result_max_count", 200, 2000, 0)
APM_INT(maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", 25, 250, 0)
APM_SECONDS(databaseDeleteStaleBundlesInterval, "measurement.upload.stale_data_deletion_interval", 86400, 604800, 3600)
APM_SECONDS(maxQueueTime, "measurement.upload.max_queue_time", 2419200, 7862400, 604800)
APM_SECONDS(adIDCacheTime, "measurement.ad_id_cache_time", 1, 86400, 0)
APM_BOOL(gateIDFAOnATTMASEnabled, "measurement.attmas_gate", false)
APM_SECONDS(monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", 86400, 604800, 0)
APM_BOOL(isNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled", false)
APM_SECONDS(networkTimeout, "measurement.network.network_timeout", 60, 3600, 30)
APM_SECONDS(sessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval", 1800, 86400, 0)
APM_SECONDS(sessionEventUserEngagementInterval, "measurement.session.event_user_engagement_interval", 3600, 86400, 0)
APM_BOOL(efficientEngagementReportingEnabled, "measurement.collection.efficient_engagement_reporting_enabled", false)
APM_BOOL(redundantEngagementRemovalEnabled, "measurement.collection.redundant_engagement_removal_enabled", false)
APM_INT(maxConversionsPerDay, "measurement.upload.max_conversions_per_day", 10000, 1000000, 0)
APM_INT(maxEventsPerDay, "measurement.upload.max_events_per_day", 100000, 1000000, 0)
APM_INT(maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", 50000, 1000000, 0)
APM_INT(maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", 1000, 1000000, 0)
APM_INT(maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", 4, 100, 1)
APM_INT(maxPublicUserProperties, "measurement.upload.max_public_user_properties", 100, 100, 25)
APM_INT(maxEventNameCardinality, "measurement.upload.max_event_name_cardinality", 2000, 2000, 500)
APM_INT(maxEventsStored, "measurement.store.max_stored_events_per_app", 100000, 1000000, 0)
APM_SECONDS(uploadingInterval, "measurement.upload.interval", 3600, 86400, 15)
APM_SECONDS(uploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time", 15, 86400, 1)
APM_INT64(uploadMaxBundlesLimit, "measurement.upload.max_bundles", 100, 10000, 1)
APM_INT64(uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", 1000, 1000000, 1)
APM_INT64(uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", 65536, 10485760, 0)
APM_INT(uploadingRetryCount, "measurement.upload.retry_count", 6, 24, 1)
APM_SECONDS(uploadingRetryInterval, "measurement.upload.retry_time", 1800, 86400, 60)
APM_INT(maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", 10, 10, 0)
APM_SECONDS(uploadingDebugModeInterval, "measurement.upload.debug_upload_interval", 1, 15, 1)
APM_SECONDS(uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", 10, 15, 10)
APM_BOOL(blocklistInternal, "measurement.upload.blacklist_internal", false)
APM_BOOL(blocklistPublic, "measurement.upload.blacklist_public", false)
APM_BOOL(isEventSamplingEnabled, "measurement.event_sampling_enabled", false)
APM_INT(analyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes", 0, 900, -900)
APM_BOOL(checksumEnabled, "measurement.quality.checksum", false)
APM_BOOL(appInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter", true)
APM_INT(maxRealtimeDCUEventCountPerDay, "measurement.dma.dcu_event_max_realtime_daily_count", 1, 10, 0)
APM_INT(maxPSMRetryCount, "measurement.psm_retry_count", 5, 10, 0)
APM_SECONDS(PSMRetryInterval, "measurement.psm_retry_interval", 300, 1800, 30)
APM_INT(hashPrefixBitLengthEmail, "measurement.psm_prefix_email", 14, 20, 6)
APM_INT(hashPrefixBitLengthPhone, "measurement.psm_prefix_phone", 11, 18, 6)
APM_INT(maxSignInDelayInDays, "measurement.psm_signin_delay", 60, 90, 7)
APM_BOOL(adsOnDeviceConversionFeatureEnabled, "measurement.odm2_enabled", false)
APM_BOOL(isDeferredDeepLinkEnabled, "measurement.ddl.enabled", true)
APM_INT(maxDeferredDeepLinkRetryCount, "measurement.ddl.retry_count", 5, 10, 0)
APM_SECONDS(attributionCacheTTLInterval, "measurement.attribution.cache.ttl", 604800, 2592000, 86400)
APM_SECONDS(remoteConfigCacheTimeInterval, "measurement.config.cache_time", 3600, 86400, 60)
APM_BOOL(SKANUpdateConversionValueEnabled, "measurement.skan.update_conversion_value_enabled", false)
APM_SECONDS(SKANInitialCVFetchDelay, "measurement.skan.initial_cv_fetch_delay_sec", 120, 3600, 30)
APM_SECONDS(SKANCVFetchRetryInterval, "measurement.skan.cv_fetch_retry_interval_sec", 120, 3600, 30)
APM_INT(SKANCVFetchRetryLimit, "measurement.skan.cv_fetch_retry_limit", 4, 10, 1)
APM_SECONDS(SKANFirstWindowCVFetchDelay, "measurement.skan.first_window.initial_cv_fetch_delay_sec", 20, 3600, 1)
APM_SECONDS(SKANFirstWindowCVFetchRetryInterval, "measurement.skan.first_window.cv_fetch_retry_interval_sec", 120, 3600, 30)
APM_INT(SKANFirstWindowCVFetchRetryLimit, "measurement.skan.first_window.cv_fetch_retry_limit", 4, 10, 1)
APM_SECONDS(SKANFirstWindowUploadInterval, "measurement.skan.first_window.upload_interval_sec", 1800, 86400, 15)
APM_BOOL(SOTMUploadSettingEnabled, "measurement.sotm_upload_enabled", true)
// clang-format on

#undef APM_SECONDS
#undef APM_INT
#undef APM_INT64
#undef APM_BOOL

int64_t APMRemoteConfig::maxPublicEventParams() const {
  return intValueFromCacheWithKey("measurement.upload.max_public_event_params", 100, 100, 25);
}

int64_t APMRemoteConfig::maxItemScopedCustomParameters() const {
  return intValueFromCacheWithKey("measurement.upload.max_item_scoped_custom_parameters", 27, 35,
                                  10);
}

int64_t APMRemoteConfig::maxPublicEventParameterValueLength() const {
  return intValueFromCacheWithKey("measurement.upload.max_event_parameter_value_length", 500, 500,
                                  100);
}

int64_t APMRemoteConfig::maxInternalEventParameterValueLength() const {
  int64_t length = maxPublicEventParameterValueLength();
  return length < 257 ? 256 : length;
}

int32_t APMRemoteConfig::maxBundlesCreatedPerIteration() const {
  double value = timeIntervalInSecondsFromCacheWithKey(
      "measurement.upload.max_bundles_created_per_iteration", 100, 10000, 1);
  return truncated<int32_t>(Value(value));
}

int32_t APMRemoteConfig::maxPSMStartCount() const {
  if (APMMonitor::monitor()->isDebugModeEnabled()) return 10;
  return intValueFromCacheWithKey("measurement.psm_start_count", 3, 10, 0);
}

bool APMRemoteConfig::sessionStitchingTokenFeatureEnabled() const {
  if (experimentClient_) {
    if (auto value = experimentClient_->flagValue("session_stitching_token_feature_enabled")) {
      return *value;
    }
  }
  return boolValueFromCacheWithKey("measurement.session_stitching_token_enabled", false);
}

bool APMRemoteConfig::customerTypeEnabled() const {
  {
    std::lock_guard<std::mutex> lock(tablesMutex_);
    auto it = tables_->experimentFlags.find("customer_type_enabled");
    if (it != tables_->experimentFlags.end()) return it->second;
  }
  return boolValueFromCacheWithKey("measurement.customer_type_enabled", true);
}
