// A session start gives its identifier and number to the events stored before it: from the
// session's start time (or the first open) on, unless their metadata already carried a session
// identifier; a store with unreadable rows or metadata loses nothing.
#include <cmath>
#include <map>

#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::countLinesWith;
using enginetest::EngineTest;

class SessionBackfillTest : public EngineTest {
 protected:
  // The stored events by name: their "_sid" and "_sno" (-1 when absent).
  std::map<std::string, std::pair<int64_t, int64_t>> storedSessionParameters() {
    std::map<std::string, std::pair<int64_t, int64_t>> stored;
    onWorker([&] {
      for (const APMRawEventData& raw : allRawEvents()) {
        std::optional<APMEvent> event = APMEvent::createWithEventProto(*raw.rawEvent());
        ASSERT_TRUE(event);
        auto read = [&](const char* name) {
          const APMValue* value = event->parameter(name);
          return value && value->isInt64() ? value->int64Value() : int64_t{-1};
        };
        stored[event->name()] = {read("_sid"), read("_sno")};
      }
    });
    return stored;
  }
  void logInternalAt(const std::string& name, double timestamp, const APMObjectMap& parameters) {
    engine->logEvent("auto", false, name, parameters, timestamp, true, false, false, nullptr, {});
    env.waitUntilIdle();
  }
  void startSession(int64_t sessionID, int64_t sessionNumber) {
    logInternalAt("_s", static_cast<double>(sessionID),
                  {{"_sid", APMObject(platform::Value(sessionID))},
                   {"_sno", APMObject(platform::Value(sessionNumber))}});
  }
  void setProperty(const std::string& name, APMValue value) {
    onWorker([&] {
      engine->setUserAttributeOnWorkerQueue(
          *APMUserAttribute::create("auto", name, std::move(value), env.now()));
    });
  }
  static APMObjectMap integer(const char* name, int64_t value) {
    return {{name, APMObject(platform::Value(value))}};
  }
};

// Without a stored first open the window starts 15 s before the session identifier; an event's
// own value wins; events whose metadata had "_sid" stay as they were.
TEST_F(SessionBackfillTest, EventsFromFifteenSecondsBeforeTheSessionWithoutASessionID) {
  makeEngine();
  clearRawEvents();
  const int64_t session = static_cast<int64_t>(std::floor(env.now()));
  logEventAt("too_old", static_cast<double>(session) - 15.5);
  logEventAt("at_start", static_cast<double>(session) - 15);
  logInternalAt("own_number", static_cast<double>(session) - 3, integer("_sno", 99));
  setProperty("_sid", APMValue(int64_t{session - 1000}));
  logEventAt("had_session", static_cast<double>(session) - 2);
  startSession(session, 4);

  auto stored = storedSessionParameters();
  using P = std::pair<int64_t, int64_t>;
  EXPECT_EQ(stored["too_old"], P(-1, -1));
  EXPECT_EQ(stored["at_start"], P(session, 4));
  EXPECT_EQ(stored["own_number"], P(session, 99));
  EXPECT_EQ(stored["had_session"], P(-1, -1));
  EXPECT_EQ(stored["_s"], P(session, 4));
}

// A stored first open moves the start to its time: earlier events of the launch are the
// session's too, and an event stamped before the first open is not.
TEST_F(SessionBackfillTest, AStoredFirstOpenStartsTheWindow) {
  makeEngine();
  clearRawEvents();
  const int64_t session = static_cast<int64_t>(std::floor(env.now()));
  logInternalAt("_f", static_cast<double>(session) - 100, integer("_c", 1));
  logEventAt("before_first_open", static_cast<double>(session) - 101);
  logEventAt("after_first_open", static_cast<double>(session) - 60);
  startSession(session, 1);

  auto stored = storedSessionParameters();
  using P = std::pair<int64_t, int64_t>;
  EXPECT_EQ(stored["_f"], P(session, 1));
  EXPECT_EQ(stored["after_first_open"], P(session, 1));
  EXPECT_EQ(stored["before_first_open"], P(-1, -1));
}

