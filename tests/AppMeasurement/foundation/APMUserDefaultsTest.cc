#include "AppMeasurement/foundation/APMUserDefaults.h"

#include <sys/stat.h>

#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"
#include "tests/AppMeasurement/foundation/PythonReference.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::Value;

class APMUserDefaultsTest : public environmenttest::ContainerTest {
 protected:
  static constexpr const char* kSuite = "com.orvane.rzq.measurement.test";

  bool excludedFromBackup(const std::filesystem::path& path) {
    auto excluded = platform::FileManager::defaultManager().isExcludedFromBackup(path);
    EXPECT_TRUE(excluded.ok()) << excluded.status();
    return excluded.ok() && *excluded;
  }
};

TEST_F(APMUserDefaultsTest, EmptyKeyReadsNothingAndWritesNothing) {
  APMUserDefaults defaults(std::string{kSuite});
  testsupport::LogCapture log;
  EXPECT_EQ(defaults.objectForKey(""), std::nullopt);
  EXPECT_TRUE(log.contains("I-ACS041001"));
  EXPECT_TRUE(log.contains("Cannot get object for invalid user default key."));

  defaults.setObject(Value("value"), "");
  defaults.setInteger(5, "");
  EXPECT_TRUE(log.contains("I-ACS041002"));
  EXPECT_TRUE(log.contains("Cannot set object for invalid user default key."));
  EXPECT_TRUE(platform::PreferenceStore::forDomain(kSuite)->keys().empty());
}

