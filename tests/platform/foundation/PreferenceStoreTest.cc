#include "platform/foundation/PreferenceStore.h"

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "tests/platform/foundation/FoundationTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/FaultInjectingFileSystem.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::AppContainer;
using platform::FileManager;
using platform::PreferenceStore;
using platform::PropertyListSerialization;
using platform::Value;
using testsupport::FaultInjectingFileSystem;

constexpr const char* kRootVariable = "KVL_PREFERENCES_ROOT";
constexpr const char* kValueVariable = "KVL_PREFERENCES_VALUE";

// The parts a restart test runs as processes of their own: one changes a value and exits
// without calling synchronize, a later one reads it.
TEST(PreferenceStoreChild, DISABLED_ChangesAValueAndExits) {
  ASSERT_TRUE(AppContainer::setRoot(std::getenv(kRootVariable)).ok());
  PreferenceStore::setCurrentApplicationDomain("com.example.app");
  ASSERT_TRUE(PreferenceStore::forDomain("suite")->setValue("k", std::getenv(kValueVariable)).ok());
}

TEST(PreferenceStoreChild, DISABLED_ReadsTheValue) {
  ASSERT_TRUE(AppContainer::setRoot(std::getenv(kRootVariable)).ok());
  PreferenceStore::setCurrentApplicationDomain("com.example.app");
  EXPECT_EQ(PreferenceStore::forDomain("suite")->valueForKey("k"),
            Value(std::string(std::getenv(kValueVariable))));
}

class PreferenceStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AppContainer::setRoot(dir_.path()).ok());
    PreferenceStore::resetForTesting();
    PreferenceStore::setCurrentApplicationDomain("com.example.app");
  }
  void TearDown() override {
    env_.finish();
    PreferenceStore::resetForTesting();
  }

  // Runs one of the child tests above as a process of its own on this container.
  int runChild(const std::string& test, const std::string& value) {
    return testsupport::runThisBinary(
        "PreferenceStoreChild." + test,
        {{kRootVariable, dir_.path().string()}, {kValueVariable, value}});
  }

  // What a fresh process would see: the loaded stores are forgotten.
  std::shared_ptr<PreferenceStore> reopen(std::string_view domain) {
    PreferenceStore::resetForTesting();
    PreferenceStore::setCurrentApplicationDomain("com.example.app");
    return PreferenceStore::forDomain(domain);
  }

  foundationtest::TempDir dir_;
  testsupport::DispatchTestEnvironment env_;
};

TEST_F(PreferenceStoreTest, OneSharedStorePerDomain) {
  auto a = PreferenceStore::forDomain("suite");
  EXPECT_EQ(a, PreferenceStore::forDomain("suite"));
  EXPECT_NE(a, PreferenceStore::forDomain("other"));
  auto app = PreferenceStore::forDomain(PreferenceStore::kCurrentApplication);
  EXPECT_EQ(app, PreferenceStore::forDomain(""));
  EXPECT_EQ(app, PreferenceStore::forDomain("com.example.app"));
  EXPECT_EQ(app->domain(), "com.example.app");
  EXPECT_EQ(app->filePath(), dir_.path() / "Library/Preferences/com.example.app.plist");
  EXPECT_EQ(PreferenceStore::preferencesFilePath("suite"),
            dir_.path() / "Library/Preferences/suite.plist");
  a->setValue("k", 1).IgnoreError();
  EXPECT_EQ(PreferenceStore::forDomain("suite")->valueForKey("k"), Value(1));
}

TEST_F(PreferenceStoreTest, GetSetRemoveAndKeyList) {
  auto store = PreferenceStore::forDomain("suite");
  EXPECT_FALSE(store->valueForKey("a").has_value());
  EXPECT_TRUE(store->keys().empty());
  ASSERT_TRUE(store->setValue("b", true).ok());
  ASSERT_TRUE(store->setValue("a", 1.0).ok());
  ASSERT_TRUE(store->setValue("c", "text").ok());
  EXPECT_EQ(store->valueForKey("b"), Value(true));
  EXPECT_EQ(store->valueForKey("a")->type(), Value::Type::Real);
  EXPECT_EQ(store->keys(), (std::vector<std::string>{"a", "b", "c"}));
  store->removeValue("b");
  ASSERT_TRUE(store->setValue("c", Value()).ok());  // null removes
  EXPECT_EQ(store->keys(), std::vector<std::string>{"a"});
  ASSERT_TRUE(store->setMultiple({{"x", 1}, {"y", 2}, {"a", Value()}}, {"y", "missing"}).ok());
  EXPECT_EQ(store->keys(), std::vector<std::string>{"x"});
}

