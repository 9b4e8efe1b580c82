// A process that ends while the measurement library is busy: threads keep making public calls
// (events through the operation queue, internal events, default parameters, consent of the
// persisted configuration) while the process exits. Run many times by ExitRaceTest under the
// sanitizers; any use of a destroyed object at exit fails the run.
//
//   apm_exit_race_probe CONTAINER MODE DELAY_MICROSECONDS
//   MODE: "exit" (std::exit from main after the delay), "return" (main returns after it),
//   "thread" (std::exit from a calling thread after a tenth of the delay's number of calls)
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/features/APMFeatureInstaller.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/core/KVLApp.h"
#include "platform/core/KVLOptions.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/uikit/UIApplication.h"
#include "tools/loopback-http/LoopbackHttpServer.h"

namespace {

// Trivially destructible, so that the calling threads may read it while the process exits.
std::atomic<bool> gCalling{true};

void call(int thread, int i) {
  platform::Value::Dictionary parameters{{"i", platform::Value(int64_t{i})},
                                         {"t", platform::Value("thread")}};
  switch ((thread + i) % 4) {
    case 0:
      KVLAnalytics::logEventWithName("level_up", parameters);
      break;
    case 1:
      APMAnalytics::logInternalEventWithOrigin("auto", "_e",
                                               APMObject::mapFromDictionary(parameters));
      break;
    case 2:
      KVLAnalytics::setDefaultEventParameters(parameters);
      break;
    default:
      APMAnalytics::queueOperationWithBlock([] { (void)APMAnalytics::queue(); });
      break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: apm_exit_race_probe CONTAINER exit|return|thread DELAY_US\n");
    return 2;
  }
  std::string mode = argv[2];
  long delay = std::atol(argv[3]);
  platform::PlatformLog::setSink([](const std::string&) {});
  if (!platform::AppContainer::setRoot(argv[1]).ok()) return 3;
  // Requests go to a sink of this process. Never destroyed: the engine may post until exit.
  auto* sink = new loopback::LoopbackHttpServer(
      0, [](const loopback::HttpRequest&) { return loopback::HttpResponse::text(204, ""); });
  std::string host = "127.0.0.1:" + std::to_string(sink->port());
  APMRemoteConfig::setHosts({host, host, host});

  APMInstallMeasurementFeatures();
  KVLAnalyticsRegisterLibrary();
  KVLApp::configureWithOptions(
      std::make_shared<KVLOptions>("1:1234567890:ios:exitrace", true, false));
  UIApplication::sharedApplication()->didFinishLaunching();
  UIApplication::sharedApplication()->didBecomeActive();

  for (int t = 0; t < 3; ++t) {
    std::thread([t, mode, delay] {
      for (long i = 0; gCalling.load(); ++i) {
        call(t, static_cast<int>(i));
        // In "thread" mode a tenth of the delay counts this thread's calls.
        if (t == 0 && mode == "thread" && i >= delay / 10) std::exit(0);
      }
    }).detach();
  }
  // The resign-active upload and the worker queue are busy too.
  UIApplication::sharedApplication()->willResignActive();
  if (mode == "thread") {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  std::this_thread::sleep_for(std::chrono::microseconds(delay));
  if (mode == "exit") std::exit(0);
  return 0;
}
