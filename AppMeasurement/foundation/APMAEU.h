#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/uikit/UIApplication.h"

// Facts about the application environment: how the app was installed, whether it runs on
// the simulator or inside an app extension, and the device it runs on. Class operations,
// safe from any queue.
class APMAEU {
 public:
  // Info.plist switch of the receipt lookup (a boolean; absent means on).
  static constexpr const char* kReceiptURLCheckEnabledKey =
      "KavrelinAppStoreReceiptURLCheckEnabled";

  // The App Store receipt location: "StoreKit/sandboxReceipt" in the app's container when
  // a sandbox receipt is there, else "StoreKit/receipt" (whether or not that file exists).
  // Nothing when the Info.plist turns the lookup off or the container is unknown.
  static std::optional<std::string> appStoreRURL();
  // Whether the receipt is a sandbox receipt (its file name is "sandboxReceipt").
  static bool isASRS();
  // Whether the device model is the simulator's ("x86_64" or "i386").
  static bool isNOD();
  // Whether the main bundle is an app extension (its folder ends in ".appex").
  static bool isAEX();
  // Whether the app was installed from the App Store: never on the simulator or with a
  // sandbox receipt; always with an "SC_Info" item in the bundle; otherwise only when the
  // executable is marked as an App Store build and the bundle holds no provisioning
  // profile ("embedded.mobileprovision").
  static bool isFAS();
  // The utilities framework's device model and system version.
  static std::string deviceModel();
  static std::string systemVersion();
  // The shared application object, or nullptr inside an app extension (`isAEX`).
  static std::shared_ptr<UIApplication> sharedApplication();
};
