#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionStore.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "tests/OrvaneAdsOnDeviceConversion/ODCTestSupport.h"

namespace {

class ODCConversionStoreTest : public odctest::ODCTest {
 protected:
  std::shared_ptr<ODCConversionStore> store() {
    auto store = ODCConversionStore::create();
    EXPECT_NE(store, nullptr);
    return store;
  }
  void writePlist(const platform::Value::Dictionary& content) {
    auto data = platform::PropertyListSerialization::dataWithPropertyList(
        platform::Value(content), platform::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(
        platform::FileManager::defaultManager().writeAtomically(store()->fileURL(), *data).ok());
  }
  bool fileExists() { return std::filesystem::exists(store()->fileURL()); }
  void removeFile(const std::filesystem::path& path) { std::filesystem::remove(path); }
};

TEST_F(ODCConversionStoreTest, WrongTypedValuesAreDroppedWithTheirWarnings) {
  struct Case {
    const char* key;
    platform::Value wrong;
    int code;
    std::function<bool(ODCConversionStore&)> readsNull;
  } cases[] = {
      {"FirstLaunchTimestamp", platform::Value(5), 3001,
       [](auto& s) { return !s.firstLaunchTimestamp(); }},
      {"MatchFoundTimestamp", platform::Value("x"), 3002,
       [](auto& s) { return !s.matchFoundTimestamp(); }},
      {"ODM2RetryCount", platform::Value("3"), 3006, [](auto& s) { return !s.odm2RetryCount(); }},
      {"AggregateConversionInfo", platform::Value(1.5), 3003,
       [](auto& s) { return !s.aggregateConversionInfo(); }},
      {"MeasurementInfo", platform::Value(7), 3003, [](auto& s) { return !s.measurementInfo(); }},
  };
  for (const Case& c : cases) {
    writePlist({{c.key, c.wrong}, {"Other", platform::Value("kept")}});
    auto s = store();
    const size_t before = linesWithCode(c.code);
    EXPECT_TRUE(c.readsNull(*s)) << c.key;
    EXPECT_EQ(linesWithCode(c.code), before + 1) << c.key;
    auto data = platform::FileManager::defaultManager().contentsAtPath(s->fileURL());
    auto plist = platform::PropertyListSerialization::propertyListWithData(*data);
    EXPECT_EQ(plist->find(c.key), nullptr) << c.key;
    EXPECT_NE(plist->find("Other"), nullptr) << c.key;
  }
}

// The end of matching writes once, and reports a stored string of another type as the
// setters' getters would.
TEST_F(ODCConversionStoreTest, PersistedMatchReportsMistypedStrings) {
  struct Case {
    platform::Value::Dictionary stored;
    size_t warnings;
  } cases[] = {
      {{}, 0},
      {{{"AggregateConversionInfo", platform::Value("old")}}, 0},
      {{{"AggregateConversionInfo", platform::Value(1.5)}}, 1},
      {{{"AggregateConversionInfo", platform::Value(1)}, {"MeasurementInfo", platform::Value(7)}},
       2},
  };
  for (const Case& c : cases) {
    writePlist(c.stored);
    auto s = store();
    const size_t before = linesWithCode(3003);
    s->persistMatch(1'700'000'100.0, "aggregate", std::nullopt);
    EXPECT_EQ(linesWithCode(3003), before + c.warnings) << c.stored.size();
    auto again = store();
    EXPECT_EQ(again->aggregateConversionInfo(), "aggregate");
    EXPECT_EQ(again->measurementInfo(), std::nullopt);
  }
}

TEST_F(ODCConversionStoreTest, SettersWriteOnlyOnChange) {
  auto s = store();
  s->setFirstLaunchTimestamp(1'700'000'000.2);
  struct Case {
    const char* name;
    std::function<void(ODCConversionStore&)> set;
    bool writes;
  } cases[] = {
      {"same second", [](auto& st) { st.setFirstLaunchTimestamp(1'700'000'000.7); }, false},
      {"next second", [](auto& st) { st.setFirstLaunchTimestamp(1'700'000'001.0); }, true},
      {"null date", [](auto& st) { st.setMatchFoundTimestamp(std::nullopt); }, false},
      {"null count", [](auto& st) { st.setOdm2RetryCount(std::nullopt); }, true},
      {"count 3", [](auto& st) { st.setOdm2RetryCount(3); }, true},
      {"count 3 again", [](auto& st) { st.setOdm2RetryCount(3); }, false},
      {"null string, none stored", [](auto& st) { st.setMeasurementInfo(std::nullopt); }, true},
      {"string", [](auto& st) { st.setMeasurementInfo("m"); }, true},
      {"same string", [](auto& st) { st.setMeasurementInfo("m"); }, false},
      {"null over string", [](auto& st) { st.setMeasurementInfo(std::nullopt); }, true},
  };
  for (const Case& c : cases) {
    removeFile(s->fileURL());
    c.set(*s);
    EXPECT_EQ(std::filesystem::exists(s->fileURL()), c.writes) << c.name;
  }
}

// A retry count is kept unless the stored number equals the new one numerically: a fraction in
// a stored file is not equal to its whole part.
TEST_F(ODCConversionStoreTest, RetryCountComparesWithTheStoredNumberExactly) {
  struct Case {
    platform::Value stored;
    int64_t count;
    bool writes;
  } cases[] = {
      {platform::Value(3), 3, false},    {platform::Value(3.0), 3, false},
      {platform::Value(true), 1, false}, {platform::Value(3.5), 3, true},
      {platform::Value(-0.5), 0, true},  {platform::Value(4), 3, true},
  };
  for (const Case& c : cases) {
    writePlist({{"ODM2RetryCount", c.stored}});
    auto s = store();
    removeFile(s->fileURL());
    s->setOdm2RetryCount(c.count);
    EXPECT_EQ(std::filesystem::exists(s->fileURL()), c.writes) << c.stored.description();
    if (c.writes) {
      EXPECT_EQ(store()->odm2RetryCount(), c.count) << c.stored.description();
    }
  }
}

TEST_F(ODCConversionStoreTest, PythonReadsTheStoreWrittenByAnotherObject) {
  auto s = store();
  s->setFirstLaunchTimestamp(1'699'999'981.7);
  s->setOdm2RetryCount(2);
  s->persistMatch(1'700'000'100.0, "aggregate", std::nullopt);
  auto again = store();  // a fresh reader, as a second launch would be
  EXPECT_EQ(again->odm2RetryCount(), 2);
  EXPECT_EQ(again->aggregateConversionInfo(), "aggregate");
  EXPECT_EQ(again->measurementInfo(), std::nullopt);
  EXPECT_EQ(again->matchFoundTimestamp(), 1'700'000'100.0);
  auto excluded = platform::FileManager::defaultManager().isExcludedFromBackup(s->fileURL());
  if (excluded.ok()) {
    EXPECT_TRUE(*excluded);
  }
  std::string out = foundationtest::runPython(
      dir_,
      "import plistlib, sys\n"
      "d = plistlib.load(open(sys.stdin.read().strip(), 'rb'))\n"
      "print(sorted(d), d['ODM2RetryCount'], d['AggregateConversionInfo'],\n"
      "      int(d['FirstLaunchTimestamp'].timestamp()))\n",
      s->fileURL().string());
  EXPECT_EQ(out,
            "['AggregateConversionInfo', 'FirstLaunchTimestamp', 'MatchFoundTimestamp', "
            "'ODM2RetryCount'] 2 aggregate 1699999981\n");
}

// A process killed while it rewrites the store leaves a readable file with what it held before.
TEST_F(ODCConversionStoreTest, SigkillMidWriteLeavesAReadableStore) {
  auto s = store();
  s->setFirstLaunchTimestamp(1'700'000'000.0);
  s->persistMatch(1'700'000'060.0, "a", "m");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int i = 0;; ++i) {
      s->setOdm2RetryCount(i);
      s->setAggregateConversionInfo(std::string(static_cast<size_t>(i % 4096), 'x'));
    }
  }
  usleep(200 * 1000);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  auto after = store();
  EXPECT_EQ(after->firstLaunchTimestamp(), 1'700'000'000.0);
  EXPECT_EQ(after->matchFoundTimestamp(), 1'700'000'060.0);
  EXPECT_EQ(after->measurementInfo(), "m");
  EXPECT_TRUE(after->odm2RetryCount().has_value());
  std::string out = foundationtest::runPython(
      dir_,
      "import plistlib, sys\nprint(len(plistlib.load(open(sys.stdin.read().strip(), 'rb'))))\n",
      after->fileURL().string());
  EXPECT_EQ(out, "5\n");
}

TEST_F(ODCConversionStoreTest, AContainerWhereTheFolderCannotBeMadeGivesNoStore) {
  const auto blocker = dir_.path() / "blocked";
  foundationtest::writeFile(blocker, "a file, not a folder");
  ASSERT_TRUE(platform::AppContainer::setRoot(dir_.path() / "container2").ok());
  // Application Support itself is a file: nothing can be made below it.
  std::filesystem::remove_all(platform::AppContainer::applicationSupportDirectory());
  foundationtest::writeFile(platform::AppContainer::applicationSupportDirectory(), "file");
  EXPECT_EQ(ODCConversionStore::create(), nullptr);
  EXPECT_EQ(linesWithCode(3000), 1u);
}

}  // namespace
