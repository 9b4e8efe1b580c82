#include "app/OpenedLink.h"

#include <cctype>
#include <optional>
#include <utility>

#include "absl/status/status.h"
#include "platform/foundation/NSUserActivity.h"
#include "platform/foundation/URL.h"
#include "platform/uikit/UIApplicationNotifications.h"

using platform::Value;

std::set<std::string> OpenedLink::declaredSchemes(const Value::Dictionary& info) {
  std::set<std::string> schemes;
  auto types = info.find("CFBundleURLTypes");
  if (types == info.end() || !types->second.isArray()) return schemes;
  for (const Value& type : *types->second.asArray()) {
    const Value* names = type.isDictionary() ? type.find("CFBundleURLSchemes") : nullptr;
    if (names == nullptr || !names->isArray()) continue;
    for (const Value& name : *names->asArray()) {
      if (!name.isString() || name.asString()->empty()) continue;
      std::string scheme = *name.asString();
      for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      schemes.insert(std::move(scheme));
    }
  }
  return schemes;
}

absl::StatusOr<OpenedLink> OpenedLink::fromText(std::string_view text,
                                                const std::set<std::string>& declaredSchemes) {
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
    // The system hands an app only the schemes it declared; any other goes elsewhere or
    // nowhere.
    if (declaredSchemes.count(url->scheme()) == 0) {
      // The scheme named, not the text, and cut short: the reason is printed.
      std::string scheme = url->scheme().substr(0, 64);
      if (scheme.size() < url->scheme().size()) scheme += "...";
      return absl::InvalidArgumentError("the app declares no URL scheme \"" + scheme +
                                        "\" (Info.plist CFBundleURLTypes)");
    }
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
