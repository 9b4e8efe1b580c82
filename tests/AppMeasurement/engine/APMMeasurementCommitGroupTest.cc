// Events logged back to back share one commit; when that commit cannot be made, what is stored,
// logged and counted is what one transaction per event gives.
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "AppMeasurement/features/APMLifetimeValueRecorder.h"
#include "AppMeasurement/storage/APMSqliteStore.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "tests/AppMeasurement/engine/AttributionTestSupport.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"
#include "tests/AppMeasurement/storage/FaultInjectingVfs.h"

namespace {

using enginetest::EngineTest;

constexpr const char* kAdvertisingIDBefore = "A1A1A1A1-0000-4000-8000-000000000001";
constexpr const char* kAdvertisingIDAfter = "B2B2B2B2-0000-4000-8000-000000000002";

// The device's advertising identifier, which the user resets: from a given read on, it is
// another.
class ResettingIdentitySupport : public enginetest::AttributionIdentitySupport {
 public:
  std::optional<std::string> resettableDeviceID() override {
    return std::string(++reads > resetAfter ? kAdvertisingIDAfter : kAdvertisingIDBefore);
  }

  std::atomic<int> reads{0};
  std::atomic<int> resetAfter{1'000'000};
};

// Runs a change once, as the given insert into raw_events happens (its first run): from the
// worker, at the same point of the events' writing one at a time and back to back.
class ChangeAtRawEventInsert {
 public:
  ChangeAtRawEventInsert(sqlite3* handle, int insert, std::function<void()> change)
      : handle_(handle), insert_(insert), change_(std::move(change)) {
    sqlite3_update_hook(handle_, &ChangeAtRawEventInsert::updated, this);
  }
  ~ChangeAtRawEventInsert() { sqlite3_update_hook(handle_, nullptr, nullptr); }

 private:
  static void updated(void* self, int operation, const char*, const char* table, sqlite3_int64) {
    auto& hook = *static_cast<ChangeAtRawEventInsert*>(self);
    if (operation == SQLITE_INSERT && std::string_view(table) == "raw_events" &&
        ++hook.inserts_ == hook.insert_) {
      hook.change_();
    }
  }

  sqlite3* handle_;
  const int insert_;
  int inserts_ = 0;
  std::function<void()> change_;
};

struct LoggedEvent {
  std::string origin;
  bool isPublic;
  std::string name;
  APMObjectMap parameters;
};

// What a run leaves: the case's events stored and logged as stored (23072), in order, the day's
// counts and the previous first-open count.
struct Outcome {
  std::vector<std::string> stored;
  std::vector<std::string> logged;
  int32_t allEvents = 0;
  int32_t publicEvents = 0;
  std::optional<platform::Value> previousFirstOpens;
  // Stored events whose metadata row is missing.
  int64_t withoutMetadata = 0;
  // Stored events of a name without its aggregates row.
  int64_t withoutAggregates = 0;
  // The stored "_ltv_USD", and that of each stored event's metadata record (-1: none).
  int64_t lifetimeValue = -1;
  std::vector<int64_t> metadataLifetimeValues;
  // Error events stored, and stored events of more than 10,000 bytes.
  int64_t errorEvents = 0;
  int64_t bigStored = 0;
  // The identifier-reset marker "_lair" is stored.
  bool lairStored = false;
  // The error events logged, by code, and the public events logged (stored or dropped).
  std::vector<int64_t> errorCodes;
  // Each stored event of the case with what its metadata record says of the app instance
  // ("X" the one before the case, "Y" another), the advertising identifier, consent and
  // "_lair".
  std::vector<std::string> records;
  // The day the daily counts are kept for (of the engine's own midnight), and the commit
  // groups rolled back to run again.
  int32_t countsDay = 0;
  uint64_t groupRollbacks = 0;
};

// A group that was rolled back and run again leaves what one transaction per event leaves.
void expectAsAlone(const Outcome& together, const Outcome& alone) {
  EXPECT_EQ(together.stored, alone.stored);
  EXPECT_EQ(together.logged, alone.stored);
  EXPECT_EQ(alone.logged, alone.stored);
  EXPECT_EQ(together.records, alone.records);
  EXPECT_EQ(together.lairStored, alone.lairStored);
  EXPECT_EQ(together.allEvents, alone.allEvents);
  EXPECT_EQ(together.publicEvents, alone.publicEvents);
  EXPECT_EQ(together.previousFirstOpens, alone.previousFirstOpens);
  EXPECT_EQ(together.errorEvents, alone.errorEvents);
  EXPECT_EQ(together.errorCodes, alone.errorCodes);
  EXPECT_EQ(together.lifetimeValue, alone.lifetimeValue);
  EXPECT_EQ(together.metadataLifetimeValues, alone.metadataLifetimeValues);
  EXPECT_EQ(together.withoutAggregates, alone.withoutAggregates);
  EXPECT_EQ(together.withoutMetadata, 0);
  EXPECT_EQ(alone.groupRollbacks, 0u);
  EXPECT_GE(together.groupRollbacks, 1u);
}

class CommitGroupTest : public EngineTest {
 protected:
  // The engine on a new container and keychain: nothing of an earlier run is left.
  void restartFresh(int run, const std::vector<std::pair<std::string, std::string>>& settings,
                    std::shared_ptr<APMIdentitySupport> identitySupport = nullptr) {
    if (engine) {
      engine->setEnabled(false);
      env.waitUntilIdle();
      engine.reset();
      APMAnalytics::resetForTesting();
      platform::ClassRegistry::shared().clear();
      KVLApp::resetForTesting();
      std::string root = "run" + std::to_string(run);
      ASSERT_TRUE(platform::AppContainer::setRoot(base_ / root).ok());
      platform::SecKeychainSetPathForTesting(base_ / (root + "-keychain"));
      APMAnalytics::load();
    }
    makeEngine(settings, nullptr, {}, std::move(identitySupport));
  }

