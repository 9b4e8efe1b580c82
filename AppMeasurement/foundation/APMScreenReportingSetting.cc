#include "AppMeasurement/foundation/APMScreenReportingSetting.h"

#include <memory>
#include <optional>

#include "platform/foundation/Bundle.h"

bool APMIsScreenReportingEnabled() {
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  if (!bundle) return true;
  for (const char* key :
       {"KavrelinScreenReportingEnabled", "KavrelinAutomaticScreenReportingEnabled"}) {
    std::optional<platform::Value> value = bundle->objectForInfoDictionaryKey(key);
    if (!value) continue;
    return value->numberAsBool().value_or(true);
  }
  return true;
}
