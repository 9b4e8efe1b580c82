// Any bytes as a stored or fetched configuration: decode, parse, then read every kind of
// setting and table. Nothing may crash, and a setting is its default or within its range.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/dispatch/DispatchQueue.h"

namespace {
class NoStore : public APMRemoteConfigStore {
 public:
  bool updateRemoteConfig(const APMPBMeasurementConfig&, APMErrorSlot*) override { return true; }
  std::optional<APMPBMeasurementConfig> queryMeasurementConfigWithError(APMErrorSlot*) override {
    return std::nullopt;
  }
  std::optional<double> lastRemoteConfigUpdateTimestamp(APMErrorSlot*) override {
    return std::nullopt;
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto store = std::make_shared<NoStore>();
  auto message = APMPBMeasurementConfig::initWithBuffer(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (!message) return 0;
  // Parse as this app's configuration whatever app ID it names.
  auto appID = NANOGetString(*message, APMPBMeasurementConfig::kAppId).value_or("1:fuzz");
  if (appID.empty()) appID = "1:fuzz";
  auto config = APMRemoteConfig::create(appID, store, nullptr, nullptr);
  config->parseRemoteConfigFromMeasurementConfig(*message);
  double interval = config->uploadingInterval();
  if (interval != 3600 && (interval < 15 || interval > 86400)) abort();
  int32_t offset = config->analyticsAccountTimeZoneOffsetMinutes();
  if (offset < -900 || offset > 900) abort();
  int32_t perIteration = config->maxBundlesCreatedPerIteration();
  if (perIteration < 1 || perIteration > 10000) abort();
  config->uploadMaxSizeLimitBytes();
  config->gateIDFAOnATTMASEnabled();
  config->hashPrefixBitLengthEmail();
  config->isEventBlocklisted("purchase");
  config->samplingRateForEvent("_s");
  config->consentDefaults();
  config->dataControls();
  config->uploadURL();
  config->remoteConfigURLWithPlatform("ios", 111500, 0);
  config->SOTMUploadURL();
  // The monitor writes on its own queue; let it finish so that no write runs into the
  // process's exit.
  platform::DispatchQueue::waitUntilIdle();
  return 0;
}
