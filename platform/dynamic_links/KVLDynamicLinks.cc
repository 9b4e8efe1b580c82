#include "platform/dynamic_links/KVLDynamicLinks.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/utilities/OULNetwork.h"

using platform::URL;
using platform::Value;

namespace {
std::optional<std::string> infoString(const char* key) {
  auto value = platform::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
  if (value && value->isString()) return *value->asString();
  return std::nullopt;
}
}  // namespace

KVLDynamicLinks& KVLDynamicLinks::dynamicLinks() {
  static KVLDynamicLinks& links = *new KVLDynamicLinks();
  return links;
}

std::string KVLDynamicLinks::serviceURL() const {
  std::string url = infoString("KavrelinDynamicLinksServiceURL").value_or("http://127.0.0.1:8972");
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

std::string KVLDynamicLinks::customScheme() const {
  if (auto scheme = infoString("KavrelinDynamicLinksCustomScheme")) return *scheme;
  return platform::Bundle::mainBundle()->bundleIdentifier().value_or("");
}

void KVLDynamicLinks::performDiagnosticsWithCompletion(
    const std::function<void(const std::string&, bool)>& completion) {
  auto domains =
      platform::Bundle::mainBundle()->objectForInfoDictionaryKey("KavrelinDynamicLinksDomains");
  bool hasErrors = customScheme().empty();
  std::string text = "KavrelinDynamicLinks diagnostics: service " + serviceURL() +
                     ", custom scheme \"" + customScheme() + "\", " +
                     (domains && domains->isArray()
                          ? std::to_string(domains->asArray()->size()) + " link domain(s)"
                          : "no link domains");
  platform::PlatformLog::write(text);
  if (completion) completion(text, hasErrors);
}

std::optional<KVLDynamicLink> KVLDynamicLinks::dynamicLinkFromCustomSchemeURL(
    const URL& url) const {
  std::string scheme = customScheme();
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme.empty() || url.scheme() != scheme) return std::nullopt;
  auto carried = url.queryValue("deep_link_id");
  if (!carried) carried = url.queryValue("link");
  if (!carried) return std::nullopt;
  return KVLDynamicLink{URL::URLWithString(*carried)};
}

bool KVLDynamicLinks::handleUniversalLink(const URL& url,
                                          UniversalLinkCompletion completion) const {
  auto domains =
      platform::Bundle::mainBundle()->objectForInfoDictionaryKey("KavrelinDynamicLinksDomains");
  bool ours = false;
  if (domains && domains->isArray()) {
    for (const Value& d : *domains->asArray()) ours |= d.isString() && *d.asString() == url.host();
  }
  if (!ours || (url.scheme() != "https" && url.scheme() != "http")) return false;
  auto global = platform::DispatchQueue::global();
  if (auto link = url.queryValue("link")) {
    global->async([completion, link = URL::URLWithString(*link)] {
      completion(KVLDynamicLink{link}, std::nullopt);
    });
    return true;
  }
  Value body = Value::Dictionary{};
  body["requestedLink"] = url.absoluteString();
  auto network = OULNetwork::create();
  network->postURL(
      serviceURL() + "/v1/reopenAttribution", {{"Content-Type", "application/json"}},
      platform::JSONSerialization::dataWithJSONObject(body).value_or("{}"), global, false,
      [completion, network](const std::optional<OULHTTPURLResponse>& response,
                            const std::optional<std::string>& data,
                            const std::optional<OULError>& error) {
        if (error) return completion(std::nullopt, KVLDynamicLinkError{error->description});
        if (!response || response->statusCode != 200 || !data) {
          return completion(
              std::nullopt,
              KVLDynamicLinkError{"The link service answered status " +
                                  std::to_string(response ? response->statusCode : 0) + "."});
        }
        auto answer = platform::JSONSerialization::JSONObjectWithData(*data);
        const Value* deepLink = answer.ok() ? answer->find("deepLink") : nullptr;
        if (deepLink == nullptr || !deepLink->isString())
          return completion(std::nullopt, std::nullopt);
        completion(KVLDynamicLink{URL::URLWithString(*deepLink->asString())}, std::nullopt);
      });
  return true;
}
