// measurement-driver: plays an app that uses the measurement library, against the local
// measurement service. It lays out an app bundle (Info.plist, OrvaneService-Info.plist) and a
// container in --app-dir, configures the platform core (which starts measurement through
// KVLAnalytics), walks the application through launch and activation, logs the events given,
// and with --upload resigns active and waits until what was logged has left the device.
//
// Screens (--screen CLASS) are view controllers pushed one after another on a navigation
// controller in the key window, a little apart (real time), so the library sees the app go
// through them. AdServices is linked: its token (--attribution-token, "attributed" by default,
// which the local service attributes) goes to the service's "/api/v1/", and the driver waits
// (bounded) for the answer before it uploads.
//
// Numbered events (--numbered FROM:TO) print "mark <i>" once event i is committed to the
// database (the newest stored "n" event, read on the engine's worker queue after a barrier,
// carries "seq" i); the crash test kills the driver between marks and restarts it.
// Without a database no mark is printed: the driver says why and exits 1.
//
// Ctrl-C or SIGTERM ends it at once (status 130 or 143), also while it waits for an upload.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "AppMeasurement/PrivateSetMembership/Sources/ODCServiceHost.h"
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/features/APMEManager.h"
#include "AppMeasurement/features/APMETaskManager.h"
#include "AppMeasurement/features/APMFeatureInstaller.h"
#include "AppMeasurement/features/APMSearchAdReporter.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMPlatformIdentitySupport.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCRegistration.h"
#include "platform/adservices/AAAttribution.h"
#include "platform/adsupport/ASIdentifierManager.h"
#include "platform/core/KVLApp.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NSUserActivity.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/URL.h"
#include "platform/storekit/SKAdNetwork.h"
#include "platform/storekit/SKProductsRequest.h"
#include "platform/tracking/ATTrackingManager.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "platform/utilities/OULNetwork.h"

