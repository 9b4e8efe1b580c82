// The platform core: options from the app's property lists, one configuration per process,
// library start-up, components, and the installation identifier across a restart.
#include "platform/core/KVLApp.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "platform/core/KVLInstallations.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

void writePlist(const fs::path& path, const Value::Dictionary& dictionary) {
  auto data = platform::PropertyListSerialization::dataWithPropertyList(
      Value(dictionary), platform::PropertyListSerialization::Format::XML);
  ASSERT_TRUE(data.ok());
  std::ofstream(path, std::ios::binary) << *data;
}

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kvl-core-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
    fs::create_directories(root / "App.app");
    platform::Bundle::setMainBundlePath(root / "App.app");
    ASSERT_TRUE(platform::AppContainer::setRoot(root / "container").ok());
    platform::PreferenceStore::resetForTesting();
    KVLApp::resetForTesting();
    logSink =
        platform::PlatformLog::setSink([this](const std::string& line) { log += line + "\n"; });
  }
  void TearDown() override {
    env.waitUntilIdle();
    platform::PlatformLog::setSink(logSink);
    KVLApp::resetForTesting();
    platform::PreferenceStore::resetForTesting();
    fs::remove_all(root);
  }
  void writeBundle(const Value::Dictionary& info, std::optional<Value::Dictionary> service) {
    writePlist(root / "App.app" / "Info.plist", info);
    if (service) writePlist(root / "App.app" / "OrvaneService-Info.plist", *service);
    platform::Bundle::setMainBundlePath(root / "App.app");  // re-read
  }

  testsupport::DispatchTestEnvironment env;
  fs::path root;
  std::string log;
  platform::PlatformLog::Sink logSink;
};

TEST_F(CoreTest, OptionsReadTheServiceListAndTheCollectionSwitches) {
  struct Case {
    std::optional<Value> enabled, deactivated;
    bool wantEnabled, wantDeactivated;
  } cases[] = {
      {std::nullopt, std::nullopt, true, false}, {Value(false), Value(true), false, true},
      {Value(0), Value(1), false, true},         {Value(0.0), Value(2.5), false, true},
      {Value("NO"), Value("YES"), true, false},  // text is not a switch: defaults hold
  };
  for (const Case& c : cases) {
    Value::Dictionary info;
    if (c.enabled) info["KAVRELIN_ANALYTICS_COLLECTION_ENABLED"] = *c.enabled;
    if (c.deactivated) info["KAVRELIN_ANALYTICS_COLLECTION_DEACTIVATED"] = *c.deactivated;
    writeBundle(info, Value::Dictionary{{"ORVANE_APP_ID", Value("1:42:ios:abc")}});
    auto options = KVLOptions::fromBundle(*platform::Bundle::mainBundle());
    ASSERT_TRUE(options);
    EXPECT_EQ(options->orvaneAppID(), "1:42:ios:abc");
    EXPECT_EQ(options->isAnalyticsCollectionEnabled(), c.wantEnabled);
    EXPECT_EQ(options->isAnalyticsCollectionDeactivated(), c.wantDeactivated);
  }
  for (const auto& service :
       {std::optional<Value::Dictionary>(), std::optional<Value::Dictionary>(Value::Dictionary{}),
        std::optional<Value::Dictionary>({{"ORVANE_APP_ID", Value("")}}),
        std::optional<Value::Dictionary>({{"ORVANE_APP_ID", Value(5)}})}) {
    fs::remove(root / "App.app" / "OrvaneService-Info.plist");
    writeBundle({}, service);
    EXPECT_EQ(KVLOptions::fromBundle(*platform::Bundle::mainBundle()), nullptr);
  }
}

class RecordingLibrary : public KVLLibrary {
 public:
  std::vector<KVLComponent> componentsToRegister() override {
    return {KVLComponent::componentWithProtocol("Cached",
                                                [this](KVLComponentContainer&, bool* cacheable) {
                                                  *cacheable = true;
                                                  ++made;
                                                  return std::make_shared<int>(made);
                                                }),
            KVLComponent::componentWithProtocol("Fresh", [this](KVLComponentContainer& c, bool*) {
              ++made;
              return std::make_shared<int>(*c.instanceForProtocol<int>("Cached") + 100);
            })};
  }
  void configureWithApp(KVLApp& app) override {
    starts.push_back(app.options().orvaneAppID());
    sawDefault = KVLApp::isDefaultAppConfigured();
  }
  int made = 0;
  std::vector<std::string> starts;
  bool sawDefault = false;
};

