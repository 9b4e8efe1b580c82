#pragma once

#include <functional>
#include <string>

#include "platform/foundation/NSUserActivity.h"
#include "platform/foundation/Value.h"

namespace platform {

// Relays the URLs the app is opened with to the plug-ins, as notifications on the default
// centre whose object is the dictionary {"url": the URL's absolute string} (no user info):
//  - "capacitorOpenURL" for every opened URL (answers true);
//  - "capacitorOpenUniversalLink" for a web-browsing activity with a URL (answers true; any
//    other activity answers false and posts nothing).
// Each post carries a new dictionary. Observers run on the posting thread (the main thread,
// where the delegate calls in).
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
