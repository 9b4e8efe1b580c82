#include "AppMeasurement/foundation/APMPersistedConfig.h"

#include <functional>
#include <thread>

#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"
#include "tests/AppMeasurement/foundation/PythonReference.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::Value;

class APMPersistedConfigTest : public environmenttest::ContainerTest {
 protected:
  std::shared_ptr<APMPersistedConfig> make(const std::string& suite = "test.suite") {
    auto config = APMPersistedConfig::create(suite);
    EXPECT_NE(config, nullptr);
    return config;
  }
  std::string plistPath(const std::string& suite = "test.suite") {
    return APMApplicationSupportPlistPath(suite);
  }
};

// Typed getters give neutral values for another kind; the raw getters give the value as it is.
TEST_F(APMPersistedConfigTest, TypedGettersAnswerNeutralValuesForAnotherKind) {
  auto config = make();
  struct Case {
    Value stored;
    double asDouble;
    int64_t asInt64;
    bool asBool;
    bool hasString;
  };
  const Case cases[] = {
      {Value("12.5"), 0, 0, false, true},
      {Value(12.75), 12.75, 12, true, false},
      {Value(7), 7, 7, true, false},
      {Value(true), 1, 1, true, false},
      {Value(Value::Array{Value(1)}), 0, 0, false, false},
      {Value(Value::Dictionary{{"a", Value(1)}}), 0, 0, false, false},
      {Value::bytes("\x01\x02"), 0, 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored.description());
    config->setNumber(c.stored, "/orvane/measurement/session_number");
    config->setNumber(c.stored, "/orvane/measurement/app_version");
    EXPECT_EQ(config->doubleForKey("/orvane/measurement/session_number"), c.asDouble);
    EXPECT_EQ(config->sessionNumber(), c.asInt64);
    EXPECT_EQ(config->boolForKey("/orvane/measurement/session_number"), c.asBool);
    EXPECT_EQ(config->appVersion().has_value(), c.hasString);
    EXPECT_EQ(config->sessionTimeoutValue(), std::nullopt);
    EXPECT_EQ(config->numberForKey("/orvane/measurement/session_number"), c.stored);
    EXPECT_EQ(config->dictionaryForKey("/orvane/measurement/session_number").has_value(),
              c.stored.isDictionary());
  }
  // An empty key reads neutral and writes nothing.
  config->setInt64(5, "");
  EXPECT_EQ(config->int64ForKey(""), 0);
}

TEST_F(APMPersistedConfigTest, FlagsStoredAsIntegersReadAsNonZero) {
  auto config = make();
  config->setShouldSetLastAdvertisingIDResetUserProperty(true);
  EXPECT_EQ(config->numberForKey("/orvane/measurement/set_last_advertising_id_reset"), Value(1));
  for (int64_t stored : {0, 1, 2, -1}) {
    config->setInt64(stored, "/orvane/measurement/set_last_advertising_id_reset");
    config->setInt64(stored, "/orvane/measurement/unmatched_first_open");
    EXPECT_EQ(config->shouldSetLastAdvertisingIDResetUserProperty(), stored != 0);
    EXPECT_EQ(config->unmatchedFirstOpenWithoutIDFA(), stored != 0);
  }
  // Any number is read by its truth, a fraction included; another kind reads NO.
  const std::pair<Value, bool> others[] = {{Value(0.5), true},    {Value(-0.25), true},
                                           {Value(0.0), false},   {Value(true), true},
                                           {Value(false), false}, {Value("1"), false}};
  for (const auto& [stored, expected] : others) {
    SCOPED_TRACE(stored.description());
    config->setNumber(stored, "/orvane/measurement/set_last_advertising_id_reset");
    config->setNumber(stored, "/orvane/measurement/unmatched_first_open");
    EXPECT_EQ(config->shouldSetLastAdvertisingIDResetUserProperty(), expected);
    EXPECT_EQ(config->unmatchedFirstOpenWithoutIDFA(), expected);
  }
}

