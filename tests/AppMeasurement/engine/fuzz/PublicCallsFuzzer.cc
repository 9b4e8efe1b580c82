// libFuzzer entry for the public calls into a running engine.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "tests/AppMeasurement/engine/fuzz/PublicCallsFuzzTarget.h"
#include "tools/loopback-http/LoopbackHttpServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = [] {
    platform::PlatformLog::setSink([](const std::string&) {});
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-fuzz-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    if (!platform::AppContainer::setRoot(pattern).ok()) std::abort();
    // Uploads and configuration requests go to a sink of this process, never to a service
    // someone else runs on this machine. Never destroyed: the engine may post until exit.
    auto* sink = new loopback::LoopbackHttpServer(
        0, [](const loopback::HttpRequest&) { return loopback::HttpResponse::text(204, ""); });
    std::string host = "127.0.0.1:" + std::to_string(sink->port());
    APMRemoteConfig::setHosts({host, host, host});
    APMAnalytics::startWithAppID("1:1234567890:ios:fuzz", "app", {});
    return true;
  }();
  (void)started;
  publiccallsfuzz::fuzzOne(data, size);
  return 0;
}