TEST_F(CoreTest, ConfiguresOnceStartsEachLibraryAndServesItsComponents) {
  auto library = std::make_shared<RecordingLibrary>();
  KVLApp::registerInternalLibrary(library, "kvl-analytics", "11.15.0");
  EXPECT_FALSE(KVLApp::isDefaultAppConfigured());
  KVLApp::configure();  // no service list yet
  EXPECT_FALSE(KVLApp::isDefaultAppConfigured());
  EXPECT_NE(log.find("cannot be configured"), std::string::npos);

  writeBundle({}, Value::Dictionary{{"ORVANE_APP_ID", Value("1:42:ios:abc")}});
  KVLApp::configure();
  KVLApp::configure();
  EXPECT_EQ(library->starts, std::vector<std::string>{"1:42:ios:abc"});
  EXPECT_TRUE(library->sawDefault);  // libraries start against a configured default app
  EXPECT_NE(log.find("already been configured"), std::string::npos);
  EXPECT_EQ(KVLApp::registeredLibraries(), std::vector<std::string>{"kvl-analytics/11.15.0"});

  KVLComponentContainer& container = KVLApp::defaultApp()->container();
  // Fresh (made 1st) asks for Cached (made 2nd); the second Fresh finds Cached kept.
  EXPECT_EQ(*container.instanceForProtocol<int>("Fresh"), 102);
  EXPECT_EQ(*container.instanceForProtocol<int>("Fresh"), 102);
  EXPECT_EQ(library->made, 3);
  EXPECT_EQ(container.instanceForProtocol<int>("Unknown"), nullptr);
}

TEST_F(CoreTest, CollectionSwitchIsPostedWithItsValueUnderTheNotificationName) {
  writeBundle({}, Value::Dictionary{{"ORVANE_APP_ID", Value("1:42:ios:abc")}});
  KVLApp::configure();
  auto configuration = KVLApp::defaultApp()->analyticsConfiguration();
  std::optional<Value> received;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      KVLAnalyticsConfiguration::kSetEnabledNotification, configuration.get(), nullptr,
      [&](const platform::Notification& n) { received = n.userInfo; });
  configuration->setAnalyticsCollectionEnabled(false);
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  ASSERT_TRUE(received && received->asDictionary());
  EXPECT_EQ(received->asDictionary()->at(KVLAnalyticsConfiguration::kSetEnabledNotification),
            Value(false));
}

std::pair<std::optional<std::string>, bool> fetchInstallationID() {
  std::promise<std::pair<std::optional<std::string>, bool>> answered;
  KVLInstallations::installations()->installationIDWithCompletion(
      [&](std::optional<std::string> id, std::optional<KVLInstallations::Error> error) {
        answered.set_value({id, error.has_value()});
      });
  return answered.get_future().get();
}

// Run by the test below in a second process: prints the identifier this process sees.
TEST(KVLInstallationsChild, DISABLED_PrintsTheIdentifier) {
  ASSERT_TRUE(platform::AppContainer::setRoot(getenv("KVL_CORE_CONTAINER")).ok());
  std::printf("id=%s\n", fetchInstallationID().first.value_or("none").c_str());
}

TEST_F(CoreTest, InstallationIdentifierSurvivesARestartUntilDeleted) {
  auto [first, failed] = fetchInstallationID();
  ASSERT_TRUE(first && !failed);
  EXPECT_EQ(first->size(), 22u);
  EXPECT_EQ(fetchInstallationID().first, first);

  std::string command = "KVL_CORE_CONTAINER='" + (root / "container").string() + "' /proc/" +
                        std::to_string(getpid()) +
                        "/exe --gtest_also_run_disabled_tests "
                        "--gtest_filter=KVLInstallationsChild.* 2>/dev/null | grep '^id='";
  FILE* child = popen(command.c_str(), "r");
  char line[128] = {};
  ASSERT_NE(fgets(line, sizeof line, child), nullptr);
  pclose(child);
  EXPECT_EQ(std::string(line), "id=" + *first + "\n");

  bool changed = false;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      KVLInstallations::kInstallationIDDidChangeNotification, nullptr, nullptr,
      [&](const platform::Notification&) { changed = true; });
  KVLInstallations::installations()->deleteInstallation();
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_TRUE(changed);
  auto renewed = fetchInstallationID().first;
  ASSERT_TRUE(renewed);
  EXPECT_NE(*renewed, *first);

  KVLInstallations::installations()->failNextRequestsForTesting(1);
  auto [none, error] = fetchInstallationID();
  EXPECT_FALSE(none);
  EXPECT_TRUE(error);
  EXPECT_EQ(fetchInstallationID().first, renewed);
}

}  // namespace
