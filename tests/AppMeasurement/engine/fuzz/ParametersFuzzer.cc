// libFuzzer entry for the parameter sanitiser, the validator and the event model.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "tests/AppMeasurement/engine/fuzz/ParametersFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    platform::PlatformLog::setSink([](const std::string&) {});
    // The monitor saves its health sample after most lines: keep those files in memory.
    static char pattern[] = "/dev/shm/apm_parameters_fuzz_XXXXXX";
    if (const char* root = mkdtemp(pattern)) {
      (void)platform::AppContainer::setRoot(root);
      std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(pattern, ignored);
      });
    }
    return true;
  }();
  (void)ready;
  parametersfuzz::fuzzOne(data, size);
  // Let the monitor catch up now and then, so that its queue does not grow without bound.
  static unsigned inputs = 0;
  if (++inputs % 256 == 0) APMMonitor::monitor()->monitorQueue()->sync([] {});
  return 0;
}
