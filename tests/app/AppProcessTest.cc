// The app as a user runs it: the local measurement service and the app as processes of their
// own, driven as run.sh drives them (`run.sh open-url` on the app's control file), the uploads
// read from the service's record of what reached it and decoded with protoc.
//  - A campaign URL opened as the system would reaches the measurement library through the
//    application-delegate proxy: "_cmp", the stored ad campaign record and "_obraid" arrive.
//  - The app's window shows the hybrid runtime's view controller from launch: an automatic "_vs"
//    with that controller's class arrives.
//  - A universal link is a campaign too; background-session events reach the library's
//    interceptor, which hands them to its network object.
//  - Without --system-version the app is a current phone: universal links, SKAdNetwork
//    conversion values and the tracking status the user gave; --system-version and --model
//    make it another device, whose release and model the uploads carry.
//  - A deferred deep link handed to the app's delegate is one campaign, not two.
//  - Launched by a link (--launch-url): the library caches it from the launch options and
//    reports it at start, with the first open's click time on a fresh install; a cached link
//    that expired while collection was off is dropped, not reported as "(not set)" later.
//    Text that is no link, or a custom scheme the app does not declare, is refused before
//    anything starts; the control route refuses such a scheme too.
//  - Under run.sh's samples a fresh install asks for the deferred deep link; before iOS 14 the
//    server's ATT gate keeps the advertising identifier.
//  - Two sockets opened at once from one page address: the one that loses is refused or closed
//    as a browser expects; the folders and files of the app's data are the user's alone.
//  - The app's host and the three local services answer a HEAD without a body, refusals too,
//    a HEAD refused before its method was read included.
//  - Only a GET spends a page address of the app or of the measurement service.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <utility>  // before Asio

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/JSONSerialization.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/RawHttp.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/WebSocketWire.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using platform::Value;

// Waits on nothing for a tenth of a second: the pace of polling a process for what it did.
void waitATenth() {
  pollfd none{-1, 0, 0};
  ::poll(&none, 0, 100);
}

