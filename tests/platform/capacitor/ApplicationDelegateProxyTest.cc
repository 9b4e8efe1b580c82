#include "platform/capacitor/ApplicationDelegateProxy.h"

#include <gtest/gtest.h>

#include "platform/foundation/NotificationCenter.h"

namespace {

using platform::ApplicationDelegateProxy;
using platform::NotificationCenter;
using platform::NSUserActivity;

struct ActivityCase {
  const char* name;
  NSUserActivity activity;
  bool answer;
};

TEST(ApplicationDelegateProxyTest, RelaysOpenedURLsAndWebBrowsingActivitiesOnly) {
  std::vector<std::pair<std::string, std::string>> posted;
  auto& center = NotificationCenter::defaultCenter();
  auto observe = [&](const char* name) {
    return center.addObserverForName(name, nullptr, nullptr, [&](const platform::Notification& n) {
      // The plug-ins read the URL from the object, a dictionary whose identity is the object.
      ASSERT_TRUE(n.objectValue && n.objectValue->isDictionary());
      EXPECT_EQ(n.object, n.objectValue.get());
      EXPECT_TRUE(n.userInfo.isNull());
      posted.emplace_back(n.name, *n.objectValue->find("url")->asString());
    });
  };
  auto a = observe(platform::kCapacitorOpenURLNotification);
  auto b = observe(platform::kCapacitorOpenUniversalLinkNotification);

  EXPECT_TRUE(ApplicationDelegateProxy::shared().application("app://x?y=1", {}));
  const ActivityCase cases[] = {
      {"web browsing with a URL",
       {platform::NSUserActivityTypeBrowsingWeb, "https://l.example/a"},
       true},
      {"web browsing without a URL",
       {platform::NSUserActivityTypeBrowsingWeb, std::nullopt},
       false},
      {"another activity", {"com.example.handoff", "https://l.example/b"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ApplicationDelegateProxy::shared().applicationContinue(c.activity, {}), c.answer);
  }
  center.removeObserver(a);
  center.removeObserver(b);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"capacitorOpenURL", "app://x?y=1"}, {"capacitorOpenUniversalLink", "https://l.example/a"}};
  EXPECT_EQ(posted, expected);
}

}  // namespace
