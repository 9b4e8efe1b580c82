// libFuzzer entry for the public calls into a running engine.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "tests/AppMeasurement/engine/fuzz/PublicCallsFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = [] {
    platform::PlatformLog::setSink([](const std::string&) {});
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-fuzz-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    if (!platform::AppContainer::setRoot(pattern).ok()) std::abort();
    APMAnalytics::startWithAppID("1:1234567890:ios:fuzz", "app", {});
    return true;
  }();
  (void)started;
  publiccallsfuzz::fuzzOne(data, size);
  return 0;
}
