// Conditional user properties: the interval bounds, activation and its keeping, clearing, the
// per-event pass (timed out, expired, triggered) with its event order checked in a decoded
// upload from the measurement service, and a row that cannot be decoded.
#include <cmath>
#include <cstdio>
#include <limits>

#include "AppMeasurement/engine/APMConditionalUserPropertyController.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "platform/foundation/JSONSerialization.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/AppMeasurement/engine/FailingStatements.h"
#include "tests/support/ClosedPort.h"

namespace {

using enginetest::EngineTest;
using enginetest::protoc;
using testsupport::httpRequest;
using testsupport::runCommand;

APMEvent event(const std::string& name, const APMValueMap& parameters = {}) {
  return APMEvent::create("kcm", false, name, 0, 0, parameters).value();
}

class ConditionalUserPropertyTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMMonitor::monitor()->setLogLevel(8);
  }
  void TearDown() override {
    EngineTest::TearDown();
    service_.reset();
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
  }

  APMConditionalUserPropertyController& controller() {
    if (!controller_) {
      controller_ =
          std::make_unique<APMConditionalUserPropertyController>([this] { return engine; });
    }
    return *controller_;
  }

  static APMConditionalUserProperty property(const std::string& value,
                                             const std::string& trigger = "") {
    APMConditionalUserProperty made;
    made.origin = "kcm";
    made.value = APMValue(value);
    made.triggerEventName = trigger;
    made.triggerTimeout = 60;
    made.timeToLive = 60;
    return made;
  }

  void set(const APMConditionalUserProperty& made, const std::string& name) {
    controller().setConditionalUserProperty(&made, name);
    env.waitUntilIdle();
  }

  std::optional<APMConditionalUserProperty> stored(const std::string& name) {
    std::optional<APMConditionalUserProperty> found;
    onWorker([&] { found = engine->database()->conditionalUserPropertyWithName(name, nullptr); });
    return found;
  }

  std::optional<APMUserAttribute> attribute(const std::string& name) {
    std::optional<APMUserAttribute> found;
    onWorker([&] { found = engine->database()->userAttributeWithName(name, nullptr); });
    return found;
  }

  std::unique_ptr<APMConditionalUserPropertyController> controller_;
  std::unique_ptr<testsupport::ServiceProcess> service_;
};

// Trigger timeout and time to live lie in 0.001..15552000 s, bounds included; NaN is refused
// like any value outside (otherwise the NOT NULL column refuses it later and the set is lost).
TEST_F(ConditionalUserPropertyTest, IntervalBounds) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double timeout;
    double timeToLive;
    bool accepted;  // refusals log 11000 / 11001 at a level kept for health data only
  };
  const Case cases[] = {
      {0.001, 0.001, true}, {15552000, 15552000, true},
      {0, 60, false},       {15552000.01, 60, false},
      {nan, 60, false},     {60, nan, false},
      {60, 0.0009, false},  {60, -1, false},
  };
  makeEngine();
  int n = 0;
  for (const Case& c : cases) {
    std::string name = "p" + std::to_string(n++);
    SCOPED_TRACE(name);
    capture.clear();
    APMConditionalUserProperty made = property("v", "never");
    made.triggerTimeout = c.timeout;
    made.timeToLive = c.timeToLive;
    set(made, name);
    if (!c.accepted) {
      EXPECT_FALSE(stored(name));
    } else {
      ASSERT_TRUE(stored(name));
      EXPECT_EQ(stored(name)->triggerTimeout, c.timeout);
    }
    // Refused before the worker queue: never the failed insert of a NaN.
    EXPECT_FALSE(capture.contains("I-ACS011014"));
  }
}

// Without a trigger event the property is active at once, with its triggered event logged at
// the creation time; re-setting an active property keeps its activation.
TEST_F(ConditionalUserPropertyTest, ActiveAtOnceAndKeptOnReset) {
  makeEngine();
  clearRawEvents();
  double created = env.now();
  APMConditionalUserProperty made = property("gold");
  made.triggeredEvent = event("tier_on");
  set(made, "tier");
  ASSERT_TRUE(attribute("tier"));
  EXPECT_EQ(*attribute("tier")->value().stringValue(), "gold");
  EXPECT_EQ(storedEventNames(), std::vector<std::string>{"tier_on"});
  std::optional<double> eventTime;
  onWorker([&] {
    std::vector<APMRawEventData> events = allRawEvents();
    ASSERT_EQ(events.size(), 1u);
    eventTime = NANOGetInt64(*events.front().rawEvent(), APMPBEvent::kTimestampMillis) / 1000.0;
  });
  EXPECT_NEAR(eventTime.value(), created, 0.001);

  env.advance(30);
  APMConditionalUserProperty again = property("silver", "other_trigger");
  again.origin = "kiam";
  set(again, "tier");
  std::optional<APMConditionalUserProperty> kept = stored("tier");
  ASSERT_TRUE(kept);
  EXPECT_TRUE(kept->active);
  EXPECT_EQ(kept->origin, "kcm");
  EXPECT_EQ(kept->triggerEventName, "");
  EXPECT_NEAR(kept->triggeredTimestamp, created, 0.001);
  EXPECT_NEAR(kept->creationTimestamp, created, 0.001);
  EXPECT_EQ(*kept->value->stringValue(), "silver");
  // Not marked active by its caller: the user property stays as it was.
  EXPECT_EQ(*attribute("tier")->value().stringValue(), "gold");
  EXPECT_EQ(storedEventNames(), std::vector<std::string>{"tier_on"});
}