namespace {

// To standard error for a usage error; to standard output when asked for (--help).
void usage(FILE* to = stderr) {
  std::fprintf(
      to,
      "usage: measurement-driver --app-dir DIR [--service URL] [--app-id ID]\n"
      "                          [--event NAME[:key=value,...]]... [--numbered FROM:TO]\n"
      "                          [--screen CLASS]... [--screen-seconds S]\n"
      "                          [--attribution-token TOKEN] [--upload] [--debug]\n"
      "                          [--buy PRODUCT]... [--flag NAME]...\n"
      "                          [--system-version V] [--model M] [--tracking-authorized]\n"
      "                          [--open-url URL]... [--skan-records F]\n"
      "  --app-dir DIR   the app's bundle and container (made when absent)\n"
      "  --service URL   the measurement service (default http://127.0.0.1:8970)\n"
      "  --app-id ID     the app identifier (default 1:1234567890:ios:0a1b2c3d)\n"
      "  --event ...     logs one event through KVLAnalytics; integer values stay numbers\n"
      "  --numbered A:B  logs \"n\" with \"seq\" A..B, printing \"mark <i>\" once stored\n"
      "  --screen CLASS  shows a view controller of that class (repeat: one after another)\n"
      "  --screen-seconds S  how long each screen stays before the next (default 1.5)\n"
      "  --attribution-token TOKEN  the AdServices token (default \"attributed\")\n"
      "  --buy PRODUCT   buys the product (a verified StoreKit 2 transaction); the store is the\n"
      "                  service's \"/storekit/products\"\n"
      "  --flag NAME     waits for the first experiment fetch, activates it and prints the\n"
      "                  flag of \"app_measurement\"\n"
      "  --upload        resigns active and waits until everything is uploaded\n"
      "  --debug         the library's debug logging (-APMAnalyticsDebugEnabled)\n"
      "  --system-version V   the device's system version (default 17.4; e.g. 16.0 to try a\n"
      "                  system without SKAdNetwork conversion values, which need 16.1)\n"
      "  --model M       the device's model (default iPhone16,1; x86_64 is the simulator)\n"
      "  --tracking-authorized  an advertising identifier and tracking authorised (the\n"
      "                  deferred deep link is asked for then, on a fresh install)\n"
      "  --open-url URL  opens the app with the link, as the system does (an http(s) link\n"
      "                  arrives as a universal link)\n"
      "  --skan-records F  SKAdNetwork's conversion-value updates, one JSON line each;\n"
      "                  with --upload the driver waits for one after the upload\n");
}

bool writePlist(const std::filesystem::path& path, const platform::Value& plist) {
  auto data = platform::PropertyListSerialization::dataWithPropertyList(
      plist, platform::PropertyListSerialization::Format::XML);
  if (!data.ok()) return false;
  std::ofstream(path, std::ios::binary) << *data;
  return true;
}

// The bundle the platform core reads its options from.
bool layOutBundle(const std::filesystem::path& bundle, const std::string& appID) {
  std::filesystem::create_directories(bundle);
  platform::Value::Dictionary info{
      {"CFBundleIdentifier", platform::Value("com.example.driver")},
      {"CFBundleShortVersionString", platform::Value("1.0")},
      {"ORVANE_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", platform::Value(true)}};
  platform::Value::Dictionary service{{"ORVANE_APP_ID", platform::Value(appID)},
                                      {"BUNDLE_ID", platform::Value("com.example.driver")}};
  return writePlist(bundle / "Info.plist", platform::Value(info)) &&
         writePlist(bundle / "OrvaneService-Info.plist", platform::Value(service));
}

platform::Value::Dictionary parseParameters(const std::string& text) {
  platform::Value::Dictionary parameters;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(',', start);
    std::string pair =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t equals = pair.find('=');
    if (equals != std::string::npos) {
      std::string key = pair.substr(0, equals);
      std::string value = pair.substr(equals + 1);
      char* rest = nullptr;
      long long number = std::strtoll(value.c_str(), &rest, 10);
      parameters[key] = (!value.empty() && *rest == '\0') ? platform::Value(int64_t{number})
                                                          : platform::Value(value);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parameters;
}

// The app's delegate: prints each link it is asked to open (the deferred deep link, the links
// of --open-url).
class DriverDelegate : public UIApplicationDelegate, public UIApplicationOpenURLDelegate {
 public:
  bool applicationOpenURL(const std::string& url, const platform::Value::Dictionary&) override {
    std::printf("delegate opened %s\n", url.c_str());
    std::fflush(stdout);
    return true;
  }
};

// Waits until every public call made so far has reached the engine's worker queue and been
// handled there.
bool barrier(double limitSeconds) {
  auto semaphore = std::make_shared<platform::DispatchSemaphore>(0);
  APMAnalytics::queueOperationWithBlock([semaphore] {
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    if (!engine) {
      semaphore->signal();
      return;
    }
    engine->scheduler()->scheduleOnWorkerQueueBlockID("measurement-driver:barrier",
                                                      [semaphore] { semaphore->signal(); });
  });
  return semaphore->wait(limitSeconds);
}

// The "seq" of the newest stored "n" event: nothing without a database, without such an event
// or when it cannot be read. Asked on the worker queue.
std::optional<int64_t> newestStoredSeq() {
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine) return std::nullopt;
  std::optional<int64_t> seq;
  engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("measurement-driver:stored", [&] {
    if (engine->database() == nullptr) return;
    std::optional<std::vector<APMSqliteRecord>> rows =
        engine->database()->sqliteStore()->recordsForQuery(
            "SELECT data FROM raw_events WHERE name = 'n' ORDER BY rowid DESC LIMIT 1", {},
            nullptr);
    if (!rows || rows->empty()) return;
    auto data = rows->front().find("data");
    const platform::Value::Bytes* bytes =
        data != rows->front().end() ? data->second.asBytes() : nullptr;
    if (bytes == nullptr) return;
    std::optional<APMPBEvent> event = APMPBEvent::initWithBuffer(std::string_view(bytes->data));
    if (!event) return;
    for (const APMPBEventParam& param :
         NANOGetMessageArray<APMPBEventParam>(*event, APMPBEvent::kParams)
             .value_or(std::vector<APMPBEventParam>{})) {
      if (NANOGetString(param, APMPBEventParam::kName) == "seq") {
        seq = NANOGetInt64(param, APMPBEventParam::kIntValue);
      }
    }
  });
  return seq;
}

// Ctrl-C and SIGTERM end the driver from a thread of their own, whatever the main thread waits
// for. The disposition is reset first: a shell starts background jobs with SIGINT ignored.
void exitOnSignals() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals] {
    int received = 0;
    sigwait(&signals, &received);
    std::fprintf(stderr, "measurement-driver: stopped by signal %d\n", received);
    std::exit(128 + received);
  }).detach();
}

// Whether nothing is left to upload and no request is out (asked on the worker queue).
bool drained() {
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine) return false;
  bool result = false;
  engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("measurement-driver:drained", [&] {
    result = engine->database() != nullptr && !engine->isNetworkRequestPending() &&
             !engine->hasDataToUpload();
  });
  return result;
}

