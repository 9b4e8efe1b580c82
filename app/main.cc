// The app: app [--data-dir DIR] [--bundle DIR] [--port N] [--tracking-answer N]
// [--system-version V] [--model M] [--launch-url URL] [-LaunchArgument]...   (--help: this usage)
//
// Starts as the phone starts an app: the delegate launches on the main run loop (configuring the
// platform core, which starts measurement), the bridge loads each plug-in once, the web content
// is served on 127.0.0.1 and the app becomes active. It prints the page's URL (with a one-time
// secret, and the socket key in its fragment, each good for one use; `run.sh page-url` asks for
// another) and writes "app-control.json" (the URL and this run's token, readable by the user
// only) into the data folder, through which `run.sh open-url` opens a URL as the system would:
// the application object hands it to its delegate, beside the delegate proxy's interceptors (the
// measurement library's among them). The app's window shows the runtime's view controller from
// launch.
//
// --launch-url URL starts the app as the system starts one that a link opened: the link (the
// same links `run.sh open-url` takes, OpenedLink) is in the launch options that the delegate and
// the did-finish-launching notification get, and is then handed to the delegate through the
// application object, in the launch's own main-queue turn, before the app becomes active.
//
// Ctrl-C (or SIGTERM) sends the app to the background as the phone does when the user leaves it:
// once the events it already accepted are stored, it resigns active, enters the background, and
// runs while the measurement library holds its background task (so pending events upload first, at
// most 32 s: the background time, then the expired tasks' grace), then terminates. A second Ctrl-C
// ends it at once. Arguments that start with a single
// "-" are the app's launch arguments (e.g. -KVLAnalyticsDebugEnabled), read by the libraries.
#include <signal.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "AppMeasurement/PrivateSetMembership/Sources/ODCServiceHost.h"
#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/features/APMFeatureInstaller.h"
#include "AppMeasurement/features/APMSearchAdReporter.h"
#include "AppMeasurement/foundation/APMPlatformIdentitySupport.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCRegistration.h"
#include "app/AppDelegate.h"
#include "app/AppExit.h"
#include "app/AppLifecycle.h"
#include "app/DynamicLinks/CapacitorKavrelinDynamicLinks.h"
#include "app/FacebookLogin/FacebookLoginPlugin.h"
#include "app/KavrelinAnalytics/EngineAnalyticsFacade.h"
#include "app/KavrelinAnalytics/KavrelinAnalytics.h"
#include "app/OpenedLink.h"
#include "platform/adservices/AAAttribution.h"
#include "platform/adsupport/ASIdentifierManager.h"
#include "platform/capacitor/CAPBridge.h"
#include "platform/capacitor/CAPWebHost.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/runtime/SwiftValue.h"
#include "platform/storekit/SKAdNetwork.h"
#include "platform/tracking/ATTrackingManager.h"
#include "platform/uikit/UIApplication.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace fs = std::filesystem;
using platform::Value;