// The app executable as its own process, its standard output collected on a thread.
class AppProcess {
 public:
  AppProcess(const std::vector<std::string>& arguments,
             const std::vector<std::string>& extraEnvironment) {
    int ends[2];
    if (::pipe(ends) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    // The libraries' log lines, which say what the app has done so far.
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    std::vector<char*> argv;
    std::string program = KVL_TEST_APP;
    argv.push_back(program.data());
    std::vector<std::string> copies = arguments;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = extraEnvironment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    int output = ends[0];
    reader_ = std::thread([this, output] {
      char buffer[1024];
      ssize_t n;
      while ((n = ::read(output, buffer, sizeof buffer)) > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(buffer, static_cast<size_t>(n));
      }
      ::close(output);
    });
  }
  // An app still running is stopped as a user stops it (Ctrl-C), and must exit cleanly: a
  // crash or a sanitizer's report as it ends fails the test that ran it.
  ~AppProcess() {
    if (pid_ > 0) {
      const int status = interrupt();
      if (status != 0) {
        ADD_FAILURE() << "the app did not exit cleanly on Ctrl-C: " << status << "\n" << output();
      }
    }
    if (reader_.joinable()) reader_.join();
  }

  std::string output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }
  // Whether the app printed its page's address (it has launched and written its control file)
  // within about `seconds`.
  bool waitUntilOpen(int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
      if (output().find("App: open ") != std::string::npos) return true;
      if (pid_ <= 0) return false;
      if (::waitpid(pid_, nullptr, WNOHANG) != 0) {  // it ended (or cannot be waited for)
        pid_ = -1;
        return false;
      }
      waitATenth();
    }
    return false;
  }
  // Whether the app wrote `text` within about `seconds`.
  bool waitForOutput(const std::string& text, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
      if (output().find(text) != std::string::npos) return true;
      waitATenth();
    }
    return false;
  }
  // Ctrl-C: the app uploads what is pending, then exits. Answers the exit status.
  int interrupt() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGINT);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  mutable std::mutex mutex_;
  std::string output_;
  std::thread reader_;
};

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class AppProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kvl-app-process-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    work_ = pattern;
    fs::copy(fs::path(KVL_TEST_APP).parent_path() / "App.bundle", work_ / "App.bundle",
             fs::copy_options::recursive);
    // The bundle's link and login services (the default link-service port) move to a closed
    // port: this test starts no link service.
    fs::path info = work_ / "App.bundle" / "Info.plist";
    std::string text = readText(info);
    const std::string linkService = "http://127.0.0.1:8972";
    for (size_t at = text.find(linkService); at != std::string::npos; at = text.find(linkService)) {
      text.replace(at, linkService.size(), closed_.baseURL());
    }
    std::ofstream(info, std::ios::trunc) << text;
  }
  void TearDown() override {
    app_.reset();
    service_.reset();
    std::error_code ignored;
    fs::remove_all(work_, ignored);
  }

  void startService(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments = {"--port", "0", "--data", (work_ / "service").string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    service_ = std::make_unique<testsupport::ServiceProcess>(KVL_TEST_SERVICE, arguments);
  }

  // The app as run.sh starts it, its data where run.sh looks (KVL_RUN_DATA_DIR/app), every
  // service it reaches this test's. In the library's debug mode (its launch argument), so that
  // what it logs is uploaded within seconds.
  void startApp(const std::vector<std::string>& extra = {},
                const std::vector<std::string>& environment = {}) {
    std::string host = service_->baseURL().substr(std::string("http://").size());
    std::vector<std::string> arguments = {"--data-dir",
                                          (work_ / "app").string(),
                                          "--bundle",
                                          (work_ / "App.bundle").string(),
                                          "--port",
                                          "0",
                                          "-KVLAnalyticsDebugEnabled"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::vector<std::string> variables = environment;
    variables.push_back("KVL_MEASUREMENT_HOST=" + host);
    variables.push_back("KVL_ODC_SERVICE_URL=" + service_->baseURL());
    app_ = std::make_unique<AppProcess>(arguments, variables);
    ASSERT_TRUE(app_->waitUntilOpen(120)) << app_->output();
  }

  // Waits until the measurement library's application-delegate proxy is installed (the
  // swizzler's debug line), which is what brings the library the URLs, user activities and
  // background sessions the control path delivers. "App: open" comes before it: the library
  // installs the proxy from a main-queue turn of its own once its engine exists, and a delivery
  // that reaches the main queue first has no interceptor to reach. The proxy's install and the
  // library's interceptor come in that one turn, and the control path hands each delivery to
  // the main queue: one sent after the line is delivered to the interceptor.
  void waitUntilTheLibraryInterceptsDeliveries() {
    ASSERT_TRUE(app_->waitForOutput("[I-SWZ001000]", 120)) << app_->output();
  }

  // The app as a fresh install on a new device, launched until its start-up asks for the
  // deferred deep link. The library decides that once, at start-up: it skips the request (log
  // 23196) when the advertising identifier has not come within the 10 ms it waits for it, as if
  // tracking were limited, and a busy machine can make any launch that slow. Such a launch is
  // ended, the device and what the service recorded of it thrown away, and the next launched
  // (a bound only).
  void startFreshInstallThatAsksForTheDeferredDeepLink() {
    const std::string asks = "[I-ACS023197]";
    const std::string skips = "[I-ACS023196]";
    for (int launch = 0; launch < 10; ++launch) {
      std::error_code ignored;
      fs::remove_all(work_ / "app", ignored);
      fs::remove_all(work_ / "KavrelinKeychain", ignored);
      auto cleared = testsupport::httpRequest("DELETE", service_->baseURL() + "/_control/requests");
      ASSERT_EQ(cleared.status / 100, 2) << cleared.body;
      ASSERT_NO_FATAL_FAILURE(startApp());
      for (int i = 0; i < 1200 && app_->output().find(asks) == std::string::npos &&
                      app_->output().find(skips) == std::string::npos;
           ++i) {
        waitATenth();
      }
      if (app_->output().find(asks) != std::string::npos) return;
      ASSERT_NE(app_->output().find(skips), std::string::npos) << app_->output();
      ASSERT_EQ(app_->interrupt(), 0);
    }
    FAIL() << "ten launches in a row skipped the deferred deep link";
  }

  // Adds a key to the app's Info.plist.
  void addToInfoPlist(const std::string& entry) {
    fs::path info = work_ / "App.bundle" / "Info.plist";
    std::string text = readText(info);
    text.replace(text.rfind("</dict>"), 7, entry + "</dict>");
    std::ofstream(info, std::ios::trunc) << text;
  }

  // The measurement service's options as run.sh gives them.
  static std::vector<std::string> runShSamples() {
    std::string source = KVL_SOURCE_DIR;
    std::string samples = source + "/tools/measurement-service/samples";
    return {"--config-dir",  source + "/tools/measurement-service/sample-config",
            "--deeplink",    samples + "/deeplink.json",
            "--skan",        samples + "/skan.json",
            "--psm-members", source + "/tools/psm-server/sample-members.json"};
  }

  std::string runSh(const std::string& arguments) {
    return testsupport::runCommand("KVL_RUN_DATA_DIR='" + work_.string() + "' bash '" +
                                   KVL_SOURCE_DIR + "/run.sh' " + arguments + " 2>&1");
  }

  // One order on the app's control path (what run.sh sends), with this run's token.
  void control(const std::string& order) {
    auto file = platform::JSONSerialization::JSONObjectWithData(
        testsupport::runCommand("cat '" + (work_ / "app" / "app-control.json").string() + "'"));
    ASSERT_TRUE(file.ok() && file->isDictionary());
    auto answer =
        testsupport::httpRequest("POST", *file->find("url")->asString() + "/_app/control",
                                 {"X-App-Token: " + *file->find("token")->asString()}, order);
    ASSERT_EQ(answer.status, 204) << order << ": " << answer.body;
  }

  // A new address of the app's page (what `run.sh page-url` asks for).
  std::string pageURL() {
    auto file = platform::JSONSerialization::JSONObjectWithData(
        testsupport::runCommand("cat '" + (work_ / "app" / "app-control.json").string() + "'"));
    if (!file.ok() || !file->isDictionary()) return "";
    auto answer = testsupport::httpRequest("POST", *file->find("url")->asString() + "/_app/control",
                                           {"X-App-Token: " + *file->find("token")->asString()},
                                           R"({"action":"page-url"})");
    auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
    const Value* url = parsed.ok() ? parsed->find("url") : nullptr;
    return url && url->asString() ? *url->asString() : "";
  }

  // Every upload that reached the service so far, as protoc decodes it, one after another.
  std::string decodedUploads() {
    auto answer = testsupport::httpRequest("GET", service_->baseURL() + "/_control/requests");
    auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
    std::string decoded;
    if (!parsed.ok() || !parsed->isArray()) return decoded;
    for (const Value& request : *parsed->asArray()) {
      if (*request.find("path")->asString() != "/a") continue;
      std::string body =
          testsupport::runCommand("base64 -d", *request.find("body_base64")->asString());
      decoded += testsupport::runCommand(std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR +
                                             " --decode=apm.MeasurementBatch " +
                                             KVL_TEST_PROTO_DIR + "/measurement_upload.proto",
                                         body);
    }
    return decoded;
  }

  // The decoded uploads once `wanted` is in them (polled for about two minutes), else all
  // that came.
  std::string uploadsOnceTheyHold(const std::string& wanted) {
    std::string decoded;
    for (int i = 0; i < 1200; ++i) {
      decoded = decodedUploads();
      if (decoded.find(wanted) != std::string::npos) break;
      waitATenth();
    }
    return decoded;
  }

  testsupport::ClosedPort closed_;
  fs::path work_;
  std::unique_ptr<testsupport::ServiceProcess> service_;
  std::unique_ptr<AppProcess> app_;
};

// The decoded events of that name, each as its text in protoc's form, each once (a bundle whose
// answer the app missed is sent again).
std::vector<std::string> eventsNamed(const std::string& decoded, const std::string& name) {
  std::vector<std::string> found;
  const std::string marker = "name: \"" + name + "\"";
  // protoc writes one "events {" block per event; its nested blocks are indented further.
  size_t at = 0;
  while ((at = decoded.find("events {\n", at)) != std::string::npos) {
    size_t lineStart = decoded.rfind('\n', at) + 1;
    std::string indent = decoded.substr(lineStart, at - lineStart);
    size_t end = decoded.find("\n" + indent + "}\n", at);
    if (end == std::string::npos) break;
    std::string block = decoded.substr(at, end - at);
    // The event's own name is at the first nesting level.
    if (block.find("\n" + indent + "  " + marker + "\n") != std::string::npos &&
        std::find(found.begin(), found.end(), block) == found.end()) {
      found.push_back(block);
    }
    at = end;
  }
  return found;
}

// Whether an event's text holds that string parameter.
bool hasText(const std::string& event, const std::string& name, const std::string& value) {
  return std::regex_search(event,
                           std::regex("name: \"" + name + "\"\n *string_value: \"" + value + "\""));
}

// The events of that name with that string parameter. (A fresh install also gets the search-ads
// attribution's own "_cmp".)
std::vector<std::string> eventsWith(const std::string& decoded, const std::string& eventName,
                                    const std::string& name, const std::string& value) {
  std::vector<std::string> found;
  for (const std::string& event : eventsNamed(decoded, eventName)) {
    if (hasText(event, name, value)) found.push_back(event);
  }
  return found;
}

TEST_F(AppProcessTest, RunShOpenURLGivesTheCampaignTheRecordAndTheClickIdentifier) {
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp());
  ASSERT_NO_FATAL_FAILURE(waitUntilTheLibraryInterceptsDeliveries());
  std::string opened = runSh(
      "open-url 'com.orvane.kavrelin.app://open?utm_source=news&utm_campaign=spring"
      "&obraid=B1'");
  EXPECT_NE(opened.find(": 204"), std::string::npos) << opened;
  std::string decoded = uploadsOnceTheyHold("string_value: \"spring\"");
  EXPECT_EQ(app_->interrupt(), 0);

  std::vector<std::string> campaigns = eventsWith(decoded, "_cmp", "source", "news");
  ASSERT_EQ(campaigns.size(), 1u) << decoded;
  EXPECT_TRUE(hasText(campaigns[0], "campaign", "spring")) << campaigns[0];
  EXPECT_TRUE(hasText(campaigns[0], "obraid", "B1")) << campaigns[0];
  // The record stored with the campaign goes with the bundle, and "_obraid" is a user property.
  EXPECT_TRUE(
      std::regex_search(decoded, std::regex(R"(ad_campaign_info \{\n *deep_link_obraid: "B1")")))
      << decoded;
  EXPECT_TRUE(hasText(decoded, "_obraid", "B1")) << decoded;
}

