#include "AppMeasurement/foundation/APMMonitor.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "platform/utilities/OULOSLog.h"

namespace {

// --- What the monitor reads of its surroundings. ---

std::vector<std::string> launchArguments() {
  return platform::ProcessInfo::processInfo().arguments();
}

bool isAppStoreInstall() { return APMAEU::isFAS(); }

std::shared_ptr<APMUserDefaults> appUserDefaults() { return APMUserDefaults::sharedUserDefaults(); }

bool coreConfigurationClassExists() {
  return platform::ClassRegistry::shared().contains("KVLConfiguration");
}

// --- Helpers. ---

bool hasArgument(const std::vector<std::string>& arguments, std::string_view argument) {
  return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

bool storedYes(const std::shared_ptr<APMUserDefaults>& defaults, std::string_view key) {
  std::optional<platform::Value> value = defaults->objectForKey(key);
  if (!value) return false;
  std::optional<bool> flag = value->numberAsBool();
  return flag && *flag;
}

// 64-bit "%lld" of a decade bound, saturating at the int64 limits.
int64_t saturatingToInt64(double value) {
  if (value >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

std::string decadeRange(bool negative, int64_t lower, int64_t upper) {
  char buffer[64];
  if (negative) {
    std::snprintf(buffer, sizeof buffer, "%" PRId64 "...%" PRId64, -upper, -lower);
  } else {
    std::snprintf(buffer, sizeof buffer, "%" PRId64 "...%" PRId64, lower, upper);
  }
  return buffer;
}

std::string encodeInteger(int64_t n) {
  if (n >= -99 && n <= 99) return std::to_string(n);
  // The magnitude as unsigned: INT64_MIN has no positive int64 counterpart.
  uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
  uint64_t decade = 1;
  while (magnitude / decade >= 10) decade *= 10;
  int64_t lower = static_cast<int64_t>(decade);
  // 10e - 1 exceeds int64 only for 19-digit magnitudes: saturate there.
  int64_t upper = decade > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / 10
                      ? std::numeric_limits<int64_t>::max()
                      : static_cast<int64_t>(decade * 10 - 1);
  return decadeRange(n < 0, lower, upper);
}

std::string encodeReal(double n) {
  // NaN and infinities have no decade; they are not encodable numbers.
  if (!std::isfinite(n)) return "?";
  double magnitude = std::fabs(n);
  if (magnitude <= 99) return std::to_string(saturatingToInt64(n));
  double p = std::floor(std::log10(magnitude));
  double e = std::round(std::pow(10.0, p));
  int64_t lower = saturatingToInt64(e);
  int64_t upper = saturatingToInt64(10 * e - 1);
  return decadeRange(n < 0, lower, upper);
}

std::string describeContext(const APMLogContext& context) {
  if (context.isNull()) return "(nil)";
  if (const APMLogContext::TextBuilder* build = context.asDeferredText()) {
    return *build ? platform::Value((*build)()).description() : "(nil)";
  }
  if (const platform::Value* value = context.asValue()) return value->description();
  if (const APMError* error = context.asError()) return error->description();
  if (const auto* exception = context.asException()) {
    std::string symbol = APMMonitor::lastAPMSymbolFromException(*exception);
    if (symbol.empty()) return exception->reason;
    return symbol + ": " + exception->reason;
  }
  if (const auto* object = context.asObject()) {
    if (object->description && !object->description->empty()) return *object->description;
    char address[32];
    std::snprintf(address, sizeof address, "%p", object->address);
    return "<" + object->className + " " + address + ">";
  }
  return "(nil)";
}

bool containsAPMCaseInsensitive(std::string_view text) {
  for (size_t i = 0; i + 3 <= text.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) == 'A' &&
        std::toupper(static_cast<unsigned char>(text[i + 1])) == 'P' &&
        std::toupper(static_cast<unsigned char>(text[i + 2])) == 'M') {
      return true;
    }
  }
  return false;
}

}  // namespace

// --- Creation. ---

std::shared_ptr<APMMonitor> APMMonitor::monitor() {
  // Never destroyed: its queue may still run blocks while the process exits.
  static const auto* shared = [] {
    // The preference stores write at exit from a handler of their own; registering ours
    // after it makes ours run first, so that the saves still queued are part of that write.
    platform::PreferenceStore::forDomain(kSuiteName);
    auto* monitor = new std::shared_ptr<APMMonitor>(create(kAPMMonitorLibraryVersion));
    std::atexit(&APMMonitor::finishQueuedWorkAtExit);
    return monitor;
  }();
  return *shared;
}

void APMMonitor::finishQueuedWorkAtExit() {
  std::shared_ptr<APMMonitor> shared = monitor();
  shared->monitorQueue_->sync([&shared] { shared->saveSampleIfNeededOnMonitorQueue(); });
}

std::shared_ptr<APMMonitor> APMMonitor::create(int64_t libraryVersion) {
  return create(6, std::make_shared<APMASLLogger>(), libraryVersion);
}

std::shared_ptr<APMMonitor> APMMonitor::create(int logLevel, std::shared_ptr<APMASLLogger> logger,
                                               int64_t libraryVersion) {
  std::shared_ptr<APMMonitor> monitor(new APMMonitor(logLevel, std::move(logger), libraryVersion));
  monitor->start();
  return monitor;
}

APMMonitor::APMMonitor(int logLevel, std::shared_ptr<APMASLLogger> logger, int64_t libraryVersion)
    : logLevel_(logLevel),
      logger_(logger ? std::move(logger) : std::make_shared<APMASLLogger>()),
      libraryVersion_(libraryVersion),
      monitorQueue_(platform::DispatchQueue::createSerial("APMMonitorQueue")),
      suite_(std::make_shared<APMUserDefaults>(std::string(kSuiteName))) {}

APMMonitor::~APMMonitor() {
  for (uint64_t token : lifecycleObservers_) {
    platform::NotificationCenter::defaultCenter().removeObserver(token);
  }
  // No queued block holds the monitor any more: what it changed and did not write is written
  // here, on whichever thread lets the monitor go.
  if (saveNeeded_.load()) suite_->synchronize();
}

void APMMonitor::start() {
  std::weak_ptr<APMMonitor> weakSelf = weak_from_this();
  for (const char* name :
       {UIApplicationDidEnterBackgroundNotification, UIApplicationWillTerminateNotification}) {
    lifecycleObservers_.push_back(platform::NotificationCenter::defaultCenter().addObserverForName(
        name, nullptr, monitorQueue_, [weakSelf](const platform::Notification&) {
          if (auto self = weakSelf.lock()) self->saveSampleIfNeededOnMonitorQueue();
        }));
  }
  monitorQueue_->async([weakSelf] {
    if (auto self = weakSelf.lock()) {
      self->migrateMonitorDataOnMonitorQueue();
      self->loadSampleOnMonitorQueue();
    }
  });
  isAppStoreInstall_ = isAppStoreInstall();
  if (isAppStoreInstall_) return;
  applyLaunchSettings();
}

void APMMonitor::applyLaunchSettings() {
  const std::vector<std::string> arguments = launchArguments();
  coreDebugFlag_ =
      (hasArgument(arguments, "-KVLDebugDisabled") || hasArgument(arguments, "-KVLDebugEnabled")) &&
      coreConfigurationClassExists();
  std::shared_ptr<APMUserDefaults> defaults = appUserDefaults();

  std::optional<bool> debug;
  if (hasArgument(arguments, "-noAPMAnalyticsDebugEnabled") ||
      hasArgument(arguments, "-noKVLAnalyticsDebugEnabled") ||
      hasArgument(arguments, "-KVLDebugDisabled")) {
    debug = false;
  } else if (storedYes(defaults, kDebugModeKey) ||
             hasArgument(arguments, "-APMAnalyticsDebugEnabled") ||
             hasArgument(arguments, "-KVLAnalyticsDebugEnabled") ||
             hasArgument(arguments, "-KVLDebugEnabled")) {
    debug = true;
  }
  if (debug) setDebugModeEnabled(*debug);

  std::optional<bool> verbose;
  if (hasArgument(arguments, "-APMAnalyticsVerboseLoggingDisabled") ||
      hasArgument(arguments, "-KVLAnalyticsVerboseLoggingDisabled")) {
    verbose = false;
  } else if (storedYes(defaults, kVerboseLoggingKey) ||
             hasArgument(arguments, "-APMAnalyticsVerboseLoggingEnabled") ||
             hasArgument(arguments, "-KVLAnalyticsVerboseLoggingEnabled")) {
    verbose = true;
  }
  if (verbose) setVerboseLoggingEnabled(*verbose);
}

// --- Modes. ---

void APMMonitor::setUtilitiesLevelUnlessCoreDebug(int logLevel) {
  if (!coreDebugFlag_) OULSetLoggerLevel(APMASLLogger::OULLoggerLevelFromLogLevel(logLevel));
}

void APMMonitor::setDebugModeEnabled(bool enabled) {
  if (isAppStoreInstall_) enabled = false;
  std::shared_ptr<APMUserDefaults> defaults = appUserDefaults();
  debugModeEnabled_.store(enabled);
  if (enabled) {
    logLevel_.store(7);
    setUtilitiesLevelUnlessCoreDebug(7);
    defaults->setObject(platform::Value(true), kDebugModeKey);
    logWithLevel(7, 24000, "Debug mode is on");
  } else {
    logLevel_.store(6);
    setUtilitiesLevelUnlessCoreDebug(6);
    defaults->removeObjectForKey(kDebugModeKey);
    logWithLevel(7, 24001, "Debug mode is off");
  }
}

void APMMonitor::setVerboseLoggingEnabled(bool enabled) {
  if (isAppStoreInstall_) enabled = false;
  std::shared_ptr<APMUserDefaults> defaults = appUserDefaults();
  verboseLoggingEnabled_.store(enabled);
  if (enabled) {
    logLevel_.store(8);
    setUtilitiesLevelUnlessCoreDebug(8);
    defaults->setObject(platform::Value(true), kVerboseLoggingKey);
    logWithLevel(8, 24003, "Verbose logging is on");
  } else {
    int level = debugModeEnabled_.load() ? 7 : 6;
    logLevel_.store(level);
    setUtilitiesLevelUnlessCoreDebug(level);
    defaults->removeObjectForKey(kVerboseLoggingKey);
    logWithLevel(8, 24004, "Verbose logging is off");
  }
}

void APMMonitor::setSOTMDebugModeEnabled(bool enabled) {
  debugModeEnabled_.store(enabled);
  if (enabled) {
    logLevel_.store(7);
    setUtilitiesLevelUnlessCoreDebug(7);
    logWithLevel(7, 24006, "SOTM debug mode is on");
  } else {
    logLevel_.store(6);
    setUtilitiesLevelUnlessCoreDebug(6);
    logWithLevel(7, 24007, "SOTM debug mode is off");
  }
}

std::string APMMonitor::logTag() const {
  std::lock_guard<std::mutex> lock(tagMutex_);
  return logTag_;
}

void APMMonitor::setLogTag(std::string logTag) {
  std::lock_guard<std::mutex> lock(tagMutex_);
  logTag_ = std::move(logTag);
}

bool APMMonitor::isLoggableLevel(int level) const {
  return OULIsLoggableLevel(APMASLLogger::OULLoggerLevelFromLogLevel(level)) &&
         !isSilentLevel(level);
}

// --- Logging. ---

bool APMMonitor::isLoggedLevel(int level) const {
  if (!isLoggableLevel(level) && !isMonitorableLevel(level)) return false;
  return level < 8 || verboseLoggingEnabled_.load();
}

// The overloads test the level before they gather the contexts: a line that is neither
// printed nor sampled costs no allocation.
void APMMonitor::logWithLevel(int level, int64_t messageCode,
                              std::optional<std::string_view> message) {
  if (!isLoggedLevel(level)) return;
  logWithLevel(level, messageCode, message, std::vector<APMLogContext>{});
}

void APMMonitor::logWithLevel(int level, int64_t messageCode,
                              std::optional<std::string_view> message, APMLogContext context) {
  if (!isLoggedLevel(level)) return;
  logWithLevel(level, messageCode, message, std::vector<APMLogContext>{std::move(context)});
}

void APMMonitor::logWithLevel(int level, int64_t messageCode,
                              std::optional<std::string_view> message, APMLogContext context1,
                              APMLogContext context2) {
  if (!isLoggedLevel(level)) return;
  logWithLevel(level, messageCode, message,
               std::vector<APMLogContext>{std::move(context1), std::move(context2)});
}

void APMMonitor::logWithLevel(int level, int64_t messageCode,
                              std::optional<std::string_view> message, APMLogContext context1,
                              APMLogContext context2, APMLogContext context3) {
  if (!isLoggedLevel(level)) return;
  logWithLevel(
      level, messageCode, message,
      std::vector<APMLogContext>{std::move(context1), std::move(context2), std::move(context3)});
}

void APMMonitor::logWithLevel(int level, int64_t messageCode,
                              std::optional<std::string_view> message,
                              const std::vector<APMLogContext>& contexts) {
  if (!isLoggedLevel(level)) return;
  bool loggable = isLoggableLevel(level);
  bool monitorable = isMonitorableLevel(level);

  std::weak_ptr<APMMonitor> weakSelf = weak_from_this();
  if (loggable) {
    std::string text = stringWithLogMessage(message, level, contexts, encodeContexts_.load());
    std::string tag = logTag();
    monitorQueue_->async(
        [weakSelf, text = std::move(text), tag = std::move(tag), messageCode, level] {
          if (auto self = weakSelf.lock()) self->logger_->logMessage(text, tag, messageCode, level);
        });
  }
  if (monitorable) {
    std::string context = encodedStringWithContextArray(contexts, false);
    std::string errorContexts = APMMonitorContextsFromErrors(contexts);
    if (!errorContexts.empty()) context += "," + errorContexts;
    std::string key = monitoringDataKeyWithMessage(message ? *message : std::string_view(), level,
                                                   libraryVersion_);
    monitorQueue_->async([weakSelf, key = std::move(key), context = std::move(context)] {
      auto self = weakSelf.lock();
      if (!self) return;
      self->sampledData_->insertOrUpdateSampledData(key, context);
      self->noteSampleChangedOnMonitorQueue();
    });
  }
}

// --- Health data. ---

std::optional<std::string> APMMonitor::monitoringDataForDispatch(double samplePeriod,
                                                                 double lastSampledTimestamp) {
  std::optional<std::string> text;
  monitorQueue_->sync([&] {
    text = sampledData_->monitoringDataForDispatch(samplePeriod, lastSampledTimestamp);
    if (text) saveSampleOnMonitorQueue();
  });
  return text;
}

void APMMonitor::clearMonitoringData() {
  monitorQueue_->sync([&] {
    std::shared_ptr<APMUserDefaults> defaults = appUserDefaults();
    defaults->removeObjectForKey(kDebugModeKey);
    defaults->removeObjectForKey(kHealthMonitorKey);
    suite_->removeObjectForKey(kHealthMonitorKey);
    loadSampleOnMonitorQueue();
  });
}

void APMMonitor::setSampleRandomForTesting(APMMonitoringSampledData::RandomUniform random) {
  monitorQueue_->sync([&] {
    sampleRandom_ = std::move(random);
    loadSampleOnMonitorQueue();
  });
}

void APMMonitor::loadSampleOnMonitorQueue() {
  monitorQueue_->assertCurrent("APMMonitor::loadSampleOnMonitorQueue");
  sampledData_ = std::make_unique<APMMonitoringSampledData>(suite_->objectForKey(kHealthMonitorKey),
                                                            sampleRandom_);
}

void APMMonitor::storeSampleOnMonitorQueue() {
  std::optional<platform::Value::Array> sample = sampledData_->sampledData();
  if (sample) {
    suite_->setObject(platform::Value(std::move(*sample)), kHealthMonitorKey);
  } else {
    suite_->removeObjectForKey(kHealthMonitorKey);
  }
}

void APMMonitor::saveSampleOnMonitorQueue() {
  monitorQueue_->assertCurrent("APMMonitor::saveSampleOnMonitorQueue");
  storeSampleOnMonitorQueue();
  writeSuiteOnMonitorQueue();
}

void APMMonitor::noteSampleChangedOnMonitorQueue() {
  monitorQueue_->assertCurrent("APMMonitor::noteSampleChangedOnMonitorQueue");
  storeSampleOnMonitorQueue();
  saveNeeded_.store(true);
  if (saveScheduled_) return;
  double sinceLastWrite = platform::Clock::current()->uptime() - lastWriteUptime_.value_or(0);
  if (!lastWriteUptime_ || sinceLastWrite >= kSampleSaveInterval || sinceLastWrite < 0) {
    writeSuiteOnMonitorQueue();
    return;
  }
  saveScheduled_ = true;
  std::weak_ptr<APMMonitor> weakSelf = weak_from_this();
  monitorQueue_->after(kSampleSaveInterval - sinceLastWrite, [weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->saveScheduled_ = false;
    self->saveSampleIfNeededOnMonitorQueue();
  });
}

void APMMonitor::saveSampleIfNeededOnMonitorQueue() {
  monitorQueue_->assertCurrent("APMMonitor::saveSampleIfNeededOnMonitorQueue");
  if (saveNeeded_.load()) writeSuiteOnMonitorQueue();
}

void APMMonitor::writeSuiteOnMonitorQueue() {
  suite_->synchronize();
  saveNeeded_.store(false);
  lastWriteUptime_ = platform::Clock::current()->uptime();
}

void APMMonitor::migrateMonitorDataOnMonitorQueue() {
  monitorQueue_->assertCurrent("APMMonitor::migrateMonitorDataOnMonitorQueue");
  std::shared_ptr<APMUserDefaults> defaults = appUserDefaults();
  int64_t state = suite_->integerForKey(kMigrationStateKey);
  if (state == 0) {
    std::optional<platform::Value> legacy = defaults->objectForKey(kHealthMonitorKey);
    if (legacy && legacy->isArray() && !suite_->objectForKey(kHealthMonitorKey)) {
      suite_->setObject(*legacy, kHealthMonitorKey);
    }
    suite_->setInteger(1, kMigrationStateKey);
    suite_->synchronize();
    state = 1;
  }
  if (state == 1) {
    defaults->removeObjectForKey(kHealthMonitorKey);
    defaults->synchronize();
    suite_->setInteger(2, kMigrationStateKey);
    suite_->synchronize();
  }
}

// --- Class operations. ---

bool APMMonitor::isSilentLevel(int level) {
  switch (level) {
    case 0:
    case 1:
    case 3:
    case 4:
    case 6:
    case 7:
    case 8:
      return false;
    default:
      return true;  // 2, 5, 9 and above (and anything outside the scale)
  }
}

bool APMMonitor::isMonitorableLevel(int level) {
  switch (level) {
    case 0:
    case 3:
    case 6:
    case 7:
    case 8:
      return false;
    default:
      return true;  // 1, 2, 4, 5, 9 and above (and anything outside the scale)
  }
}

std::optional<std::string> APMMonitor::logLevelDescriptionFromLogLevel(int level) {
  switch (level) {
    case 0:
    case 1:
    case 2:
      return "ERROR";
    case 3:
    case 4:
    case 5:
      return "WARNING";
    case 6:
      return "NOTICE";
    case 7:
      return "DEBUG";
    default:
      return std::nullopt;
  }
}

std::string APMMonitor::monitoringDataKeyWithMessage(std::string_view message, int logLevel,
                                                     int64_t libraryVersion) {
  char letter = '?';
  if (logLevel >= 0 && logLevel <= 2) letter = 'E';
  if (logLevel >= 3 && logLevel <= 5) letter = 'W';
  std::string key = "1";
  key += letter;
  key += "_" + std::to_string(libraryVersion) + ":";
  key += message;
  return key;
}

std::string APMMonitor::encodedStringWithContextArray(const std::vector<APMLogContext>& contexts,
                                                      bool insertSpaces) {
  std::string joined;
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) joined += insertSpaces ? ", " : ",";
    joined += encodedStringWithContextObject(contexts[i]);
  }
  return joined;
}

