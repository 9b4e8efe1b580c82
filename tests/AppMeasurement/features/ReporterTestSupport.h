#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/features/APMAdExposureReporter.h"
#include "AppMeasurement/features/APMReporterFacade.h"
#include "AppMeasurement/features/APMScreenClassName.h"
#include "AppMeasurement/features/APMScreenViewReporter.h"
#include "AppMeasurement/features/APMSessionReporter.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"
#include "platform/utilities/OULOSLog.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/LogCapture.h"

namespace reportertest {

// One event or user property a reporter handed to the facade.
struct Logged {
  std::string origin;
  std::string name;
  APMObjectMap parameters;
  std::optional<double> timestamp;  // the given time, when the reporter gave one
  bool isProperty = false;
  std::optional<APMValue> value;  // a property's value (nothing: removed)

  const APMValue* parameter(const std::string& key) const {
    auto found = parameters.find(key);
    return found == parameters.end() ? nullptr : found->second.asValue();
  }
  std::optional<int64_t> integer(const std::string& key) const {
    const APMValue* value = parameter(key);
    if (!value || !value->isInt64()) return std::nullopt;
    return value->int64Value();
  }
  std::optional<std::string> text(const std::string& key) const {
    const APMValue* value = parameter(key);
    if (!value || !value->isString()) return std::nullopt;
    return *value->stringValue();
  }
};

// Records what the reporters log instead of handing it to an engine.
class RecordingFacade : public APMReporterFacade {
 public:
  void logInternalEvent(const std::string& origin, const std::string& name,
                        const APMObjectMap& parameters) override {
    add({origin, name, parameters, std::nullopt});
  }
  void logInternalEvent(const std::string& origin, const std::string& name, double timestamp,
                        const APMObjectMap& parameters) override {
    add({origin, name, parameters, timestamp});
  }
  void setInternalUserProperty(const std::optional<APMValue>& value, const std::string& name,
                               const std::string& origin) override {
    add({origin, name, {}, std::nullopt, true, value});
  }
  bool isEngineEnabled() override { return true; }

  std::vector<Logged> events(const std::string& name = "") const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Logged> found;
    for (const Logged& logged : logged_) {
      if (!logged.isProperty && (name.empty() || logged.name == name)) found.push_back(logged);
    }
    return found;
  }
  std::vector<Logged> properties() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Logged> found;
    for (const Logged& logged : logged_) {
      if (logged.isProperty) found.push_back(logged);
    }
    return found;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    logged_.clear();
  }

 private:
  void add(Logged logged) {
    std::lock_guard<std::mutex> lock(mutex_);
    logged_.push_back(std::move(logged));
  }
  mutable std::mutex mutex_;
  std::vector<Logged> logged_;
};

// Virtual time, a fresh container and app bundle, the reporters installed behind the seams and
// logging into a recorder, the appearance hooks in place, and an application object whose
// life cycle the test drives.
class ReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-reporters-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    ASSERT_TRUE(platform::AppContainer::setRoot(base_ / "container").ok());
    originalBundle_ = platform::Bundle::mainBundle()->bundlePath();
    useInfoPlist({});
    OULSetLoggerLevel(OULLoggerLevelDebug);
    APMReporterFacade::install(facade);
    persistedConfig = APMPersistedConfig::create("reporter-test");
    sessions = APMSessionReporter::create();
    APMFeatureServices services = APMFeatureServices::neutral();
    services.sessionReporter = sessions;
    services.screenViewReporter = screens;
    APMFeatureServices::install(services);
    APMInstallViewControllerAppearanceHooks();
    screens->resetForTesting();
    ads->resetForTesting();
    application = std::make_shared<UIApplication>();
  }

  void TearDown() override {
    if (sessions) sessions->setReportingEnabled(false);
    env.waitUntilIdle();
    UIWindow::closeAllWindowsForTesting();
    screens->resetForTesting();
    ads->resetForTesting();
    setRemoteSettings({});
    APMFeatureServices::install(APMFeatureServices::neutral());
    APMReporterFacade::install(nullptr);
    sessions.reset();
    env.finish();
    OULSetLoggerLevel(OULLoggerLevelNotice);
    platform::Bundle::setMainBundlePath(originalBundle_);
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }

  // A main bundle whose Info.plist holds these keys.
  void useInfoPlist(const platform::Value::Dictionary& keys) {
    static int serial = 0;
    std::filesystem::path bundle = base_ / ("Demo" + std::to_string(++serial) + ".app");
    std::filesystem::create_directories(bundle);
    auto data = platform::PropertyListSerialization::dataWithPropertyList(
        platform::Value(keys), platform::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(data.ok());
    std::ofstream(bundle / "Info.plist") << *data;
    platform::Bundle::setMainBundlePath(bundle);
  }

  // The remote settings every reporter reads (the default configuration, as no engine runs).
  static void setRemoteSettings(std::vector<std::pair<std::string, std::string>> settings) {
    settings.emplace_back("measurement.test.placeholder", "0");  // an empty list is refused
    APMRemoteConfig::defaultInstance()->parseRemoteConfigFromMeasurementConfig(
        enginetest::makeConfig("", settings));
  }

  // The session reporter as the engine's component block leaves it, reporting on.
  void startSessions() {
    sessions->resetWithPersistedConfig(persistedConfig);
    sessions->setReportingEnabled(true);
    env.waitUntilIdle();
  }

  void becomeActive() {
    application->didBecomeActive();
    env.waitUntilIdle();
  }
  void resignActive() {
    application->willResignActive();
    env.waitUntilIdle();
  }
  void enterBackground() {
    application->willResignActive();
    application->didEnterBackground();
    env.waitUntilIdle();
  }
  void returnToForeground() {
    application->willEnterForeground();
    application->didBecomeActive();
    env.waitUntilIdle();
  }

  // A controller of the app's own code.
  static std::shared_ptr<UIViewController> controller(const std::string& className) {
    return std::make_shared<UIViewController>(
        UIViewController::ClassInfo{className, "UIViewController", true});
  }
  // A key window showing `root`.
  std::shared_ptr<UIWindow> showInKeyWindow(const std::shared_ptr<UIViewController>& root) {
    std::shared_ptr<UIWindow> window = UIWindow::create();
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    env.waitUntilIdle();
    return window;
  }

  std::vector<Logged> screenViews() { return facade->events("_vs"); }
  // Whether a line with this message code ("I-ACS%06d") was written; the monitor writes on its
  // own queue, so the queues settle first.
  bool logged(int code) {
    env.waitUntilIdle();
    char text[16];
    std::snprintf(text, sizeof text, "I-ACS%06d", code);
    return capture.contains(text);
  }

  testsupport::DispatchTestEnvironment env;
  testsupport::LogCapture capture;
  std::filesystem::path base_;
  std::filesystem::path originalBundle_;
  std::shared_ptr<RecordingFacade> facade = std::make_shared<RecordingFacade>();
  std::shared_ptr<APMPersistedConfig> persistedConfig;
  std::shared_ptr<APMSessionReporter> sessions;
  std::shared_ptr<APMScreenViewReporter> screens = APMScreenViewReporter::sharedInstance();
  std::shared_ptr<APMAdExposureReporter> ads = APMAdExposureReporter::sharedInstance();
  std::shared_ptr<UIApplication> application;
};

}  // namespace reportertest
