#include "AppMeasurement/engine/KVLConnectorUtils.h"

#include <memory>
#include <vector>

#include "platform/foundation/RegularExpression.h"

namespace {

// The compiled patterns of the user-property blocklist, built once.
const std::vector<std::shared_ptr<const platform::RegularExpression>>& compiledPatterns() {
  static const auto* patterns = [] {
    auto* made = new std::vector<std::shared_ptr<const platform::RegularExpression>>();
    for (const std::string& pattern : KVLConnectorUtils::blocklistedUserPropertyPatterns()) {
      auto compiled = platform::RegularExpression::create(pattern);
      if (compiled.ok()) made->push_back(*compiled);
    }
    return made;
  }();
  return *patterns;
}

}  // namespace

const KVLConnectorUtils::NameSet& KVLConnectorUtils::allowedListenerOrigins() {
  static const NameSet& set = *new NameSet{"kiam", "crash", "trx"};
  return set;
}

const KVLConnectorUtils::NameSet& KVLConnectorUtils::blocklistedOrigins() {
  static const NameSet& set = *new NameSet{"auto", "app", "am"};
  return set;
}

const KVLConnectorUtils::NameSet& KVLConnectorUtils::blocklistedEventNames() {
  static const NameSet& set = *new NameSet{"_e", "_f", "_iap", "_s", "_au"};
  return set;
}

const KVLConnectorUtils::NameSet& KVLConnectorUtils::blocklistedParameters() {
  static const NameSet& set = *new NameSet{"_r", "_dbg"};
  return set;
}

const KVLConnectorUtils::NameSet& KVLConnectorUtils::blocklistedUserProperties() {
  static const NameSet& set = *new NameSet{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
  return set;
}

const KVLConnectorUtils::NameSet& KVLConnectorUtils::blocklistedUserPropertyPatterns() {
  static const NameSet& set = *new NameSet{"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"};
  return set;
}

const KVLConnectorUtils::NameSet& KVLConnectorUtils::hiddenEventNames() {
  static const NameSet& set = *new NameSet{
      "_xa",   "_xu", "_aq",      "_aa",        "_ai",           "_ac",          "campaign_details",
      "_iapx", "_ug", "_exp_set", "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"};
  return set;
}

bool KVLConnectorUtils::isOriginAllowed(std::string_view origin) {
  return !blocklistedOrigins().contains(origin);
}

bool KVLConnectorUtils::isAppOrigin(std::string_view origin) {
  return origin == "app" || origin.starts_with("app+");
}

bool KVLConnectorUtils::isListenerOriginAllowed(std::string_view origin) {
  return allowedListenerOrigins().contains(origin);
}

bool KVLConnectorUtils::isEventNameAllowedForListeners(std::string_view name) {
  return !hiddenEventNames().contains(name);
}

bool KVLConnectorUtils::isEventNameAllowedForListenerOrigin(std::string_view name,
                                                            std::string_view origin) {
  return name == "_vs" && origin == "trx";
}

bool KVLConnectorUtils::shouldLogEventWithName(std::string_view name,
                                               const platform::Value::Dictionary& parameters) {
  if (name.empty() || blocklistedEventNames().contains(name)) return false;
  for (const std::string& key : blocklistedParameters()) {
    if (parameters.contains(key)) return false;
  }
  return true;
}

bool KVLConnectorUtils::isUserPropertyAllowed(std::string_view name, std::string_view origin) {
  if (name.empty()) return false;
  if (name == "_ln") return origin == "kcm" || origin == "kiam";
  if (blocklistedUserProperties().contains(name)) return false;
  for (const auto& pattern : compiledPatterns()) {
    absl::StatusOr<bool> found = pattern->search(name);
    // A pattern that cannot finish refuses the name rather than letting it through.
    if (!found.ok() || *found) return false;
  }
  return true;
}

bool KVLConnectorUtils::isUserPropertyAllowedForQuery(std::string_view name) {
  return name == "_fot" || (!name.empty() && name.front() != '_');
}