// An equal value of another number kind is the same value: nothing is replaced and nothing
// is written; a value that differs, however little, is stored.
TEST_F(APMPersistedConfigTest, AnEqualNumberOfAnotherKindChangesNothing) {
  auto config = make();
  const std::string key = "/orvane/measurement/session_timeout";
  struct Case {
    Value stored;
    Value given;
    bool changes;
  };
  const int64_t twoTo53 = int64_t{1} << 53;
  const Case cases[] = {
      {Value(5), Value(5.0), false},
      {Value(5.0), Value(5), false},
      {Value(1), Value(true), false},
      {Value(true), Value(1), false},
      {Value(0), Value(false), false},
      {Value(-0.0), Value(0), false},
      {Value(Value::Array{Value(5)}), Value(Value::Array{Value(5.0)}), false},
      {Value(Value::Dictionary{{"a", Value(1)}}), Value(Value::Dictionary{{"a", Value(true)}}),
       false},
      {Value(5), Value(5.5), true},
      {Value(true), Value(2), true},
      {Value(twoTo53 + 1), Value(static_cast<double>(twoTo53)), true},
      {Value(INT64_MAX), Value(9223372036854775808.0), true},
      {Value("5"), Value(5), true},
      {Value(Value::Array{Value(5)}), Value(Value::Array{Value(5), Value(5)}), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored.description() + " then " + c.given.description());
    config->setNumber(std::nullopt, key);
    config->setNumber(c.stored, key);
    clock_->advance(2);
    const int64_t writes = config->store()->writeCountForTesting();
    config->setNumber(c.given, key);
    clock_->advance(2);
    EXPECT_EQ(config->store()->writeCountForTesting() - writes, c.changes ? 1 : 0);
    // The stored value keeps its own kind when nothing changed.
    EXPECT_EQ(config->numberForKey(key), c.changes ? c.given : c.stored);
  }
}

// The generic operations hand an empty key to the store they use, which refuses it with its
// code; nothing is stored.
TEST_F(APMPersistedConfigTest, EmptyKeysAreLoggedByTheStore) {
  auto config = make();
  APMUserDefaults defaults("test.defaults");
  struct Case {
    const char* what;
    std::function<void()> call;
    const char* code;
  };
  const Case cases[] = {
      {"boolForKey", [&] { EXPECT_FALSE(config->boolForKey("")); }, "I-ACS043001"},
      {"int64ForKey", [&] { EXPECT_EQ(config->int64ForKey(""), 0); }, "I-ACS043001"},
      {"doubleForKey", [&] { EXPECT_EQ(config->doubleForKey(""), 0); }, "I-ACS043001"},
      {"stringForKey", [&] { EXPECT_EQ(config->stringForKey(""), std::nullopt); }, "I-ACS043001"},
      {"dictionaryForKey", [&] { EXPECT_EQ(config->dictionaryForKey(""), std::nullopt); },
       "I-ACS043001"},
      {"numberForKey", [&] { EXPECT_EQ(config->numberForKey(""), std::nullopt); }, "I-ACS043001"},
      {"int64ForKey from user defaults", [&] { EXPECT_EQ(config->int64ForKey("", defaults), 0); },
       "I-ACS041001"},
      {"setBool", [&] { config->setBool(true, ""); }, "I-ACS043002"},
      {"setInt64", [&] { config->setInt64(1, ""); }, "I-ACS043002"},
      {"setDouble", [&] { config->setDouble(1.5, ""); }, "I-ACS043002"},
      {"setString", [&] { config->setString("x", ""); }, "I-ACS043002"},
      {"setDictionary", [&] { config->setDictionary(Value::Dictionary{}, ""); }, "I-ACS043002"},
      {"setNumber", [&] { config->setNumber(Value(1), ""); }, "I-ACS043002"},
  };
  for (const Case& c : cases) {
    testsupport::LogCapture capture;
    c.call();
    EXPECT_TRUE(capture.contains(c.code)) << c.what;
  }
  clock_->advance(2);
  EXPECT_EQ(config->store()->writeCountForTesting(), 0);
}

