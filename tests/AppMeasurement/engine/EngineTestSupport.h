#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDefaultIdentitySupport.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMIdentitySupport.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/core/KVLApp.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/security/Keychain.h"
#include "platform/utilities/OULNetwork.h"
#include "platform/utilities/OULOSLog.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ServiceProcess.h"

namespace enginetest {

#ifdef KVL_TEST_PROTOC
// protoc in `mode` ("encode" or "decode") on a measurement message of the upload or
// configuration schema.
inline std::string protoc(const std::string& mode, const std::string& message,
                          const std::string& input) {
  return testsupport::runCommand(std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR + " --" +
                                     mode + "=apm." + message + " " + KVL_TEST_PROTO_DIR +
                                     "/measurement_upload.proto " + KVL_TEST_PROTO_DIR +
                                     "/measurement_config.proto",
                                 input);
}
#endif

inline size_t countLinesWith(const std::vector<std::string>& lines, const std::string& text) {
  size_t count = 0;
  for (const auto& line : lines) count += line.find(text) != std::string::npos;
  return count;
}

// The settings of a configuration message, as the server sends them.
inline APMPBMeasurementConfig makeConfig(
    const std::string& appID, const std::vector<std::pair<std::string, std::string>>& settings) {
  APMPBMeasurementConfig config;
  NANOSetString(config, APMPBMeasurementConfig::kAppId, appID);
  std::vector<APMPBSetting> list;
  for (const auto& [name, value] : settings) {
    APMPBSetting setting;
    NANOSetString(setting, APMPBSetting::kName, name);
    NANOSetString(setting, APMPBSetting::kValue, value);
    list.push_back(setting);
  }
  NANOSetMessageArray(config, APMPBMeasurementConfig::kSettings, list);
  return config;
}

// A fresh app container, virtual time, captured log lines (every level), and an engine made
// with its own persisted configuration and database in that container.
class EngineTest : public ::testing::Test {
 protected:
  static constexpr const char* kAppID = "1:1234567890:ios:abcdef";
  static constexpr const char* kBundleID = "com.example.measured";

  // The main bundle's Info.plist (bundle identifier and versions unless the test sets them).
  void writeInfoPlist(platform::Value::Dictionary info) {
    info.emplace("CFBundleIdentifier", platform::Value(kBundleID));
    info.emplace("CFBundleShortVersionString", platform::Value("2.5"));
    info.emplace("CFBundleVersion", platform::Value("2.5.7"));
    auto data = platform::PropertyListSerialization::dataWithPropertyList(
        platform::Value(info), platform::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(data.ok());
    std::filesystem::create_directories(base_ / "App.app");
    std::ofstream(base_ / "App.app" / "Info.plist", std::ios::binary) << *data;
    platform::Bundle::setMainBundlePath(base_ / "App.app");
  }

  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-engine-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    ASSERT_TRUE(platform::AppContainer::setRoot(base_ / "container").ok());
    platform::SecKeychainSetPathForTesting(base_ / "keychain");
    writeInfoPlist({});
    OULSetLoggerLevel(OULLoggerLevelDebug);
    APMAnalytics::resetForTesting();
    APMAnalytics::load();                        // the library's load time, under the test's clock
    APMConsentSettingsUtil::clearAllSettings();  // process-wide: no test inherits consent
    // Until a test starts a service of its own, every host is a port held closed: nothing
    // reaches the library's default host, which is the user's own local service.
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
  }

  void TearDown() override {
    if (engine) engine->setEnabled(false);
    env.waitUntilIdle();
    engine.reset();
    APMAnalytics::resetForTesting();
    platform::ClassRegistry::shared().clear();
    KVLApp::resetForTesting();
    APMConsentSettingsUtil::clearAllSettings();
    env.finish();
    OULSetLoggerLevel(OULLoggerLevelNotice);
    platform::SecKeychainSetPathForTesting(std::nullopt);
    platform::Bundle::setMainBundlePath({});
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }

