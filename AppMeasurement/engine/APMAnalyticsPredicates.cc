#include "AppMeasurement/engine/APMAnalyticsPredicates.h"

#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/foundation/APMStringAdditions.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"

bool APMAnalyticsIsAppActive() {
  return APMFeatureServices::current().screenViewReporter->isAppActive();
}

bool APMIsActivePrewarm() {
  std::map<std::string, std::string> environment =
      platform::ProcessInfo::processInfo().environment();
  auto found = environment.find("ActivePrewarm");
  return found != environment.end() && apm_boolValue(found->second);
}

bool APMHasSceneManifest() {
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  return bundle && bundle->objectForInfoDictionaryKey("UIApplicationSceneManifest").has_value();
}
