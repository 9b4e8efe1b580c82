// libFuzzer entry for the parameter sanitiser, the validator and the event model.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "tests/AppMeasurement/engine/fuzz/ParametersFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    platform::PlatformLog::setSink([](const std::string&) {});
    // The monitor saves its health sample after most lines: keep those files in memory, in
    // one folder that every run reuses (only health data lands there).
    const std::filesystem::path root = "/dev/shm/apm_parameters_fuzz";
    std::error_code ignored;
    std::filesystem::create_directories(root, ignored);
    (void)platform::AppContainer::setRoot(root);
    return true;
  }();
  (void)ready;
  parametersfuzz::fuzzOne(data, size);
  // The monitor's queue is idle after every input: its queue does not grow, and nothing of it
  // still runs while the process exits and takes down what it uses.
  APMMonitor::monitor()->monitorQueue()->sync([] {});
  return 0;
}
