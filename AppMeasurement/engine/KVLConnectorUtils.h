#pragma once

#include <set>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// The fixed allow and block lists that decide what another library of the platform may log,
// set, query and hear through the interop connector. Each list is built once and never
// changes; class operations only, safe from any thread.
class KVLConnectorUtils {
 public:
  using NameSet = std::set<std::string, std::less<>>;

  static const NameSet& allowedListenerOrigins();
  static const NameSet& blocklistedOrigins();
  static const NameSet& blocklistedEventNames();
  static const NameSet& blocklistedParameters();
  static const NameSet& blocklistedUserProperties();
  // Regular expressions, found anywhere in a name by search.
  static const NameSet& blocklistedUserPropertyPatterns();
  static const NameSet& hiddenEventNames();

  static bool isOriginAllowed(std::string_view origin);
  // "app", or "app+" followed by anything.
  static bool isAppOrigin(std::string_view origin);
  static bool isListenerOriginAllowed(std::string_view origin);
  static bool isEventNameAllowedForListeners(std::string_view name);
  // Only "_vs" for the origin "trx".
  static bool isEventNameAllowedForListenerOrigin(std::string_view name, std::string_view origin);
  // A non-empty name outside the blocklist, and no blocklisted parameter (empty parameters pass).
  static bool shouldLogEventWithName(std::string_view name,
                                     const platform::Value::Dictionary& parameters);
  // "_ln" only for "kcm" and "kiam"; otherwise neither listed nor matching a pattern.
  static bool isUserPropertyAllowed(std::string_view name, std::string_view origin);
  // "_fot", or a non-empty name that does not begin with "_".
  static bool isUserPropertyAllowedForQuery(std::string_view name);
};