TEST_F(AppProcessTest, AUniversalLinkIsACampaignToo) {
  ASSERT_NO_FATAL_FAILURE(startService());
  // Another device, as a user may try one: its release and model go with the uploads.
  ASSERT_NO_FATAL_FAILURE(startApp({"--system-version", "16.4.1", "--model", "iPhone14,2"}));
  ASSERT_NO_FATAL_FAILURE(waitUntilTheLibraryInterceptsDeliveries());
  // run.sh hands http(s) URLs to the app as web-browsing activities.
  std::string opened = runSh("open-url 'https://app.example/welcome?utm_source=web&utm_medium=ul'");
  EXPECT_NE(opened.find("continue-activity"), std::string::npos) << opened;
  std::string decoded = uploadsOnceTheyHold("string_value: \"web\"");
  EXPECT_EQ(app_->interrupt(), 0);
  std::vector<std::string> campaigns = eventsWith(decoded, "_cmp", "source", "web");
  ASSERT_EQ(campaigns.size(), 1u) << decoded;
  EXPECT_TRUE(hasText(campaigns[0], "medium", "ul")) << campaigns[0];
  EXPECT_NE(decoded.find("os_version: \"16.4.1\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("device_model: \"iPhone14,2\""), std::string::npos) << decoded;
}

// Started as run.sh starts it, without --system-version: the app is a current phone. A
// universal link is a campaign, SKAdNetwork conversion values are asked for, and the uploads
// carry the tracking status the user gave (--tracking-answer, 3 by default) and the phone's
// release and model.
TEST_F(AppProcessTest, ByDefaultTheAppIsACurrentPhone) {
  std::string source = KVL_SOURCE_DIR;
  std::string samples = source + "/tools/measurement-service/samples";
  ASSERT_NO_FATAL_FAILURE(
      startService({"--config-dir", source + "/tools/measurement-service/sample-config",
                    "--deeplink", samples + "/deeplink.json", "--skan", samples + "/skan.json"}));
  ASSERT_NO_FATAL_FAILURE(startApp());
  ASSERT_NO_FATAL_FAILURE(waitUntilTheLibraryInterceptsDeliveries());
  std::string opened =
      runSh("open-url 'https://app.example/spring?utm_source=mail&utm_campaign=phone'");
  EXPECT_NE(opened.find("continue-activity"), std::string::npos) << opened;
  std::string decoded = uploadsOnceTheyHold("string_value: \"phone\"");
  std::vector<std::string> campaigns = eventsWith(decoded, "_cmp", "source", "mail");
  ASSERT_EQ(campaigns.size(), 1u) << decoded;
  EXPECT_TRUE(hasText(campaigns[0], "campaign", "phone")) << campaigns[0];
  EXPECT_NE(decoded.find("apple_consent_status: APPLE_CONSENT_STATUS_AUTHORIZED"),
            std::string::npos)
      << decoded;
  EXPECT_NE(decoded.find("os_version: \"17.4\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("device_model: \"iPhone16,1\""), std::string::npos) << decoded;
  // The sample answer's conversion value reaches StoreKit, whose record is in the data folder.
  fs::path skan = work_ / "app" / "skadnetwork-updates.jsonl";
  for (int i = 0; i < 1200 && readText(skan).find("\"fine\"") == std::string::npos; ++i) {
    waitATenth();
  }
  EXPECT_EQ(app_->interrupt(), 0);
  std::string fine = testsupport::runCommand(
      "python3 -c \"import json; print([r['fine'] for r in map(json.loads, open('" + skan.string() +
      "')) if 'fine' in r][:1])\"");
  EXPECT_EQ(fine, "[42]\n") << readText(skan);
}

TEST_F(AppProcessTest, BackgroundSessionEventsReachTheLibrarysNetworkObject) {
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp());
  ASSERT_NO_FATAL_FAILURE(waitUntilTheLibraryInterceptsDeliveries());
  // The app's delegate has no part in it: the library's interceptor hands the events to its
  // network object, which calls the system's completion handler.
  ASSERT_NO_FATAL_FAILURE(
      control(R"({"action":"background-url-session","identifier":"com.example.session"})"));
  const std::string handled = "App: background session com.example.session handled";
  for (int i = 0; i < 600 && app_->output().find(handled) == std::string::npos; ++i) waitATenth();
  EXPECT_NE(app_->output().find(handled), std::string::npos) << app_->output();
  EXPECT_EQ(app_->interrupt(), 0);
}

TEST_F(AppProcessTest, LaunchReportsTheRuntimesViewControllerAsTheFirstScreen) {
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp());
  std::string decoded = uploadsOnceTheyHold("name: \"_vs\"");
  EXPECT_EQ(app_->interrupt(), 0);
  std::vector<std::string> screens = eventsNamed(decoded, "_vs");
  ASSERT_FALSE(screens.empty()) << decoded;
  EXPECT_TRUE(hasText(screens[0], "_sc", "CAPBridgeViewController")) << screens[0];
  // An automatic screen: not one the app named.
  EXPECT_EQ(screens[0].find("name: \"_sn\""), std::string::npos) << screens[0];
}