  // Makes and enables an engine (the component block runs), with the settings applied.
  void makeEngine(const std::vector<std::pair<std::string, std::string>>& settings = {},
                  std::shared_ptr<OULNetwork> network = nullptr,
                  std::vector<std::string> safelist = {},
                  std::shared_ptr<APMIdentitySupport> identitySupport = nullptr) {
    persistedConfig = APMPersistedConfig::create("engine-test");
    APMMeasurement::Collaborators collaborators;
    collaborators.persistedConfig = persistedConfig;
    collaborators.network = network;
    APMIdentity::resetAppIDFromRZQForTesting();
    identity = APMIdentity::create(
        persistedConfig,
        identitySupport ? std::make_shared<APMDefaultIdentitySupport>(identitySupport) : nullptr);
    if (setsAppIDFromRZQ) identity->setAppIDFromRZQ(kAppID);
    collaborators.identity = identity;
    if (features) collaborators.features = *features;
    engine =
        APMMeasurement::create(std::move(collaborators), kAppID, true, false, std::move(safelist));
    env.waitUntilIdle();
    ASSERT_TRUE(engine->didInitializeComponents());
    if (!settings.empty()) applySettings(settings);
  }

  void applySettings(const std::vector<std::pair<std::string, std::string>>& settings) {
    onWorker([&] {
      ASSERT_TRUE(engine->currentConfig()->updateMeasurementConfig(makeConfig(kAppID, settings)));
    });
  }

  // Runs the block on the engine's worker queue and waits for it.
  void onWorker(const std::function<void()>& block) {
    engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", block);
  }

  // Logs one event through the engine's front door and lets it settle.
  void logEvent(const std::string& origin, bool isPublic, const std::string& name,
                const APMObjectMap& parameters = {}) {
    engine->logEvent(origin, isPublic, name, parameters, env.now(), true, false, false, nullptr,
                     {});
    env.waitUntilIdle();
  }

  // Worker queue only.
  std::vector<APMRawEventData> allRawEvents() {
    return engine->database()->allRawEventsWithError(nullptr).value_or(
        std::vector<APMRawEventData>{});
  }

  // Waits, in real time (a server answers), until the condition holds on the worker queue.
  bool waitFor(const std::function<bool()>& condition, int limitSeconds = 30) {
    for (int i = 0; i < limitSeconds * 50; ++i) {
      env.waitUntilIdle();
      bool holds = false;
      onWorker([&] { holds = condition(); });
      if (holds) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Drops every stored raw event (the automatic start-up ones included).
  void clearRawEvents() {
    onWorker([&] {
      ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL("DELETE FROM raw_events", nullptr));
    });
  }

  // Logs an event with the given time and lets it settle.
  void logEventAt(const std::string& name, double timestamp, const APMObjectMap& parameters = {}) {
    engine->logEvent("app", true, name, parameters, timestamp, true, false, false, nullptr, {});
    env.waitUntilIdle();
  }

  std::vector<std::string> storedEventNames() {
    std::vector<std::string> names;
    onWorker([&] {
      auto events = engine->database()->allRawEventsWithError(nullptr);
      for (const APMRawEventData& raw : events.value_or(std::vector<APMRawEventData>{})) {
        names.push_back(NANOGetString(*raw.rawEvent(), APMPBEvent::kName).value_or(""));
      }
    });
    return names;
  }

  // The queued bundles, oldest first.
  std::vector<APMQueuedBundle> queued() {
    std::vector<APMQueuedBundle> bundles;
    onWorker([&] {
      bundles = engine->database()->queryBundlesWithCountLimit(100, 1 << 30, nullptr).value();
    });
    return bundles;
  }
  // Bundles every stored raw event; the number of bundles made.
  int bundleAll() {
    int made = 0;
    onWorker([&] {
      while (engine->bundleRawEvents()) ++made;
    });
    return made;
  }
  static std::vector<std::string> names(const APMQueuedBundle& entry) {
    std::vector<std::string> result;
    std::vector<APMPBEvent> events =
        NANOGetMessageArray<APMPBEvent>(entry.bundle, APMPBMeasurementBundle::kEvents).value();
    for (const APMPBEvent& event : events) {
      result.push_back(NANOGetString(event, APMPBEvent::kName).value_or(""));
    }
    return result;
  }

  APMDailyCounts dailyCounts() {
    std::optional<APMDailyCounts> counts;
    onWorker([&] { counts = engine->database()->dailyCounts(nullptr); });
    return counts.value();
  }

  std::filesystem::path base_;
  testsupport::DispatchTestEnvironment env;
  testsupport::LogCapture capture;
  std::shared_ptr<APMPersistedConfig> persistedConfig;
  std::shared_ptr<APMIdentity> identity;
  std::shared_ptr<APMMeasurement> engine;
  // Set before makeEngine to give the engine other feature objects.
  std::optional<APMFeatureServices> features;
  // Cleared before makeEngine for an identity without the service file's app ID.
  bool setsAppIDFromRZQ = true;
};

}  // namespace enginetest