TEST_F(PreferenceStoreTest, RefusesWhatAPropertyListCannotHold) {
  auto store = PreferenceStore::forDomain("suite");
  Value list;
  list.push_back(1);
  list.push_back(Value());
  EXPECT_EQ(store->setValue("k", list).code(), absl::StatusCode::kInvalidArgument);
  EXPECT_FALSE(store->setValue("k", std::string("\xff", 1)).ok());
  EXPECT_FALSE(store->setMultiple({{"ok", 1}, {"bad", list}}, {}).ok());
  EXPECT_TRUE(store->keys().empty());
}

TEST_F(PreferenceStoreTest, SynchronizeWritesARealPropertyListThatLoadsLazily) {
  auto store = PreferenceStore::forDomain("suite");
  // Nothing changed: nothing written.
  ASSERT_TRUE(store->synchronize().ok());
  EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(store->filePath()));

  Value nested;
  nested["when"] = Value::date(1700000000.5);
  nested["bytes"] = Value::bytes(std::string("\0\1", 2));
  ASSERT_TRUE(store->setValue("int", 42).ok());
  ASSERT_TRUE(store->setValue("real", 42.0).ok());
  ASSERT_TRUE(store->setValue("bool", false).ok());
  ASSERT_TRUE(store->setValue("nested", nested).ok());
  ASSERT_TRUE(store->synchronize().ok());

  std::string data = foundationtest::readFile(store->filePath());
  EXPECT_EQ(data.substr(0, 8), "bplist00");
  std::string out = foundationtest::runPython(dir_, R"(
import plistlib
with open(")" + store->filePath().string() + R"(", "rb") as f:
    d = plistlib.load(f)
print(sorted((k, type(v).__name__) for k, v in d.items()), d["int"], d["nested"]["bytes"])
)");
  EXPECT_EQ(out,
            "[('bool', 'bool'), ('int', 'int'), ('nested', 'dict'), ('real', 'float')] 42 "
            "b'\\x00\\x01'\n");

  auto again = reopen("suite");
  EXPECT_NE(again, store);
  EXPECT_EQ(again->valueForKey("nested"), nested);
  EXPECT_EQ(again->valueForKey("real"), Value(42.0));
  EXPECT_EQ(again->keys().size(), 4u);
}

TEST_F(PreferenceStoreTest, ReadsAFileThatPlistlibWrote) {
  foundationtest::runPython(dir_, R"(
import plistlib
with open(")" + PreferenceStore::preferencesFilePath("suite").string() +
                                      R"(", "wb") as f:
    plistlib.dump({"n": 7, "s": "v", "r": 0.5, "t": True}, f, fmt=plistlib.FMT_XML)
)");
  auto store = PreferenceStore::forDomain("suite");
  EXPECT_EQ(store->valueForKey("n"), Value(7));
  EXPECT_EQ(store->valueForKey("s"), Value("v"));
  EXPECT_EQ(store->valueForKey("r"), Value(0.5));
  EXPECT_EQ(store->valueForKey("t"), Value(true));
}

TEST_F(PreferenceStoreTest, DamagedFileIsIgnoredAndReplacedOnTheNextWrite) {
  testsupport::LogCapture log;
  foundationtest::writeFile(PreferenceStore::preferencesFilePath("suite"), "bplist00garbage");
  auto store = PreferenceStore::forDomain("suite");
  EXPECT_TRUE(store->keys().empty());
  EXPECT_TRUE(log.contains("damaged preferences"));
  ASSERT_TRUE(store->setValue("k", 1).ok());
  ASSERT_TRUE(store->synchronize().ok());
  EXPECT_EQ(reopen("suite")->valueForKey("k"), Value(1));
}

