#pragma once

#include <optional>
#include <string>

// The App Store's facts about this device (StoreKit's `AppStore`). Safe from any thread.
class StoreKitAppStore {
 public:
  // The device-verification identifier's UUID text: the device's identifier for the app's
  // vendor, as on the phone; nothing when the device has none.
  static std::optional<std::string> deviceVerificationID();
};
