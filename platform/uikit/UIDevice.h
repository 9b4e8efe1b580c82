#pragma once

#include <mutex>
#include <optional>
#include <string>

// The device the app runs on (the phone's UIDevice). Its facts come from the utilities
// framework's environment (OULAppEnvironmentUtil), so that every layer reports the same device.
// Safe from any thread.
class UIDevice {
 public:
  // A UUID (the phone's NSUUID): its 16 bytes in network order.
  struct UUID {
    std::string bytes;
    // The canonical upper-case text, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string UUIDString() const;
    bool operator==(const UUID&) const = default;
  };

  // Where the vendor identifier is kept: a preference domain of the app's container, so that
  // it lives as long as the install (on the phone it lives as long as any app of the vendor;
  // here the app is its vendor's only one).
  static constexpr const char* kVendorIdentifierDomain = "kavrelin.platform.device";
  static constexpr const char* kVendorIdentifierKey = "identifierForVendor";

  static UIDevice& currentDevice();

  // The kind of device: "iPhone", "iPad", "iPod touch", "Apple TV" or "Apple Watch" for the
  // machine models of those devices ("iPhone14,2" → "iPhone"); any other model (the
  // simulator's, one a test configured) as the environment gives it.
  std::string model() const;
  // The environment's operating system: "iOS" unless configured otherwise.
  std::string systemName() const;
  // The environment's system version, e.g. "17.4". Code that needs a release checks it with
  // OULAppEnvironmentUtil::isSystemVersionAtLeast, never by reading these numbers itself.
  std::string systemVersion() const;
  // The identifier of this device for the app's vendor: a random (version 4) UUID made on first
  // use and kept in the app's container, so the same one comes back until the app is removed.
  // A stored value that is not a 16-byte UUID is replaced. Nothing when no random bytes can be
  // had (the phone, too, may answer nil).
  std::optional<UUID> identifierForVendor() const;

  UIDevice(const UIDevice&) = delete;
  UIDevice& operator=(const UIDevice&) = delete;

 private:
  UIDevice() = default;

  // Makes the read-or-create of the vendor identifier one step.
  mutable std::mutex vendorMutex_;
};
