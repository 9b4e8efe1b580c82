#include "app/OpenedLink.h"

#include <optional>
#include <utility>

#include "absl/status/status.h"
#include "platform/foundation/NSUserActivity.h"
#include "platform/foundation/URL.h"
#include "platform/uikit/UIApplicationNotifications.h"

using platform::Value;

absl::StatusOr<OpenedLink> OpenedLink::fromText(std::string_view text) {
  // Checked first, so that no parser spends time on text that is refused anyway.
  if (text.size() > kMaxLength) {
    return absl::InvalidArgumentError("longer than " + std::to_string(kMaxLength) + " bytes");
  }
  std::optional<platform::URL> url = platform::URL::URLWithString(text);
  if (!url) return absl::InvalidArgumentError("not a URL");
  // "scheme:" alone opens nothing.
  if (text.size() == url->scheme().size() + 1) {
    return absl::InvalidArgumentError("nothing after the scheme");
  }
  if (url->scheme() != "http" && url->scheme() != "https") {
    return OpenedLink(Kind::kURL, std::string(text));
  }
  // A universal link is a page of a web site: without a host there is none.
  if (url->host().empty()) return absl::InvalidArgumentError("an http(s) URL without a host");
  return OpenedLink(Kind::kUniversalLink, std::string(text));
}

Value::Dictionary OpenedLink::launchOptions() const {
  if (kind_ == Kind::kURL) return {{UIApplicationLaunchOptionsURLKey, Value(url_)}};
  // The activity in the form the libraries read from launch options: its type and its page.
  Value::Dictionary activity{{"activityType", Value(platform::NSUserActivityTypeBrowsingWeb)},
                             {"webpageURL", Value(url_)}};
  Value::Dictionary activities{
      {UIApplicationLaunchOptionsUserActivityTypeKey,
       Value(platform::NSUserActivityTypeBrowsingWeb)},
      {UIApplicationLaunchOptionsUserActivityKey, Value(std::move(activity))}};
  return {{UIApplicationLaunchOptionsUserActivityDictionaryKey, Value(std::move(activities))}};
}

void OpenedLink::deliver(UIApplication& application) const {
  if (kind_ == Kind::kURL) {
    application.deliverOpenURL(url_, {});
  } else {
    application.deliverContinueUserActivity(
        {platform::NSUserActivityTypeBrowsingWeb, url_, Value()}, {});
  }
}
