#include "app/DynamicLinks/CapacitorKavrelinDynamicLinks.h"

#include "app/AppOutput.h"
#include "platform/capacitor/ApplicationDelegateProxy.h"
#include "platform/core/KVLApp.h"

using platform::CAPPluginCall;
using platform::URL;
using platform::Value;
using Call = std::shared_ptr<CAPPluginCall>;

namespace {

constexpr const char* kUnableToCreateLink = "Unable to create link";

// The readings of one option object's keys.
struct OptionObject {
  const Value::Dictionary& object;

  // Kind string: the value when it is a string, else empty; absent: unset.
  std::optional<std::string> string(const char* key) const {
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    return it->second.isString() ? *it->second.asString() : std::string();
  }
  // Kind URL: a string that parses, else an empty URL; absent: unset.
  std::optional<URL> url(const char* key) const {
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (!it->second.isString()) return URL();
    return URL::URLWithString(*it->second.asString()).value_or(URL());
  }
  // Kind integer: a whole number in range, else unset.
  std::optional<int64_t> integer(const char* key) const {
    CAPPluginCall reader("", "", "", object, nullptr);
    return reader.getInt(key);
  }
  std::optional<std::string> required(const char* key) const {
    auto it = object.find(key);
    if (it == object.end() || !it->second.isString()) return std::nullopt;
    return *it->second.asString();
  }
};

}  // namespace

CapacitorKavrelinDynamicLinks::~CapacitorKavrelinDynamicLinks() {
  auto& center = platform::NotificationCenter::defaultCenter();
  if (openURLObserver_) center.removeObserver(openURLObserver_);
  if (universalLinkObserver_) center.removeObserver(universalLinkObserver_);
}

std::vector<platform::CAPPluginMethod> CapacitorKavrelinDynamicLinks::pluginMethods() const {
  return {{"createDynamicLink", "promise"},
          {"createDynamicShortLink", "promise"},
          {"removeAllListeners", "none"}};
}

void CapacitorKavrelinDynamicLinks::load() {
  if (KVLApp::defaultApp() == nullptr) KVLApp::configure();
  KVLDynamicLinks::dynamicLinks().performDiagnosticsWithCompletion(nullptr);
  auto& center = platform::NotificationCenter::defaultCenter();
  // The plug-in lives as long as the bridge; the tokens are removed with it.
  std::weak_ptr<CAPPlugin> weak = weak_from_this();
  openURLObserver_ = center.addObserverForName(
      platform::kCapacitorOpenURLNotification, nullptr, nullptr,
      [weak](const platform::Notification& n) {
        if (auto self = std::static_pointer_cast<CapacitorKavrelinDynamicLinks>(weak.lock())) {
          self->handleUrlOpenedWithNotification(n);
        }
      });
  universalLinkObserver_ = center.addObserverForName(
      platform::kCapacitorOpenUniversalLinkNotification, nullptr, nullptr,
      [weak](const platform::Notification& n) {
        if (auto self = std::static_pointer_cast<CapacitorKavrelinDynamicLinks>(weak.lock())) {
          self->handleUniversalLinkWithNotification(n);
        }
      });
}

bool CapacitorKavrelinDynamicLinks::performMethod(const std::string& name, const Call& call) {
  if (name == "createDynamicLink") {
    createDynamicLink(call);
  } else if (name == "createDynamicShortLink") {
    createDynamicShortLink(call);
  } else {
    return false;
  }
  return true;
}

std::shared_ptr<KVLDynamicLinkComponents> CapacitorKavrelinDynamicLinks::components(
    const Call& call) {
  auto uri = call->getString("uri");
  if (!uri) {
    call->reject("uri property is missing");
    return nullptr;
  }
  auto link = URL::URLWithString(*uri);
  if (!link) {
    call->reject(kUnableToCreateLink);
    return nullptr;
  }
  auto prefix = call->getString("domainUriPrefix");
  if (!prefix) {
    call->reject("domainUriPrefix property is missing");
    return nullptr;
  }
  auto components = KVLDynamicLinkComponents::create(*link, *prefix);
  if (!components) {
    call->reject(kUnableToCreateLink);
    return nullptr;
  }
  // An absent option object, or one without keys, sets nothing.
  if (auto d = call->getObject("quellinParameters"); d && !d->empty()) {
    const OptionObject o{*d};
    auto packageName = o.required("packageName");
    if (!packageName) {
      call->reject("packageName property is missing");
      return nullptr;
    }
    KVLDynamicLinkQuellinParameters p(*packageName);
    p.minimumVersion = o.integer("minimumVersion");
    p.fallbackURL = o.url("fallbackUrl");
    components->setQuellinParameters(std::move(p));
  }
  if (auto d = call->getObject("iosParameters"); d && !d->empty()) {
    const OptionObject o{*d};
    auto bundleId = o.required("bundleId");
    if (!bundleId) {
      call->reject("bundleId property is missing");
      return nullptr;
    }
    KVLDynamicLinkIOSParameters p(*bundleId);
    p.appStoreID = o.string("appStoreId");
    p.fallbackURL = o.url("fallbackUrl");
    p.customScheme = o.string("customScheme");
    p.iPadFallbackURL = o.url("ipadFallbackUrl");
    p.iPadBundleID = o.string("ipadBundleId");
    p.minimumAppVersion = o.string("minimumVersion");
    components->setIOSParameters(std::move(p));
  }
  if (auto d = call->getObject("orvaneAnalytics"); d && !d->empty()) {
    const OptionObject o{*d};
    KVLDynamicLinkOrvaneAnalyticsParameters p;
    p.source = o.string("source");
    p.medium = o.string("medium");
    p.campaign = o.string("campaign");
    p.term = o.string("term");
    p.content = o.string("content");
    components->setAnalyticsParameters(std::move(p));
  }
  if (auto d = call->getObject("iTunesConnectAnalytics"); d && !d->empty()) {
    const OptionObject o{*d};
    KVLDynamicLinkItunesConnectAnalyticsParameters p;
    p.providerToken = o.string("providerToken");
    p.affiliateToken = o.string("affiliateToken");
    p.campaignToken = o.string("campaignToken");
    components->setITunesConnectParameters(std::move(p));
  }
  if (auto d = call->getObject("socialMeta"); d && !d->empty()) {
    const OptionObject o{*d};
    KVLDynamicLinkSocialMetaTagParameters p;
    p.title = o.string("title");
    p.descriptionText = o.string("description");
    p.imageURL = o.url("imageUrl");
    components->setSocialMetaTagParameters(std::move(p));
  }
  return components;
}