TEST_F(AppProcessTest, ADeferredDeepLinkIsOneCampaign) {
  // A dynamic link, so that the plug-ins say when it has reached the app's delegate.
  fs::path deeplink = work_ / "deeplink.json";
  std::ofstream(deeplink) << R"({"deeplink": "com.orvane.kavrelin.app://google/link/?)"
                             R"(deep_link_id=https%3A%2F%2Fapp.example%2Fddl&utm_source=ads)"
                             R"(&utm_medium=cpc", "obraid": "D7"})";
  ASSERT_NO_FATAL_FAILURE(startService({"--deeplink", deeplink.string()}));
  // The app's Info.plist switches the deferred deep link on.
  ASSERT_NO_FATAL_FAILURE(startFreshInstallThatAsksForTheDeferredDeepLink());
  const std::string handed = "handleLink() - url: https://app.example/ddl";
  for (int i = 0; i < 1200 && app_->output().find(handed) == std::string::npos; ++i) waitATenth();
  ASSERT_NE(app_->output().find(handed), std::string::npos) << app_->output();
  uploadsOnceTheyHold("string_value: \"ddp\"");
  // Whatever the app still holds goes out as it leaves.
  EXPECT_EQ(app_->interrupt(), 0);
  std::string decoded = decodedUploads();
  // The link's own campaign once, with what the ad service said about it; never a second
  // time through the delegate proxy's interceptors.
  std::vector<std::string> campaigns = eventsWith(decoded, "_cmp", "source", "ads");
  ASSERT_EQ(campaigns.size(), 1u) << decoded;
  EXPECT_TRUE(hasText(campaigns[0], "_cis", "ddp")) << campaigns[0];
  EXPECT_TRUE(hasText(campaigns[0], "obraid", "D7")) << campaigns[0];
}

// A fresh install under run.sh's samples asks the service for the deferred deep link at first
// open (the app's Info.plist switches it on), and the sample link is a campaign.
TEST_F(AppProcessTest, UnderRunShsSamplesAFreshInstallAsksForTheDeferredDeepLink) {
  ASSERT_NO_FATAL_FAILURE(startService(runShSamples()));
  ASSERT_NO_FATAL_FAILURE(startFreshInstallThatAsksForTheDeferredDeepLink());
  std::string decoded = uploadsOnceTheyHold("string_value: \"winter\"");
  EXPECT_EQ(app_->interrupt(), 0);
  auto answer = testsupport::httpRequest("GET", service_->baseURL() + "/_control/requests");
  EXPECT_NE(answer.body.find("\"/pagead/conversion/app/deeplink"), std::string::npos)
      << answer.body;
  std::vector<std::string> campaigns = eventsWith(decoded, "_cmp", "source", "ads");
  ASSERT_EQ(campaigns.size(), 1u) << decoded;
  EXPECT_TRUE(hasText(campaigns[0], "campaign", "winter")) << campaigns[0];
}

// An iOS 12 phone has no tracking status: the server's ATT gate ("measurement.attmas_gate")
// does not hold its advertising identifier back, and the uploads carry no status.
TEST_F(AppProcessTest, BeforeIOS14TheATTGateKeepsTheAdvertisingIdentifier) {
  fs::path configs = work_ / "config";
  fs::create_directories(configs);
  std::ofstream(configs / "1:1234567890:ios:0a1b2c3d4e5f6a7b.json")
      << R"({"app_id": "1:1234567890:ios:0a1b2c3d4e5f6a7b", "version": 1, "settings": [)"
      << R"({"name": "measurement.attmas_gate", "value": "1"},)"
      << R"({"name": "measurement.upload.interval", "value": "15000"}]})";
  ASSERT_NO_FATAL_FAILURE(startService({"--config-dir", configs.string()}));
  ASSERT_NO_FATAL_FAILURE(startApp({"--system-version", "12.0", "--tracking-answer", "3"}));
  std::string decoded = uploadsOnceTheyHold("name: \"_f\"");
  EXPECT_EQ(app_->interrupt(), 0);
  ASSERT_FALSE(eventsNamed(decoded, "_f").empty()) << decoded;
  EXPECT_NE(decoded.find("resettable_device_id: \"3F2504E0-4F89-41D3-9A0C-0305E82C3301\""),
            std::string::npos)
      << decoded;
  EXPECT_EQ(decoded.find("vendor_device_id"), std::string::npos) << decoded;
  EXPECT_EQ(decoded.find("apple_consent_status"), std::string::npos) << decoded;
}

// The app is handed only the custom schemes its Info.plist declares: another scheme at the
// control route is refused (400, the app says why) and makes no campaign; a declared one is
// opened.
TEST_F(AppProcessTest, AnUndeclaredSchemeIsRefusedAtTheControlRoute) {
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp());
  ASSERT_NO_FATAL_FAILURE(waitUntilTheLibraryInterceptsDeliveries());
  for (const char* url : {"javascript:alert(1)", "other.app://open?utm_source=undeclared"}) {
    SCOPED_TRACE(url);
    std::string opened = runSh(std::string("open-url '") + url + "'");
    EXPECT_NE(opened.find(": 400"), std::string::npos) << opened;
  }
  EXPECT_TRUE(app_->waitForOutput("the app declares no URL scheme \"javascript\"", 10))
      << app_->output();
  EXPECT_TRUE(app_->waitForOutput("the app declares no URL scheme \"other.app\"", 10))
      << app_->output();
  std::string opened = runSh("open-url 'com.orvane.kavrelin.app://open?utm_source=declared'");
  EXPECT_NE(opened.find(": 204"), std::string::npos) << opened;
  std::string decoded = uploadsOnceTheyHold("string_value: \"declared\"");
  EXPECT_EQ(app_->interrupt(), 0);
  EXPECT_EQ(eventsWith(decoded, "_cmp", "source", "declared").size(), 1u) << decoded;
  EXPECT_TRUE(eventsWith(decoded, "_cmp", "source", "undeclared").empty()) << decoded;
}

// --- Launched by a link ---

constexpr const char* kLaunchLink =
    "com.orvane.kavrelin.app://open?utm_source=news&utm_campaign=spring";

// An event's integer parameter, or its own time ("timestamp_millis", which parameters lack).
std::optional<int64_t> integer(const std::string& event, const std::string& name) {
  std::smatch match;
  std::string pattern = name == "timestamp_millis"
                            ? "\n *timestamp_millis: (-?[0-9]+)"
                            : "name: \"" + name + "\"\n *int_value: (-?[0-9]+)";
  if (!std::regex_search(event, match, std::regex(pattern))) return std::nullopt;
  return std::stoll(match[1]);
}

