#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIApplication.h"

// A link the system opens the app with, as the developer hands it in: `run.sh open-url URL`
// to the running app (its control path) and `app --launch-url URL` at launch. Both read the
// text through `fromText`, so they accept exactly the same links.
//
// A custom-scheme URL is opened as a URL (application:openURL:options:); an http(s) URL arrives
// as a universal link, a web-browsing user activity (application:continueUserActivity:...).
// As on the phone, the app is handed only the custom schemes its Info.plist declares; any other
// (javascript:, mailto:, another app's) is not this app's to open.
// Value type.
class OpenedLink {
 public:
  enum class Kind { kURL, kUniversalLink };

  // Longer text is refused: the control path reads request bodies of at most 64 KiB, and a
  // link of this size, in its JSON order, always fits.
  static constexpr size_t kMaxLength = 32 * 1024;

  // The custom URL schemes an app's Info.plist declares: every string of "CFBundleURLSchemes"
  // in every item of "CFBundleURLTypes", lower-cased (schemes compare without case). Entries
  // of another type are skipped.
  static std::set<std::string> declaredSchemes(const platform::Value::Dictionary& info);

  // The link, or InvalidArgument saying why the text is refused: it is not an absolute URL
  // (platform::URL: characters outside the URI alphabet, malformed percent escapes, no
  // scheme), nothing follows the scheme's ":", an http(s) URL has no host, a custom scheme is
  // not among `declaredSchemes` (lower-cased, as declaredSchemes gives them), or the text is
  // longer than kMaxLength. What the link's query holds (repeated keys, escapes that decode to
  // nothing usable) is for whoever reads it, as on the phone.
  static absl::StatusOr<OpenedLink> fromText(std::string_view text,
                                             const std::set<std::string>& declaredSchemes);

  Kind kind() const { return kind_; }
  const std::string& url() const { return url_; }

  // The launch options the system gives an app that this link launched: the URL under
  // "UIApplicationLaunchOptionsURLKey", or the user-activity dictionary (its type and the
  // web-browsing activity, with its type and page) under
  // "UIApplicationLaunchOptionsUserActivityDictionaryKey".
  platform::Value::Dictionary launchOptions() const;

  // Hands the link to the application as the system does: to its delegate, beside the
  // delegate proxy's interceptors (UIApplication::deliverOpenURL or
  // deliverContinueUserActivity). Main thread.
  void deliver(UIApplication& application) const;

 private:
  OpenedLink(Kind kind, std::string url) : kind_(kind), url_(std::move(url)) {}

  Kind kind_;
  std::string url_;
};