void CapacitorKavrelinDynamicLinks::createDynamicLink(const Call& call) {
  auto built = components(call);
  if (!built) return;
  auto longLink = built->url();
  if (!longLink) return call->reject(kUnableToCreateLink);
  AppOutput::print("The long URL is: " + longLink->absoluteString());
  call->resolve({{"value", Value(longLink->absoluteString())}});
}

void CapacitorKavrelinDynamicLinks::createDynamicShortLink(const Call& call) {
  auto built = components(call);
  if (!built) return;
  auto longLink = built->url();
  // Without a long link there is nothing to shorten: rejected before the long-link line.
  if (!longLink) return call->reject(kUnableToCreateLink);
  AppOutput::print("The long URL is: " + longLink->absoluteString());
  built->shortenWithCompletion([call, built](std::optional<URL> shortURL,
                                             const std::vector<std::string>&,
                                             std::optional<KVLDynamicLinkError> error) {
    if (shortURL && !error) {
      AppOutput::print("The short URL is: " + shortURL->absoluteString());
      return call->resolve({{"value", Value(shortURL->absoluteString())}});
    }
    AppOutput::print(
        "createDynamicShortLink -> error: " +
        AppOutput::optionalDescription(
            error ? std::optional<std::string>(error->localizedDescription) : std::nullopt));
    call->reject(kUnableToCreateLink);
  });
}

namespace {
// The runtime hands the URL in the notification's object, a dictionary {"url": ...}.
std::optional<URL> notificationURL(const platform::Notification& n) {
  if (!n.objectValue || !n.objectValue->isDictionary()) return std::nullopt;
  const Value* url = n.objectValue->find("url");
  if (url == nullptr || !url->isString()) return std::nullopt;
  return URL::URLWithString(*url->asString());
}
}  // namespace

void CapacitorKavrelinDynamicLinks::handleUrlOpenedWithNotification(
    const platform::Notification& n) {
  auto url = notificationURL(n);
  if (!url) {
    AppOutput::print(
        "CapacitorKavrelinDynamicLinks.handleUrlOpened() - couldn't parse url from notification");
    return;
  }
  if (auto link = KVLDynamicLinks::dynamicLinks().dynamicLinkFromCustomSchemeURL(*url)) {
    handleLink(*link);
  }
}

void CapacitorKavrelinDynamicLinks::handleUniversalLinkWithNotification(
    const platform::Notification& n) {
  auto url = notificationURL(n);
  std::optional<URL> again = url ? URL::URLWithString(url->absoluteString()) : std::nullopt;
  if (!again) {
    AppOutput::print(
        "CapacitorKavrelinDynamicLinks.handleUniversalLink() - couldn't parse url from "
        "notification");
    return;
  }
  std::weak_ptr<CAPPlugin> weak = weak_from_this();
  bool handled = KVLDynamicLinks::dynamicLinks().handleUniversalLink(
      *again, [weak](std::optional<KVLDynamicLink> link, std::optional<KVLDynamicLinkError> error) {
        auto self = std::static_pointer_cast<CapacitorKavrelinDynamicLinks>(weak.lock());
        if (!self) return;
        if (error) {
          AppOutput::print("handleUniversalLink -> error: " +
                           AppOutput::optionalDescription(error->localizedDescription));
        } else if (link) {
          self->handleLink(*link);
        }
      });
  if (!handled) {
    AppOutput::print("  CapacitorKavrelinDynamicLinks.handleUniversalLink()");
    AppOutput::print(
        "  Unable to parse dynamic link. Please ensure you have set up Kavrelin Dynamic Links "
        "correctly.");
  }
}

void CapacitorKavrelinDynamicLinks::handleLink(const KVLDynamicLink& link) {
  if (!link.url || link.url->isEmpty()) {
    AppOutput::print("CapacitorKavrelinDynamicLinks.handleLink() - Dynamic link has no url");
    return;
  }
  AppOutput::print("CapacitorKavrelinDynamicLinks.handleLink() - url: " +
                   link.url->absoluteString());
  notifyListeners("deepLinkOpen", {{"url", Value(link.url->absoluteString())}}, true);
}