// Whether an engine request (upload, configuration, SKAdNetwork value, deferred deep link) is out
// (asked on the worker queue).
bool requestOut() {
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine) return false;
  bool result = false;
  engine->scheduler()->dispatchSyncOnWorkerQueueBlockID(
      "measurement-driver:request", [&] { result = engine->isNetworkRequestPending(); });
  return result;
}

// Resigns active, as the user leaving the app does, once the calls made so far (a return to
// active queues a conversion-value fetch) have been handled and no engine request is out
// (waited for, bounded): the upload pass that resigning starts stops when it finds the one
// network slot taken, and the schedule would run it again only much later.
void resignActiveWhenNoRequestIsOut(UIApplication& application) {
  barrier(10);
  for (int i = 0; i < 200 && requestOut(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  application.willResignActive();
  platform::DispatchQueue::drainMain();
}

// The number of stored events with one of the names (asked on the worker queue).
size_t storedEventCount(const std::vector<std::string>& names) {
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine) return 0;
  size_t count = 0;
  engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("measurement-driver:count", [&] {
    if (engine->database() == nullptr) return;
    for (const APMRawEventData& raw : engine->database()->allRawEventsWithError(nullptr).value_or(
             std::vector<APMRawEventData>{})) {
      std::string name = NANOGetString(*raw.rawEvent(), APMPBEvent::kName).value_or("");
      count += std::find(names.begin(), names.end(), name) != names.end();
    }
  });
  return count;
}

std::string describe(const NANOObject& value) {
  if (const auto* number = std::get_if<NANONumber>(&value)) {
    return number->isFloatingPoint() ? std::to_string(number->doubleValue())
                                     : std::to_string(number->longLongValue());
  }
  if (const auto* text = std::get_if<std::string>(&value)) return "\"" + *text + "\"";
  return "(none)";
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path appDir;
  std::string service = "http://127.0.0.1:8970";
  std::string appID = "1:1234567890:ios:0a1b2c3d";
  std::vector<std::string> events;
  long from = 0, to = -1;
  std::vector<std::string> purchases;
  std::vector<std::string> flags;
  bool upload = false;
  bool debug = false;
  bool trackingAuthorized = false;
  std::string systemVersion;
  std::string model;
  std::vector<std::string> openURLs;
  std::string skanRecords;
  std::vector<std::string> screens;
  double screenSeconds = 1.5;
  std::string attributionToken = platform::AAAttribution::kDefaultToken;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      usage(stdout);
      return 0;
    }
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (argument == "--app-dir")
      appDir = value();
    else if (argument == "--service")
      service = value();
    else if (argument == "--app-id")
      appID = value();
    else if (argument == "--event")
      events.push_back(value());
    else if (argument == "--numbered") {
      std::string range = value();
      if (std::sscanf(range.c_str(), "%ld:%ld", &from, &to) != 2) {
        usage();
        return 2;
      }
    } else if (argument == "--screen")
      screens.push_back(value());
    else if (argument == "--screen-seconds")
      screenSeconds = std::strtod(value().c_str(), nullptr);
    else if (argument == "--attribution-token")
      attributionToken = value();
    else if (argument == "--buy")
      purchases.push_back(value());
    else if (argument == "--flag")
      flags.push_back(value());
    else if (argument == "--upload")
      upload = true;
    else if (argument == "--debug")
      debug = true;
    else if (argument == "--system-version")
      systemVersion = value();
    else if (argument == "--model")
      model = value();
    else if (argument == "--tracking-authorized")
      trackingAuthorized = true;
    else if (argument == "--open-url")
      openURLs.push_back(value());
    else if (argument == "--skan-records")
      skanRecords = value();
    else {
      usage();
      return 2;
    }
  }
  if (appDir.empty()) {
    usage();
    return 2;
  }
  exitOnSignals();
  std::string scheme = "http://";
  if (service.rfind(scheme, 0) != 0) {
    std::fprintf(stderr, "measurement-driver: --service must be an http:// URL on this machine\n");
    return 2;
  }
  std::string host = service.substr(scheme.size());
  while (!host.empty() && host.back() == '/') host.pop_back();
  APMRemoteConfig::setHosts({host, host, host});
  APMSearchAdReporter::setAttributionServiceHost(host);
  platform::AAAttribution::shared()->setToken(attributionToken);
  platform::AAAttribution::registerInRuntime();
  SKProductsRequest::setStoreURL(scheme + host);

  std::filesystem::path bundle = appDir / "Driver.app";
  if (!layOutBundle(bundle, appID)) {
    std::fprintf(stderr, "measurement-driver: cannot write the app bundle in %s\n", bundle.c_str());
    return 1;
  }
  platform::Bundle::setMainBundlePath(bundle);
  if (!platform::AppContainer::setRoot(appDir / "container").ok()) {
    std::fprintf(stderr, "measurement-driver: cannot use the container in %s\n", appDir.c_str());
    return 1;
  }
  if (debug) {
    std::vector<std::string> arguments{"measurement-driver", "-APMAnalyticsDebugEnabled"};
    platform::ProcessInfo::processInfo().setArguments(arguments);
  }

  // Without either, the stand-in's current phone.
  if (!systemVersion.empty() || !model.empty()) {
    OULAppEnvironmentUtil::Configuration configuration =
        OULAppEnvironmentUtil::defaultConfiguration();
    if (!systemVersion.empty()) configuration.systemVersion = systemVersion;
    if (!model.empty()) configuration.deviceModel = model;
    OULAppEnvironmentUtil::setConfiguration(configuration);
  }
  if (trackingAuthorized) {
    // A device whose user authorised tracking: the tracking and advertising frameworks
    // present, status 3, an advertising identifier.
    platform::ATTrackingManager::registerInRuntime();
    platform::ATTrackingManager::setTrackingAuthorizationStatus(3);
    platform::ASIdentifierManager::registerInRuntime();
    platform::ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(
        "6D92078A-8246-4BA4-AE5B-76104861E7DC");
    platform::ASIdentifierManager::sharedManager()->setAdvertisingTrackingEnabled(true);
    APMPlatformIdentitySupport::registerInRuntime();
  }
  if (!skanRecords.empty()) SKAdNetwork::setRecordFile(skanRecords);
  auto delegate = std::make_shared<DriverDelegate>();

  ODCRegisterClasses(platform::ClassRegistry::shared());
  ODCServiceHost::setBaseURL(service);
  KVLAnalyticsRegisterLibrary();
  APMInstallMeasurementFeatures();
  KVLApp::configure();
  if (!KVLApp::isDefaultAppConfigured()) {
    std::fprintf(stderr, "measurement-driver: the platform core did not configure\n");
    return 1;
  }
  std::shared_ptr<UIApplication> application = UIApplication::sharedApplication();
  application->setDelegate(delegate);
  application->didFinishLaunching();
  application->didBecomeActive();
  platform::DispatchQueue::drainMain();

  // Screens: kept alive to the end, as an app keeps its window.
  std::shared_ptr<UIWindow> window;
  auto navigation = std::make_shared<UINavigationController>();
  for (const std::string& screen : screens) {
    auto controller = std::make_shared<UIViewController>(
        UIViewController::ClassInfo{screen, "UIViewController", true});
    navigation->pushViewController(controller);
    if (!window) {
      window = UIWindow::create();
      window->setRootViewController(navigation);
      window->makeKeyAndVisible();
    }
    platform::DispatchQueue::drainMain();
    std::this_thread::sleep_for(std::chrono::duration<double>(screenSeconds));
    platform::DispatchQueue::drainMain();
  }
  if (!screens.empty()) std::printf("showed %zu screens\n", screens.size());

  // The search-ads answer arrives from the service in real time: wait for it, bounded.
  for (int i = 0; i < 100 && !APMPersistedConfig::sharedInstance()->searchAdCampaignValue(); ++i) {
    platform::DispatchQueue::drainMain();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  for (const std::string& entry : events) {
    size_t colon = entry.find(':');
    std::string name = entry.substr(0, colon);
    platform::Value::Dictionary parameters = colon == std::string::npos
                                                 ? platform::Value::Dictionary{}
                                                 : parseParameters(entry.substr(colon + 1));
    KVLAnalytics::logEventWithName(name, parameters);
  }
  // Opened as the system opens them: the application hands each to its delegate and to the
  // delegate proxy's interceptors (the measurement library's among them).
  // The library installs its app-delegate proxy from the main queue once its start has run on
  // the public-call queue: let both run first, as the app's run loop would.
  if (!openURLs.empty()) {
    if (!barrier(60)) {
      std::fprintf(stderr, "measurement-driver: the engine did not answer\n");
      return 1;
    }
    platform::DispatchQueue::drainMain();
  }
  for (const std::string& url : openURLs) {
    // As the system hands them over: a web link with a host is a universal link (a browsing
    // activity), anything else goes to the app's URL handler.
    std::optional<platform::URL> parsed = platform::URL::URLWithString(url);
    if (parsed && (parsed->scheme() == "http" || parsed->scheme() == "https") &&
        !parsed->host().empty()) {
      application->deliverContinueUserActivity({platform::NSUserActivityTypeBrowsingWeb, url, {}},
                                               {});
    } else {
      application->deliverOpenURL(url, {});
    }
  }
  if (!barrier(60)) {
    std::fprintf(stderr, "measurement-driver: the engine did not answer\n");
    return 1;
  }
  if (!events.empty()) {
    std::printf("logged %zu %s\n", events.size(), events.size() == 1 ? "event" : "events");
  }
  for (long i = from; i <= to; ++i) {
    KVLAnalytics::logEventWithName("n", {{"seq", platform::Value(int64_t{i})}});
    if (!barrier(60)) return 1;
    if (newestStoredSeq() != i) {
      std::fprintf(stderr,
                   "measurement-driver: event %ld was not stored (is the database usable?)\n", i);
      return 1;
    }
    std::printf("mark %ld\n", i);
    std::fflush(stdout);
  }

  if (!purchases.empty()) {
    int64_t next = static_cast<int64_t>(platform::Clock::current()->now() * 1000);
    for (const std::string& product : purchases) {
      APMStoreKitTransaction transaction;
      transaction.productID = product;
      transaction.transactionID = std::to_string(next++);
      transaction.originalTransactionID = transaction.transactionID;
      transaction.productType = 1;  // consumable
      transaction.purchaseDate = platform::Clock::current()->now();
      transaction.isVerified = true;
      KVLAnalytics::logTransaction(transaction);
    }
    // The report asks the store for the product first: poll, bounded.
    size_t reported = 0;
    for (int i = 0; i < 600 && reported < purchases.size(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      reported = storedEventCount({"_iap", "_iapx", "_assr", "_assc"});
    }
    std::printf("purchases reported: %zu of %zu\n", reported, purchases.size());
    std::fflush(stdout);
  }

  if (!flags.empty()) {
    // The first experiment fetch comes 10 s after the start: wait for its answer, bounded.
    // (A launch less than four hours after the last fetch fetches nothing new.)
    APMUserDefaults suite{std::string(APMETaskManager::kSuiteName)};
    double success = suite.doubleForKey(APMETaskManager::kSuccessKey);
    double failure = suite.doubleForKey(APMETaskManager::kFailureKey);
    bool answered = false;
    for (int i = 0; i < 600 && !answered; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      answered = suite.doubleForKey(APMETaskManager::kSuccessKey) != success ||
                 suite.doubleForKey(APMETaskManager::kFailureKey) != failure;
    }
    platform::DispatchQueue::waitUntilIdle();
    std::shared_ptr<APMEManager> manager = APMEManager::sharedInstance();
    APMErrorSlot error;
    bool activated = manager->activateSnapshotOfSDK("app_measurement", &error);
    std::printf("experiments %s\n", !answered   ? "not fetched"
                                    : activated ? "activated"
                                                : "fetched, nothing new");
    for (const std::string& name : flags) {
      std::printf("flag %s = %s\n", name.c_str(),
                  describe(manager->flagValueForFlagName(name, "app_measurement")).c_str());
    }
    std::fflush(stdout);
  }

  if (upload) {
    resignActiveWhenNoRequestIsOut(*application);
    // A real service answers in real time: poll, bounded.
    bool done = false;
    for (int i = 0; i < 1200 && !done; ++i) {
      platform::DispatchQueue::drainMain();
      done = drained();
      if (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // A retry the schedule set for later is asked for now, by leaving the app again: the
        // driver waits for nothing. Not more often: each return to active also asks for the
        // conversion value, whose request holds the one network slot until it is answered.
        if (i % 100 == 99) {
          application->didBecomeActive();
          platform::DispatchQueue::drainMain();
          resignActiveWhenNoRequestIsOut(*application);
        }
      }
    }
    if (!done) {
      std::fprintf(stderr, "measurement-driver: data still waiting to be uploaded\n");
      return 1;
    }
    std::printf("uploaded\n");
    std::fflush(stdout);
    if (!skanRecords.empty()) {
      // Coming back to the foreground asks for the conversion value at once.
      application->willEnterForeground();
      application->didBecomeActive();
      for (int i = 0; i < 200 && SKAdNetwork::records().empty(); ++i) {
        platform::DispatchQueue::drainMain();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      SKAdNetwork::waitUntilIdle();
      barrier(10);
      if (SKAdNetwork::records().empty()) {
        // The service gives an app instance each value once.
        std::fprintf(stderr, "measurement-driver: no new SKAdNetwork conversion value\n");
        return 1;
      }
      std::printf("skan updated\n");
    }
  }
  return 0;
}
