// libFuzzer entry for the parameter sanitiser, the validator and the event model.
#include <cstddef>
#include <cstdint>

#include "platform/foundation/PlatformLog.h"
#include "tests/AppMeasurement/engine/fuzz/ParametersFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    platform::PlatformLog::setSink([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  parametersfuzz::fuzzOne(data, size);
  return 0;
}