namespace {

// The background time the phone grants an app that left the foreground, and how long the
// expired tasks' handlers then have to end their work.
constexpr double kBackgroundTimeSeconds = 30;
constexpr double kExpirationGraceSeconds = 2;

struct Arguments {
  fs::path dataDir;
  fs::path bundle;
  uint16_t port = 0;
  int trackingAnswer = 3;
  // The device the libraries see, to try older releases or other devices; empty: the stand-in's
  // current phone (OULAppEnvironmentUtil's defaults).
  std::string systemVersion;
  std::string model;
  // The link the app is launched with, if any.
  std::optional<OpenedLink> launchLink;
};

constexpr const char* kUsage =
    "usage: app [--data-dir DIR] [--bundle DIR] [--port N] [--tracking-answer 0-3]"
    " [--system-version V] [--model M] [--launch-url URL] [-LaunchArgument]...\n";

// The options that take a value.
const std::set<std::string> kOptions = {"--data-dir",        "--bundle",         "--port",
                                        "--tracking-answer", "--system-version", "--model",
                                        "--launch-url"};

[[noreturn]] void usage(const std::string& problem) {
  std::cerr << "app: " << problem << "\n" << kUsage;
  std::exit(2);
}

// A launch argument of the phone's kind: one dash, then a name (e.g. -KVLAnalyticsDebugEnabled).
bool isLaunchArgument(const std::string& argument) {
  return argument.size() > 1 && argument[0] == '-' && argument[1] != '-';
}

Arguments parse(int argc, char** argv) {
  Arguments args;
  const char* home = std::getenv("XDG_DATA_HOME");
  args.dataDir = home ? fs::path(home) / "kavrelin-app"
                      : fs::path(std::getenv("HOME") ? std::getenv("HOME") : ".") /
                            ".local/share/kavrelin-app";
  args.bundle = fs::canonical("/proc/self/exe").parent_path() / "App.bundle";
  // Checked once the bundle, which declares the app's URL schemes, is known.
  std::optional<std::string> launchURL;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (isLaunchArgument(flag)) continue;  // the libraries read it from the process's arguments
    if (flag == "--help") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (kOptions.count(flag) == 0) usage("unknown option " + flag);
    if (i + 1 >= argc) usage("missing value after " + flag);
    std::string value = argv[++i];
    if (flag == "--data-dir") {
      args.dataDir = value;
    } else if (flag == "--bundle") {
      args.bundle = value;
    } else if (flag == "--system-version") {
      if (value.empty() || value.find_first_not_of("0123456789.") != std::string::npos ||
          !std::isdigit(static_cast<unsigned char>(value[0]))) {
        usage("bad --system-version " + value);
      }
      args.systemVersion = value;
    } else if (flag == "--model") {
      if (value.empty()) usage("bad --model (e.g. iPhone16,1)");
      args.model = value;
    } else if (flag == "--launch-url") {
      launchURL = value;
    } else if (flag == "--port" || flag == "--tracking-answer") {
      char* end = nullptr;
      long number = std::strtol(value.c_str(), &end, 10);
      bool port = flag == "--port";
      if (*end != '\0' || number < 0 || number > (port ? 65535 : 3))
        usage("bad " + flag + " " + value);
      if (port)
        args.port = static_cast<uint16_t>(number);
      else
        args.trackingAnswer = static_cast<int>(number);
    } else {
      usage("unknown option " + flag);
    }
  }
  if (launchURL) {
    absl::StatusOr<OpenedLink> link = OpenedLink::fromText(
        *launchURL, OpenedLink::declaredSchemes(
                        platform::Bundle::bundleWithPath(args.bundle)->infoDictionary()));
    // The reason, not the text: it may be long.
    if (!link.ok()) usage("bad --launch-url: " + std::string(link.status().message()));
    args.launchLink = *link;
  }
  return args;
}

// Writes the control file so that only this user can read the token (the umask is 077 since
// start-up; the mode is set all the same, as the file holds the token).
void writeControlFile(const fs::path& path, const platform::CAPWebHost& host) {
  Value control = Value::Dictionary{};
  control["url"] = host.origin();
  control["token"] = host.token();
  control["pid"] = static_cast<long long>(::getpid());
  fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << platform::JSONSerialization::dataWithJSONObject(control).value_or("{}") << "\n";
  }
  fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write);
  fs::rename(temporary, path);
}

