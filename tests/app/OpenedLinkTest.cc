// The links the app takes (run.sh open-url, --launch-url): one rule for both, the launch
// options they make, read back by the measurement library's launch handling, and the call the
// delegate gets for each kind.
#include "app/OpenedLink.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/AppContainer.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace {

using platform::Value;

TEST(OpenedLinkTest, AcceptsWhatTheSystemCouldOpen) {
  struct Row {
    std::string text;
    bool accepted;
    OpenedLink::Kind kind = OpenedLink::Kind::kURL;
  };
  const std::string query = "com.orvane.kavrelin.app://open?utm_source=";
  const Row rows[] = {
      {query + "news&utm_campaign=spring", true},
      // Repeated keys and an escape that decodes to no text are the reader's concern.
      {query + "a&utm_source=b", true},
      {query + "%FF", true},
      {"HTTPS://app.example/x?utm_source=web", true, OpenedLink::Kind::kUniversalLink},
      {"http://app.example", true, OpenedLink::Kind::kUniversalLink},
      {"mailto:someone@app.example", true},
      {"not a url", false},
      {"", false},
      {query + "%zz", false},
      {query + "%4", false},
      {"com.orvane.kavrelin.app:", false},
      {"https:///path", false},
      {"http://:8080/x", false},
      {std::string("app://x?a=") + '\0' + "b", false},
      {"app://x?a=\xc3\xa9", false},
      {query + std::string(OpenedLink::kMaxLength - query.size(), 'n'), true},
      {query + std::string(OpenedLink::kMaxLength - query.size() + 1, 'n'), false},
      {query + std::string(128 * 1024, 'n'), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 80));
    absl::StatusOr<OpenedLink> link = OpenedLink::fromText(row.text);
    ASSERT_EQ(link.ok(), row.accepted) << link.status();
    if (!row.accepted) {
      EXPECT_EQ(link.status().code(), absl::StatusCode::kInvalidArgument);
      continue;
    }
    EXPECT_EQ(link->kind(), row.kind);
    EXPECT_EQ(link->url(), row.text);
  }
}

// What a delegate is handed: the URL to open, or a web-browsing activity with its page.
class RecordingDelegate : public UIApplicationDelegate,
                          public UIApplicationOpenURLDelegate,
                          public UIApplicationContinueUserActivityDelegate {
 public:
  bool applicationOpenURL(const std::string& url, const Value::Dictionary&) override {
    calls.push_back("open " + url);
    return true;
  }
  bool applicationContinueUserActivity(const platform::NSUserActivity& activity,
                                       const RestorationHandler&) override {
    calls.push_back("continue " + activity.activityType + " " + activity.webpageURL.value_or(""));
    return true;
  }
  std::vector<std::string> calls;
};

class OpenedLinkLaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-opened-link-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    ASSERT_TRUE(platform::AppContainer::setRoot(base_).ok());
    // Universal links count from system version 9 on.
    OULAppEnvironmentUtil::Configuration device = OULAppEnvironmentUtil::machineConfiguration();
    device.systemVersion = "17.4";
    OULAppEnvironmentUtil::setConfiguration(device);
    APMMeasurement::subscribeForAppDidFinishLaunchingNotifications();
    application_->setDelegate(delegate_);
  }
  void TearDown() override {
    APMUserDefaults::sharedUserDefaults()->removeObjectForKey("/orvane/measurement/deep_link");
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
    env_.finish();
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }

  static std::optional<std::string> cachedLink() {
    std::optional<Value> link =
        APMUserDefaults::sharedUserDefaults()->objectForKey("/orvane/measurement/deep_link");
    if (!link || !link->isString()) return std::nullopt;
    return *link->asString();
  }

  std::filesystem::path base_;
  testsupport::DispatchTestEnvironment env_;
  std::shared_ptr<UIApplication> application_ = std::make_shared<UIApplication>();
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

// The launch options reach the library through the did-finish-launching notification, in the
// form it reads: both kinds of link are cached for its start-up. Then the delegate gets the
// link as the system hands it after such a launch.
TEST_F(OpenedLinkLaunchTest, LaunchOptionsAreCachedAndTheLinkReachesTheDelegate) {
  struct Row {
    const char* text;
    const char* delivered;
  };
  const Row rows[] = {
      {"com.orvane.kavrelin.app://open?utm_source=news", "open "},
      {"https://app.example/x?utm_source=web", "continue NSUserActivityTypeBrowsingWeb "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    application_->resetForTesting();
    delegate_->calls.clear();
    APMUserDefaults::sharedUserDefaults()->removeObjectForKey("/orvane/measurement/deep_link");
    absl::StatusOr<OpenedLink> link = OpenedLink::fromText(row.text);
    ASSERT_TRUE(link.ok());
    application_->didFinishLaunching(Value(link->launchOptions()));
    EXPECT_EQ(cachedLink(), row.text);
    link->deliver(*application_);
    EXPECT_EQ(delegate_->calls, std::vector<std::string>{row.delivered + std::string(row.text)});
  }
}

}  // namespace
