#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dynamic_links/KVLDynamicLinkComponents.h"
#include "platform/foundation/URL.h"

// A resolved dynamic link: the deep link it carries (possibly none).
struct KVLDynamicLink {
  std::optional<platform::URL> url;
};

// The dynamic-links framework's entry points: resolution of the links that open the app and the
// link service's address. Configuration comes from the main bundle's Info.plist:
// "KavrelinDynamicLinksServiceURL" (the link service, default http://127.0.0.1:8972),
// "KavrelinDynamicLinksDomains" (array of hosts whose universal links are dynamic links) and
// "KavrelinDynamicLinksCustomScheme" (default: the bundle identifier). Thread-safe.
class KVLDynamicLinks {
 public:
  using UniversalLinkCompletion =
      std::function<void(std::optional<KVLDynamicLink> link, std::optional<KVLDynamicLinkError>)>;

  static KVLDynamicLinks& dynamicLinks();

  // Writes what the framework found in the configuration to the platform log; the completion,
  // when given, receives the same text and whether something is missing.
  void performDiagnosticsWithCompletion(
      const std::function<void(const std::string&, bool hasErrors)>& completion);

  // "<custom scheme>://google/link/?deep_link_id=<link>" (or "?link=<link>"): the link it
  // carries; none for any other URL.
  std::optional<KVLDynamicLink> dynamicLinkFromCustomSchemeURL(const platform::URL& url) const;

  // Answers whether the URL is a dynamic link of a configured domain. When it is, the completion
  // runs later on a global queue: a long link's "link" item directly, else the link service's
  // resolution (POST "/v1/reopenAttribution") — a link, or an error.
  bool handleUniversalLink(const platform::URL& url, UniversalLinkCompletion completion) const;

  std::string serviceURL() const;
  std::string customScheme() const;
};