// The link's campaign: the only "_cmp" from it, no "_cmpx", with the click time given and the
// "_cc" of a stored link (the start of the hour before the one it was stored in).
void expectStoredCampaign(const std::string& decoded, std::optional<int64_t> clickTime) {
  EXPECT_TRUE(eventsNamed(decoded, "_cmpx").empty()) << decoded;
  std::vector<std::string> campaigns = eventsWith(decoded, "_cmp", "source", "news");
  ASSERT_EQ(campaigns.size(), 1u) << decoded;
  EXPECT_TRUE(hasText(campaigns[0], "campaign", "spring")) << campaigns[0];
  EXPECT_EQ(integer(campaigns[0], "click_timestamp"), clickTime) << campaigns[0];
  int64_t time = integer(campaigns[0], "timestamp_millis").value_or(0);
  EXPECT_EQ(integer(campaigns[0], "_cc"), time / 3600000 * 3600000 - 3600000) << campaigns[0];
}

// The launch-link cache in the app's preferences, read with Python's plistlib ("none" when
// empty); "age S" moves its time S seconds back.
std::string launchLinkCache(const fs::path& appData, const std::string& action = "read") {
  return testsupport::runCommand("python3 - '" + appData.string() + "' " + action, R"PY(
import pathlib, plistlib, sys
found, key = "none", "/orvane/measurement/deep_link"
for path in pathlib.Path(sys.argv[1]).rglob("*.plist"):
    data = path.read_bytes()
    try:
        values = plistlib.loads(data)
    except Exception:
        continue
    if isinstance(values, dict) and key in values:
        found = values[key]
        if sys.argv[2] == "age":
            values[key + "_timestamp_seconds"] -= float(sys.argv[3])
            kind = plistlib.FMT_BINARY if data.startswith(b"bplist") else plistlib.FMT_XML
            path.write_bytes(plistlib.dumps(values, fmt=kind))
print(found, end="")
)PY");
}

// A fresh install: the link is the first open's campaign, clicked a millisecond before it.
// The other "_cmp" is the search-ads attribution's.
TEST_F(AppProcessTest, ALaunchLinkIsTheFirstOpensCampaign) {
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp({"--launch-url", kLaunchLink}));
  uploadsOnceTheyHold("string_value: \"spring\"");
  uploadsOnceTheyHold("string_value: \"Apple\"");
  EXPECT_EQ(app_->interrupt(), 0);
  std::string decoded = decodedUploads();
  std::vector<std::string> firstOpens = eventsNamed(decoded, "_f");
  ASSERT_EQ(firstOpens.size(), 1u) << decoded;
  expectStoredCampaign(decoded, integer(firstOpens[0], "timestamp_millis").value_or(0) - 1);
  EXPECT_EQ(eventsNamed(decoded, "_cmp").size(), 2u) << decoded;
  EXPECT_EQ(eventsWith(decoded, "_cmp", "source", "Apple").size(), 1u) << decoded;
  EXPECT_EQ(launchLinkCache(work_ / "app"), "none");
}

// Installed before (its first run made the search-ads "_cmp"): the stored campaign at start,
// without a click time.
TEST_F(AppProcessTest, ALaunchLinkOfAnInstalledAppIsTheStoredCampaign) {
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp());
  uploadsOnceTheyHold("string_value: \"Apple\"");
  ASSERT_EQ(app_->interrupt(), 0);
  ASSERT_NO_FATAL_FAILURE(startApp({"--launch-url", kLaunchLink}));
  uploadsOnceTheyHold("string_value: \"spring\"");
  EXPECT_EQ(app_->interrupt(), 0);
  std::string decoded = decodedUploads();
  EXPECT_EQ(eventsNamed(decoded, "_f").size(), 1u) << decoded;
  expectStoredCampaign(decoded, std::nullopt);
  EXPECT_EQ(eventsNamed(decoded, "_cmp").size(), 2u) << decoded;
  EXPECT_EQ(launchLinkCache(work_ / "app"), "none");
}

// Collection off at start (the Info.plist switch) with a cached link older than its time to
// live: the link is dropped, so the next start with collection on reports no "(not set)".
TEST_F(AppProcessTest, ALaunchLinkThatExpiredWhileCollectionWasOffIsDropped) {
  ASSERT_NO_FATAL_FAILURE(startService());
  fs::path info = work_ / "App.bundle" / "Info.plist";
  std::string enabled = readText(info);
  addToInfoPlist("<key>KAVRELIN_ANALYTICS_COLLECTION_ENABLED</key><false/>");
  for (const char* link : {kLaunchLink, ""}) {
    // "Analytics collection disabled": the engine has started, switched off.
    ASSERT_NO_FATAL_FAILURE(startApp(*link ? std::vector<std::string>{"--launch-url", link}
                                           : std::vector<std::string>{}));
    ASSERT_TRUE(app_->waitForOutput("I-ACS023013", 120)) << app_->output();
    ASSERT_EQ(app_->interrupt(), 0);
    // The first time it is fresh and kept; eight days pass.
    if (*link) {
      ASSERT_EQ(launchLinkCache(work_ / "app", "age 691200"), kLaunchLink);
    }
  }
  EXPECT_EQ(launchLinkCache(work_ / "app"), "none");
  std::ofstream(info, std::ios::trunc) << enabled;
  ASSERT_NO_FATAL_FAILURE(startApp());
  uploadsOnceTheyHold("string_value: \"Apple\"");
  EXPECT_EQ(app_->interrupt(), 0);
  std::string decoded = decodedUploads();
  EXPECT_EQ(eventsNamed(decoded, "_f").size(), 1u) << decoded;
  EXPECT_TRUE(eventsNamed(decoded, "_cmpx").empty()) << decoded;
  EXPECT_EQ(decoded.find("(not set)"), std::string::npos) << decoded;
  EXPECT_EQ(eventsNamed(decoded, "_cmp").size(), 1u) << decoded;
}

// Text that is no link is refused (status 2) before the app makes its data folder. (An app that
// took it would run: it is stopped after a minute, and the status tells.)
TEST_F(AppProcessTest, ALaunchURLThatIsNoLinkIsRefused) {
  std::string tooLong = std::string(kLaunchLink) + "&utm_content=" + std::string(120 << 10, 'x');
  // A custom scheme the app's Info.plist does not declare is not the app's to open either.
  for (const std::string& text :
       {std::string("not a link"), tooLong, std::string(kLaunchLink) + "%zz",
        std::string("https:///x"), std::string("javascript:alert(1)"),
        std::string("other.app://open?utm_source=news")}) {
    SCOPED_TRACE(text.substr(0, 60));
    fs::path data = work_ / "refused";
    EXPECT_EQ(testsupport::runCommand(std::string("timeout -s KILL 60 '") + KVL_TEST_APP +
                                      "' --data-dir '" + data.string() + "' --launch-url '" + text +
                                      "' 2>/dev/null; echo $?"),
              "2\n");
    EXPECT_FALSE(fs::exists(data));
  }
}

