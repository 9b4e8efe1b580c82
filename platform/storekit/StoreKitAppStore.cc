#include "platform/storekit/StoreKitAppStore.h"

#include "platform/uikit/UIDevice.h"

std::optional<std::string> StoreKitAppStore::deviceVerificationID() {
  std::optional<UIDevice::UUID> identifier = UIDevice::currentDevice().identifierForVendor();
  if (!identifier) return std::nullopt;
  return identifier->UUIDString();
}