TEST_F(APMPersistedConfigTest, TenSettersInASecondGiveOneWriteAndOneSynchronize) {
  auto config = make();
  for (int i = 0; i < 10; ++i) {
    config->setInt64(i, "/orvane/measurement/session_number");
    clock_->advance(0.09);
  }
  // 0.9 s after the first change: nothing written yet.
  EXPECT_EQ(config->store()->writeCountForTesting(), 0);
  clock_->advance(0.11);  // 1.0 s after the first change
  EXPECT_EQ(config->store()->writeCountForTesting(), 1);
  EXPECT_EQ(config->synchronizeCountForTesting(), 0);
  clock_->advance(0.89);  // 1.0 s after the last change
  EXPECT_EQ(config->synchronizeCountForTesting(), 1);
  clock_->advance(10);
  EXPECT_EQ(config->store()->writeCountForTesting(), 1);
  EXPECT_EQ(config->synchronizeCountForTesting(), 1);

  // The same value again schedules no file write (a generic setter still asks to synchronize).
  config->setInt64(9, "/orvane/measurement/session_number");
  clock_->advance(5);
  EXPECT_EQ(config->store()->writeCountForTesting(), 1);
  EXPECT_EQ(config->synchronizeCountForTesting(), 2);
  // The three direct setters write the file but skip the request.
  config->setLoadTimestampValue(Value(1.5));
  config->setAllowPersonalizedAds(Value(true));
  config->setDeferredDeepLinkRetrievalComplete(Value(true));
  clock_->advance(5);
  EXPECT_EQ(config->store()->writeCountForTesting(), 2);
  EXPECT_EQ(config->synchronizeCountForTesting(), 2);
}

// However many changes come, one synchronize timer (and the store's one write timer) waits:
// the process's timer list does not grow with a burst.
TEST_F(APMPersistedConfigTest, ABurstOfChangesLeavesOneTimerPending) {
  auto config = make();
  for (int i = 0; i < 1000; ++i) {
    config->setInt64(i, "/orvane/measurement/session_number");
    clock_->advance(0.0001);
  }
  EXPECT_LE(platform::DispatchQueue::discardPendingDelayedWork(), 2u);
}

TEST_F(APMPersistedConfigTest, PythonPlistlibReadsTheFileWithKindsIntact) {
  auto config = make();
  config->setInt64(42, "/orvane/measurement/session_number");
  config->setDouble(1700000000.25, "/orvane/measurement/last_backoff");
  config->setBool(true, "/orvane/measurement/flag");
  config->setString("1.2.3", "/orvane/measurement/app_version");
  config->setDefaultEventParameters(Value::Dictionary{{"level", Value(3)}, {"name", "x"}});
  clock_->advance(2);
  std::string out = testsupport::runPython(
      "import plistlib\n"
      "d = plistlib.load(open('" +
      plistPath() +
      "', 'rb'))\n"
      "for k in sorted(d): print(k, type(d[k]).__name__, repr(d[k]))\n");
  EXPECT_EQ(out,
            "/orvane/measurement/app_version str '1.2.3'\n"
            "/orvane/measurement/default_event_parameters dict {'level': 3, 'name': 'x'}\n"
            "/orvane/measurement/flag bool True\n"
            "/orvane/measurement/last_backoff float 1700000000.25\n"
            "/orvane/measurement/session_number int 42\n");
}

TEST_F(APMPersistedConfigTest, ClearValuesSparesTheMeasurementEnabledState) {
  auto config = make();
  config->setMeasurementEnabledState(2);
  config->setAppInstanceID("ABC");
  config->clearValues();
  EXPECT_EQ(config->appInstanceID(), std::nullopt);
  EXPECT_EQ(config->measurementEnabledState(), 2);
  // The state went to the app's own preference file at once.
  auto file = preferencesFile(kAppDomain);
  auto plist = platform::PropertyListSerialization::propertyListWithData(readFile(file));
  ASSERT_TRUE(plist.ok());
  EXPECT_EQ(*plist->find(APMPersistedConfig::kMeasurementEnabledStateKey), Value(2));
}