// --help is answered with the usage, and nothing starts; an option the app does not know is
// named as unknown, whether or not a value follows it.
TEST_F(AppProcessTest, TheCommandLineIsAnswered) {
  struct Case {
    std::string arguments;
    std::string status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"--help", "0", "usage: app [--data-dir DIR]", ""},
      {"--port 0 --help", "0", "usage: app [--data-dir DIR]", ""},
      {"--bogus", "2", "", "app: unknown option --bogus\nusage: app"},
      {"--bogus value", "2", "", "app: unknown option --bogus\nusage: app"},
      {"--port", "2", "", "app: missing value after --port\nusage: app"},
      {"--port x", "2", "", "app: bad --port x\nusage: app"},
  };
  fs::path data = work_ / "never";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    fs::path out = work_ / "out", err = work_ / "err";
    EXPECT_EQ(testsupport::runCommand(std::string("timeout -s KILL 60 '") + KVL_TEST_APP +
                                      "' --data-dir '" + data.string() + "' " + c.arguments +
                                      " >'" + out.string() + "' 2>'" + err.string() + "'; echo $?"),
              c.status + "\n");
    std::string printed = readText(out), complained = readText(err);
    if (c.out.empty()) {
      EXPECT_EQ(printed, "");
    } else {
      EXPECT_EQ(printed.rfind(c.out, 0), 0u) << printed;
    }
    if (c.err.empty()) {
      EXPECT_EQ(complained, "");
    } else {
      EXPECT_EQ(complained.rfind(c.err, 0), 0u) << complained;
    }
    EXPECT_FALSE(fs::exists(data));
  }
}

// The device's keychain is beside the app's data folder (run.sh's build/run-data/app), not in the
// user's data dir: removing the data folder is a reinstall, whose first open says there was one
// before ("_pfo" 1); removing the folder that holds both is a new device. The user's own
// keychain folder (HOME and XDG_DATA_HOME here temporary folders) is never touched.
TEST_F(AppProcessTest, TheKeychainIsBesideTheDataFolderNotTheUsers) {
  const std::vector<std::string> user = {"HOME=" + (work_ / "home").string(),
                                         "XDG_DATA_HOME=" + (work_ / "home" / "data").string()};
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp({}, user));
  uploadsOnceTheyHold("name: \"_f\"");
  ASSERT_EQ(app_->interrupt(), 0);
  EXPECT_TRUE(fs::exists(work_ / "KavrelinKeychain" / "keychain.plist"));
  // A reinstall: a new data folder in the same place.
  fs::remove_all(work_ / "app");
  ASSERT_NO_FATAL_FAILURE(startApp({}, user));
  std::string decoded;
  for (int i = 0; i < 1200 && eventsNamed(decoded, "_f").size() < 2; ++i) {
    decoded = decodedUploads();
    waitATenth();
  }
  EXPECT_EQ(app_->interrupt(), 0);
  std::vector<std::string> firstOpens = eventsNamed(decoded, "_f");
  ASSERT_EQ(firstOpens.size(), 2u) << decoded;
  EXPECT_FALSE(std::regex_search(firstOpens[0], std::regex("name: \"_pfo\"\n *int_value: [1-9]")))
      << firstOpens[0];
  EXPECT_TRUE(std::regex_search(firstOpens[1], std::regex("name: \"_pfo\"\n *int_value: 1\n")))
      << firstOpens[1];
  EXPECT_FALSE(fs::exists(work_ / "home" / ".local" / "share" / "KavrelinKeychain"));
  EXPECT_FALSE(fs::exists(work_ / "home" / "data" / "KavrelinKeychain"));
}

// Two sockets opened from one address at once, the first one's acknowledgement read while the
// other's handshake may still be under way: the other is refused, or closed (4000) after its
// handshake, written as a server writes (unmasked), with nothing after the close; the first
// works on. A browser fails the connection on anything else, and the page never learns that it
// must be opened from a new address.
TEST_F(AppProcessTest, TwoOpenersOfOneAddressRaceWithoutAProtocolFault) {
  using testsupport::WebSocketWire;
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp());
  const std::string ping = R"({"callbackId":"p","pluginId":"KavrelinAnalytics","methodName":"x"})";
  boost::asio::io_context io;
  int closed = 0, refused = 0;
  for (int i = 0; i < 600 && !HasFailure(); ++i) {
    SCOPED_TRACE("race " + std::to_string(i));
    const std::string url = pageURL();
    const size_t query = url.find("/?"), fragment = url.find("#key=");
    ASSERT_TRUE(query != std::string::npos && fragment != std::string::npos) << url;
    const std::string host =
        url.substr(std::string("http://").size(), query - std::string("http://").size());
    const std::string key = url.substr(fragment + 5);
    auto login = testsupport::httpRequest("GET", url.substr(0, fragment));
    ASSERT_EQ(login.status, 303);
    const std::string cookie =
        login.header("Set-Cookie").substr(0, login.header("Set-Cookie").find(';'));
    const auto port = static_cast<uint16_t>(std::stoi(host.substr(host.find(':') + 1)));
    WebSocketWire page(io, port);
    page.write(WebSocketWire::upgradeRequest(host, key, cookie));
    ASSERT_EQ(page.readStatus(), 101);
    auto first = page.readFrame();
    ASSERT_TRUE(first && !first->masked);
    auto next = platform::JSONSerialization::JSONObjectWithData(first->payload);
    ASSERT_TRUE(next.ok() && next->find("bridgeKey") && next->find("bridgeKey")->asString());
    const std::string kept = WebSocketWire::clientText(
        R"({"bridgeKeyKept":")" + *next->find("bridgeKey")->asString() + "\"}");
    WebSocketWire opener(io, port);
    const std::string upgrade = WebSocketWire::upgradeRequest(host, key, cookie);
    // The acknowledgement from 0 to 200 microseconds after the opener's request, in turns: the
    // window in which the host has opened the opener's socket and not yet answered its
    // handshake is somewhere in there, whatever the machine's pace.
    opener.write(upgrade);
    const auto after = std::chrono::steady_clock::now() + std::chrono::microseconds(i % 51 * 4);
    while (std::chrono::steady_clock::now() < after) {
    }
    page.write(kept);
    const int status = opener.readStatus();
    if (status == 403) {
      ++refused;
    } else {
      ASSERT_EQ(status, 101);
      const std::vector<WebSocketWire::Frame> frames = opener.readToEnd();
      EXPECT_EQ(WebSocketWire::faults(frames), "");
      ASSERT_FALSE(frames.empty());
      EXPECT_EQ(frames.back().closeCode(), 4000);
      ++closed;
    }
    // The first works on: a call is answered (an unknown method is still answered).
    page.write(WebSocketWire::clientText(ping));
    auto answer = page.readFrame();
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->masked);
    EXPECT_NE(answer->payload.find("\"callbackId\":\"p\""), std::string::npos) << answer->payload;
  }
  EXPECT_GT(closed, 0);  // the race was run, not only refused
  std::cout << "opener closed after its handshake " << closed << " times, refused " << refused
            << " times" << std::endl;
}

