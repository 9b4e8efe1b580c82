#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/features/APMInAppPurchaseItem.h"

// Reads the App Store receipt (a signed container of ASN.1 attributes) by trying byte
// templates at every offset; no tree parse and no signature check. The receipt bytes are
// untrusted: every bound is checked in 64-bit arithmetic before a byte is read, and every read
// goes through BoringSSL's bounded CBS calls. None of this blocks the app; it only labels
// measurement data. Callable from any thread.

// A template byte of 255 matches any byte and captures it.
inline constexpr uint8_t kAPMReceiptWildcard = 255;

// The value bytes after the template at `offset`, whose length is the last captured byte;
// nothing when the template does not match or the value would pass the end. A length of 128 or
// more logs 39027 and is taken as it is (long-form lengths are not decoded).
std::optional<std::string> APMReceiptMatchTemplate(const std::vector<uint8_t>& byteTemplate,
                                                   std::string_view data, int64_t offset);

// The in-app purchase attribute (type 17) at the offset.
std::optional<std::string> APMReceiptInAppAttributeAtOffset(std::string_view data, int64_t offset);

// The in-app purchase items of the receipt, in receipt order; nothing for empty data.
std::optional<std::vector<APMInAppPurchaseItem>> APMInAppPurchaseItemsFromReceipt(
    std::string_view data);

// What the validity check reads from the platform, separated so it can be tried on any input.
struct APMReceiptEnvironment {
  bool simulator = false;
  bool sandbox = false;
  std::optional<std::string> receipt;        // the receipt file, nothing when unreadable
  std::optional<std::string> deviceID;       // the 16 bytes of the vendor identifier
  std::optional<std::string> bundleID;       // the running bundle's identifier
  std::optional<std::string> bundleVersion;  // its "CFBundleVersion"

  // From APMAEU, UIDevice and the main bundle.
  static APMReceiptEnvironment current();
};

// Whether the receipt belongs to this device and app (SHA-1, else SHA-256, of vendor id ‖ O ‖ B
// against H). Each log line is level 5.
bool APMComputeReceiptValidity(const APMReceiptEnvironment& environment);
// Whether the running version is the one originally bought.
bool APMComputeIsVersionSameAsOriginalVersion(const APMReceiptEnvironment& environment);

// Worked out once per process from APMReceiptEnvironment::current(), at the first call.
bool APMReceiptIsValid();
bool APMIsVersionSameAsOriginalVersion();

// SHA-384 of the lower-cased nonce followed by the lower-cased UUID equals the data; NO
// without a UUID.
bool APMVerifyTransactionDeviceVerification(std::string_view deviceVerification,
                                            std::optional<std::string_view> uuid,
                                            std::string_view nonce);