TEST_F(APMPersistedConfigTest, MidnightOffsetIsDrawnOnceEvenByRacingReaders) {
  for (int round = 0; round < 5; ++round) {
    auto config = make("race." + std::to_string(round));
    double seen[4];
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
      threads.emplace_back([&, i] { seen[i] = config->midnightOffset(); });
    for (auto& t : threads) t.join();
    for (double value : seen) EXPECT_EQ(value, seen[0]);
    EXPECT_GE(seen[0], 0);
    EXPECT_LT(seen[0], 86400);
    EXPECT_EQ(config->midnightOffset(), seen[0]);
  }
}

// Reads answer from memory without the config queue: a value written on one thread is read on
// another once the write has returned; a cleared midnight offset
// is drawn again, not answered from before the clear.
TEST_F(APMPersistedConfigTest, ReadsSeeEveryReturnedWriteWithoutTheQueue) {
  auto config = make("reads");
  const double offset = config->midnightOffset();
  std::thread writer([&] {
    config->setSessionNumber(7);
    config->setDefaultEventParameters(Value::Dictionary{{"tier", Value("gold")}});
    config->setAppInstanceID("0123456789ABCDEF0123456789ABCDEF");
  });
  writer.join();
  std::thread reader([&] {
    EXPECT_EQ(config->sessionNumber(), 7);
    EXPECT_EQ(config->defaultEventParameters(), (Value::Dictionary{{"tier", Value("gold")}}));
    EXPECT_EQ(config->appInstanceID(), "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ(config->midnightOffset(), offset);
  });
  reader.join();
  config->clearValues();
  EXPECT_EQ(config->sessionNumber(), 0);
  bool redrawn = false;
  // One draw in 86,400,000 repeats the old value; a few draws make that impossible in practice.
  for (int i = 0; i < 3 && !redrawn; ++i) {
    redrawn = config->midnightOffset() != offset;
    config->clearValues();
  }
  EXPECT_TRUE(redrawn);
}

TEST_F(APMPersistedConfigTest, AnUnreadableFileIsSetAsideNotOverwritten) {
  testsupport::LogCapture capture;
  writeFile(plistPath(), "not a property list");
  auto config = make();
  EXPECT_EQ(config->sessionNumber(), 0);
  EXPECT_TRUE(capture.contains("I-ACS043005"));
  EXPECT_EQ(readFile(plistPath() + ".unreadable"), "not a property list");
  config->setSessionNumber(3);
  clock_->advance(2);
  EXPECT_EQ(readFile(plistPath() + ".unreadable"), "not a property list");
  // A plist of the wrong kind is set aside the same way.
  writeFile(plistPath("wrong"),
            *platform::PropertyListSerialization::dataWithPropertyList(
                Value(Value::Array{Value(1)}), platform::PropertyListSerialization::Format::XML));
  EXPECT_EQ(make("wrong")->sessionNumber(), 0);
  EXPECT_TRUE(std::filesystem::exists(plistPath("wrong") + ".unreadable"));
}

TEST_F(APMPersistedConfigTest, InvalidKeysAndValuesAreRefusedWithTheirCodes) {
  testsupport::LogCapture capture;
  auto store = APMPersistentDictionary::create("codes");
  ASSERT_NE(store, nullptr);
  store->setObject(Value(1), "");
  EXPECT_EQ(store->objectForKey(""), std::nullopt);
  store->setObject(Value(Value::Array{Value()}), "k");
  EXPECT_EQ(store->objectForKey("k"), std::nullopt);
  EXPECT_TRUE(capture.contains("I-ACS043001"));
  EXPECT_TRUE(capture.contains("I-ACS043002"));
  EXPECT_TRUE(capture.contains("I-ACS043003"));
  EXPECT_EQ(APMPersistedConfig::create(""), nullptr);
}

// The restart test: this process writes, a second process reads every setting back.
void writeEverySetting(APMPersistedConfig& config) {
  config.setLastDeleteStaleBundlesTimestamp(1.5);
  config.setSearchAdCampaignValue(Value(true));
  config.setSearchAdRetryCount(4);
  config.setAppInstanceID("0123456789ABCDEF0123456789ABCDEF");
  config.setHashedResettableDeviceID("abc");
  config.setDiversionKey("12345");
  config.setMeasurementEnabledState(1);
  config.setOSVersion("17.2");
  config.setFirstOpenTimestampMilliseconds(1700000000123);
  config.setConfigServerETag("etag");
  config.setLoadTimestampValue(Value(99.5));
  config.setAllowPersonalizedAds(Value(false));
  config.setDeferredDeepLinkRetrievalComplete(Value(true));
  config.setShouldSetLastAdvertisingIDResetUserProperty(true);
  config.setPreviousBundledConsentSignals("Q1-1");
  config.setAdCampaignInfoBuffer(Value(Value::Dictionary{{"gclid", "x"}}));
  config.setSessionNumber(7);
  config.setDefaultEventParameters(Value::Dictionary{{"p", Value(2.5)}});
  config.setSKANEvaluationUpdateBackoffMillis(-5);
}

TEST_F(APMPersistedConfigTest, ASecondProcessSeesEverySetting) {
  auto config = make("restart");
  writeEverySetting(*config);
  double offset = config->midnightOffset();
  clock_->advance(2);
  int status = testsupport::runThisBinary(
      "APMPersistedConfigTest.DISABLED_ChildReadsEverySetting",
      {{"KVL_TEST_ROOT", root_.string()}, {"KVL_TEST_OFFSET", std::to_string(offset)}});
  EXPECT_EQ(status, 0);
}

TEST_F(APMPersistedConfigTest, DISABLED_ChildReadsEverySetting) {
  if (std::getenv("KVL_TEST_ROOT") == nullptr) GTEST_SKIP();
  ASSERT_TRUE(platform::AppContainer::setRoot(std::getenv("KVL_TEST_ROOT")).ok());
  platform::PreferenceStore::resetForTesting();
  platform::PreferenceStore::setCurrentApplicationDomain(kAppDomain);
  auto config = APMPersistedConfig::create("restart");
  EXPECT_EQ(config->lastDeleteStaleBundlesTimestamp(), 1.5);
  EXPECT_EQ(config->searchAdCampaignValue(), Value(true));
  EXPECT_EQ(config->searchAdRetryCount(), 4);
  EXPECT_EQ(config->appInstanceID(), "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(config->hashedResettableDeviceID(), "abc");
  EXPECT_EQ(config->diversionKey(), "12345");
  EXPECT_EQ(config->measurementEnabledState(), 1);
  EXPECT_EQ(config->osVersion(), "17.2");
  EXPECT_EQ(config->firstOpenTimestampMilliseconds(), 1700000000123);
  EXPECT_EQ(config->configServerETag(), "etag");
  EXPECT_EQ(config->loadTimestampValue(), Value(99.5));
  EXPECT_EQ(config->allowPersonalizedAds(), Value(false));
  EXPECT_EQ(config->deferredDeepLinkRetrievalComplete(), Value(true));
  EXPECT_TRUE(config->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_EQ(config->previousBundledConsentSignals(), "Q1-1");
  EXPECT_EQ(config->adCampaignInfoBuffer(), Value(Value::Dictionary{{"gclid", "x"}}));
  EXPECT_EQ(config->sessionNumber(), 7);
  EXPECT_EQ(config->defaultEventParameters(), (Value::Dictionary{{"p", Value(2.5)}}));
  EXPECT_EQ(config->SKANEvaluationUpdateBackoffMillis(), -5);
  EXPECT_EQ(std::to_string(config->midnightOffset()), std::getenv("KVL_TEST_OFFSET"));
}

}  // namespace