// Every folder the app makes under its data folder (and the keychain's beside it) is the user's
// alone, from launch on, under a user's usual umask; every file too. A data folder made before
// with that umask (as an older run.sh made it) is closed too.
TEST_F(AppProcessTest, TheDataIsTheUsersAlone) {
  ASSERT_NO_FATAL_FAILURE(startService());
  for (bool madeBefore : {false, true}) {
    SCOPED_TRACE(madeBefore ? "a data folder made before" : "a fresh data folder");
    fs::remove_all(work_ / "app");
    fs::remove_all(work_ / "KavrelinKeychain");
    const mode_t usual = ::umask(022);  // which the app inherits
    if (madeBefore) fs::create_directory(work_ / "app");
    startApp();
    ::umask(usual);
    ASSERT_FALSE(HasFatalFailure());
    // The first open is stored by then, so the measurement database and its folders exist.
    uploadsOnceTheyHold("name: \"_f\"");
    ASSERT_EQ(app_->interrupt(), 0);
    ASSERT_TRUE(fs::is_directory(work_ / "app" / "Library" / "Application Support" / "Orvane" /
                                 "Measurement"));
    std::vector<std::string> open;
    size_t folders = 0, files = 0;
    auto check = [&](const fs::path& path, fs::perms wanted) {
      fs::perms mode = fs::symlink_status(path).permissions() & fs::perms::all;
      if (mode != wanted) open.push_back(path.string());
    };
    for (const fs::path& top : {work_ / "app", work_ / "KavrelinKeychain"}) {
      check(top, fs::perms::owner_all);
      for (const auto& entry : fs::recursive_directory_iterator(top)) {
        if (entry.is_symlink()) continue;
        if (entry.is_directory()) {
          ++folders;
          check(entry.path(), fs::perms::owner_all);
        } else {
          ++files;
          check(entry.path(), fs::perms::owner_read | fs::perms::owner_write);
        }
      }
    }
    EXPECT_GE(folders, 6u);  // tmp, Library, Preferences, Application Support, Orvane, Measurement
    EXPECT_GT(files, 0u);
    EXPECT_TRUE(open.empty()) << ::testing::PrintToString(open);
  }
}

// The two services beside the measurement service and the app, for tests of every server.
struct OtherServices {
  testsupport::ServiceProcess link{KVL_BINARY_DIR "/tools/link-service/link-service",
                                   {"--port", "0"}};
  testsupport::ServiceProcess psm{
      KVL_BINARY_DIR "/tools/psm-server/psm-server",
      {"--port", "0", "--members",
       std::string(KVL_SOURCE_DIR) + "/tools/psm-server/sample-members.json"}};
};

// A HEAD and then a GET of the same target, sent together on one connection, read as a client
// that trusts the framing reads them: the HEAD's answer ends with its header section.
struct HeadThenGet {
  std::optional<boost::beast::http::response<boost::beast::http::string_body>> head, get;
  std::string after;  // what came after the answers read, until the server closed
};

HeadThenGet headThenGet(uint16_t port, const std::string& target, const std::string& headers) {
  namespace asio = boost::asio;
  namespace http = boost::beast::http;
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  const std::string request = " " + target + " HTTP/1.1\r\n" + headers;
  asio::write(socket,
              asio::buffer("HEAD" + request + "\r\nGET" + request + "Connection: close\r\n\r\n"));
  HeadThenGet answers;
  boost::beast::flat_buffer buffer;
  boost::beast::error_code ec;
  http::response_parser<http::string_body> head;
  head.skip(true);  // an answer to a HEAD has no body, whatever its Content-Length
  if (http::read(socket, buffer, head, ec); !ec) answers.head = head.release();
  http::response_parser<http::string_body> get;
  if (!ec && (http::read(socket, buffer, get, ec), !ec)) answers.get = get.release();
  answers.after = boost::beast::buffers_to_string(buffer.data());
  char chunk[4096];
  ec = {};
  while (!ec) answers.after.append(chunk, socket.read_some(asio::buffer(chunk), ec));
  return answers;
}

// Every server of ours answers a HEAD with the status and headers its GET would get, and no
// body, refusals included: the next answer on the connection starts where the header section
// ends. Which routes answer a HEAD is each server's own (the services' GET routes refuse it).
TEST_F(AppProcessTest, EveryServerAnswersAHeadWithoutABody) {
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp());
  OtherServices others;
  const std::string page = pageURL();
  const std::string appBase = page.substr(0, page.find("/?"));
  auto login = testsupport::httpRequest("GET", page.substr(0, page.find('#')));
  ASSERT_EQ(login.status, 303) << page;
  const std::string cookie =
      "Cookie: " + login.header("Set-Cookie").substr(0, login.header("Set-Cookie").find(';')) +
      "\r\n";
  auto hostOf = [](const std::string& base) { return base.substr(std::string("http://").size()); };
  auto portOf = [](const std::string& base) {
    return static_cast<uint16_t>(std::stoi(base.substr(base.rfind(':') + 1)));
  };
  struct Case {
    const char* name;
    std::string base;
    const char* target;
    std::string headers;  // beside the server's own Host, unless they name another
    int headStatus;
    int getStatus;  // 0: the connection closes after the HEAD's refusal
  };
  const std::string measurement = service_->baseURL();
  const std::string lax = "Transfer-Encoding: xchunked\r\n";
  const Case cases[] = {
      {"measurement, no such path", measurement, "/nothing", "", 404, 404},
      {"measurement, a GET route", measurement, "/storekit/products", "", 404, 200},
      {"measurement, another host", measurement, "/", "Host: rebound.example\r\n", 403, 0},
      {"measurement, lax framing", measurement, "/", lax, 400, 0},
      {"link, no such path", others.link.baseURL(), "/nothing", "", 404, 404},
      // psm-server's own 404 and 405 have no body; its refusal of another host has one.
      {"psm, another host", others.psm.baseURL(), "/odm/config", "Host: rebound.example\r\n", 403,
       0},
      {"app, no session", appBase, "/nothing", "", 403, 403},
      {"app, the page", appBase, "/", cookie, 200, 200},
      {"app, lax framing", appBase, "/", lax, 400, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string host =
        c.headers.rfind("Host:", 0) == 0 ? "" : "Host: " + hostOf(c.base) + "\r\n";
    HeadThenGet answers = headThenGet(portOf(c.base), c.target, host + c.headers);
    ASSERT_TRUE(answers.head) << answers.after;
    EXPECT_EQ(answers.head->result_int(), c.headStatus);
    EXPECT_TRUE(answers.head->has_content_length());
    if (c.getStatus == 0) {
      EXPECT_FALSE(answers.get);
      EXPECT_EQ(answers.after, "") << "the refusal's body came after its header section";
      continue;
    }
    if (!answers.get) {
      ADD_FAILURE() << "the HEAD's answer ran into the GET's: " << answers.after;
      continue;
    }
    EXPECT_EQ(answers.get->result_int(), c.getStatus);
    EXPECT_EQ(answers.after, "");
    if (c.headStatus == c.getStatus) {
      EXPECT_EQ((*answers.head)[boost::beast::http::field::content_length],
                std::to_string(answers.get->body().size()));
    }
  }
}