// A request of the control path, on the host's I/O thread: the work goes to the main queue,
// where the system hands it to the application object, which calls its delegate (and the
// delegate proxy's interceptors beside it).
bool control(const std::shared_ptr<AppLifecycle>& lifecycle, const Value& request) {
  const std::string* action = request.find("action") ? request.find("action")->asString() : nullptr;
  const Value* url = request.find("url");
  const Value* identifier = request.find("identifier");
  if (action == nullptr) return false;
  // What the system hands an app is a link that --launch-url would take too: a universal link
  // (http(s)) or a URL of a scheme the app's Info.plist declares. Anything else is refused
  // (400) rather than delivered, and the app says why.
  if (*action == "open-url" || *action == "continue-activity") {
    if (!url || !url->isString()) return false;
    static const std::set<std::string> schemes =
        OpenedLink::declaredSchemes(platform::Bundle::mainBundle()->infoDictionary());
    absl::StatusOr<OpenedLink> link = OpenedLink::fromText(*url->asString(), schemes);
    if (!link.ok()) {
      std::cerr << "app: refused " << *action << ": " << link.status().message() << std::endl;
      return false;
    }
    if (*action == "continue-activity" && link->kind() != OpenedLink::Kind::kUniversalLink) {
      return false;
    }
  }
  auto main = platform::DispatchQueue::main();
  if (*action == "open-url" && url && url->isString()) {
    main->async(
        [u = *url->asString()] { UIApplication::sharedApplication()->deliverOpenURL(u, {}); });
  } else if (*action == "continue-activity" && url && url->isString()) {
    main->async([u = *url->asString()] {
      UIApplication::sharedApplication()->deliverContinueUserActivity(
          {platform::NSUserActivityTypeBrowsingWeb, u, Value()}, {});
    });
  } else if (*action == "background-url-session" && identifier && identifier->isString()) {
    main->async([id = *identifier->asString()] {
      UIApplication::sharedApplication()->deliverBackgroundURLSessionEvents(
          id, [id] { std::cout << "App: background session " << id << " handled" << std::endl; });
    });
  } else if (*action == "active") {
    main->async([lifecycle] {
      lifecycle->enterForeground();
      lifecycle->becomeActive();
    });
  } else if (*action == "background") {
    main->async([lifecycle] { lifecycle->resignActiveAndEnterBackground(); });
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Everything the app makes (the data folder, the folders the launch makes in it, the
  // measurement database, the keychain beside it) is the user's alone from the first folder on:
  // another local user could otherwise list the names, sizes and times of what is stored.
  ::umask(077);
  Arguments args = parse(argc, argv);
  std::error_code ec;
  fs::create_directories(args.dataDir, ec);
  // A data folder made before (by run.sh or an older app, with the user's umask) is closed too:
  // nothing in it can be reached through it then.
  fs::permissions(args.dataDir, fs::perms::owner_all, ec);
  if (auto status = platform::AppContainer::setRoot(args.dataDir); !status.ok()) {
    usage("cannot use the data folder: " + std::string(status.message()));
  }
  if (!fs::is_directory(args.bundle / "www")) usage("no web content in " + args.bundle.string());
  platform::Bundle::setMainBundlePath(args.bundle);
  if (!args.systemVersion.empty() || !args.model.empty()) {
    OULAppEnvironmentUtil::Configuration device = OULAppEnvironmentUtil::defaultConfiguration();
    if (!args.systemVersion.empty()) device.systemVersion = args.systemVersion;
    if (!args.model.empty()) device.deviceModel = args.model;
    OULAppEnvironmentUtil::setConfiguration(device);
  }

  // Ctrl-C and SIGTERM are taken by one thread, never by a handler: the first sends the app to
  // the background (and it terminates once suspended), a second ends it at once.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // The composition root: every library the app links, installed before the platform core
  // starts measurement. The measurement service is the local one unless KVL_MEASUREMENT_HOST
  // names another ("host:port"; plain http only to this machine).
  if (const char* measurementHost = std::getenv("KVL_MEASUREMENT_HOST")) {
    APMRemoteConfig::setHosts({measurementHost, measurementHost, measurementHost});
    APMSearchAdReporter::setAttributionServiceHost(measurementHost);
  }
  // The app links AdServices: its attribution token is KVL_ATTRIBUTION_TOKEN, else one the
  // local service attributes.
  if (const char* token = std::getenv("KVL_ATTRIBUTION_TOKEN")) {
    platform::AAAttribution::shared()->setToken(token);
  }
  platform::AAAttribution::registerInRuntime();
  APMInstallMeasurementFeatures();
  // The on-device conversion classes, found by name by the measurement library; their service
  // paths are the measurement service's unless KVL_ODC_SERVICE_URL names another.
  ODCRegisterClasses(platform::ClassRegistry::shared());
  if (!std::getenv("KVL_ODC_SERVICE_URL")) {
    ODCServiceHost::setBaseURL(APMRemoteConfig::baseURLWithHost(APMRemoteConfig::hosts().upload));
  }
  KVLAnalyticsRegisterLibrary();
  KVLAnalyticsFacade::install(std::make_shared<EngineAnalyticsFacade>());
  // The frameworks the library finds by name: tracking authorisation and the advertising
  // identifier (through the identity support); on-device conversion is registered above.
  platform::ATTrackingManager::registerInRuntime();
  platform::ATTrackingManager::setRequestAnswer(args.trackingAnswer);
  platform::ASIdentifierManager::registerInRuntime();
  // A current system hands apps the all-zero advertising identifier unless the user authorises
  // tracking: the phone's own identifier only for the answer 3.
  if (args.trackingAnswer == 3) {
    platform::ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(
        "3F2504E0-4F89-41D3-9A0C-0305E82C3301");
  }
  APMPlatformIdentitySupport::registerInRuntime();
  // The web layer's runtime is Swift, so its value box exists in the process.
  platform::SwiftValue::registerInRuntime();

  auto delegate = std::make_shared<AppDelegate>();
  delegate->setTrackingRequest([](std::function<void(int)> completion) {
    platform::ATTrackingManager::requestTrackingAuthorization(completion);
  });
  auto lifecycle = std::make_shared<AppLifecycle>(delegate, UIApplication::sharedApplication());
  UIApplication::sharedApplication()->setDelegate(delegate);
  // SKAdNetwork's conversion-value updates, one JSON line each, for the developer to see.
  SKAdNetwork::setRecordFile((args.dataDir / "skadnetwork-updates.jsonl").string());
  auto bridge = platform::CAPBridge::create();
  bridge->setViewController(std::make_shared<platform::CAPBridgeViewController>());
  // The app's window shows the runtime's view controller from launch.
  lifecycle->setRootViewController(bridge->viewController());

  // The port first: when it cannot be had, nothing has started yet and the app just ends.
  // Never destroyed: late answers of plug-ins (on other queues) may still reach the host's
  // sockets while the process exits; stop() below closes them first.
  static auto& host = *new std::unique_ptr<platform::CAPWebHost>();
  try {
    host = std::make_unique<platform::CAPWebHost>(bridge, args.bundle / "www", args.port);
  } catch (const std::exception& e) {
    std::cerr << "app: " << e.what() << "\n";
    return 1;
  }

  std::thread([signals, lifecycle, bridge] {
    int received = 0;
    sigwait(&signals, &received);
    std::cout << "App: leaving the foreground; pending data uploads first (Ctrl-C again ends "
                 "at once)"
              << std::endl;
    // From now on the bridge refuses calls, and what it answered before is stored first, so
    // that the background upload carries it; on a thread of its own, so that a second Ctrl-C
    // is still heard meanwhile.
    std::thread([lifecycle, bridge] {
      AppExit::storeAnsweredCalls(bridge);
      platform::DispatchQueue::main()->async([lifecycle] {
        lifecycle->resignActiveAndEnterBackground();
        lifecycle->suspendWhenIdle(kBackgroundTimeSeconds, kExpirationGraceSeconds,
                                   [] { platform::DispatchQueue::stopMainLoop(); });
      });
    }).detach();
    sigwait(&signals, &received);
    platform::DispatchQueue::stopMainLoop();
    platform::DispatchQueue::main()->async([] {});
  }).detach();

  platform::DispatchQueue::main()->async([&] {
    // The delegate's launch starts the measurement library, whose start-up (on its public-call
    // queue, then on its worker queue) reads the launch-link cache; the did-finish-launching
    // notification that fills the cache is posted after the delegate returns. The public-call
    // queue is held until the notification has been posted, so start-up always finds the link.
    std::promise<void> launched;
    APMAnalytics::queue()->async([posted = launched.get_future().share()] { posted.wait(); });
    lifecycle->launch(args.launchLink ? args.launchLink->launchOptions() : Value::Dictionary{});
    launched.set_value();
    bridge->registerPlugin(
        std::make_shared<KavrelinAnalytics>(bridge, "KavrelinAnalytics", "KavrelinAnalytics"));
    bridge->registerPlugin(
        std::make_shared<FacebookLoginPlugin>(bridge, "FacebookLoginPlugin", "FacebookLogin"));
    bridge->registerPlugin(std::make_shared<CapacitorKavrelinDynamicLinks>(
        bridge, "CapacitorKavrelinDynamicLinks", "CapacitorKavrelinDynamicLinks"));
    // As the system does after a launch by a link: the link itself, once the plug-ins are
    // loaded, before the app becomes active. The measurement library's delegate proxy is not
    // installed yet (the library installs it from a later main-queue turn), so the library
    // counts this link once, from its launch-link cache.
    if (args.launchLink) args.launchLink->deliver(*UIApplication::sharedApplication());
    host->setControlHandler(
        [lifecycle](const Value& request) { return control(lifecycle, request); });
    writeControlFile(args.dataDir / "app-control.json", *host);
    // The address carries a one-time secret (the first browser to open it gets the session) and
    // the key the page opens the bridge socket with.
    std::cout << "App: open " << host->newPageURL() << std::endl;
    // A browser's command line is readable by every local user until the browser has used it.
    std::cout << "App: paste it into an open browser, not on a command line" << std::endl;
    lifecycle->becomeActive();
  });
  platform::DispatchQueue::runMainLoop();

  lifecycle->terminate();
  host->stop();
  fs::remove(args.dataDir / "app-control.json", ec);
  std::cout << "App: stopped" << std::endl;
  return 0;
}