TEST_F(APMUserDefaultsTest, PropertyListValuesAreStoredAndReadBack) {
  APMUserDefaults defaults(std::string{kSuite});
  Value::Dictionary nested{{"inner", Value(Value::Array{Value(1), Value("two")})}};
  const std::vector<std::pair<std::string, Value>> cases = {
      {"string", Value("text")},
      {"integer", Value(42)},
      {"real", Value(2.5)},
      {"bool", Value(true)},
      {"data", Value::bytes(std::string("\0\x01\xff", 3))},
      {"date", Value::date(1'700'000'123.0)},
      {"array", Value(Value::Array{Value(1), Value(1.0), Value(false)})},
      {"dictionary", Value(nested)},
  };
  testsupport::LogCapture log;
  for (const auto& [key, value] : cases) defaults.setObject(value, key);
  for (const auto& [key, value] : cases) {
    EXPECT_EQ(defaults.objectForKey(key), value) << key;
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(APMUserDefaultsTest, ValuesThatAreNoPropertyListAreRefused) {
  APMUserDefaults defaults(std::string{kSuite});
  defaults.setObject(Value("kept"), "key");
  const std::vector<Value> refused = {
      Value(),                                        // the null object
      Value(Value::Array{Value("a"), Value()}),       // a null inside an array
      Value(Value::Dictionary{{"nested", Value()}}),  // a null inside a dictionary
  };
  for (const Value& value : refused) {
    testsupport::LogCapture log;
    defaults.setObject(value, "key");
    EXPECT_TRUE(log.contains("I-ACS041003")) << value.description();
    EXPECT_TRUE(log.contains("Cannot set invalid object to user defaults.")) << value.description();
    EXPECT_EQ(defaults.objectForKey("key"), Value("kept")) << value.description();
  }
  // The refused values never reach the file: the domain still writes.
  defaults.synchronize();
  EXPECT_TRUE(std::filesystem::exists(preferencesFile(kSuite)));
}

TEST_F(APMUserDefaultsTest, NoValueRemovesTheKey) {
  APMUserDefaults defaults(std::string{kSuite});
  defaults.setObject(Value("a"), "one");
  defaults.setObject(Value("b"), "two");
  defaults.setObject(std::nullopt, "one");
  defaults.removeObjectForKey("two");
  EXPECT_EQ(defaults.objectForKey("one"), std::nullopt);
  EXPECT_EQ(defaults.objectForKey("two"), std::nullopt);
}

TEST_F(APMUserDefaultsTest, TypedGettersAnswerOnlyTheirKind) {
  APMUserDefaults defaults(std::string{kSuite});
  defaults.setObject(Value("12"), "string");
  defaults.setObject(Value(3.75), "real");
  defaults.setObject(Value(7), "integer");
  defaults.setObject(Value(true), "bool");
  defaults.setObject(Value(Value::Array{Value(1)}), "array");
  defaults.setObject(Value(Value::Dictionary{{"k", Value(1)}}), "dictionary");

  // Numbers only; a numeric string is no number.
  EXPECT_EQ(defaults.integerForKey("string"), 0);
  EXPECT_EQ(defaults.doubleForKey("string"), 0);
  EXPECT_FALSE(defaults.boolForKey("string"));
  EXPECT_EQ(defaults.integerForKey("real"), 3);
  EXPECT_FLOAT_EQ(defaults.floatForKey("real"), 3.75f);
  EXPECT_EQ(defaults.doubleForKey("integer"), 7.0);
  EXPECT_TRUE(defaults.boolForKey("integer"));
  EXPECT_EQ(defaults.integerForKey("bool"), 1);
  defaults.setDouble(1e300, "huge");
  defaults.setDouble(-1e300, "hugeNegative");
  EXPECT_EQ(defaults.floatForKey("huge"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(defaults.floatForKey("hugeNegative"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(defaults.integerForKey("huge"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(defaults.integerForKey("missing"), 0);
  EXPECT_FALSE(defaults.boolForKey("missing"));

  EXPECT_EQ(defaults.stringForKey("string"), "12");
  EXPECT_EQ(defaults.stringForKey("integer"), std::nullopt);
  EXPECT_EQ(defaults.numberForKey("real"), Value(3.75));
  EXPECT_EQ(defaults.numberForKey("bool"), Value(true));
  EXPECT_EQ(defaults.numberForKey("string"), std::nullopt);
  EXPECT_EQ(defaults.arrayForKey("array"), (Value::Array{Value(1)}));
  EXPECT_EQ(defaults.arrayForKey("dictionary"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("dictionary"), (Value::Dictionary{{"k", Value(1)}}));
  EXPECT_EQ(defaults.dictionaryForKey("array"), std::nullopt);
}

TEST_F(APMUserDefaultsTest, TypedSettersKeepTheNumberKind) {
  APMUserDefaults defaults(std::string{kSuite});
  defaults.setInteger(-9'000'000'000'000LL, "integer");
  defaults.setDouble(0.1, "double");
  defaults.setFloat(0.5f, "float");
  defaults.setBool(false, "bool");
  EXPECT_EQ(defaults.objectForKey("integer"), Value(-9'000'000'000'000LL));
  EXPECT_EQ(defaults.objectForKey("double"), Value(0.1));
  EXPECT_EQ(defaults.objectForKey("float"), Value(0.5));
  EXPECT_EQ(defaults.objectForKey("bool"), Value(false));
}

TEST_F(APMUserDefaultsTest, SuitesAreSeparateAndShareTheirDomain) {
  APMUserDefaults first(std::string{kSuite});
  APMUserDefaults sameSuite(std::string{kSuite});
  APMUserDefaults other(std::string{"com.orvane.rzq.measurement.other"});
  first.setObject(Value(1), "key");
  EXPECT_EQ(sameSuite.objectForKey("key"), Value(1));
  EXPECT_EQ(other.objectForKey("key"), std::nullopt);
  // No suite and an empty suite name both mean the app's own preferences.
  APMUserDefaults app;
  APMUserDefaults emptySuite(std::string{});
  app.setObject(Value("mine"), "appKey");
  EXPECT_EQ(emptySuite.objectForKey("appKey"), Value("mine"));
  EXPECT_EQ(APMUserDefaults::sharedUserDefaults()->objectForKey("appKey"), Value("mine"));
  EXPECT_EQ(first.objectForKey("appKey"), std::nullopt);
}

TEST_F(APMUserDefaultsTest, SuiteFileIsExcludedFromBackupAfterTheFirstWrite) {
  APMUserDefaults defaults(std::string{kSuite});
  defaults.synchronize();  // nothing written yet: no file, nothing to exclude
  EXPECT_FALSE(std::filesystem::exists(preferencesFile(kSuite)));
  EXPECT_FALSE(defaults.isPreferenceFileExcluded());

  defaults.setObject(Value("v"), "k");
  defaults.synchronize();
  ASSERT_TRUE(std::filesystem::exists(preferencesFile(kSuite)));
  EXPECT_TRUE(defaults.isPreferenceFileExcluded());
  EXPECT_TRUE(excludedFromBackup(preferencesFile(kSuite)));

  // Later writes replace the file and it stays out of the backup.
  defaults.setObject(Value("w"), "k");
  defaults.synchronize();
  EXPECT_TRUE(excludedFromBackup(preferencesFile(kSuite)));
}

TEST_F(APMUserDefaultsTest, SharedInstanceNeverExcludesTheAppsPreferenceFile) {
  std::shared_ptr<APMUserDefaults> shared = APMUserDefaults::sharedUserDefaults();
  EXPECT_TRUE(shared->isPreferenceFileExcluded());
  shared->setObject(Value("v"), "k");
  shared->synchronize();
  ASSERT_TRUE(std::filesystem::exists(preferencesFile(kAppDomain)));
  EXPECT_FALSE(excludedFromBackup(preferencesFile(kAppDomain)));

  // A plain instance over the app's domain does not exclude it either: it has no suite file.
  APMUserDefaults app;
  app.setObject(Value("w"), "k");
  app.synchronize();
  EXPECT_FALSE(excludedFromBackup(preferencesFile(kAppDomain)));
  // Nor does a suite named like the app.
  APMUserDefaults suite(std::string{kAppDomain});
  suite.setObject(Value("x"), "k");
  suite.synchronize();
  EXPECT_FALSE(excludedFromBackup(preferencesFile(kAppDomain)));
}

TEST_F(APMUserDefaultsTest, FailedExclusionIsLoggedAndRetried) {
  // A preference file on a filesystem without extended attributes cannot be marked.
  std::filesystem::create_directories(preferencesFile(kSuite).parent_path());
  std::filesystem::create_symlink("/proc/version", preferencesFile(kSuite));
  APMUserDefaults defaults(std::string{kSuite});
  {
    testsupport::LogCapture log;
    defaults.synchronize();
    EXPECT_TRUE(log.contains("I-ACS041000"));
    EXPECT_TRUE(log.contains("Failed to exclude preferences file from backup."));
  }
  EXPECT_FALSE(defaults.isPreferenceFileExcluded());

  std::filesystem::remove(preferencesFile(kSuite));
  platform::PreferenceStore::resetForTesting();
  platform::PreferenceStore::setCurrentApplicationDomain(kAppDomain);
  defaults.setObject(Value(1), "k");
  testsupport::LogCapture log;
  defaults.synchronize();
  EXPECT_FALSE(log.contains("I-ACS041000"));
  EXPECT_TRUE(defaults.isPreferenceFileExcluded());
  EXPECT_TRUE(excludedFromBackup(preferencesFile(kSuite)));
}

TEST_F(APMUserDefaultsTest, FailedSynchronizeIsLoggedAndTheInstanceStaysUsable) {
  // Library/Preferences is a file, so the domain cannot be written.
  std::filesystem::remove_all(root_ / "Library" / "Preferences");
  writeFile(root_ / "Library" / "Preferences", "not a folder");
  APMUserDefaults defaults(std::string{kSuite});
  defaults.setObject(Value(1), "k");
  testsupport::LogCapture log;
  defaults.synchronize();
  EXPECT_TRUE(log.contains("I-ACS041004"));
  EXPECT_TRUE(log.contains("Cannot synchronize user defaults to disk"));
  EXPECT_FALSE(defaults.isPreferenceFileExcluded());
  EXPECT_EQ(defaults.objectForKey("k"), Value(1));
}

TEST_F(APMUserDefaultsTest, ClearAllDataOnAnEmptyDomainDoesNothing) {
  APMUserDefaults defaults(std::string{kSuite});
  testsupport::LogCapture log;
  defaults.clearAllData();
  defaults.synchronize();
  EXPECT_TRUE(log.lines().empty());
  EXPECT_FALSE(std::filesystem::exists(preferencesFile(kSuite)));
}

TEST_F(APMUserDefaultsTest, ClearAllDataRemovesEveryKeyOfItsDomainOnly) {
  APMUserDefaults defaults(std::string{kSuite});
  APMUserDefaults other(std::string{"com.orvane.rzq.measurement.other"});
  defaults.setObject(Value(1), "a");
  defaults.setObject(Value(2), "b");
  other.setObject(Value(3), "a");
  defaults.synchronize();
  defaults.clearAllData();
  EXPECT_EQ(defaults.objectForKey("a"), std::nullopt);
  EXPECT_EQ(defaults.objectForKey("b"), std::nullopt);
  EXPECT_EQ(other.objectForKey("a"), Value(3));
  // Cleared on disk too after the next synchronize.
  defaults.synchronize();
  platform::PreferenceStore::resetForTesting();
  platform::PreferenceStore::setCurrentApplicationDomain(kAppDomain);
  EXPECT_EQ(defaults.objectForKey("a"), std::nullopt);
}

TEST_F(APMUserDefaultsTest, ConcurrentSynchronizeExcludesOnceAndLosesNothing) {
  APMUserDefaults defaults(std::string{kSuite});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&defaults, t] {
      for (int i = 0; i < 25; ++i) {
        defaults.setInteger(i, "key" + std::to_string(t));
        defaults.synchronize();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(defaults.isPreferenceFileExcluded());
  EXPECT_TRUE(excludedFromBackup(preferencesFile(kSuite)));
  platform::PreferenceStore::resetForTesting();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(defaults.integerForKey("key" + std::to_string(t)), 24);
}

TEST_F(APMUserDefaultsTest, DamagedSuiteFileReadsEmptyAndIsReplacedByTheNextWrite) {
  writeFile(preferencesFile(kSuite), std::string("bplist00\x00\xff garbage", 18));
  APMUserDefaults defaults(std::string{kSuite});
  EXPECT_EQ(defaults.objectForKey("anything"), std::nullopt);
  defaults.setObject(Value("fresh"), "key");
  defaults.synchronize();
  platform::PreferenceStore::resetForTesting();
  EXPECT_EQ(defaults.objectForKey("key"), Value("fresh"));
  EXPECT_TRUE(defaults.isPreferenceFileExcluded());
}

// What our suite file holds, as Python's plistlib reads it: one "key kind value" per line.
TEST_F(APMUserDefaultsTest, SuiteFileIsReadByPythonPlistlibWithTypesIntact) {
  APMUserDefaults defaults(std::string{kSuite});
  defaults.setObject(Value("Grüße"), "string");
  defaults.setInteger(-5'000'000'000LL, "integer");
  defaults.setDouble(0.25, "real");
  defaults.setBool(true, "bool");
  defaults.setObject(Value::bytes(std::string("\x00\x7f\xff", 3)), "data");
  defaults.setObject(Value::date(1'700'000'000.0), "date");
  defaults.setObject(Value(Value::Array{Value(1), Value("x"), Value(false)}), "array");
  defaults.setObject(Value(Value::Dictionary{{"n", Value(1.5)}}), "dictionary");
  defaults.synchronize();

  std::string output = testsupport::runPython(
      "import plistlib, datetime\n"
      "with open(" +
      std::string("'") + preferencesFile(kSuite).string() +
      "', 'rb') as f:\n"
      "    d = plistlib.load(f)\n"
      "def show(v):\n"
      "    if isinstance(v, bool): return 'bool:' + str(v)\n"
      "    if isinstance(v, int): return 'int:' + str(v)\n"
      "    if isinstance(v, float): return 'float:' + repr(v)\n"
      "    if isinstance(v, str): return 'str:' + v.encode('unicode_escape').decode()\n"
      "    if isinstance(v, bytes): return 'bytes:' + v.hex()\n"
      "    if isinstance(v, datetime.datetime):\n"
      "        return 'date:' + str(int(v.replace(tzinfo=datetime.timezone.utc).timestamp()))\n"
      "    if isinstance(v, list): return '[' + ','.join(show(x) for x in v) + ']'\n"
      "    if isinstance(v, dict): return '{' + ','.join(k + '=' + show(v[k]) for k in sorted(v)) "
      "+ '}'\n"
      "    return 'other'\n"
      "for k in sorted(d): print(k, show(d[k]))\n");
  EXPECT_EQ(output,
            "array [int:1,str:x,bool:False]\n"
            "bool bool:True\n"
            "data bytes:007fff\n"
            "date date:1700000000\n"
            "dictionary {n=float:1.5}\n"
            "integer int:-5000000000\n"
            "real float:0.25\n"
            "string str:Gr\\xfc\\xdfe\n");
}

// A suite file written by Python's plistlib, in both formats, is read with its types.
TEST_F(APMUserDefaultsTest, SuiteFileWrittenByPythonPlistlibIsRead) {
  for (const char* format : {"FMT_XML", "FMT_BINARY"}) {
    platform::PreferenceStore::resetForTesting();
    std::filesystem::create_directories(preferencesFile(kSuite).parent_path());
    std::string output = testsupport::runPython(
        "import plistlib, datetime\n"
        "d = {'string': 'héllo', 'integer': 2**40, 'negative': -3, 'real': 1.25,\n"
        "     'yes': True, 'no': False, 'data': b'\\x00\\x01',\n"
        "     'date': datetime.datetime(2023, 11, 14, 22, 13, 20),\n"
        "     'array': [1, 'two', 3.0], 'dictionary': {'inner': [True]}}\n"
        "with open('" +
        preferencesFile(kSuite).string() +
        "', 'wb') as f:\n"
        "    plistlib.dump(d, f, fmt=plistlib." +
        format +
        ")\n"
        "print('ok')\n");
    ASSERT_EQ(output, "ok\n") << format;

    APMUserDefaults defaults(std::string{kSuite});
    EXPECT_EQ(defaults.stringForKey("string"), "h\xc3\xa9llo") << format;
    EXPECT_EQ(defaults.objectForKey("integer"), Value(1LL << 40)) << format;
    EXPECT_EQ(defaults.integerForKey("negative"), -3) << format;
    EXPECT_EQ(defaults.objectForKey("real"), Value(1.25)) << format;
    EXPECT_EQ(defaults.objectForKey("yes"), Value(true)) << format;
    EXPECT_EQ(defaults.objectForKey("no"), Value(false)) << format;
    EXPECT_EQ(defaults.objectForKey("data"), Value::bytes(std::string("\x00\x01", 2))) << format;
    EXPECT_EQ(defaults.objectForKey("date"), Value::date(1'700'000'000.0)) << format;
    EXPECT_EQ(defaults.objectForKey("array"),
              Value(Value::Array{Value(1), Value("two"), Value(3.0)}))
        << format;
    EXPECT_EQ(defaults.dictionaryForKey("dictionary"),
              (Value::Dictionary{{"inner", Value(Value::Array{Value(true)})}}))
        << format;
  }
}

}  // namespace
