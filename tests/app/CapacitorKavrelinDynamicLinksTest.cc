#include "app/DynamicLinks/CapacitorKavrelinDynamicLinks.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/AppOutput.h"
#include "platform/capacitor/ApplicationDelegateProxy.h"
#include "platform/capacitor/CAPBridge.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSONSerialization.h"
#include "tests/platform/capacitor/RecordingPage.h"
#include "tests/support/ServiceProcess.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

class CapacitorKavrelinDynamicLinksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new testsupport::ServiceProcess(KVL_BINARY_DIR "/tools/link-service/link-service",
                                               {"--port", "0"});
  }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }
  void SetUp() override {
    bundle_ = fs::temp_directory_path() / ("dl-test-" + std::to_string(::getpid()));
    fs::create_directories(bundle_);
    std::ofstream(bundle_ / "Info.plist") << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.example.App</string>
<key>KavrelinDynamicLinksServiceURL</key><string>)" +
                                                 service_->baseURL() + R"(</string>
<key>KavrelinDynamicLinksDomains</key><array><string>links.example</string></array>
</dict></plist>)";
    platform::Bundle::setMainBundlePath(bundle_);
    AppOutput::setSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      changed_.notify_all();
    });
    testsupport::httpRequest("DELETE", service_->baseURL() + "/_control/script");
    bridge_ = platform::CAPBridge::create();
    plugin_ = std::make_shared<CapacitorKavrelinDynamicLinks>(
        bridge_, "CapacitorKavrelinDynamicLinks", "CapacitorKavrelinDynamicLinks");
    bridge_->registerPlugin(plugin_);
  }
  void TearDown() override {
    platform::DispatchQueue::waitUntilIdle();
    AppOutput::setSink(nullptr);
    fs::remove_all(bundle_);
  }

  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Waits until `count` frames reached the page (network answers come from the link service).
  std::vector<Value> frames(const std::shared_ptr<testsupport::RecordingPage>& page, size_t count) {
    // Bounded by rounds, not time: each round waits until every queue is idle.
    for (int round = 0; round < 100000 && (page->frames().size() < count); ++round) {
      platform::DispatchQueue::waitUntilIdle();
      std::this_thread::yield();
    }
    return page->frames();
  }
  // Calls `method`; the answer ("resolve <value>" or "reject <message>").
  std::string call(const std::string& method, const std::string& options) {
    auto page = std::make_shared<testsupport::RecordingPage>();
    bridge_->handleFrame(
        page, R"({"callbackId":"1","pluginId":"CapacitorKavrelinDynamicLinks","methodName":")" +
                  method + R"(","options":)" + options + "}");
    auto answer = frames(page, 1);
    if (answer.size() != 1) return "no answer";
    const Value& f = answer[0];
    if (*f.find("success")->asBool())
      return "resolve " + *f.find("data")->find("value")->asString();
    return "reject " + *f.find("error")->find("message")->asString();
  }

  static testsupport::ServiceProcess* service_;
  fs::path bundle_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::shared_ptr<platform::CAPBridge> bridge_;
  std::shared_ptr<CapacitorKavrelinDynamicLinks> plugin_;
};
testsupport::ServiceProcess* CapacitorKavrelinDynamicLinksTest::service_ = nullptr;

struct CreateCase {
  const char* name;
  std::string options;
  std::string answer;
};

