#include "app/FacebookLogin/FacebookLoginPlugin.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "app/AppOutput.h"
#include "platform/capacitor/CAPBridge.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/facebook/FBSDKSettings.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSONSerialization.h"
#include "tests/platform/capacitor/RecordingPage.h"
#include "tests/support/ServiceProcess.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

class FacebookLoginPluginTest : public ::testing::Test {
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
    bundle_ = fs::temp_directory_path() / ("fb-test-" + std::to_string(::getpid()));
    fs::create_directories(bundle_);
    std::ofstream(bundle_ / "Info.plist") << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>FacebookAppID</key><string>42</string>
<key>FacebookServiceURL</key><string>)" + service_->baseURL() +
                                                 R"(</string>
</dict></plist>)";
    platform::Bundle::setMainBundlePath(bundle_);
    AppOutput::setSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
    testsupport::httpRequest("DELETE", service_->baseURL() + "/_control/script");
    testsupport::httpRequest("DELETE", service_->baseURL() + "/_control/requests");
    bridge_ = platform::CAPBridge::create();
    bridge_->setViewController(std::make_shared<platform::CAPBridgeViewController>());
    bridge_->registerPlugin(
        std::make_shared<FacebookLoginPlugin>(bridge_, "FacebookLoginPlugin", "FacebookLogin"));
    LoginManager().logOut();
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
  // Calls `method` and waits for its one answer: "resolve", "resolve <data JSON>" or
  // "reject <message>".
  std::string call(const std::string& method, const std::string& options) {
    auto page = std::make_shared<testsupport::RecordingPage>();
    bridge_->handleFrame(page, R"({"callbackId":"1","pluginId":"FacebookLogin","methodName":")" +
                                   method + R"(","options":)" + options + "}");
    // Bounded by rounds, not time: each round waits until every queue is idle.
    for (int round = 0; round < 100000 && (page->frames().empty()); ++round) {
      platform::DispatchQueue::waitUntilIdle();
    }
    auto frames = page->frames();
    if (frames.size() != 1) return "answers: " + std::to_string(frames.size());
    const Value& f = frames[0];
    if (!*f.find("success")->asBool())
      return "reject " + *f.find("error")->find("message")->asString();
    const Value* data = f.find("data");
    return data ? "resolve " + *platform::JSONSerialization::dataWithJSONObject(*data) : "resolve";
  }
  // The bodies the service received at `path`.
  std::vector<Value> received(const std::string& path) {
    auto all = *platform::JSONSerialization::JSONObjectWithData(
        testsupport::httpRequest("GET", service_->baseURL() + "/_control/requests").body);
    std::vector<Value> out;
    for (const Value& r : *all.asArray()) {
      if (*r.find("path")->asString() != path) continue;
      auto text = *r.find("body_base64")->asString();
      std::string decoded;
      // The service records bodies in Base64; JSON bodies here are plain ASCII.
      static const std::string kAlphabet =
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
      int bits = 0, buffer = 0;
      for (char c : text) {
        auto i = kAlphabet.find(c);
        if (i == std::string::npos) continue;
        buffer = (buffer << 6) | static_cast<int>(i);
        bits += 6;
        if (bits >= 8) {
          bits -= 8;
          decoded += static_cast<char>((buffer >> bits) & 0xff);
        }
      }
      out.push_back(platform::JSONSerialization::JSONObjectWithData(decoded).value_or(Value()));
    }
    return out;
  }
  void script(const std::string& json) {
    testsupport::httpRequest("POST", service_->baseURL() + "/_control/script", {}, json);
  }

  static testsupport::ServiceProcess* service_;
  fs::path bundle_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::shared_ptr<platform::CAPBridge> bridge_;
};
testsupport::ServiceProcess* FacebookLoginPluginTest::service_ = nullptr;

constexpr const char* kToken =
    R"(resolve {"accessToken":{"email":null,"name":"Test User","token":"authentication-token-1","userId":"1001"}})";

TEST_F(FacebookLoginPluginTest, OptionChecksAndTheirTextsComeFirst) {
  struct Case {
    const char* method;
    const char* options;
    std::string answer;
  };
  const Case cases[] = {
      {"initialize", "{}", "resolve"},
      {"getProfile", "{}",
       "reject You're not logged in. Call FacebookLogin.login() first to obtain an access token."},
      {"getCurrentAccessToken", "{}", "resolve"},
      {"login", "{}", "reject Missing permissions argument"},
      {"login", R"({"permissions":"email"})", "reject Missing permissions argument"},
      {"login", R"({"permissions":["email",3]})", "reject Missing permissions argument"},
      {"logEvent", "{}", "resolve"},
      {"setAdvertiserTrackingEnabled", "{}", "resolve"},
      {"setAutoLogAppEventsEnabled", R"({"enabled":"yes"})", "resolve"},
      {"setAdvertiserIDCollectionEnabled", R"({"enabled":true})", "resolve"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + c.options);
    EXPECT_EQ(call(c.method, c.options), c.answer);
  }
  EXPECT_FALSE(FBSDKSettings::shared().isAdvertiserTrackingEnabled);
  EXPECT_FALSE(FBSDKSettings::shared().isAutoLogAppEventsEnabled);
  EXPECT_TRUE(FBSDKSettings::shared().isAdvertiserIDCollectionEnabled);
  EXPECT_TRUE(received("/v1/app_events").empty());  // no eventName, nothing logged
}