// An unreadable row is logged by the read and left in place; metadata that does not decode is
// logged with 23273 for each of its events, which keep their parameters; every other event is
// updated, and no row is lost.
TEST_F(SessionBackfillTest, UnreadableRowsAndMetadataLoseNothing) {
  makeEngine();
  clearRawEvents();
  const int64_t session = static_cast<int64_t>(std::floor(env.now()));
  logEventAt("broken_row", static_cast<double>(session) - 5);
  logEventAt("first_metadata", static_cast<double>(session) - 5);
  setProperty("tier", APMValue(std::string("gold")));
  logEventAt("broken_metadata", static_cast<double>(session) - 4);
  logEventAt("broken_metadata_too", static_cast<double>(session) - 4);
  setProperty("tier", APMValue(std::string("silver")));
  logEventAt("third_metadata", static_cast<double>(session) - 3);
  onWorker([&] {
    auto* store = engine->database()->sqliteStore();
    ASSERT_TRUE(store->executeSQL("UPDATE raw_events SET data = x'ff01' WHERE name = 'broken_row'",
                                  nullptr));
    ASSERT_TRUE(store->executeSQL(
        "UPDATE raw_events_metadata SET metadata = x'ff01ff' WHERE metadata_fingerprint = "
        "(SELECT metadata_fingerprint FROM raw_events WHERE name = 'broken_metadata')",
        nullptr));
  });
  capture.clear();
  startSession(session, 2);
  env.waitUntilIdle();

  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS012020"), 0u);
  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS023273"), 2u);
  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS023271"), 0u);
  auto stored = storedSessionParameters();
  using P = std::pair<int64_t, int64_t>;
  EXPECT_EQ(stored["first_metadata"], P(session, 2));
  EXPECT_EQ(stored["third_metadata"], P(session, 2));
  EXPECT_EQ(stored["broken_metadata"], P(-1, -1));
  EXPECT_EQ(stored["broken_metadata_too"], P(-1, -1));
  std::string rows;
  onWorker([&] {
    rows = testsupport::runCommand("sqlite3 '" + engine->database()->databasePath() +
                                   "' 'SELECT name FROM raw_events ORDER BY rowid'");
  });
  EXPECT_EQ(
      rows,
      "broken_row\nfirst_metadata\nbroken_metadata\nbroken_metadata_too\nthird_metadata\n_s\n");
}

// An event whose metadata row is gone (read back without an error) had no session identifier
// in it: it is backfilled like any other, and nothing is logged as a failed read.
TEST_F(SessionBackfillTest, AnEventWhoseMetadataRowIsGoneIsBackfilled) {
  makeEngine();
  clearRawEvents();
  const int64_t session = static_cast<int64_t>(std::floor(env.now()));
  setProperty("tier", APMValue(std::string("gold")));
  logEventAt("orphan", static_cast<double>(session) - 5);
  setProperty("tier", APMValue(std::string("silver")));
  logEventAt("kept_metadata", static_cast<double>(session) - 4);
  onWorker([&] {
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
        "DELETE FROM raw_events_metadata WHERE metadata_fingerprint = "
        "(SELECT metadata_fingerprint FROM raw_events WHERE name = 'orphan')",
        nullptr));
  });
  capture.clear();
  startSession(session, 3);

  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS023273"), 0u);
  auto stored = storedSessionParameters();
  using P = std::pair<int64_t, int64_t>;
  EXPECT_EQ(stored["orphan"], P(session, 3));
  EXPECT_EQ(stored["kept_metadata"], P(session, 3));
}

// A store whose every row is unreadable has nothing to backfill: the read gives no event and
// no failure (no 23270), and the rows stay.
TEST_F(SessionBackfillTest, AStoreOfUnreadableRowsIsLeftAsItIs) {
  makeEngine();
  clearRawEvents();
  const int64_t session = static_cast<int64_t>(std::floor(env.now()));
  logEventAt("a", static_cast<double>(session) - 5);
  logEventAt("b", static_cast<double>(session) - 4);
  onWorker([&] {
    ASSERT_TRUE(
        engine->database()->sqliteStore()->executeSQL("UPDATE raw_events SET data = x''", nullptr));
  });
  capture.clear();
  startSession(session, 2);
  env.waitUntilIdle();
  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS023270"), 0u);
  std::string rows;
  onWorker([&] {
    rows = testsupport::runCommand("sqlite3 '" + engine->database()->databasePath() +
                                   "' 'SELECT name FROM raw_events ORDER BY rowid'");
  });
  EXPECT_EQ(rows, "a\nb\n_s\n");
}

}  // namespace