// What a server answered on a connection it then closed: its status, header section and the
// bytes that came after that section.
struct RawAnswer {
  int status = 0;
  std::string head;  // the status line and header fields
  std::string after;
};

RawAnswer rawAnswer(uint16_t port, const std::string& request) {
  const std::string bytes = testsupport::exchangeRaw(port, request);
  RawAnswer answer;
  const size_t end = bytes.find("\r\n\r\n");
  answer.head = bytes.substr(0, end);
  if (end != std::string::npos) answer.after = bytes.substr(end + 4);
  if (bytes.rfind("HTTP/1.1 ", 0) == 0 && bytes.size() >= 12)
    answer.status = std::stoi(bytes.substr(9, 3));
  return answer;
}

bool hasField(const std::string& head, const std::string& name) {
  return std::regex_search(head, std::regex("\r\n" + name + ":", std::regex::icase));
}

// A page address is spent by the developer's GET alone: any other method, a link preview's HEAD
// included, is answered as the same request without the secret, hands out no cookie and leaves
// the address to that GET.
TEST_F(AppProcessTest, OnlyAGetSpendsAPageAddress) {
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp());
  const std::string measurement = service_->baseURL();
  const std::string appPage = pageURL();
  const std::string app = appPage.substr(0, appPage.find("/?"));
  auto newAddress = [&](const std::string& base) {
    if (base == app) return pageURL();
    auto answer = testsupport::httpRequest("POST", measurement + "/_control/page-url");
    auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
    const Value* url = parsed.ok() ? parsed->find("url") : nullptr;
    return url && url->asString() ? *url->asString() : std::string();
  };
  struct Case {
    const char* method;
    std::string base;
    int status;  // with the secret as without it
  };
  const Case cases[] = {
      {"HEAD", measurement, 403},
      {"OPTIONS", measurement, 403},
      {"POST", measurement, 403},
      {"DELETE", measurement, 403},
      {"PROPFIND", measurement, 403},
      {"HEAD", app, 403},
      // Guards: the app's host refuses these before it reads the query.
      {"OPTIONS", app, 405},
      {"POST", app, 405},
      {"DELETE", app, 405},
      {"PROPFIND", app, 405},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.base);
    const std::string address = newAddress(c.base);
    ASSERT_NE(address.find("/?secret="), std::string::npos) << address;
    const size_t start = address.find("/?");
    const std::string target = address.substr(start, address.find('#') - start);
    const uint16_t port = static_cast<uint16_t>(std::stoi(c.base.substr(c.base.rfind(':') + 1)));
    const std::string fields =
        " HTTP/1.1\r\nHost: " + c.base.substr(std::string("http://").size()) +
        "\r\nConnection: close\r\n\r\n";
    RawAnswer spent = rawAnswer(port, c.method + (" " + target) + fields);
    EXPECT_EQ(spent.status, c.status) << spent.head;
    EXPECT_FALSE(hasField(spent.head, "Set-Cookie")) << spent.head;
    EXPECT_EQ(rawAnswer(port, c.method + std::string(" /") + fields).status, c.status);
    auto login =
        testsupport::httpRequest("GET", address.substr(0, address.find('#')), {"X-Service-Token:"});
    EXPECT_EQ(login.status, 303) << login.body;
    EXPECT_NE(login.header("Set-Cookie"), "");
  }
}

// A request line over the parser's limit is refused before the method is parsed: a HEAD is
// still told from its first bytes and its 431 ends with the header section, which keeps the
// Content-Length its GET gets.
TEST_F(AppProcessTest, AHeadRefusedForItsRequestLineGetsNoBody) {
  ASSERT_NO_FATAL_FAILURE(startService());
  ASSERT_NO_FATAL_FAILURE(startApp());
  OtherServices others;
  const std::string page = pageURL();
  struct Case {
    const char* name;
    std::string base;
  };
  const Case servers[] = {{"measurement", service_->baseURL()},
                          {"link", others.link.baseURL()},
                          {"psm", others.psm.baseURL()},
                          {"app", page.substr(0, page.find("/?"))}};
  for (const Case& c : servers) {
    for (const char* method : {"HEAD", "GET"}) {  // the GET: a guard
      SCOPED_TRACE(std::string(c.name) + " " + method);
      const uint16_t port = static_cast<uint16_t>(std::stoi(c.base.substr(c.base.rfind(':') + 1)));
      RawAnswer answer =
          rawAnswer(port, std::string(method) + " /" + std::string(9000, 'a') +
                              " HTTP/1.1\r\nHost: " + c.base.substr(std::string("http://").size()) +
                              "\r\n\r\n");
      EXPECT_EQ(answer.status, 431) << answer.head;
      std::smatch length;
      ASSERT_TRUE(std::regex_search(answer.head, length,
                                    std::regex("\r\nContent-Length: ([0-9]+)", std::regex::icase)))
          << answer.head;
      EXPECT_GT(std::stoul(length[1]), 0u);
      EXPECT_EQ(answer.after.size(), std::string(method) == "HEAD" ? 0 : std::stoul(length[1]))
          << answer.after;
    }
  }
}

}  // namespace