TEST_F(FacebookLoginPluginTest, LoginSendsOnlyTheNonceDigestAndTheTrackingMode) {
  struct Case {
    const char* options;
    std::optional<std::string> nonce;  // what the service receives
    const char* tracking;
  };
  const Case cases[] = {
      // SHA-256("abc"), the published FIPS 180-2 vector.
      {R"({"permissions":["email"],"nonce":"abc"})",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "limited"},
      {R"({"permissions":[],"nonce":"","tracking":"enabled"})", std::nullopt, "enabled"},
      {R"({"permissions":["email"],"tracking":"LIMITED"})", std::nullopt, "enabled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    testsupport::httpRequest("DELETE", service_->baseURL() + "/_control/requests");
    EXPECT_EQ(call("login", c.options), kToken);
    auto bodies = received("/v1/login");
    ASSERT_EQ(bodies.size(), 1u);
    const Value* nonce = bodies[0].find("nonce");
    EXPECT_EQ(nonce ? std::optional<std::string>(*nonce->asString()) : std::nullopt, c.nonce);
    EXPECT_EQ(*bodies[0].find("tracking")->asString(), c.tracking);
  }
  EXPECT_EQ(lines(), (std::vector<std::string>{"Logged in", "Logged in", "Logged in"}));
}

TEST_F(FacebookLoginPluginTest, LoginOutcomes) {
  struct Case {
    const char* name;
    std::string script;
    const char* options;
    std::string answer;
    std::vector<std::string> printed;
  };
  const Case cases[] = {
      {"cancelled",
       R"({"path":"/v1/login","status":200,"body":"{\"result\":\"cancelled\"}","times":1})",
       R"({"permissions":["email"]})",
       "resolve",
       {"User cancelled login"}},
      {"failed",
       R"({"path":"/v1/login","status":500,"body":"no","times":1})",
       R"({"permissions":["email"]})",
       "reject LoginManager.logIn failed",
       {}},
      {"failed without an error",
       R"({"path":"/v1/login","status":200,"body":"{\"result\":\"denied\"}","times":1})",
       R"({"permissions":["email"]})",
       "reject LoginManager.logIn failed",
       {}},
      {"refused configuration",
       "",
       R"({"permissions":["email","has space"]})",
       "reject LoginManager.logIn failed",
       {"LoginManager.logIn: The login configuration was refused: the permission \"has space\" is "
        "empty or holds whitespace."}},
      {"success without a profile",
       R"({"path":"/v1/login","status":200,"body":"{\"result\":\"success\",\"accessToken\":\"t\",\"userId\":\"9\"}","times":1})",
       R"({"permissions":["email"]})",
       "resolve",
       {"Logged in"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoginManager().logOut();
    {
      std::lock_guard lock(mutex_);
      lines_.clear();
    }
    if (!c.script.empty()) script(c.script);
    EXPECT_EQ(call("login", c.options), c.answer);
    EXPECT_EQ(lines(), c.printed);
  }
}

TEST_F(FacebookLoginPluginTest, ProfileTokenReauthorisationAndLogout) {
  ASSERT_EQ(call("login", R"({"permissions":["email"]})"), kToken);
  EXPECT_EQ(call("getCurrentAccessToken", "{}"), kToken);
  EXPECT_EQ(call("getProfile", "{}"), "reject Missing fields argument");
  EXPECT_EQ(call("getProfile", R"({"fields":["a",1]})"), "reject Missing fields argument");
  EXPECT_EQ(
      call("getProfile", R"({"fields":["a","b"]})"),
      R"(resolve {"id":"1001","path":"/v1/graph/me","query":"fields=a%2Cb&access_token=access-token-1"})");
  script(R"({"path":"/v1/graph/me","status":200,"body":"[1]","times":1})");
  EXPECT_EQ(call("getProfile", R"({"fields":["a"]})"), "reject An error has been occured.");
  script(R"({"path":"/v1/graph/me","status":500,"body":"x","times":1})");
  EXPECT_EQ(call("getProfile", R"({"fields":["a"]})"), "reject An error has been occured.");
  EXPECT_EQ(call("reauthorize", "{}"), kToken);
  EXPECT_TRUE(received("/v1/reauthorize").empty());  // data access still valid

  EXPECT_EQ(call("logEvent", R"({"eventName":"tutorial_done"})"), "resolve");
  // Bounded by rounds, not time: each round waits until every queue is idle.
  for (int round = 0; round < 100000 && (received("/v1/app_events").empty()); ++round) {
    platform::DispatchQueue::waitUntilIdle();
  }
  auto events = received("/v1/app_events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(*events[0].find("event")->asString(), "tutorial_done");

  EXPECT_EQ(call("logout", "{}"), "resolve");
  EXPECT_EQ(FBSDKAccessToken::currentAccessToken(), nullptr);
  EXPECT_EQ(call("getCurrentAccessToken", "{}"), "resolve");
}

TEST_F(FacebookLoginPluginTest, ReauthorisationWithoutAValidTokenAsksTheService) {
  struct Case {
    const char* name;
    std::string script;
    bool viewController;
    std::string answer;
  };
  const Case cases[] = {
      {"fresh token", "", true, "resolve"},  // a token but no profile or authentication token
      {"service error", R"({"path":"/v1/reauthorize","status":500,"body":"x","times":1})", true,
       "reject LoginManager.reauthorize failed"},
      {"neither token nor error",
       R"({"path":"/v1/reauthorize","status":200,"body":"{}","times":1})", true,
       "reject LoginManager.reauthorize failed"},
      {"no view controller", "", false, "reject LoginManager.reauthorize failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoginManager().logOut();
    bridge_->setViewController(
        c.viewController ? std::make_shared<platform::CAPBridgeViewController>() : nullptr);
    if (!c.script.empty()) script(c.script);
    EXPECT_EQ(call("reauthorize", "{}"), c.answer);
  }
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "The login service answered status 500.",
                         "LoginManager.reauthorize: no token and no error",
                         "LoginManager.reauthorize: no view controller to present from"}));
}

}  // namespace
