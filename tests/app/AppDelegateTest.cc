#include "app/AppDelegate.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/AppOutput.h"
#include "platform/facebook/FBSDKSettings.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"

namespace {

namespace fs = std::filesystem;

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle_ = fs::temp_directory_path() / ("delegate-test-" + std::to_string(::getpid()));
    fs::create_directories(bundle_);
    // The SDK's service is unreachable here: activation and AEM reports fail quietly.
    std::ofstream(bundle_ / "Info.plist") << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>FacebookAppID</key><string>42</string>
<key>FacebookServiceURL</key><string>http://127.0.0.1:9</string></dict></plist>)";
    platform::Bundle::setMainBundlePath(bundle_);
    AppOutput::setSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
    observer_ = platform::NotificationCenter::defaultCenter().addObserverForName(
        platform::kCapacitorOpenURLNotification, nullptr, nullptr,
        [this](const platform::Notification& n) {
          std::lock_guard lock(mutex_);
          relayed_.push_back(*n.objectValue->find("url")->asString());
        });
  }
  void TearDown() override {
    platform::NotificationCenter::defaultCenter().removeObserver(observer_);
    AppOutput::setSink(nullptr);
    fs::remove_all(bundle_);
  }
  fs::path bundle_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<std::string> relayed_;
  platform::NotificationCenter::ObserverToken observer_ = 0;
  AppDelegate delegate_;
};

TEST_F(AppDelegateTest, LaunchPrintsTheAutoLogSettingAndAnswersTrue) {
  EXPECT_TRUE(delegate_.didFinishLaunchingWithOptions({}));
  EXPECT_EQ(lines_, std::vector<std::string>{"Facebook: check if autolog enabled: true"});
  EXPECT_TRUE(FBSDKSettings::shared().isLoggingBehaviorEnabled(FBSDKLoggingBehaviorAppEvents));
}

TEST_F(AppDelegateTest, URLsTheSDKClaimsNeverReachThePlugIns) {
  struct Case {
    const char* url;
    platform::Value::Dictionary options;
    bool relayed;
  };
  const Case cases[] = {
      {"fb42://authorize?x=1", {}, false},
      {"FB42://authorize",
       {{UIApplicationOpenURLOptionsSourceApplicationKey, platform::Value(7)}},
       false},
      {"fb43://authorize", {}, true},
      {"com.example.app://x",
       {{UIApplicationOpenURLOptionsSourceApplicationKey, platform::Value("s")}},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    relayed_.clear();
    EXPECT_TRUE(delegate_.openURL(c.url, c.options));
    EXPECT_EQ(relayed_.size(), c.relayed ? 1u : 0u);
  }
}

TEST_F(AppDelegateTest, EachActivationAsksAgainAndOnlyStatusThreeSwitchesTrackingOn) {
  struct Case {
    int status;
    const char* line;
    bool tracking;
  };
  const Case cases[] = {{3, "Asking for ATT permissions (authorized)", true},
                        {2, "Asking for ATT permissions (denied)", false},
                        {3, "Asking for ATT permissions (authorized)", true},
                        {1, "Asking for ATT permissions (default)", false},
                        {0, "Asking for ATT permissions (default)", false}};
  int asked = 0;
  int status = 0;
  // The framework answers on a thread of its own.
  delegate_.setTrackingRequest([&](std::function<void(int)> completion) {
    ++asked;
    std::thread([completion, status] { completion(status); }).join();
  });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    lines_.clear();
    status = c.status;
    delegate_.applicationDidBecomeActive();
    EXPECT_EQ(lines_, std::vector<std::string>{c.line});
    EXPECT_EQ(FBSDKSettings::shared().isAdvertiserTrackingEnabled, c.tracking);
  }
  EXPECT_EQ(asked, 5);
}

}  // namespace