// A nil value removes the stored property and logs its clear event; clearing a name that is
// not stored logs 11018 and no event.
TEST_F(ConditionalUserPropertyTest, ClearingLogsTheClearEventOnlyForStoredProperties) {
  makeEngine();
  set(property("gold"), "tier");
  clearRawEvents();
  APMConditionalUserProperty clear = property("unused");
  clear.value.reset();
  clear.expiredEvent = event("tier_cleared");
  set(clear, "tier");
  EXPECT_FALSE(stored("tier"));
  EXPECT_FALSE(attribute("tier"));
  EXPECT_EQ(storedEventNames(), std::vector<std::string>{"tier_cleared"});

  controller().clearConditionalUserPropertyWithClearEvent(event("never_logged"), "tier");
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS011018"));
  EXPECT_EQ(storedEventNames(), std::vector<std::string>{"tier_cleared"});
}

// "ad_impression" activates properties waiting for its internal name "_ai".
TEST_F(ConditionalUserPropertyTest, AdImpressionTriggersInternalName) {
  makeEngine();
  set(property("seen", "_ai"), "ads");
  logEvent("app", true, "ad_impression");
  ASSERT_TRUE(stored("ads"));
  EXPECT_TRUE(stored("ads")->active);
  EXPECT_TRUE(attribute("ads"));
}

// A row that cannot be decoded is deleted inside the transaction that met it; events go on
// being processed instead of failing (23050) for good.
TEST_F(ConditionalUserPropertyTest, UndecodableRowIsDeletedAndProcessingGoesOn) {
  makeEngine();
  APMConditionalUserProperty broken = property("x", "go");
  broken.triggeredEvent = event("broken_on");
  set(broken, "broken");
  set(property("y", "go"), "healthy");
  onWorker([&] {
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
        "UPDATE conditional_properties SET triggered_event = x'ff01' WHERE name = 'broken'",
        nullptr));
  });
  capture.clear();
  logEvent("app", true, "go");
  EXPECT_TRUE(capture.contains("I-ACS010012"));
  EXPECT_FALSE(capture.contains("I-ACS023050"));
  EXPECT_TRUE(stored("healthy")->active);
  std::string rows = runCommand("sqlite3 '" + engine->database()->databasePath() + "'" +
                                " 'SELECT name FROM conditional_properties ORDER BY name;'");
  EXPECT_EQ(rows, "healthy\n");
}

// When the pass's one read fails, the steps' own reads run in their order: the one that fails
// names itself (10001 timed out, 10004 expired, 10008 triggering); when none fails, the
// property is triggered all the same.
TEST_F(ConditionalUserPropertyTest, AFailedReadNamesItsOwnStep) {
  struct Case {
    const char* label;
    const char* stepMarker;  // nullptr: only the pass's one read fails
    int code;                // 0: nothing fails for good
  };
  const Case cases[] = {
      {"timed out", "active=0 and abs(? - creation_timestamp) > trigger_timeout", 10001},
      {"expired", "active=1 and abs(? - triggered_timestamp) > time_to_live", 10004},
      {"triggering", "active=0 and trigger_event_name=? and abs", 10008},
      {"only the one pass", nullptr, 0},
  };
  makeEngine();
  int serial = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string name = "p" + std::to_string(++serial);
    set(property("on", "go_" + name), name);
    std::vector<std::string> markers{"OR (active=1 AND abs("};
    if (c.stepMarker != nullptr) markers.emplace_back(c.stepMarker);
    std::unique_ptr<enginetest::FailingStatements> failing;
    onWorker([&] {
      failing = std::make_unique<enginetest::FailingStatements>(
          engine->database()->sqliteStore()->sqliteHandle(), markers);
    });
    capture.clear();
    logEvent("app", true, "go_" + name);
    onWorker([&] { failing.reset(); });
    env.waitUntilIdle();
    for (int code : {10001, 10004, 10008}) {
      char text[16];
      std::snprintf(text, sizeof text, "I-ACS%06d", code);
      EXPECT_EQ(capture.contains(text), code == c.code) << code;
    }
    EXPECT_EQ(capture.contains("I-ACS023050"), c.code != 0);
    EXPECT_EQ(stored(name)->active, c.code == 0);
  }
}