TEST_F(CapacitorKavrelinDynamicLinksTest, LongLinksCheckTheirOptionsInOrder) {
  const std::string base =
      R"("uri":"https://app.example/p","domainUriPrefix":"https://links.example")";
  const std::string link = "https://links.example/?link=https%3A%2F%2Fapp.example%2Fp";
  const CreateCase cases[] = {
      {"nothing", "{}", "reject uri property is missing"},
      {"uri missing before prefix", R"({"domainUriPrefix":5})", "reject uri property is missing"},
      {"uri unparsable", R"({"uri":"not a url"})", "reject Unable to create link"},
      {"prefix missing", R"({"uri":"https://app.example/p"})",
       "reject domainUriPrefix property is missing"},
      {"prefix not a string", R"({"uri":"https://app.example/p","domainUriPrefix":1})",
       "reject domainUriPrefix property is missing"},
      {"prefix no web URL", R"({"uri":"https://app.example/p","domainUriPrefix":"links"})",
       "reject Unable to create link"},
      {"plain", "{" + base + "}", "resolve " + link},
      {"empty option objects set nothing",
       "{" + base + R"(,"quellinParameters":{},"iosParameters":{},"socialMeta":{}})",
       "resolve " + link},
      {"appStoreId a number is empty, the rest still set",
       "{" + base +
           R"(,"iosParameters":{"bundleId":"b","appStoreId":123,"customScheme":"s","minimumVersion":"2.1"}})",
       "resolve " + link + "&ibi=b&ius=s&imv=2.1"},
      {"bundleId missing", "{" + base + R"(,"iosParameters":{"appStoreId":"1"}})",
       "reject bundleId property is missing"},
      {"packageName not a string", "{" + base + R"(,"quellinParameters":{"packageName":7}})",
       "reject packageName property is missing"},
      {"bad fallback URL is empty; Quellin version an integer",
       "{" + base +
           R"(,"quellinParameters":{"packageName":"p","minimumVersion":12,"fallbackUrl":"bad url"}})",
       "resolve " + link + "&apn=p&amv=12"},
      {"Quellin version not an integer is unset",
       "{" + base + R"(,"quellinParameters":{"packageName":"p","minimumVersion":"12"}})",
       "resolve " + link + "&apn=p"},
      {"URL key holding a number is empty",
       "{" + base + R"(,"socialMeta":{"title":"T","description":"D x","imageUrl":5}})",
       "resolve " + link + "&st=T&sd=D%20x"},
      {"analytics and iTunes keys",
       "{" + base +
           R"(,"orvaneAnalytics":{"source":"s","campaign":"c"},"iTunesConnectAnalytics":{"providerToken":"p"}})",
       "resolve " + link + "&utm_source=s&utm_campaign=c&pt=p"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(mutex_);
      lines_.clear();
    }
    EXPECT_EQ(call("createDynamicLink", c.options), c.answer);
    auto printed = lines();
    if (c.answer.rfind("resolve ", 0) == 0) {
      EXPECT_EQ(printed, std::vector<std::string>{"The long URL is: " + c.answer.substr(8)});
    } else {
      EXPECT_TRUE(printed.empty());
    }
  }
}

