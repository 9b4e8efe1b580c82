#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace environmenttest {

// A fresh app container and app bundle folder under the system's temporary directory,
// installed as the process's container and main bundle, with a manual clock. Everything
// is removed and restored when the fixture ends.
class ContainerTest : public ::testing::Test {
 protected:
  static constexpr const char* kAppDomain = "com.example.kavrelin.app";

  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-environment-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    root_ = base_ / "container";
    bundle_ = base_ / "Demo.app";
    std::filesystem::create_directories(bundle_);
    ASSERT_TRUE(platform::AppContainer::setRoot(root_).ok());
    platform::Bundle::setMainBundlePath(bundle_);
    platform::PreferenceStore::resetForTesting();
    platform::PreferenceStore::setCurrentApplicationDomain(kAppDomain);
  }

  void TearDown() override {
    // Work that the monitor or a preference suite queued must not write into a container
    // that is going away.
    env_.finish();
    platform::PreferenceStore::resetForTesting();
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
    platform::ProcessInfo::processInfo().resetForTesting();
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }

  // Writes Info.plist into the bundle and reinstalls the bundle so that it is read anew.
  void writeInfoPlist(const platform::Value::Dictionary& info) {
    auto data = platform::PropertyListSerialization::dataWithPropertyList(
        platform::Value(info), platform::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(data.ok());
    writeFile(bundle_ / "Info.plist", *data);
    platform::Bundle::setMainBundlePath(bundle_);
  }

  void configureDevice(std::string model, bool fromAppStore = false) {
    OULAppEnvironmentUtil::Configuration configuration;
    configuration.deviceModel = std::move(model);
    configuration.systemVersion = "17.2.1";
    configuration.isFromAppStore = fromAppStore;
    OULAppEnvironmentUtil::setConfiguration(configuration);
  }

  static void writeFile(const std::filesystem::path& path, const std::string& data) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
  }

  static std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }

  std::filesystem::path preferencesFile(const std::string& domain) const {
    return root_ / "Library" / "Preferences" / (domain + ".plist");
  }

  std::filesystem::path base_;
  std::filesystem::path root_;
  std::filesystem::path bundle_;
  testsupport::DispatchTestEnvironment env_{1'700'000'000.0};
  std::shared_ptr<platform::ManualClock> clock_ = env_.sharedClock();
};

}  // namespace environmenttest
