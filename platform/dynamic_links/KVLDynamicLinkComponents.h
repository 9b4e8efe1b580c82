#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/URL.h"

// The dynamic-links framework's link builder and its parameter objects. A long link is the
// domain prefix with the deep link and every parameter that is set (and not empty) as query
// items; shortening asks the link service (KVLDynamicLinks::serviceURL) for a short one.

struct KVLDynamicLinkQuellinParameters {
  explicit KVLDynamicLinkQuellinParameters(std::string packageName)
      : packageName(std::move(packageName)) {}
  std::string packageName;
  std::optional<int64_t> minimumVersion;
  std::optional<platform::URL> fallbackURL;
};

struct KVLDynamicLinkIOSParameters {
  explicit KVLDynamicLinkIOSParameters(std::string bundleID) : bundleID(std::move(bundleID)) {}
  std::string bundleID;
  std::optional<std::string> appStoreID;
  std::optional<platform::URL> fallbackURL;
  std::optional<std::string> customScheme;
  std::optional<platform::URL> iPadFallbackURL;
  std::optional<std::string> iPadBundleID;
  std::optional<std::string> minimumAppVersion;
};

struct KVLDynamicLinkOrvaneAnalyticsParameters {
  std::optional<std::string> source, medium, campaign, term, content;
};

struct KVLDynamicLinkItunesConnectAnalyticsParameters {
  std::optional<std::string> providerToken, affiliateToken, campaignToken;
};

struct KVLDynamicLinkSocialMetaTagParameters {
  std::optional<std::string> title;
  std::optional<std::string> descriptionText;
  std::optional<platform::URL> imageURL;
};

// The error a failed shortening reports.
struct KVLDynamicLinkError {
  std::string localizedDescription;
};

// Thread-safe to read once built; build on one thread.
class KVLDynamicLinkComponents : public std::enable_shared_from_this<KVLDynamicLinkComponents> {
 public:
  // (short URL or none, warnings, error or none); runs on a global queue.
  using ShortenCompletion = std::function<void(std::optional<platform::URL> shortURL,
                                               const std::vector<std::string>& warnings,
                                               std::optional<KVLDynamicLinkError> error)>;

  // initWithLink:domainURIPrefix: — null when the prefix is no http(s) URL with a host.
  static std::shared_ptr<KVLDynamicLinkComponents> create(platform::URL link,
                                                          const std::string& domainURIPrefix);

  void setQuellinParameters(KVLDynamicLinkQuellinParameters p) { quellin_ = std::move(p); }
  void setIOSParameters(KVLDynamicLinkIOSParameters p) { ios_ = std::move(p); }
  void setAnalyticsParameters(KVLDynamicLinkOrvaneAnalyticsParameters p) {
    analytics_ = std::move(p);
  }
  void setITunesConnectParameters(KVLDynamicLinkItunesConnectAnalyticsParameters p) {
    itunes_ = std::move(p);
  }
  void setSocialMetaTagParameters(KVLDynamicLinkSocialMetaTagParameters p) {
    social_ = std::move(p);
  }

  // The long link; none when the deep link is empty.
  std::optional<platform::URL> url() const;

  // Asks the link service for a short link of url() (POST "/v1/shortLinks").
  void shortenWithCompletion(ShortenCompletion completion) const;

 private:
  KVLDynamicLinkComponents(platform::URL link, std::string prefix)
      : link_(std::move(link)), prefix_(std::move(prefix)) {}
  platform::URL link_;
  std::string prefix_;
  std::optional<KVLDynamicLinkQuellinParameters> quellin_;
  std::optional<KVLDynamicLinkIOSParameters> ios_;
  std::optional<KVLDynamicLinkOrvaneAnalyticsParameters> analytics_;
  std::optional<KVLDynamicLinkItunesConnectAnalyticsParameters> itunes_;
  std::optional<KVLDynamicLinkSocialMetaTagParameters> social_;
};