// The schedule read inside a group of events whose commit fails follows the rollback: the
// trigger the group's event met waits again, and the next such event meets it.
TEST_F(ConditionalUserPropertyTest, AFailedGroupCommitLeavesNoTriggerSkipped) {
  makeEngine();
  APMConditionalUserProperty waiting = property("on", "go");
  waiting.triggeredEvent = event("go_met");
  set(waiting, "waiting");
  onWorker([&] {
    APMSqliteStore* store = engine->database()->sqliteStore();
    ASSERT_TRUE(store->executeSQL("PRAGMA foreign_keys = ON", nullptr));
    ASSERT_TRUE(store->executeSQL("CREATE TABLE parent (id INTEGER PRIMARY KEY)", nullptr));
    ASSERT_TRUE(store->executeSQL(
        "CREATE TABLE child (pid INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)",
        nullptr));
    // A key checked only at the commit makes the group's commit fail, and again the commit of
    // the trigger's own transaction when the group is written again transaction by transaction.
    ASSERT_TRUE(store->executeSQL(
        "CREATE TRIGGER breaks AFTER INSERT ON conditional_properties BEGIN INSERT INTO child "
        "VALUES (7); END",
        nullptr));
    engine->writeEventGroup([&] {
      engine->handleEventOnWorkerQueue(
          *APMEvent::create("app", true, "go", env.now(), 0, APMValueMap{}));
    });
    ASSERT_TRUE(store->executeSQL("DROP TRIGGER breaks", nullptr));
  });
  env.waitUntilIdle();
  ASSERT_FALSE(stored("waiting")->active) << "the group's trigger was rolled back";
  clearRawEvents();
  logEvent("app", true, "go");
  EXPECT_TRUE(stored("waiting")->active);
  EXPECT_EQ(storedEventNames(), (std::vector<std::string>{"go", "go_met"}));
}

// Events that cannot meet any stored property skip the pass; none of them hides a timeout, an
// expiry or a trigger that falls due later.
TEST_F(ConditionalUserPropertyTest, SkippedPassesMissNothing) {
  makeEngine();
  APMConditionalUserProperty waiting = property("w", "go");
  waiting.triggerTimeout = 100;
  waiting.timedOutEvent = event("w_timed_out");
  set(waiting, "waiting");
  APMConditionalUserProperty living = property("l");
  living.timeToLive = 50;
  living.expiredEvent = event("l_expired");
  set(living, "living");
  APMConditionalUserProperty later = property("t", "go_later");
  later.triggerTimeout = 1000;
  later.triggeredEvent = event("t_triggered");
  set(later, "later");
  clearRawEvents();
  logEvent("app", true, "other");  // reads the schedule
  logEvent("app", true, "other");  // skipped: nothing can be met
  env.advance(51);
  logEvent("app", true, "other");
  env.advance(50);
  logEvent("app", true, "other");
  logEvent("app", true, "go_later");
  EXPECT_EQ(storedEventNames(),
            (std::vector<std::string>{"other", "other", "l_expired", "other", "w_timed_out",
                                      "other", "go_later", "t_triggered"}));
  // A property set after the schedule was read is met by the next event.
  APMConditionalUserProperty fresh = property("f", "other");
  fresh.triggeredEvent = event("f_triggered");
  set(fresh, "fresh");
  logEvent("app", true, "other");
  EXPECT_TRUE(stored("fresh")->active);
}