TEST_F(CapacitorKavrelinDynamicLinksTest, ShortLinksComeFromTheLinkServiceAndResolveBack) {
  const std::string options =
      R"({"uri":"https://app.example/s","domainUriPrefix":"https://links.example"})";
  std::string answer = call("createDynamicShortLink", options);
  ASSERT_EQ(answer.rfind("resolve https://links.example/s", 0), 0u) << answer;
  const std::string shortLink = answer.substr(8);
  EXPECT_EQ(lines(),
            (std::vector<std::string>{
                "The long URL is: https://links.example/?link=https%3A%2F%2Fapp.example%2Fs",
                "The short URL is: " + shortLink}));

  // The short link opening the app resolves to its deep link, kept until a listener comes.
  platform::ApplicationDelegateProxy::shared().applicationContinue(
      {platform::NSUserActivityTypeBrowsingWeb, shortLink}, {});
  auto page = std::make_shared<testsupport::RecordingPage>();
  // Bounded by rounds, not time: each round waits until every queue is idle.
  for (int round = 0; round < 100000 && (lines().size() < 3); ++round) {
    platform::DispatchQueue::waitUntilIdle();
  }
  bridge_->handleFrame(
      page,
      R"({"callbackId":"L","pluginId":"CapacitorKavrelinDynamicLinks","methodName":"addListener","options":{"eventName":"deepLinkOpen"}})");
  auto events = frames(page, 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(*events[0].find("data")->find("url")->asString(), "https://app.example/s");
  EXPECT_EQ(lines().back(),
            "CapacitorKavrelinDynamicLinks.handleLink() - url: https://app.example/s");
}

TEST_F(CapacitorKavrelinDynamicLinksTest, AFailedShorteningPrintsTheErrorAndRejects) {
  testsupport::httpRequest("POST", service_->baseURL() + "/_control/script", {},
                           R"({"path":"/v1/shortLinks","status":503,"body":"busy","times":1})");
  EXPECT_EQ(call("createDynamicShortLink",
                 R"({"uri":"https://app.example/s","domainUriPrefix":"https://links.example"})"),
            "reject Unable to create link");
  EXPECT_EQ(lines().back(),
            "createDynamicShortLink -> error: Optional(\"The link service answered status 503.\")");
}

struct OpenCase {
  const char* name;
  bool universal;
  Value url;
  std::vector<std::string> printed;
  std::optional<std::string> event;
  // Where the runtime's {"url"} dictionary travels: the notification's object, or (wrongly)
  // its user info.
  bool inUserInfo = false;
};

TEST_F(CapacitorKavrelinDynamicLinksTest, OpenedURLsBecomeEventsOrLines) {
  const OpenCase cases[] = {
      {"custom-scheme link",
       false,
       Value("com.example.app://google/link/?deep_link_id=https%3A%2F%2Fapp.example%2Fc"),
       {"CapacitorKavrelinDynamicLinks.handleLink() - url: https://app.example/c"},
       "https://app.example/c"},
      {"custom-scheme URL that is no link",
       false,
       Value("com.example.app://settings"),
       {},
       std::nullopt},
      {"other scheme", false, Value("https://app.example/x?link=y"), {}, std::nullopt},
      {"unparsable",
       false,
       Value("not a url"),
       {"CapacitorKavrelinDynamicLinks.handleUrlOpened() - couldn't parse url from notification"},
       std::nullopt},
      {"no URL in the notification",
       false,
       Value(5),
       {"CapacitorKavrelinDynamicLinks.handleUrlOpened() - couldn't parse url from notification"},
       std::nullopt},
      {"universal link of another domain",
       true,
       Value("https://other.example/a"),
       {"  CapacitorKavrelinDynamicLinks.handleUniversalLink()",
        "  Unable to parse dynamic link. Please ensure you have set up Kavrelin Dynamic Links "
        "correctly."},
       std::nullopt},
      {"universal long link",
       true,
       Value("https://links.example/?link=https%3A%2F%2Fapp.example%2Fu"),
       {"CapacitorKavrelinDynamicLinks.handleLink() - url: https://app.example/u"},
       "https://app.example/u"},
      {"universal link the service does not know",
       true,
       Value("https://links.example/zzz"),
       {},
       std::nullopt},
      {"universal, unparsable",
       true,
       Value("::"),
       {"CapacitorKavrelinDynamicLinks.handleUniversalLink() - couldn't parse url from "
        "notification"},
       std::nullopt},
      {"link in the user info, not the object",
       false,
       Value("com.example.app://google/link/?deep_link_id=https%3A%2F%2Fapp.example%2Fc"),
       {"CapacitorKavrelinDynamicLinks.handleUrlOpened() - couldn't parse url from notification"},
       std::nullopt,
       true},
      {"universal link in the user info, not the object",
       true,
       Value("https://links.example/?link=https%3A%2F%2Fapp.example%2Fu"),
       {"CapacitorKavrelinDynamicLinks.handleUniversalLink() - couldn't parse url from "
        "notification"},
       std::nullopt,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(mutex_);
      lines_.clear();
    }
    auto page = std::make_shared<testsupport::RecordingPage>();
    bridge_->handleFrame(
        page,
        R"({"callbackId":"L","pluginId":"CapacitorKavrelinDynamicLinks","methodName":"addListener","options":{"eventName":"deepLinkOpen"}})");
    platform::DispatchQueue::waitUntilIdle();
    const char* name = c.universal ? platform::kCapacitorOpenUniversalLinkNotification
                                   : platform::kCapacitorOpenURLNotification;
    Value dictionary = Value::Dictionary{{"url", c.url}};
    if (c.inUserInfo) {
      platform::NotificationCenter::defaultCenter().postNotificationName(name, nullptr, dictionary);
    } else {
      platform::NotificationCenter::defaultCenter().postNotificationNameWithObject(
          name, std::make_shared<const Value>(dictionary));
    }
    auto events = frames(page, c.event ? 1 : 0);
    // Resolution through the service has answered once the service saw the request.
    platform::DispatchQueue::waitUntilIdle();
    EXPECT_EQ(lines(), c.printed);
    ASSERT_EQ(events.size(), c.event ? 1u : 0u);
    if (c.event) {
      EXPECT_EQ(*events[0].find("data")->find("url")->asString(), *c.event);
    }
    page->close();
    bridge_->pageClosed(page);
  }
}

}  // namespace
