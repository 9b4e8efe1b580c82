#include "OrvaneAdsOnDeviceConversion/Sources/ODCRegistration.h"

#include "AppMeasurement/PrivateSetMembership/Sources/ODCPrivateSetMembershipClient.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionService.h"

void ODCRegisterClasses(platform::ClassRegistry& registry) {
  registry.registerClass("ODCConversionService", [] {
    return std::shared_ptr<platform::RuntimeObject>(ODCConversionService::sharedInstance());
  });
  registry.registerClass("ODCPrivateSetMembershipClient", [] {
    return std::shared_ptr<platform::RuntimeObject>(
        std::make_shared<ODCPrivateSetMembershipClientClass>());
  });
}