  // Runs SQL on the engine's own connection, outside any transaction.
  void execute(const std::string& sql) {
    onWorker([&] {
      ASSERT_EQ(sqlite3_exec(engine->database()->sqliteStore()->sqliteHandle(), sql.c_str(),
                             nullptr, nullptr, nullptr),
                SQLITE_OK)
          << sql;
    });
  }

  int64_t pragma(const std::string& name) {
    int64_t value = 0;
    onWorker([&] {
      value = *engine->database()
                   ->sqliteStore()
                   ->numberForQuery("PRAGMA " + name, {}, nullptr)
                   ->numberAsInteger();
    });
    return value;
  }

  // `walRoom` frames, when not 0, are all the write-ahead log may take from the events on: a
  // disk that fills at a commit.
  Outcome run(const std::vector<LoggedEvent>& events, bool fullDisk, bool backToBack,
              int walRoom = 0) {
    clearRawEvents();
    // No metadata row is left either: the case's first event inserts the one its events share.
    onWorker([&] {
      APMDatabase& database = *engine->database();
      std::vector<int64_t> fingerprints;
      ASSERT_TRUE(database.allDataTypesFromTableWithName(
          "raw_events_metadata", -1, nullptr, [&](const APMSqliteRecord& record) {
            fingerprints.push_back(*record.at("metadata_fingerprint").numberAsInteger());
            return true;
          }));
      for (int64_t fingerprint : fingerprints) {
        ASSERT_TRUE(database.deleteRawEventMetadataWithMetadataFingerprint(fingerprint, nullptr));
      }
    });
    onWorker([&] {
      APMDailyCounts counts = engine->database()->dailyCounts(nullptr).value();
      ASSERT_TRUE(engine->database()->updateDailyCounts(
          APMDailyCounts(counts.day(), 0, 0, 0, 0, 0, 0), nullptr));
    });
    // An event named "bad" or "_bad" breaks a deferred key, which only its commit finds. Only
    // where one is logged: a trigger gives the inserts a statement journal, and SQLite then
    // takes back only the failed statement on a full disk instead of the whole transaction.
    if (std::any_of(events.begin(), events.end(),
                    [](const LoggedEvent& event) { return event.name.ends_with("bad"); })) {
      execute("PRAGMA foreign_keys = ON");
      execute("CREATE TABLE parent (id INTEGER PRIMARY KEY)");
      execute(
          "CREATE TABLE child (pid INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)");
      execute(
          "CREATE TRIGGER breaks AFTER INSERT ON raw_events WHEN NEW.name IN ('bad', '_bad') "
          "BEGIN INSERT INTO child VALUES (7); END");
    }
    if (fullDisk) execute("PRAGMA max_page_count = " + std::to_string(pragma("page_count") + 1));
    if (walRoom > 0) {
      execute("PRAGMA wal_autocheckpoint = 0");
      execute("PRAGMA wal_checkpoint(TRUNCATE)");
      storagetest::FaultInjectingVfs::limitWal(32 + walRoom * (24 + pragma("page_size")));
    }
    capture.clear();
    std::optional<std::string> instanceBefore = persistedConfig->appInstanceID();
    std::shared_ptr<APMErrorEventSink> sinkBefore = APMErrorEventSink::current();
    auto sink = std::make_shared<testsupport::CapturingErrorSink>();
    APMErrorEventSink::install(sink);
    auto log = [&](const LoggedEvent& event) {
      engine->logEvent(event.origin, event.isPublic, event.name, event.parameters, env.now(), true,
                       false, false, nullptr, {});
    };
    if (backToBack) {
      // The worker is busy while they are logged: they join one group.
      platform::DispatchSemaphore held(0);
      engine->scheduler()->scheduleOnWorkerQueueBlockID("test", [&] { held.wait(); });
      for (const LoggedEvent& event : events) log(event);
      held.signal();
      env.waitUntilIdle();
    } else {
      for (const LoggedEvent& event : events) {
        log(event);
        env.waitUntilIdle();
      }
    }
    storagetest::FaultInjectingVfs::limitWal(0);
    APMErrorEventSink::install(sinkBefore);
    Outcome outcome;
    for (const testsupport::CapturingErrorSink::Logged& error : sink->logged()) {
      outcome.errorCodes.push_back(error.parameters.at("_err").int64Value());
    }
    auto logged = [&](const std::string& name) {
      return std::any_of(events.begin(), events.end(),
                         [&](const LoggedEvent& event) { return event.name == name; });
    };
    for (const std::string& name : storedEventNames()) {
      outcome.errorEvents += name == "_err";
      if (logged(name)) outcome.stored.push_back(name);
    }
    for (const std::string& line : capture.lines()) {
      if (line.find("I-ACS023072") == std::string::npos) continue;
      for (const LoggedEvent& event : events) {
        if (line.find("event params: " + event.name + ",") != std::string::npos) {
          outcome.logged.push_back(event.name);
          break;
        }
      }
    }
    APMDailyCounts counts = dailyCounts();
    outcome.allEvents = counts.allEventsCount();
    outcome.publicEvents = counts.publicEventsCount();
    outcome.countsDay = counts.day();
    outcome.previousFirstOpens = engine->previousFirstOpenCount();
    onWorker([&] {
      outcome.withoutMetadata =
          *engine->database()
               ->sqliteStore()
               ->numberForQuery(
                   "SELECT count(*) FROM raw_events WHERE metadata_fingerprint NOT IN "
                   "(SELECT metadata_fingerprint FROM raw_events_metadata)",
                   {}, nullptr)
               ->numberAsInteger();
    });
    onWorker([&] {
      APMDatabase& database = *engine->database();
      APMSqliteStore& store = *database.sqliteStore();
      outcome.bigStored =
          *store
               .numberForQuery("SELECT count(*) FROM raw_events WHERE length(data) > 10000", {},
                               nullptr)
               ->numberAsInteger();
      outcome.withoutAggregates =
          *store
               .numberForQuery(
                   "SELECT count(*) FROM raw_events WHERE name NOT IN (SELECT name FROM events)",
                   {}, nullptr)
               ->numberAsInteger();
      outcome.lairStored = database.userAttributeWithName("_lair", nullptr).has_value();
      if (auto ltv = database.userAttributeWithName("_ltv_USD", nullptr)) {
        outcome.lifetimeValue = ltv->value().int64Value();
      }
      outcome.groupRollbacks = database.groupRollbacks();
      auto rows = store.recordsForQuery(
          "SELECT name, metadata_fingerprint FROM raw_events WHERE name != '_err' ORDER BY rowid",
          {}, nullptr);
      for (const APMSqliteRecord& row : rows.value_or(std::vector<APMSqliteRecord>{})) {
        int64_t value = -1;
        std::string record = *row.at("name").asString();
        if (auto bundle = database.queryRawEventsMetadataWithFingerprint(
                *row.at("metadata_fingerprint").numberAsInteger(), nullptr)) {
          bool lair = false;
          for (const APMPBUserAttribute& attribute :
               NANOGetMessageArray<APMPBUserAttribute>(*bundle,
                                                       APMPBMeasurementBundle::kUserAttributes)
                   .value_or(std::vector<APMPBUserAttribute>{})) {
            if (NANOGetString(attribute, APMPBUserAttribute::kName) == "_ltv_USD") {
              value = NANOGetInt64(attribute, APMPBUserAttribute::kIntValue);
            }
            lair |= NANOGetString(attribute, APMPBUserAttribute::kName) == "_lair";
          }
          using B = APMPBMeasurementBundle;
          std::optional<std::string> instance = NANOGetString(*bundle, B::kAppInstanceId);
          std::optional<std::string> advertising = NANOGetString(*bundle, B::kResettableDeviceId);
          record += std::string(" instance ") +
                    (!instance                    ? "none"
                     : instance == instanceBefore ? "X"
                                                  : "Y") +
                    " advertising " +
                    (!advertising                          ? "none"
                     : advertising == kAdvertisingIDBefore ? "A1"
                     : advertising == kAdvertisingIDAfter  ? "B2"
                                                           : *advertising) +
                    " consent " + NANOGetString(*bundle, B::kConsentSignals).value_or("none") +
                    (lair ? " _lair" : "");
        }
        if (logged(*row.at("name").asString())) outcome.records.push_back(record);
        outcome.metadataLifetimeValues.push_back(value);
      }
    });
    if (fullDisk) execute("PRAGMA max_page_count = 1073741823");
    return outcome;
  }
};

LoggedEvent publicEvent(const std::string& name, APMObjectMap parameters = {}) {
  return {"app", true, name, std::move(parameters)};
}

// Each row logs its events one at a time (each its own transaction) on a fresh engine, then
// back to back (one group) on another; both must leave the same.
TEST_F(CommitGroupTest, EventsLoggedBackToBackLeaveWhatOneTransactionEachLeaves) {
  APMObjectMap large;
  for (int i = 0; i < 20; ++i) {
    large.emplace("p" + std::to_string(i), APMObject(platform::Value(std::string(90, 'a' + i))));
  }
  std::vector<LoggedEvent> twelve;
  for (int i = 0; i < 12; ++i) twelve.push_back(publicEvent("e" + std::to_string(10 + i), large));
  struct Case {
    const char* what;
    std::vector<LoggedEvent> events;
    bool fullDisk;
    std::vector<std::pair<std::string, std::string>> settings;
    // A user id set and the identity asking for the reset marker "_lair", which the first
    // event written then stores.
    bool lairAsked = false;
    // The error events logged, one at a time and back to back.
    std::vector<int64_t> errorCodes = {};
  };
  const Case cases[] = {
      {"the disk fills part-way", twelve, true, {}},
      // The marker goes with the lost event and is written by the kept one.
      {"the first event after an identifier reset fails at its commit",
       {publicEvent("bad"), publicEvent("b")},
       false,
       {},
       true},
      {"one event fails at its commit",
       {publicEvent("a"), publicEvent("bad"), publicEvent("b")},
       false,
       {}},
      // Written again, the first open raises the previous first-open count once.
      {"a first open in a group that fails at its commit",
       {{"auto", false, "_f", {}}, publicEvent("bad")},
       false,
       {}},
      // An event dropped by the daily limit is counted, though the group was written again.
      {"a daily-limit drop in a group that fails at its commit",
       {publicEvent("a"), publicEvent("dropped"), {"app", false, "_bad", {}}},
       false,
       {{"measurement.upload.max_public_events_per_day", "1"}},
       false,
       {16}},
      // The event kept still has the metadata row that the lost one inserted for both.
      {"the first event of its metadata fails at its commit",
       {publicEvent("bad"), publicEvent("b")},
       false,
       {}},
  };
  int runs = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto askForLair = [&] {
      if (!c.lairAsked) return;
      onWorker([&] {
        ASSERT_TRUE(engine->database()->updateUserAttribute(
            *APMUserAttribute::create("app", "_id", APMValue(std::string("u1")), env.now()),
            nullptr));
      });
      identity->setShouldSetLastAdvertisingIDResetUserProperty(true);
      env.waitUntilIdle();
    };
    restartFresh(runs++, c.settings);
    askForLair();
    Outcome alone = run(c.events, c.fullDisk, false);
    restartFresh(runs++, c.settings);
    askForLair();
    Outcome together = run(c.events, c.fullDisk, true);
    EXPECT_EQ(alone.lairStored, c.lairAsked);
    EXPECT_EQ(together.lairStored, c.lairAsked);
    expectAsAlone(together, alone);
    EXPECT_EQ(alone.errorCodes, c.errorCodes);
    // Each row fails somewhere: something is not stored.
    EXPECT_LT(alone.stored.size(), c.events.size());
  }
}