TEST_F(PreferenceStoreTest, UnreadableFileIsNeverOverwrittenAndChangesAreWrittenOnceItReads) {
  testsupport::LogCapture log;
  FileManager& files = FileManager::defaultManager();
  auto path = PreferenceStore::preferencesFilePath("suite");
  ASSERT_TRUE(files.createDirectoryAtPath(path, false).ok());  // unreadable for now
  auto store = PreferenceStore::forDomain("suite");
  store->removeValue("gone");
  EXPECT_FALSE(store->synchronize().ok());
  ASSERT_TRUE(store->setValue("k", 1).ok());
  EXPECT_FALSE(store->synchronize().ok());
  EXPECT_TRUE(files.directoryExistsAtPath(path));  // never overwritten
  auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.find("Cannot read preferences of suite") !=
                                   std::string::npos;
                          }),
            1);  // said once, not at each try

  // The obstacle goes away; the file that is then there holds keys of its own.
  ASSERT_TRUE(files.removeItemAtPath(path).ok());
  Value::Dictionary onDisk{{"other", Value("kept")}, {"gone", Value(2)}, {"k", Value(0)}};
  auto data = PropertyListSerialization::dataWithPropertyList(
      Value(onDisk), PropertyListSerialization::Format::Binary);
  ASSERT_TRUE(data.ok());
  ASSERT_TRUE(files.writeAtomically(path, *data).ok());

  ASSERT_TRUE(store->synchronize().ok());
  auto reread = reopen("suite");
  EXPECT_EQ(reread->valueForKey("k"), Value(1));  // our change wins over the file
  EXPECT_EQ(reread->valueForKey("other"), Value("kept"));
  EXPECT_FALSE(reread->valueForKey("gone").has_value());  // so does our removal
}

TEST_F(PreferenceStoreTest, RemovalMadeWhileTheFileWasUnreadableIsWrittenOnceItReads) {
  FileManager& files = FileManager::defaultManager();
  auto path = PreferenceStore::preferencesFilePath("suite");
  ASSERT_TRUE(files.createDirectoryAtPath(path, false).ok());
  auto store = PreferenceStore::forDomain("suite");
  store->removeValue("gone");  // nothing in memory changes: only the file can hold the key
  ASSERT_TRUE(files.removeItemAtPath(path).ok());
  auto data = PropertyListSerialization::dataWithPropertyList(
      Value(Value::Dictionary{{"gone", Value(1)}}), PropertyListSerialization::Format::XML);
  ASSERT_TRUE(data.ok());
  ASSERT_TRUE(files.writeAtomically(path, *data).ok());
  ASSERT_TRUE(store->synchronize().ok());
  EXPECT_TRUE(reopen("suite")->keys().empty());
}

TEST_F(PreferenceStoreTest, MissingPreferencesFolderIsCreated) {
  ASSERT_TRUE(
      FileManager::defaultManager().removeItemAtPath(AppContainer::preferencesDirectory()).ok());
  auto store = PreferenceStore::forDomain("suite");
  ASSERT_TRUE(store->setValue("k", 1).ok());
  ASSERT_TRUE(store->synchronize().ok());
  EXPECT_TRUE(FileManager::defaultManager().fileExistsAtPath(store->filePath()));
}

