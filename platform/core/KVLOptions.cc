#include "platform/core/KVLOptions.h"

#include "platform/foundation/Bundle.h"

namespace {

bool switchValue(const platform::Bundle& bundle, const char* key, bool fallback) {
  std::optional<platform::Value> value = bundle.objectForInfoDictionaryKey(key);
  if (!value) return fallback;
  if (const bool* flag = value->asBool()) return *flag;
  if (const int64_t* number = value->asInteger()) return *number != 0;
  if (const double* number = value->asReal()) return *number != 0.0;
  return fallback;
}

}  // namespace

std::shared_ptr<KVLOptions> KVLOptions::fromBundle(const platform::Bundle& bundle) {
  std::optional<platform::Value::Dictionary> service =
      bundle.dictionaryForResource("OrvaneService-Info", "plist");
  if (!service) return nullptr;
  auto appID = service->find("ORVANE_APP_ID");
  const std::string* text = appID == service->end() ? nullptr : appID->second.asString();
  if (!text || text->empty()) return nullptr;
  return std::make_shared<KVLOptions>(
      *text, switchValue(bundle, "KAVRELIN_ANALYTICS_COLLECTION_ENABLED", true),
      switchValue(bundle, "KAVRELIN_ANALYTICS_COLLECTION_DEACTIVATED", false));
}
