// The links the app takes (run.sh open-url, --launch-url): one rule for both, and the launch
// options they make, read back by the measurement library's launch handling.
#include "app/OpenedLink.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/AppContainer.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace {

using platform::Value;

// The schemes of the app's own Info.plist (app/bundle).
std::set<std::string> appSchemes() {
  Value::Dictionary info;
  Value::Array types;
  types.push_back(Value(Value::Dictionary{
      {"CFBundleURLSchemes", Value(Value::Array{Value("com.orvane.kavrelin.app")})}}));
  types.push_back(
      Value(Value::Dictionary{{"CFBundleURLSchemes", Value(Value::Array{Value("fb1234567890")})}}));
  info.emplace("CFBundleURLTypes", Value(std::move(types)));
  return OpenedLink::declaredSchemes(info);
}

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
      // Only the custom schemes the app declares, in any case.
      {"COM.Orvane.Kavrelin.App://open?utm_source=news", true},
      {"fb1234567890://authorize#access_token=t", true},
      {"mailto:someone@app.example", false},
      {"javascript:alert(1)", false},
      {"other.app://open?utm_source=news", false},
      {"fb://authorize", false},
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
    absl::StatusOr<OpenedLink> link = OpenedLink::fromText(row.text, appSchemes());
    ASSERT_EQ(link.ok(), row.accepted) << link.status();
    if (!row.accepted) {
      EXPECT_EQ(link.status().code(), absl::StatusCode::kInvalidArgument);
      continue;
    }
    EXPECT_EQ(link->kind(), row.kind);
    EXPECT_EQ(link->url(), row.text);
  }
}

// What an Info.plist declares, read as the system reads it; entries of another shape are
// skipped, not fatal.
TEST(OpenedLinkTest, DeclaredSchemesComeFromTheURLTypes) {
  auto schemes = [](Value types) {
    return OpenedLink::declaredSchemes(Value::Dictionary{{"CFBundleURLTypes", std::move(types)}});
  };
  EXPECT_EQ(appSchemes(), (std::set<std::string>{"com.orvane.kavrelin.app", "fb1234567890"}));
  EXPECT_TRUE(OpenedLink::declaredSchemes({}).empty());
  EXPECT_TRUE(schemes(Value("com.orvane.kavrelin.app")).empty());
  EXPECT_EQ(schemes(Value(Value::Array{
                Value("not a dictionary"), Value(Value::Dictionary{}),
                Value(Value::Dictionary{{"CFBundleURLSchemes", Value("Not.An.Array")}}),
                Value(Value::Dictionary{
                    {"CFBundleURLSchemes",
                     Value(Value::Array{Value(int64_t{7}), Value(""), Value("My.App")})}})})),
            std::set<std::string>{"my.app"});
  // The refusal names the scheme, not the text.
  absl::StatusOr<OpenedLink> refused =
      OpenedLink::fromText("javascript:alert(document.cookie)", appSchemes());
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.status().message().find("\"javascript\""), std::string::npos);
  EXPECT_EQ(refused.status().message().find("cookie"), std::string::npos);
}

// A universal link's launch options reach the library through the did-finish-launching
// notification in the form it reads: the link is cached for its start-up.
TEST(OpenedLinkLaunchTest, AUniversalLinksLaunchOptionsAreCached) {
  testsupport::DispatchTestEnvironment env;
  std::string base = std::filesystem::temp_directory_path() / "kvl-opened-link-XXXXXX";
  ASSERT_NE(mkdtemp(base.data()), nullptr);
  ASSERT_TRUE(platform::AppContainer::setRoot(base).ok());
  // Universal links count from system version 9 on.
  OULAppEnvironmentUtil::Configuration device = OULAppEnvironmentUtil::defaultConfiguration();
  device.systemVersion = "17.4";
  OULAppEnvironmentUtil::setConfiguration(device);
  APMMeasurement::subscribeForAppDidFinishLaunchingNotifications();
  const std::string text = "https://app.example/x?utm_source=web";
  std::make_shared<UIApplication>()->didFinishLaunching(
      Value(OpenedLink::fromText(text, {})->launchOptions()));
  std::optional<Value> cached =
      APMUserDefaults::sharedUserDefaults()->objectForKey("/orvane/measurement/deep_link");
  APMUserDefaults::sharedUserDefaults()->removeObjectForKey("/orvane/measurement/deep_link");
  OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  env.finish();
  std::filesystem::remove_all(base);
  ASSERT_TRUE(cached && cached->isString());
  EXPECT_EQ(*cached->asString(), text);
}

}  // namespace