// A disk with room for the small event of each row and not for the big one before it: one at
// a time, the big one is lost at its commit and the small one stored. Back to back the group
// cannot commit, and the small event, run again alone, must hold what it holds alone: the
// lifetime value without the lost purchase (in the property and in its metadata record), the
// aggregates row of its name, and the day's counts.
TEST_F(CommitGroupTest, AnEventKeptAfterALostOneHoldsWhatItHoldsAlone) {
  storagetest::FaultInjectingVfs::install();
  features = APMFeatureServices::neutral();
  features->lifetimeValueRecorder =
      std::make_shared<APMLifetimeValueRecorder>([] { return int32_t{100}; });
  APMObjectMap big;
  for (int i = 0; i < 60; ++i) {
    big.emplace("p" + std::to_string(i),
                APMObject(platform::Value(std::string(450, 'a' + i % 26))));
  }
  auto purchase = [](APMObjectMap parameters, int64_t value) {
    parameters.emplace("currency", APMObject(platform::Value("USD")));
    parameters.emplace("value", APMObject(platform::Value(value)));
    return LoggedEvent{"app", false, "purchase", std::move(parameters)};
  };
  struct Case {
    const char* what;
    std::vector<LoggedEvent> events;
  };
  const Case cases[] = {
      {"a purchase after a lost purchase", {purchase(big, 10), purchase({}, 5)}},
      {"the second event of a name whose first is lost", {publicEvent("x", big), publicEvent("x")}},
  };
  int runs = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int compared = 0;
    for (int room = 1; room <= 16 && compared < 2; ++room) {
      SCOPED_TRACE("room for " + std::to_string(room) + " frames");
      restartFresh(100 + runs++, {});
      Outcome alone = run(c.events, false, false, room);
      // Only the small event stored alone.
      if (alone.stored.size() != 1 || alone.bigStored != 0) continue;
      if (c.events[1].name == "purchase") {
        EXPECT_EQ(alone.lifetimeValue, 5'000'000);
      }
      restartFresh(100 + runs++, {});
      Outcome together = run(c.events, false, true, room);
      ++compared;
      // Back to back the events formed a group, which was rolled back and run again.
      expectAsAlone(together, alone);
      EXPECT_EQ(together.withoutAggregates, 0);
    }
    EXPECT_GT(compared, 0) << "no room stored the small event alone";
  }
}

