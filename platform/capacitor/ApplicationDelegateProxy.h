#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

// The kind of user activity that carries a web page's URL (a universal link).
inline constexpr const char* NSUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

// A user activity handed to the app: its type and, for web browsing, the page's URL.
struct NSUserActivity {
  std::string activityType;
  std::optional<std::string> webpageURL;
};

// Relays the URLs the app is opened with to the plug-ins, as notifications on the default
// centre whose user info is {"url": the URL's absolute string}:
//  - "capacitorOpenURL" for every opened URL (answers true);
//  - "capacitorOpenUniversalLink" for a web-browsing activity with a URL (answers true; any
//    other activity answers false and posts nothing).
// Observers run on the posting thread (the main thread, where the delegate calls in).
class ApplicationDelegateProxy {
 public:
  static ApplicationDelegateProxy& shared();

  bool application(const std::string& url, const Value::Dictionary& options);
  bool applicationContinue(const NSUserActivity& activity,
                           const std::function<void(const Value::Array&)>& restorationHandler);
};

inline constexpr const char* kCapacitorOpenURLNotification = "capacitorOpenURL";
inline constexpr const char* kCapacitorOpenUniversalLinkNotification = "capacitorOpenUniversalLink";

}  // namespace platform