// The query: wrong-typed arguments, a disabled engine, and a call on the worker queue itself
// (answered inline rather than after the 30 s wait).
TEST_F(ConditionalUserPropertyTest, Query) {
  makeEngine();
  set(property("a"), "team_a");
  set(property("b"), "team_b");
  set(property("c"), "other");
  auto names = [](const std::optional<std::vector<APMConditionalUserProperty>>& list) {
    std::vector<std::string> result;
    for (const auto& entry : list.value_or(std::vector<APMConditionalUserProperty>{}))
      result.push_back(entry.name);
    std::sort(result.begin(), result.end());
    return result;
  };
  EXPECT_EQ(names(controller().conditionalUserPropertiesWithNamePrefix(platform::Value("team_"),
                                                                       platform::Value("kcm"))),
            (std::vector<std::string>{"team_a", "team_b"}));
  EXPECT_EQ(names(controller().conditionalUserPropertiesWithNamePrefix(platform::Value(),
                                                                       platform::Value("kiam"))),
            std::vector<std::string>{});
  std::optional<std::vector<APMConditionalUserProperty>> inline_;
  onWorker([&] {
    inline_ =
        controller().conditionalUserPropertiesWithNamePrefix(platform::Value(), platform::Value());
  });
  EXPECT_EQ(names(inline_).size(), 3u);
  EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix(platform::Value(int64_t{1}),
                                                                    platform::Value()));
  EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix(
      platform::Value(), platform::Value(platform::Value::Array{})));
  engine->setEnabled(false);
  env.waitUntilIdle();
  EXPECT_FALSE(
      controller().conditionalUserPropertiesWithNamePrefix(platform::Value(), platform::Value()));
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS011005"));
}

// One event meets a timed-out, an expired and a triggered property: one transaction, and in
// the upload the timed-out and expired events come before the event, the triggered one after.
TEST_F(ConditionalUserPropertyTest, OnePassInOrderInTheUpload) {
  std::filesystem::path data = base_ / "service";
  service_ = std::make_unique<testsupport::ServiceProcess>(
      KVL_TEST_SERVICE, std::vector<std::string>{"--port", "0", "--data", data.string()});
  std::string host = service_->baseURL().substr(std::string("http://").size());
  APMRemoteConfig::setHosts({host, host, host});
  std::string config =
      protoc("encode", "MeasurementConfig", std::string("app_id: \"") + kAppID + "\"");
  ASSERT_EQ(
      httpRequest("PUT", service_->baseURL() + "/_control/config/" + kAppID, {}, config).status,
      204);
  makeEngine({}, OULNetwork::create(service_->baseURL()));

  APMConditionalUserProperty waiting = property("w", "never_comes");
  waiting.triggerTimeout = 10;
  waiting.timedOutEvent = event("cup_timed_out", {{"why", APMValue("timeout")}});
  set(waiting, "waiting");
  APMConditionalUserProperty living = property("l");
  living.timeToLive = 10;
  living.expiredEvent = event("cup_expired");
  set(living, "living");
  APMConditionalUserProperty triggered = property("t", "go");
  triggered.triggerTimeout = 1000;
  triggered.triggeredEvent = event("cup_triggered");
  set(triggered, "triggered");
  clearRawEvents();
  env.advance(11);
  logEvent("app", true, "go");
  EXPECT_EQ(storedEventNames(),
            (std::vector<std::string>{"cup_timed_out", "cup_expired", "go", "cup_triggered"}));
  EXPECT_FALSE(stored("waiting"));
  EXPECT_FALSE(stored("living"));
  EXPECT_FALSE(attribute("living"));
  EXPECT_TRUE(stored("triggered")->active);

  env.advance(20);
  ASSERT_TRUE(
      waitFor([&] { return !engine->isNetworkRequestPending() && !engine->hasDataToUpload(); }));
  auto answer = httpRequest("GET", service_->baseURL() + "/_control/requests");
  auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
  ASSERT_TRUE(parsed.ok() && parsed->isArray());
  std::string decoded;
  for (const platform::Value& request : *parsed->asArray()) {
    const platform::Value::Dictionary& entry = *request.asDictionary();
    if (*entry.at("path").asString() != "/a") continue;
    decoded += protoc("decode", "MeasurementBatch",
                      runCommand("base64 -d", *entry.at("body_base64").asString()));
  }
  std::vector<std::string> order;
  for (const char* name : {"cup_timed_out", "cup_expired", "\"go\"", "cup_triggered"}) {
    size_t at = decoded.find(name);
    ASSERT_NE(at, std::string::npos) << name << "\n" << decoded;
    order.push_back(std::to_string(at));
  }
  EXPECT_LT(std::stoul(order[0]), std::stoul(order[1]));
  EXPECT_LT(std::stoul(order[1]), std::stoul(order[2]));
  EXPECT_LT(std::stoul(order[2]), std::stoul(order[3]));
  // The triggered property is uploaded as a user property; the expired one is gone.
  EXPECT_NE(decoded.find("name: \"triggered\""), std::string::npos);
  EXPECT_EQ(decoded.find("name: \"living\""), std::string::npos);
  // The origin of the property travels with its events.
  EXPECT_NE(decoded.find("string_value: \"kcm\""), std::string::npos);
}

}  // namespace
