#include "OrvaneAdsOnDeviceConversion/Sources/ODCContext.h"

#include "platform/foundation/Bundle.h"

namespace {

std::string infoString(const char* key) {
  auto value = platform::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
  return value && value->isString() ? *value->asString() : std::string();
}

}  // namespace

ODCContext::ODCContext(std::shared_ptr<OULNetwork> network,
                       std::shared_ptr<platform::DispatchQueue> serialQueue,
                       std::shared_ptr<ODCConversionStore> conversionStore)
    : network(std::move(network)),
      serialQueue(std::move(serialQueue)),
      conversionStore(std::move(conversionStore)),
      bundleID(platform::Bundle::mainBundle()->bundleIdentifier().value_or("")),
      appVersion(infoString("CFBundleShortVersionString")) {}
