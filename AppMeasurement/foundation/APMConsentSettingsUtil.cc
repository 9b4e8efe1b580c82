#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"

#include <array>
#include <atomic>
#include <cctype>
#include <map>

#include "AppMeasurement/foundation/APMStringAdditions.h"
#include "platform/foundation/Bundle.h"

using platform::Value;
using Dictionary = APMConsentSettingsUtil::Dictionary;

namespace {

constexpr std::array<const char*, 4> kTypes = {"ad_storage", "analytics_storage", "ad_user_data",
                                               "ad_personalization"};
constexpr const char* kGranted = "granted";
constexpr const char* kDenied = "denied";
constexpr const char* kEUConsentPolicy = "eu_consent_policy";

// Touched only on the serial queue.
struct State {
  std::optional<Dictionary> consentSettings;
  std::optional<Dictionary> defaultSettings;
  std::optional<Dictionary> delegatedSettings;
  std::optional<Dictionary> regionalDefaults;
  int64_t consentSource = 100;
  int64_t version = 1;
  std::optional<std::map<std::string, int64_t>> digits;
};

State& state() {
  static State& s = *new State();
  return s;
}

// The answers of the hot getters for one state, made on the serial queue after each change and
// read from any thread without waiting for the queue.
struct Answers {
  bool adStorageDenied = false;
  bool analyticsStorageDenied = false;
  bool adUserDataDenied = false;
  std::optional<int64_t> adPersonalization;
  std::string consentSignals;
  // Absent when reading the diagnostics would change the recorded digits: that read runs on
  // the queue.
  std::optional<std::string> consentDiagnostics;
  int64_t consentSource = 100;
};

// Queued changes not yet applied: while any is, getters wait for the queue as before, so a
// getter after a setter from the same thread still sees the change.
std::atomic<int64_t>& pendingChanges() {
  static std::atomic<int64_t>& pending = *new std::atomic<int64_t>(0);
  return pending;
}

std::shared_ptr<const Answers> answersOf(const State& s);

std::atomic<std::shared_ptr<const Answers>>& publishedAnswers() {
  // The state starts empty, and changes only on the queue, each followed by publish().
  static auto& answers = *new std::atomic<std::shared_ptr<const Answers>>(answersOf(State{}));
  return answers;
}

// On the queue, after every change of the state.
void publish() { publishedAnswers().store(answersOf(state()), std::memory_order_release); }

// The answers of the current state when no change is queued, else nullptr.
std::shared_ptr<const Answers> currentAnswers() {
  if (pendingChanges().load(std::memory_order_acquire) != 0) return nullptr;
  return publishedAnswers().load(std::memory_order_acquire);
}

template <typename T>
T onQueue(const std::function<T()>& read) {
  T result{};
  APMConsentSettingsUtil::serialQueue()->sync([&] { result = read(); });
  return result;
}

void later(platform::Block block) {
  pendingChanges().fetch_add(1, std::memory_order_acq_rel);
  APMConsentSettingsUtil::serialQueue()->async([block = std::move(block)] {
    block();
    publish();
    pendingChanges().fetch_sub(1, std::memory_order_acq_rel);
  });
}

std::optional<std::string> lowered(const Value* value) {
  if (value == nullptr || !value->isString()) return std::nullopt;
  std::string text = *value->asString();
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const Value* entry(const std::optional<Dictionary>& dictionary, const std::string& key) {
  if (!dictionary) return nullptr;
  auto it = dictionary->find(key);
  return it == dictionary->end() ? nullptr : &it->second;
}

bool isStatus(const Value* value, const char* status) { return lowered(value) == status; }

int64_t digitForSource(int64_t source) {
  switch (source) {
    case 5:
      return 7;
    case 10:
    case 30:
      return 5;
    case 20:
      return 3;
    case 40:
      return 4;
    default:
      return 0;
  }
}

// The value for a type whose explicit setting is "eu_consent_policy".
Value regionalValue(const State& s, const std::string& type) {
  if (const Value* regional = entry(s.regionalDefaults, type)) return *regional;
  bool deniedByDefault = type == "ad_user_data" || type == "ad_personalization";
  return Value(deniedByDefault ? kDenied : kGranted);
}

std::map<std::string, int64_t>& digits(State& s) {
  if (!s.digits) {
    s.digits.emplace();
    for (const char* type : kTypes) (*s.digits)[type] = 0;
  }
  return *s.digits;
}

void refreshOnQueue(State& s, bool fromSource) {
  auto& table = digits(s);
  for (const std::string type : kTypes) {
    if (const Value* explicitValue = entry(s.consentSettings, type)) {
      int64_t digit = fromSource ? digitForSource(s.consentSource) : table[type];
      if ((type == "ad_user_data" || type == "ad_personalization") &&
          isStatus(explicitValue, kEUConsentPolicy)) {
        digit = 8;
      }
      table[type] = digit;
    } else if (type == "ad_user_data" && entry(s.delegatedSettings, type)) {
      table[type] = 2;
    } else if (entry(s.defaultSettings, type) && !type.ends_with("_storage")) {
      table[type] = 1;
    } else {
      table[type] = 9;
    }
  }
}

bool isAdUserDataDeniedOnQueue(const State& s) {
  const std::string type = "ad_user_data";
  std::optional<Value> value;
  if (const Value* explicitValue = entry(s.consentSettings, type)) value = *explicitValue;
  if (value && isStatus(&*value, kEUConsentPolicy)) value = regionalValue(s, type);
  if (!value) {
    const Value* delegate = entry(s.delegatedSettings, type);
    if (delegate && delegate->isString()) {
      if (const Value* delegated = entry(s.consentSettings, *delegate->asString())) {
        return isStatus(delegated, kDenied);
      }
    }
    if (const Value* fallback = entry(s.defaultSettings, type)) value = *fallback;
  }
  return value && isStatus(&*value, kDenied);
}

bool isExplicitlyDenied(const State& s, const char* type) {
  return isStatus(entry(s.consentSettings, type), kDenied);
}

std::optional<int64_t> adPersonalizationOnQueue(const State& s) {
  const std::string type = "ad_personalization";
  std::optional<Value> value;
  if (const Value* explicitValue = entry(s.consentSettings, type)) value = *explicitValue;
  if (value && isStatus(&*value, kEUConsentPolicy)) value = regionalValue(s, type);
  if (!value) {
    if (const Value* fallback = entry(s.defaultSettings, type)) value = *fallback;
  }
  if (value && isStatus(&*value, kDenied)) return 0;
  if (value && isStatus(&*value, kGranted)) return 1;
  return std::nullopt;
}

std::string consentSignalsOnQueue(const State& s) {
  auto character = [](const Value* value) {
    return isStatus(value, kDenied) ? '0' : (isStatus(value, kGranted) ? '1' : '-');
  };
  std::string signals = "Q1";
  signals += character(entry(s.consentSettings, "ad_storage"));
  signals += character(entry(s.consentSettings, "analytics_storage"));
  return signals;
}

// After refreshOnQueue(s, false).
std::string diagnosticsText(State& s) {
  bool noServerLayers = !s.defaultSettings && !s.delegatedSettings;
  std::string text = "1";
  for (const std::string type : kTypes) {
    int64_t digit = digits(s)[type];
    if (noServerLayers && !entry(s.consentSettings, type)) digit = 9;
    text += std::to_string(digit);
  }
  return text;
}

std::shared_ptr<const Answers> answersOf(const State& s) {
  auto answers = std::make_shared<Answers>();
  answers->adStorageDenied = isExplicitlyDenied(s, "ad_storage");
  answers->analyticsStorageDenied = isExplicitlyDenied(s, "analytics_storage");
  answers->adUserDataDenied = isAdUserDataDeniedOnQueue(s);
  answers->adPersonalization = adPersonalizationOnQueue(s);
  answers->consentSignals = consentSignalsOnQueue(s);
  answers->consentSource = s.consentSource;
  // Reading the diagnostics refreshes the digits first; when that refresh would change them,
  // the read itself must run on the queue. Unset digits read as all zero.
  State refreshed = s;
  digits(refreshed);
  std::map<std::string, int64_t> before = *refreshed.digits;
  refreshOnQueue(refreshed, false);
  if (*refreshed.digits == before) answers->consentDiagnostics = diagnosticsText(refreshed);
  return answers;
}

}  // namespace

std::string APMConsentTypeName(int64_t type) {
  return type >= 1 && type <= 4 ? kTypes[type - 1] : "";
}

std::string APMConsentStatusName(int64_t status) {
  return status == 1 ? kGranted : (status == 2 ? kDenied : "");
}

std::shared_ptr<platform::DispatchQueue> APMConsentSettingsUtil::serialQueue() {
  static const auto& queue = *new std::shared_ptr<platform::DispatchQueue>(
      platform::DispatchQueue::createSerial("APMConsentSettingsUtilQueue"));
  return queue;
}

std::optional<Dictionary> APMConsentSettingsUtil::consentSettings() {
  return onQueue<std::optional<Dictionary>>([] { return state().consentSettings; });
}
std::optional<Dictionary> APMConsentSettingsUtil::defaultSettings() {
  return onQueue<std::optional<Dictionary>>([] { return state().defaultSettings; });
}
std::optional<Dictionary> APMConsentSettingsUtil::delegatedSettings() {
  return onQueue<std::optional<Dictionary>>([] { return state().delegatedSettings; });
}
std::optional<Dictionary> APMConsentSettingsUtil::regionalDefaults() {
  return onQueue<std::optional<Dictionary>>([] { return state().regionalDefaults; });
}
int64_t APMConsentSettingsUtil::consentSource() {
  if (auto answers = currentAnswers()) return answers->consentSource;
  return onQueue<int64_t>([] { return state().consentSource; });
}
int64_t APMConsentSettingsUtil::version() {
  return onQueue<int64_t>([] { return state().version; });
}

void APMConsentSettingsUtil::setConsentSettings(std::optional<Dictionary> settings) {
  later([settings = std::move(settings)] {
    State& s = state();
    s.consentSettings = settings;
    if (!settings) {
      s.consentSource = 100;
      refreshOnQueue(s, true);
    }
  });
}
void APMConsentSettingsUtil::setConsentSource(int64_t source) {
  later([source] {
    state().consentSource = source;
    refreshOnQueue(state(), true);
  });
}
void APMConsentSettingsUtil::setDefaultSettings(std::optional<Dictionary> settings) {
  later([settings = std::move(settings)] { state().defaultSettings = settings; });
}
void APMConsentSettingsUtil::setDelegatedSettings(std::optional<Dictionary> settings) {
  later([settings = std::move(settings)] { state().delegatedSettings = settings; });
}
void APMConsentSettingsUtil::setRegionalDefaults(std::optional<Dictionary> settings) {
  later([settings = std::move(settings)] { state().regionalDefaults = settings; });
}
void APMConsentSettingsUtil::setVersion(int64_t version) {
  if (version != 1 && version != 2) return;
  later([version] { state().version = version; });
}
void APMConsentSettingsUtil::updateSettings(const Dictionary& settings) {
  later([settings] {
    auto& current = state().consentSettings;
    if (!current) current.emplace();
    for (const auto& [type, value] : settings) (*current)[type] = value;
  });
}
void APMConsentSettingsUtil::updateSettings(const Dictionary& settings, int64_t consentSource) {
  later([settings, consentSource] {
    State& s = state();
    if (!s.consentSettings) s.consentSettings.emplace();
    for (const auto& [type, value] : settings) (*s.consentSettings)[type] = value;
    s.consentSource = consentSource;
    auto& table = digits(s);
    for (const auto& [type, value] : settings) table[type] = digitForSource(consentSource);
  });
}

bool APMConsentSettingsUtil::isConsentSourceEqualPriority(int64_t source) {
  int64_t current = consentSource();
  return source == current || (source == 5 && current == 10) || (source == 10 && current == 5);
}

bool APMConsentSettingsUtil::isConsentSourceHigherPriority(int64_t source) {
  return isConsentSourceEqualPriority(source) || source <= consentSource();
}

bool APMConsentSettingsUtil::isAdStorageDenied() {
  if (auto answers = currentAnswers()) return answers->adStorageDenied;
  return onQueue<bool>([] { return isExplicitlyDenied(state(), "ad_storage"); });
}
bool APMConsentSettingsUtil::isAnalyticsStorageDenied() {
  if (auto answers = currentAnswers()) return answers->analyticsStorageDenied;
  return onQueue<bool>([] { return isExplicitlyDenied(state(), "analytics_storage"); });
}
bool APMConsentSettingsUtil::isAdUserDataDenied() {
  if (auto answers = currentAnswers()) return answers->adUserDataDenied;
  return onQueue<bool>([] { return isAdUserDataDeniedOnQueue(state()); });
}
std::optional<int64_t> APMConsentSettingsUtil::adPersonalization() {
  if (auto answers = currentAnswers()) return answers->adPersonalization;
  return onQueue<std::optional<int64_t>>([] { return adPersonalizationOnQueue(state()); });
}
bool APMConsentSettingsUtil::didAdUserDataConsentChange(bool previousDenied) {
  return isAdUserDataDenied() != previousDenied;
}

Dictionary APMConsentSettingsUtil::consentSettingsFromDictionary(const Dictionary& dictionary) {
  Dictionary result;
  for (const char* type : kTypes) {
    auto it = dictionary.find(type);
    if (it != dictionary.end()) result[type] = it->second;
  }
  return result;
}

Dictionary APMConsentSettingsUtil::consentSettingsFromPlist() {
  static const std::pair<const char*, const char*> kKeys[] = {
      {"ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", "ad_storage"},
      {"ORVANE_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", "analytics_storage"},
      {"ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", "ad_user_data"},
      {"ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", "ad_personalization"}};
  auto bundle = platform::Bundle::mainBundle();
  Dictionary result;
  for (const auto& [key, type] : kKeys) {
    auto value = bundle->objectForInfoDictionaryKey(key);
    if (!value) continue;
    std::string typeName = type;
    if (typeName == "ad_personalization" && !value->isString()) continue;
    if (isStatus(&*value, kEUConsentPolicy)) {
      if (typeName == "ad_user_data" || typeName == "ad_personalization") {
        result[typeName] = Value(kEUConsentPolicy);
      }
      continue;
    }
    std::optional<bool> truth;
    if (value->isNumber()) {
      truth = value->numberAsBool();
    } else if (value->isString()) {
      truth = apm_boolValue(*value->asString());
    }
    if (truth) result[typeName] = Value(*truth ? kGranted : kDenied);
  }
  return result;
}

std::string APMConsentSettingsUtil::consentSignals() {
  if (auto answers = currentAnswers()) return answers->consentSignals;
  return onQueue<std::string>([] { return consentSignalsOnQueue(state()); });
}

std::string APMConsentSettingsUtil::consentDiagnostics() {
  if (auto answers = currentAnswers(); answers && answers->consentDiagnostics) {
    return *answers->consentDiagnostics;
  }
  return onQueue<std::string>([] {
    State& s = state();
    refreshOnQueue(s, false);
    std::string text = diagnosticsText(s);
    publish();  // the digits may have changed
    return text;
  });
}

std::string APMConsentSettingsUtil::description() {
  return onQueue<std::string>([] {
    const State& s = state();
    auto shown = [&](const std::string& type, const char* fallback) -> std::string {
      const Value* value = entry(s.consentSettings, type);
      if (value == nullptr) return fallback;
      if (isStatus(value, kEUConsentPolicy)) {
        Value regional = regionalValue(s, type);
        return (regional.isString() ? *regional.asString() : regional.description()) +
               " (eu_consent_policy)";
      }
      return value->isString() ? *value->asString() : value->description();
    };
    std::string text = "ad_storage is " + shown("ad_storage", kGranted) +
                       ". analytics_storage is " + shown("analytics_storage", kGranted) + ".";
    for (const std::string type : {"ad_user_data", "ad_personalization"}) {
      if (entry(s.consentSettings, type)) text += " " + type + " is " + shown(type, "") + ".";
    }
    return text;
  });
}

void APMConsentSettingsUtil::setDiagnosticSource(int64_t digit, const std::string& consentType) {
  later([digit, consentType] { digits(state())[consentType] = digit; });
}
void APMConsentSettingsUtil::resetDiagnosticSources() {
  later([] {
    state().digits.reset();
    digits(state());
  });
}
void APMConsentSettingsUtil::refreshDiagnosticSources(bool fromSource) {
  later([fromSource] { refreshOnQueue(state(), fromSource); });
}
void APMConsentSettingsUtil::unsetAdPersonalization() {
  later([] {
    State& s = state();
    if (s.consentSettings && s.consentSettings->erase("ad_personalization") > 0) {
      digits(s)["ad_personalization"] = 0;
    }
  });
}
void APMConsentSettingsUtil::clearAllSettings() {
  later([] {
    // The consent version is the app's own choice, not a consent layer: a reset keeps it.
    State& s = state();
    const int64_t version = s.version;
    s = State{};
    s.version = version;
    digits(s);
  });
}