std::string APMMonitor::encodedStringWithContextObject(const APMLogContext& context) {
  if (context.isNull()) return "";
  if (const platform::Value* value = context.asValue()) {
    switch (value->type()) {
      case platform::Value::Type::String:
        return "-";
      case platform::Value::Type::Bool:
        return *value->asBool() ? "1" : "0";
      case platform::Value::Type::Integer:
        return encodeInteger(*value->asInteger());
      case platform::Value::Type::Real:
        return encodeReal(*value->asReal());
      default:
        return "?";
    }
  }
  if (const APMError* error = context.asError()) {
    return error->domain().empty() ? "-" : error->domain();
  }
  if (context.asDeferredText()) return "-";  // a string, whatever it would say
  if (const auto* exception = context.asException()) {
    std::string symbol = lastAPMSymbolFromException(*exception);
    return symbol.empty() ? "-" : symbol;
  }
  return "?";
}

std::string APMMonitor::stringWithLogMessage(std::optional<std::string_view> message, int logLevel,
                                             const std::vector<APMLogContext>& contexts,
                                             bool encodeContexts) {
  std::string text;
  if (!message) {
    text = "(Message was nil)";
  } else if (message->empty()) {
    text = "(Message was empty)";
  } else {
    text = *message;
  }
  if (contexts.empty()) return text;
  text += ": ";
  if (encodeContexts) return text + encodedStringWithContextArray(contexts, true);
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += ", ";
    text += describeContext(contexts[i]);
  }
  return text;
}

std::string APMMonitor::lastAPMSymbolFromException(const APMLogContext::ExceptionInfo& exception) {
  const auto& lines = exception.callStackSymbols;
  for (size_t i = 2; i < lines.size(); ++i) {
    std::istringstream stream(lines[i]);
    std::vector<std::string> parts;
    for (std::string part; stream >> part;) parts.push_back(part);
    if (parts.size() < 5) continue;
    std::string symbol = parts[3];
    if (parts[4] != "+") symbol += " " + parts[4];
    if (containsAPMCaseInsensitive(symbol)) return symbol;
  }
  return exception.name;
}