TEST_F(PreferenceStoreTest, ConcurrentWritersLoseNothing) {
  auto store = PreferenceStore::forDomain("suite");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      auto shared = PreferenceStore::forDomain("suite");
      for (int i = 0; i < 100; ++i) {
        std::string key = std::to_string(t) + "-" + std::to_string(i);
        shared->setValue(key, i).IgnoreError();
        (void)shared->valueForKey(key);
        if (i % 25 == 0) shared->synchronize().IgnoreError();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(store->synchronize().ok());
  EXPECT_EQ(store->keys().size(), 800u);
  EXPECT_EQ(reopen("suite")->keys().size(), 800u);
}

TEST_F(PreferenceStoreTest, OrderlyExitWritesWhatWasChanged) {
  ASSERT_EQ(runChild("DISABLED_ChangesAValueAndExits", "written at exit"), 0);
  EXPECT_EQ(runChild("DISABLED_ReadsTheValue", "written at exit"), 0);
}

TEST_F(PreferenceStoreTest, WritesByItselfOnceChangesHaveSettled) {
  auto faults = std::make_shared<FaultInjectingFileSystem>();
  FaultInjectingFileSystem::Installed installed(faults);
  auto store = PreferenceStore::forDomain("suite");
  for (int i = 0; i < 10; ++i) {  // ten changes within a second
    ASSERT_TRUE(store->setValue("k", "value " + std::to_string(i)).ok());
    env_.advance(0.1);
  }
  env_.advance(PreferenceStore::kWriteDelay - 0.15);
  EXPECT_FALSE(std::filesystem::exists(store->filePath()));
  env_.advance(0.1);
  EXPECT_EQ(faults->count(FaultInjectingFileSystem::Call::kRename), 1u);  // one write
  EXPECT_EQ(runChild("DISABLED_ReadsTheValue", "value 9"), 0);

  // Changes that never settle are still written within the longest delay.
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(store->setValue("k", i).ok());
    env_.advance(0.5);
  }
  EXPECT_EQ(faults->count(FaultInjectingFileSystem::Call::kRename), 2u);
}

TEST_F(PreferenceStoreTest, ABurstOfChangesWaitsWithOneDelayedWrite) {
  auto faults = std::make_shared<FaultInjectingFileSystem>();
  FaultInjectingFileSystem::Installed installed(faults);
  auto store = PreferenceStore::forDomain("suite");
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(store->setValue("k", i).ok());
  env_.waitUntilIdle();
  // One delayed block waits, whatever the number of changes; dropping it loses nothing: the
  // next change arranges a write again.
  EXPECT_EQ(platform::DispatchQueue::discardPendingDelayedWork(), 1u);
  ASSERT_TRUE(store->setValue("k", "last").ok());
  env_.advance(PreferenceStore::kWriteDelay);
  EXPECT_EQ(faults->count(FaultInjectingFileSystem::Call::kRename), 1u);
  EXPECT_EQ(runChild("DISABLED_ReadsTheValue", "last"), 0);
}

struct WriteFault {
  const char* name;
  FaultInjectingFileSystem::Call call;
  int error;
  const char* reason;
  bool shortFirst = false;  // the first write is short before the fault
};

TEST_F(PreferenceStoreTest, AFailedWriteIsLoggedAndKeepsTheOldFile) {
  auto store = PreferenceStore::forDomain("suite");
  ASSERT_TRUE(store->setValue("old", 1).ok());
  ASSERT_TRUE(store->synchronize().ok());
  const std::string before = foundationtest::readFile(store->filePath());
  const WriteFault cases[] = {
      {"full disk", FaultInjectingFileSystem::Call::kWrite, ENOSPC, "No space left on device"},
      {"failing flush", FaultInjectingFileSystem::Call::kSync, EIO, "Input/output error"},
      {"short write, then a full disk", FaultInjectingFileSystem::Call::kWrite, ENOSPC,
       "No space left on device", true},
  };
  int round = 0;
  for (const WriteFault& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::LogCapture log;
    auto faults = std::make_shared<FaultInjectingFileSystem>();
    FaultInjectingFileSystem::Installed installed(faults);
    if (c.shortFirst) faults->shortenWrite(1, 5);
    faults->failCall(c.call, c.shortFirst ? 2 : 1, c.error);
    ASSERT_TRUE(store->setValue("new", ++round).ok());
    env_.advance(PreferenceStore::kWriteDelay);
    EXPECT_TRUE(log.contains("Cannot write preferences of suite: Cannot write " +
                             store->filePath().string() + ": " + c.reason))
        << (log.lines().empty() ? "" : log.lines().back());
    EXPECT_EQ(foundationtest::readFile(store->filePath()), before);
  }
  // The changes are still pending, and the next write takes them all.
  ASSERT_TRUE(store->synchronize().ok());
  EXPECT_EQ(reopen("suite")->valueForKey("new"), Value(3));
}

}  // namespace
