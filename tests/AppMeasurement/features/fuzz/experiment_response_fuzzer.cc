// libFuzzer harness: an experiment server's (inflated) answer, hostile bytes included, turned
// into snapshots. Whatever decodes must survive the round trip through the stored form.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "AppMeasurement/features/APMETaskManager.h"
#include "platform/dispatch/DispatchQueue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::optional<std::vector<APMESnapshot>> snapshots =
      APMETaskManager::experimentSnapshotsFromData(bytes);
  if (snapshots) {
    for (const APMESnapshot& snapshot : *snapshots) {
      std::optional<std::string> stored = snapshot.proto().protoBuffer();
      if (!stored) __builtin_trap();
      std::optional<APMPBSnapshot> message = APMPBSnapshot::initWithBuffer(*stored);
      if (!message || !APMESnapshot::initWithProtobuf(*message)) __builtin_trap();
    }
  }
  std::optional<APMPBExperimentResponse> response = APMPBExperimentResponse::initWithBuffer(bytes);
  APMETaskManager::errorsFromExperimentResponse(response);
  // The monitor writes its lines on a queue: let it finish before the next input (or exit).
  platform::DispatchQueue::waitUntilIdle();
  return 0;
}