// Memory that changes while a group's events are written, outside their transactions: the
// advertising identifier reset (a new app instance and the "_lair" request), consent granted
// from the app's thread, the clock past midnight. Each lands at one point of the events'
// writing, on a group that cannot commit: the events run again must be stored as one
// transaction each stores them.
TEST_F(CommitGroupTest, AGroupRunAgainKeepsTheMemoryItsEventsWereWrittenWith) {
  storagetest::FaultInjectingVfs::install();
  APMObjectMap big;
  for (int i = 0; i < 60; ++i) {
    big.emplace("p" + std::to_string(i),
                APMObject(platform::Value(std::string(450, 'a' + i % 26))));
  }
  using Dictionary = platform::Value::Dictionary;
  auto consent = [](const char* status) {
    APMConsentSettingsUtil::setConsentSettings(
        Dictionary{{"analytics_storage", platform::Value(status)}});
  };
  double offset = 0;
  auto nextMidnight = [&] {
    return offset + (std::floor((env.now() - offset) / 86400) + 1) * 86400;
  };
  const std::vector<LoggedEvent> deferredKey = {publicEvent("a"), publicEvent("b"),
                                                publicEvent("bad")};
  enum class Change { kReset, kConsent, kMidnight };
  struct Case {
    const char* what;
    std::vector<LoggedEvent> events;
    Change change;
    bool fullDisk = false;
  };
  const Case cases[] = {
      {"an identifier reset, a group with a broken deferred key", deferredKey, Change::kReset},
      {"an identifier reset, a disk that fills at the group's commit",
       {publicEvent("a"), publicEvent("b"), publicEvent("x", big)},
       Change::kReset,
       true},
      {"analytics storage granted, a group with a broken deferred key", deferredKey,
       Change::kConsent},
      {"midnight, a group with a broken deferred key", deferredKey, Change::kMidnight},
  };
  // Where the change lands: as a's row is inserted (b is written after it), as b's is (a and b
  // before it), or, for the reset, at the second read of the identifier after a's insert
  // (between b's own request for "_lair" and its metadata).
  struct Placement {
    const char* what;
    int insert;
    int laterReads;
  };
  const Placement placements[] = {{"after a", 1, 0}, {"after b", 2, 0}, {"inside b", 1, 1}};
  int runs = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int room = 0;
    auto runAt = [&](const Placement& at, bool backToBack) {
      auto support = std::make_shared<ResettingIdentitySupport>();
      restartFresh(200 + runs++, {}, support);
      onWorker([&] {
        ASSERT_TRUE(engine->database()->updateUserAttribute(
            *APMUserAttribute::create("app", "_id", APMValue(std::string("u1")), env.now()),
            nullptr));
      });
      offset = persistedConfig->midnightOffset();
      double midnight = nextMidnight();
      if (c.change == Change::kMidnight) env.clock().setNow(midnight - 1);
      if (c.change == Change::kConsent) consent("denied");
      env.waitUntilIdle();
      std::unique_ptr<ChangeAtRawEventInsert> hook;
      onWorker([&] {
        hook = std::make_unique<ChangeAtRawEventInsert>(
            engine->database()->sqliteStore()->sqliteHandle(), at.insert, [&, midnight] {
              if (c.change == Change::kReset) support->resetAfter = support->reads + at.laterReads;
              if (c.change == Change::kConsent) consent("granted");
              if (c.change == Change::kMidnight) env.clock().setNow(midnight + 1);
            });
      });
      int32_t day = static_cast<int32_t>(std::floor((env.now() - offset) / 86400));
      Outcome outcome = run(c.events, false, backToBack, room);
      onWorker([&] { hook.reset(); });
      outcome.countsDay -= day;
      APMConsentSettingsUtil::clearAllSettings();
      return outcome;
    };
    for (const Placement& at : placements) {
      if (at.laterReads > 0 && c.change != Change::kReset) continue;
      SCOPED_TRACE(std::string("the change lands ") + at.what);
      Outcome alone;
      // With a disk that fills, the room where one at a time stores a and b but not x.
      for (room = c.fullDisk ? 1 : 0; room <= 24; ++room) {
        alone = runAt(at, false);
        if (!c.fullDisk ||
            (alone.stored == std::vector<std::string>{"a", "b"} && alone.bigStored == 0)) {
          break;
        }
      }
      ASSERT_LE(room, 24) << "no room stores a and b alone";
      Outcome together = runAt(at, true);
      expectAsAlone(together, alone);
      EXPECT_EQ(together.countsDay, alone.countsDay);
      // One at a time, a and b were written on either side of a change after a.
      if (at.insert == 1 && at.laterReads == 0) {
        ASSERT_EQ(alone.records.size(), 2u);
        auto without = [](std::string record) { return record.substr(record.find(' ')); };
        EXPECT_TRUE(without(alone.records[0]) != without(alone.records[1]) || alone.countsDay == 1)
            << alone.records[0] << " / " << alone.records[1];
      }
    }
  }
}

}  // namespace
