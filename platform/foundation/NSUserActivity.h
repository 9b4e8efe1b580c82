#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

// The kind of user activity that carries a web page's URL (a universal link).
inline constexpr const char* NSUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

// A user activity handed to the app (a universal link, a handoff): its type, the page's URL
// when it has one, and its user info (a dictionary Value or null). A value type.
struct NSUserActivity {
  std::string activityType;
  std::optional<std::string> webpageURL;
  Value userInfo;
};

}  // namespace platform
