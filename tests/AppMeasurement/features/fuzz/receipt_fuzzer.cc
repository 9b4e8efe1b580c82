// Any bytes as the App Store receipt: the three scans (validity, original version, in-app
// items) and the template match at the first and last offsets. Nothing may read out of bounds
// or overflow, and every item the scan lists came from the bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "AppMeasurement/features/APMReceipt.h"
#include "platform/dispatch/DispatchQueue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  APMReceiptEnvironment environment;
  environment.receipt = bytes;
  environment.deviceID = std::string(16, '\x11');
  environment.bundleID = "com.orvane.sample";
  environment.bundleVersion = "1.0.3";
  APMComputeReceiptValidity(environment);
  APMComputeIsVersionSameAsOriginalVersion(environment);
  std::optional<std::vector<APMInAppPurchaseItem>> items = APMInAppPurchaseItemsFromReceipt(bytes);
  if (items.has_value() == bytes.empty()) std::abort();
  if (items && items->size() > bytes.size()) std::abort();
  const std::vector<uint8_t> anyLength = {kAPMReceiptWildcard};
  for (int64_t offset : {int64_t{-1}, int64_t{0}, static_cast<int64_t>(size) - 1,
                         static_cast<int64_t>(size), INT64_MAX}) {
    std::optional<std::string> value = APMReceiptMatchTemplate(anyLength, bytes, offset);
    if (value && value->size() + 1 > size) std::abort();
  }
  // The monitor writes its lines on a queue: let it finish before the next input (or exit).
  platform::DispatchQueue::waitUntilIdle();
  return 0;
}
