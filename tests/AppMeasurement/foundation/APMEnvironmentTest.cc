#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMAppStaticConfig.h"
#include "AppMeasurement/foundation/APMDeepLinkCache.h"
#include "AppMeasurement/foundation/APMEnvironmentInfo.h"
#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMOrvaneServiceFileUtil.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"
#include "tests/AppMeasurement/foundation/PythonReference.h"

namespace {

using platform::Value;

class APMEnvironmentTest : public environmenttest::ContainerTest {
 protected:
  void SetUp() override {
    ContainerTest::SetUp();
    // Every monitorable message replaces the health sample, so the last one can be read.
    APMMonitor::monitor()->setSampleRandomForTesting([](uint32_t) { return 0u; });
  }

  // The health text the monitor would upload now: it names the last silent error logged.
  std::string lastSampledMessage() {
    clock_->advance(10);
    return APMMonitor::monitor()->monitoringDataForDispatch(1, 0).value_or("");
  }

  std::filesystem::path supportFolder() const {
    return root_ / "Library" / "Application Support" / "Orvane" / "Measurement";
  }
};

// --- Receipt, simulator, extension and App Store install. ---

TEST_F(APMEnvironmentTest, ReceiptLookupCanBeSwitchedOffInInfoPlist) {
  writeFile(root_ / "StoreKit" / "sandboxReceipt", "receipt");
  struct Case {
    std::optional<Value> setting;
    bool lookupOn;
  };
  const std::vector<Case> cases = {
      {std::nullopt, true}, {Value(true), true}, {Value(1), true},    {Value(false), false},
      {Value(0), false},    {Value(0.0), false}, {Value("NO"), true},  // not a number: ignored
  };
  for (const Case& c : cases) {
    Value::Dictionary info{{"CFBundleIdentifier", Value("com.example.kavrelin.app")}};
    if (c.setting) info[APMAEU::kReceiptURLCheckEnabledKey] = *c.setting;
    writeInfoPlist(info);
    std::string label = c.setting ? c.setting->description() : "absent";
    EXPECT_EQ(APMAEU::appStoreRURL().has_value(), c.lookupOn) << label;
    EXPECT_EQ(APMAEU::isASRS(), c.lookupOn) << label;
  }
}

TEST_F(APMEnvironmentTest, ReceiptLocationNamesTheSandboxReceiptOnlyWhenThere) {
  EXPECT_EQ(APMAEU::appStoreRURL(), (root_ / "StoreKit" / "receipt").string());
  EXPECT_FALSE(APMAEU::isASRS());
  writeFile(root_ / "StoreKit" / "sandboxReceipt", "receipt");
  EXPECT_EQ(APMAEU::appStoreRURL(), (root_ / "StoreKit" / "sandboxReceipt").string());
  EXPECT_TRUE(APMAEU::isASRS());
}

TEST_F(APMEnvironmentTest, OnlySimulatorModelsAreTheSimulator) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"x86_64", true}, {"i386", true},    {"iPhone14,2", false},
      {"arm64", false}, {"X86_64", false}, {"x86_64 ", false},
  };
  for (const auto& [model, simulator] : cases) {
    configureDevice(model);
    EXPECT_EQ(APMAEU::isNOD(), simulator) << model;
    EXPECT_EQ(APMAEU::deviceModel(), model);
  }
}

TEST_F(APMEnvironmentTest, ThisLinuxMachineIsNotTakenForTheSimulator) {
  OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  EXPECT_FALSE(APMAEU::isNOD()) << APMAEU::deviceModel();
  EXPECT_FALSE(APMAEU::deviceModel().empty());
  EXPECT_FALSE(APMAEU::systemVersion().empty());
}

TEST_F(APMEnvironmentTest, AppExtensionIsKnownByItsBundleFolder) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"Share.appex", true}, {"Share.appex/", true},     {"Demo.app", false},
      {"appex", false},      {"Share.appex.app", false},
  };
  for (const auto& [folder, extension] : cases) {
    platform::Bundle::setMainBundlePath(base_ / folder);
    EXPECT_EQ(APMAEU::isAEX(), extension) << folder;
  }
}

