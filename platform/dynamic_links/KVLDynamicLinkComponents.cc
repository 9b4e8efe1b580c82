#include "platform/dynamic_links/KVLDynamicLinkComponents.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dynamic_links/KVLDynamicLinks.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/utilities/OULNetwork.h"

using platform::URL;
using platform::Value;

std::shared_ptr<KVLDynamicLinkComponents> KVLDynamicLinkComponents::create(
    URL link, const std::string& domainURIPrefix) {
  auto prefix = URL::URLWithString(domainURIPrefix);
  if (!prefix || (prefix->scheme() != "https" && prefix->scheme() != "http") ||
      prefix->host().empty()) {
    return nullptr;
  }
  std::string text = prefix->absoluteString();
  while (!text.empty() && text.back() == '/') text.pop_back();
  return std::shared_ptr<KVLDynamicLinkComponents>(
      new KVLDynamicLinkComponents(std::move(link), std::move(text)));
}

std::optional<URL> KVLDynamicLinkComponents::url() const {
  if (link_.isEmpty()) return std::nullopt;
  std::string text = prefix_ + "/?link=" + URL::percentEncoded(link_.absoluteString());
  auto add = [&](const char* key, const std::optional<std::string>& value) {
    if (value && !value->empty())
      text += std::string("&") + key + "=" + URL::percentEncoded(*value);
  };
  auto addURL = [&](const char* key, const std::optional<URL>& value) {
    if (value) add(key, value->absoluteString());
  };
  if (quellin_) {
    add("apn", quellin_->packageName);
    if (quellin_->minimumVersion) add("amv", std::to_string(*quellin_->minimumVersion));
    addURL("afl", quellin_->fallbackURL);
  }
  if (ios_) {
    add("ibi", ios_->bundleID);
    add("isi", ios_->appStoreID);
    addURL("ifl", ios_->fallbackURL);
    add("ius", ios_->customScheme);
    addURL("ipfl", ios_->iPadFallbackURL);
    add("ipbi", ios_->iPadBundleID);
    add("imv", ios_->minimumAppVersion);
  }
  if (analytics_) {
    add("utm_source", analytics_->source);
    add("utm_medium", analytics_->medium);
    add("utm_campaign", analytics_->campaign);
    add("utm_term", analytics_->term);
    add("utm_content", analytics_->content);
  }
  if (itunes_) {
    add("pt", itunes_->providerToken);
    add("at", itunes_->affiliateToken);
    add("ct", itunes_->campaignToken);
  }
  if (social_) {
    add("st", social_->title);
    add("sd", social_->descriptionText);
    addURL("si", social_->imageURL);
  }
  return URL::URLWithString(text);
}

void KVLDynamicLinkComponents::shortenWithCompletion(ShortenCompletion completion) const {
  auto global = platform::DispatchQueue::global();
  auto longLink = url();
  if (!longLink) {
    global->async([completion] {
      completion(std::nullopt, {}, KVLDynamicLinkError{"The link has no long form to shorten."});
    });
    return;
  }
  Value body = Value::Dictionary{};
  body["longDynamicLink"] = longLink->absoluteString();
  auto network = OULNetwork::create();
  network->postURL(
      KVLDynamicLinks::dynamicLinks().serviceURL() + "/v1/shortLinks",
      {{"Content-Type", "application/json"}},
      platform::JSONSerialization::dataWithJSONObject(body).value_or("{}"), global, false,
      // The network object stays alive until its completion has run.
      [completion, network](const std::optional<OULHTTPURLResponse>& response,
                            const std::optional<std::string>& data,
                            const std::optional<OULError>& error) {
        if (error) return completion(std::nullopt, {}, KVLDynamicLinkError{error->description});
        if (!response || response->statusCode != 200 || !data) {
          return completion(
              std::nullopt, {},
              KVLDynamicLinkError{"The link service answered status " +
                                  std::to_string(response ? response->statusCode : 0) + "."});
        }
        auto answer = platform::JSONSerialization::JSONObjectWithData(*data);
        std::vector<std::string> warnings;
        std::optional<URL> shortURL;
        if (answer.ok()) {
          if (const Value* s = answer->find("shortLink"); s && s->isString()) {
            shortURL = URL::URLWithString(*s->asString());
          }
          if (const Value* w = answer->find("warning"); w && w->isArray()) {
            for (const Value& item : *w->asArray()) {
              if (const Value* text = item.find("warningMessage"); text && text->isString()) {
                warnings.push_back(*text->asString());
              }
            }
          }
        }
        completion(shortURL, warnings, std::nullopt);
      });
}