TEST_F(APMEnvironmentTest, AppStoreInstallFollowsTheInstallMarks) {
  struct Case {
    const char* name;
    const char* model;
    bool sandboxReceipt;
    bool scInfo;
    bool markedAppStore;
    bool provisioningProfile;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"plain development build", "iPhone14,2", false, false, false, false, false},
      {"App Store build", "iPhone14,2", false, false, true, false, true},
      {"App Store mark with a provisioning profile", "iPhone14,2", false, false, true, true, false},
      {"SC_Info without the mark", "iPhone14,2", false, true, false, true, true},
      {"simulator with SC_Info", "x86_64", false, true, true, false, false},
      {"i386 simulator marked", "i386", false, false, true, false, false},
      {"sandbox receipt with SC_Info", "iPhone14,2", true, true, true, false, false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(bundle_);
    std::filesystem::remove_all(root_ / "StoreKit");
    std::filesystem::create_directories(bundle_);
    if (c.sandboxReceipt) writeFile(root_ / "StoreKit" / "sandboxReceipt", "r");
    if (c.scInfo) std::filesystem::create_directories(bundle_ / "SC_Info");
    if (c.provisioningProfile) writeFile(bundle_ / "embedded.mobileprovision", "profile");
    platform::Bundle::setMainBundlePath(bundle_);
    configureDevice(c.model, c.markedAppStore);
    EXPECT_EQ(APMAEU::isFAS(), c.expected) << c.name;
  }
}

// --- Environment facts. ---

TEST_F(APMEnvironmentTest, DeviceModelIsReadOncePerInstance) {
  configureDevice("iPhone14,2");
  APMEnvironmentInfo info;
  EXPECT_EQ(info.deviceModel(), "iPhone14,2");
  configureDevice("iPhone15,3");
  EXPECT_EQ(info.deviceModel(), "iPhone14,2");
  EXPECT_EQ(info.deviceOSVersion(), "17.2.1");
}

TEST_F(APMEnvironmentTest, MissingFactsAreLoggedAsSilentErrors) {
  configureDevice("");
  APMEnvironmentInfo info;
  EXPECT_EQ(info.deviceModel(), "");
  EXPECT_NE(lastSampledMessage().find("1E_111500:Failed to get device model"), std::string::npos);
  configureDevice("iPhone14,2");
  EXPECT_EQ(info.deviceModel(), "");  // read once: it stays empty

  platform::ProcessInfo::processInfo().setEnvironment({});
  EXPECT_EQ(info.userDefaultLanguage(), std::nullopt);
  EXPECT_NE(lastSampledMessage().find("1E_111500:Failed to get preferred language"),
            std::string::npos);
  // Every answer without a language says so, the repeated one too; one with a language does not.
  auto logged = [&] {
    APMMonitor::monitor()->logWithLevel(2, 14000, "marker");
    info.userDefaultLanguage();
    return lastSampledMessage().find("Failed to get preferred language") != std::string::npos;
  };
  EXPECT_TRUE(logged());
  platform::ProcessInfo::processInfo().setEnvironment({{"LANG", "en_US.UTF-8"}});
  EXPECT_FALSE(logged());
  platform::ProcessInfo::processInfo().setEnvironment({{"LANG", "C.UTF-8"}});
  EXPECT_TRUE(logged());
  EXPECT_TRUE(logged());
}

TEST_F(APMEnvironmentTest, PreferredLanguageComesFromTheLocaleEnvironment) {
  struct Case {
    std::map<std::string, std::string> environment;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {{{"LANG", "en_US.UTF-8"}}, "en-us"},
      {{{"LANGUAGE", "de_AT:en"}, {"LANG", "fr_FR.UTF-8"}}, "de-at"},
      {{{"LANGUAGE", ":pt_BR@latin"}}, "pt-br"},
      {{{"LC_ALL", "ja_JP.eucJP"}, {"LANG", "en_US.UTF-8"}}, "ja-jp"},
      {{{"LC_MESSAGES", "sv_SE"}, {"LANG", "en_US.UTF-8"}}, "sv-se"},
      {{{"LC_ALL", "C"}, {"LANG", "en_US.UTF-8"}}, std::nullopt},
      {{{"LANG", "POSIX"}}, std::nullopt},
      {{}, std::nullopt},
  };
  APMEnvironmentInfo info;
  for (const Case& c : cases) {
    platform::ProcessInfo::processInfo().setEnvironment(c.environment);
    EXPECT_EQ(info.userDefaultLanguage(), c.expected)
        << (c.environment.empty() ? "empty" : c.environment.begin()->second);
  }
}

TEST_F(APMEnvironmentTest, TimeZoneOffsetIsInMinutesTowardZero) {
  const char* saved = getenv("TZ");
  std::string previous = saved ? saved : "";
  const std::vector<std::pair<const char*, int32_t>> cases = {
      {"UTC0", 0},     {"XXX+03:30", -210}, {"XXX-05:45", 345},
      {"XXX-14", 840}, {"XXX+00:00:59", 0},  // 59 seconds west rounds toward zero
  };
  APMEnvironmentInfo info;
  for (const auto& [zone, minutes] : cases) {
    setenv("TZ", zone, 1);
    tzset();
    EXPECT_EQ(info.timeZoneOffsetMinutes(), minutes) << zone;
  }
  if (saved) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// --- Paths. ---

TEST_F(APMEnvironmentTest, PathsLieInTheContainer) {
  EXPECT_EQ(APMPreferencesPlistPath("suite"),
            (root_ / "Library" / "Preferences" / "suite.plist").string());
  EXPECT_EQ(APMApplicationSupportPath("orvane-app-measurement.sql"),
            (supportFolder() / "orvane-app-measurement.sql").string());
  EXPECT_EQ(APMPreferencesPlistPath(""), "");
  EXPECT_EQ(APMApplicationSupportPath(""), "");
  EXPECT_EQ(APMApplicationSupportPlistPath(""), "");

  const std::vector<std::pair<std::string, std::string>> plistNames = {
      {"config", "config.plist"},
      {"config.plist", "config.plist"},
      {"config.plist.bak", "config.plist.bak.plist"},
      {"config.PLIST", "config.PLIST.plist"},
      {"com.orvane.suite", "com.orvane.suite.plist"},
  };
  for (const auto& [name, file] : plistNames) {
    EXPECT_EQ(APMApplicationSupportPlistPath(name), (supportFolder() / file).string()) << name;
  }
}

TEST(APMFilePathsWithoutContainerTest, NoContainerGivesEmptyPaths) {
  // Only meaningful while no container was configured in this process (as when CTest runs
  // this test alone); the check runs in a child without a home directory.
  {
    const char* home = getenv("HOME");
    const char* dataHome = getenv("XDG_DATA_HOME");
    std::string savedHome = home ? home : "", savedDataHome = dataHome ? dataHome : "";
    unsetenv("HOME");
    unsetenv("XDG_DATA_HOME");
    bool configured = !platform::AppContainer::root().empty();
    if (home) setenv("HOME", savedHome.c_str(), 1);
    if (dataHome) setenv("XDG_DATA_HOME", savedDataHome.c_str(), 1);
    if (configured) GTEST_SKIP() << "a container is configured in this process";
  }
  EXPECT_EXIT(
      {
        unsetenv("HOME");
        unsetenv("XDG_DATA_HOME");
        bool empty =
            platform::AppContainer::root().empty() && APMPreferencesPlistPath("suite").empty() &&
            APMApplicationSupportPath("file").empty() &&
            APMApplicationSupportPlistPath("file").empty() && !APMMigratePreferencesPlist("suite");
        _exit(empty ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(APMEnvironmentTest, ExcludeFromBackupMarksTheFile) {
  std::filesystem::path file = supportFolder() / "data.plist";
  writeFile(file, "x");
  APMErrorSlot error;
  EXPECT_TRUE(APMExcludePathFromBackup(file.string(), &error));
  EXPECT_FALSE(error.has_value());
  auto excluded = platform::FileManager::defaultManager().isExcludedFromBackup(file);
  ASSERT_TRUE(excluded.ok());
  EXPECT_TRUE(*excluded);

  EXPECT_FALSE(APMExcludePathFromBackup((supportFolder() / "missing").string(), &error));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain(), kAPMFileErrorDomain);
  EXPECT_FALSE(APMExcludePathFromBackup("", nullptr));
}

TEST_F(APMEnvironmentTest, DeleteFileReportsEmptyPathsAndFailures) {
  APMErrorSlot error;
  EXPECT_FALSE(APMDeleteFileAtPath("", &error));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain(), kAPMErrorDomain);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Received empty path for deleting file");
  EXPECT_FALSE(APMDeleteFileAtPath("", nullptr));

  std::filesystem::path file = supportFolder() / "db.sql";
  writeFile(file, "x");
  error.reset();
  EXPECT_TRUE(APMDeleteFileAtPath(file.string(), &error));
  EXPECT_FALSE(error.has_value());
  EXPECT_FALSE(std::filesystem::exists(file));

  EXPECT_FALSE(APMDeleteFileAtPath(file.string(), &error));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain(), kAPMFileErrorDomain);
}

// --- Migration of a suite's property list. ---

TEST_F(APMEnvironmentTest, MigrationMovesDeletesOrRefuses) {
  enum class Item { None, File, Folder };
  struct Case {
    const char* name;
    Item source;
    Item target;
    bool expected;
    bool sourceRemains;
    std::optional<std::string> targetContent;  // of a file at the target afterwards
  };
  const std::vector<Case> cases = {
      {"neither", Item::None, Item::None, true, false, std::nullopt},
      {"source only", Item::File, Item::None, true, false, "source"},
      {"both files", Item::File, Item::File, true, false, "target"},
      {"target only", Item::None, Item::File, true, false, "target"},
      {"source is a folder", Item::Folder, Item::None, false, true, std::nullopt},
      {"target is a folder", Item::File, Item::Folder, false, true, std::nullopt},
  };
  const std::string suite = "com.orvane.rzq.measurement.persisted";
  std::filesystem::path source = root_ / "Library" / "Preferences" / (suite + ".plist");
  std::filesystem::path target = supportFolder() / (suite + ".plist");
  for (const Case& c : cases) {
    std::filesystem::remove_all(source);
    std::filesystem::remove_all(root_ / "Library" / "Application Support");
    std::filesystem::create_directories(root_ / "Library" / "Application Support");
    if (c.source == Item::File) writeFile(source, "source");
    if (c.source == Item::Folder) std::filesystem::create_directories(source);
    if (c.target == Item::File) writeFile(target, "target");
    if (c.target == Item::Folder) std::filesystem::create_directories(target);

    EXPECT_EQ(APMMigratePreferencesPlist(suite), c.expected) << c.name;
    EXPECT_EQ(std::filesystem::exists(source), c.sourceRemains) << c.name;
    if (c.targetContent) {
      EXPECT_EQ(readFile(target), *c.targetContent) << c.name;
    } else if (c.target == Item::None) {
      EXPECT_FALSE(std::filesystem::exists(target)) << c.name;
    }
  }
  EXPECT_FALSE(APMMigratePreferencesPlist(""));
}

TEST_F(APMEnvironmentTest, MigratedSuiteIsReadableWhereThePersistedConfigLooks) {
  const std::string suite = "com.orvane.rzq.measurement.persisted";
  APMUserDefaults defaults(suite);
  defaults.setObject(Value("kept"), "key");
  defaults.synchronize();
  ASSERT_TRUE(APMMigratePreferencesPlist(suite));
  auto data =
      platform::FileManager::defaultManager().contentsAtPath(APMApplicationSupportPlistPath(suite));
  ASSERT_TRUE(data.ok());
  auto plist = platform::PropertyListSerialization::propertyListWithData(*data);
  ASSERT_TRUE(plist.ok());
  EXPECT_EQ(*plist, Value(Value::Dictionary{{"key", Value("kept")}}));

  // The suite left the preferences: a later write of it starts afresh instead of bringing
  // the old file back with every old key.
  defaults.setObject(Value("later"), "other");
  defaults.synchronize();
  auto old = platform::FileManager::defaultManager().contentsAtPath(APMPreferencesPlistPath(suite));
  ASSERT_TRUE(old.ok());
  EXPECT_EQ(*platform::PropertyListSerialization::propertyListWithData(*old),
            Value(Value::Dictionary{{"other", Value("later")}}));
}

// --- Service file. ---

TEST_F(APMEnvironmentTest, ServiceFileIsFoundAndReadFromTheMainBundle) {
  std::filesystem::path file = bundle_ / "OrvaneService-Info.plist";
  std::string output = testsupport::runPython(
      "import plistlib\n"
      "d = {'ORVANE_APP_ID': '1:123:ios:abc', 'IS_ANALYTICS_ENABLED': True, 'PORT': 8080}\n"
      "with open('" +
      file.string() +
      "', 'wb') as f: plistlib.dump(d, f)\n"
      "print('ok')\n");
  ASSERT_EQ(output, "ok\n");
  EXPECT_EQ(APMOrvaneServiceFileUtil::orvaneServiceInfoPlistPath(), file.string());
  auto dictionary = APMOrvaneServiceFileUtil::dictionaryFromOrvaneServiceInfoPlist();
  ASSERT_TRUE(dictionary.has_value());
  EXPECT_EQ(*dictionary, (Value::Dictionary{{"ORVANE_APP_ID", Value("1:123:ios:abc")},
                                            {"IS_ANALYTICS_ENABLED", Value(true)},
                                            {"PORT", Value(8080)}}));
}

TEST_F(APMEnvironmentTest, BadServiceFilesGiveNothing) {
  std::filesystem::path file = bundle_ / "OrvaneService-Info.plist";
  const std::vector<std::pair<std::string, std::string>> contents = {
      {"empty", ""},
      {"garbage", std::string("\x00\xff\x13garbage", 10)},
      {"truncated binary", std::string("bplist00\xd1\x01\x02", 11)},
      {"truncated XML", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>"},
      {"array root", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"},
      {"string root", "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>x</string></plist>"},
  };
  for (const auto& [name, content] : contents) {
    writeFile(file, content);
    EXPECT_EQ(APMOrvaneServiceFileUtil::orvaneServiceInfoPlistPath(), file.string()) << name;
    EXPECT_EQ(APMOrvaneServiceFileUtil::dictionaryFromOrvaneServiceInfoPlist(), std::nullopt)
        << name;
  }
  // A folder in the file's place cannot be read.
  std::filesystem::remove(file);
  std::filesystem::create_directories(file);
  EXPECT_EQ(APMOrvaneServiceFileUtil::dictionaryFromOrvaneServiceInfoPlist(), std::nullopt);
}

TEST_F(APMEnvironmentTest, RandomServiceFilesNeverCrash) {
  std::filesystem::path file = bundle_ / "OrvaneService-Info.plist";
  // Damaged copies of a valid file in both formats, and plain noise.
  Value::Dictionary service{{"ORVANE_APP_ID", Value("1:123:ios:abc")},
                            {"LIST", Value(Value::Array{Value(1), Value(2.5), Value("x")})}};
  std::vector<std::string> seeds;
  for (auto format : {platform::PropertyListSerialization::Format::XML,
                      platform::PropertyListSerialization::Format::Binary}) {
    auto data = platform::PropertyListSerialization::dataWithPropertyList(Value(service), format);
    ASSERT_TRUE(data.ok());
    seeds.push_back(*data);
  }
  std::mt19937 random(20261206);
  for (int round = 0; round < 300; ++round) {
    std::string content = seeds[round % 2];
    int edits = 1 + static_cast<int>(random() % 8);
    for (int e = 0; e < edits && !content.empty(); ++e) {
      size_t at = random() % content.size();
      switch (random() % 3) {
        case 0:
          content[at] = static_cast<char>(random());
          break;
        case 1:
          content.resize(at);
          break;
        default:
          content.insert(at, 1, static_cast<char>(random()));
          break;
      }
    }
    writeFile(file, content);
    auto dictionary = APMOrvaneServiceFileUtil::dictionaryFromOrvaneServiceInfoPlist();
    if (dictionary) {
      // Whatever survives the damage is a whole dictionary that can be written back.
      EXPECT_TRUE(platform::PropertyListSerialization::propertyListIsValid(Value(*dictionary)));
    }
  }
}

TEST_F(APMEnvironmentTest, MissingBundleGivesNoServiceFile) {
  platform::Bundle::setMainBundlePath(base_ / "Missing.app");
  EXPECT_EQ(APMOrvaneServiceFileUtil::orvaneServiceInfoPlistPath(), std::nullopt);
  EXPECT_EQ(APMOrvaneServiceFileUtil::dictionaryFromOrvaneServiceInfoPlist(), std::nullopt);
  EXPECT_FALSE(APMAEU::isFAS());
  EXPECT_FALSE(APMAEU::isAEX());
}

// --- Launch deep-link cache and hour rounding. ---

struct FakeRemoteConfig {
  int64_t ttl;
  int64_t attributionCacheTTLInterval() const { return ttl; }
};

TEST_F(APMEnvironmentTest, CachedDeepLinkExpiresAfterItsTimeToLive) {
  APMUserDefaults& defaults = *APMUserDefaults::sharedUserDefaults();
  EXPECT_FALSE(APMIsCachedDeepLinkExpired(defaults, 0));
  EXPECT_FALSE(APMIsCachedDeepLinkExpired(defaults, -1));

  APMCacheDeepLink(defaults, "https://example.com/open?x=1");
  EXPECT_EQ(defaults.stringForKey(kAPMDeepLinkKey), "https://example.com/open?x=1");
  EXPECT_EQ(defaults.objectForKey(kAPMDeepLinkTimestampKey), Value(clock_->now()));

  clock_->setNow(clock_->now() + 100);
  EXPECT_FALSE(APMIsCachedDeepLinkExpired(defaults, 100));
  EXPECT_TRUE(APMIsCachedDeepLinkExpired(defaults, 99.5));
  // A clock set back further than the time to live counts as expired too.
  clock_->setNow(clock_->now() - 300);
  EXPECT_TRUE(APMIsCachedDeepLinkExpired(defaults, 100));

  APMClearCachedDeepLink(defaults);
  EXPECT_EQ(defaults.objectForKey(kAPMDeepLinkKey), std::nullopt);
  EXPECT_EQ(defaults.objectForKey(kAPMDeepLinkTimestampKey), std::nullopt);
  EXPECT_FALSE(APMIsCachedDeepLinkExpired(defaults, 0));
}

TEST_F(APMEnvironmentTest, ExpiredCachedDeepLinkIsClearedWithTheRemoteSetting) {
  APMUserDefaults& defaults = *APMUserDefaults::sharedUserDefaults();
  APMCacheDeepLink(defaults, "app://link");
  clock_->setNow(clock_->now() + 86400);
  EXPECT_FALSE(APMClearExpiredCachedDeepLink(FakeRemoteConfig{604800}));
  EXPECT_EQ(defaults.stringForKey(kAPMDeepLinkKey), "app://link");
  EXPECT_TRUE(APMClearExpiredCachedDeepLink(FakeRemoteConfig{86399}));
  EXPECT_EQ(defaults.objectForKey(kAPMDeepLinkKey), std::nullopt);
  EXPECT_EQ(defaults.objectForKey(kAPMDeepLinkTimestampKey), std::nullopt);
  EXPECT_FALSE(APMClearExpiredCachedDeepLink(FakeRemoteConfig{0}));
}

TEST(APMPreviousHourStartMillisTest, StartOfTheHourBefore) {
  const std::vector<std::pair<int64_t, int64_t>> cases = {
      {7'200'000, 3'600'000},
      {7'199'999, 0},
      {3'600'000, 0},
      {0, -3'600'000},
      {-1, -3'600'000},
      {-3'600'000, -7'200'000},
      {-3'600'001, -7'200'000},
      {1'700'000'123'456, 1'699'995'600'000},
      {INT64_MAX, 9'223'372'036'850'400'000},
      {INT64_MIN, INT64_MIN},
  };
  for (const auto& [t, expected] : cases) {
    EXPECT_EQ(APMPreviousHourStartMillis(t), expected) << t;
  }
}

}  // namespace
