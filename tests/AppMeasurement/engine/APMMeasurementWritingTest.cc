// Event handling and writing: the daily limits, the name cardinality, the allow-list, shared
// metadata records, listeners and the interceptor.
#include <atomic>
#include <map>
#include <regex>

#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMIdentitySupport.h"
#include "AppMeasurement/records/APMDailyCounts.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/AppMeasurement/script/ScriptEntities.h"
#include "tests/support/ServiceProcess.h"

namespace {

using enginetest::countLinesWith;
using enginetest::EngineTest;

class WritingTest : public EngineTest {
 protected:
  // Sets today's counters as if `all` events, `publicCount` public and `errors` error events
  // had been counted.
  void presetCounts(int32_t all, int32_t publicCount, int32_t errors) {
    onWorker([&] {
      APMDailyCounts counts = engine->database()->dailyCounts(nullptr).value();
      APMDailyCounts preset(counts.day(), 0, all, publicCount, errors, 0, 0);
      ASSERT_TRUE(engine->database()->updateDailyCounts(preset, nullptr));
    });
  }
};

// Each limit message is written for the first event over the limit and then every thousandth.
TEST_F(WritingTest, TotalLimitLogsTheFirstAndEveryThousandthEventOver) {
  struct Case {
    int32_t over;  // all-events count minus the limit before the event
    bool logged;
  };
  const Case cases[] = {{0, true}, {1, false}, {999, false}, {1000, true}, {2000, true}};
  makeEngine({{"measurement.upload.max_events_per_day", "10"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.over);
    presetCounts(10 + c.over, 0, 0);
    capture.clear();
    logEvent("app", true, "dropped");
    EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS023055"), c.logged ? 1u : 0u);
    // Dropped but counted.
    EXPECT_EQ(dailyCounts().allEventsCount(), 10 + c.over + 1);
  }
  for (const std::string& name : storedEventNames()) EXPECT_NE(name, "dropped");
}

// A dropped public event counts by its effective count (1 + array items) and then takes back
// one, not the effective count.
TEST_F(WritingTest, DroppedPublicEventCountsItsItemsAndTakesBackOne) {
  makeEngine({{"measurement.upload.max_public_events_per_day", "0"}});
  presetCounts(0, 0, 0);
  platform::Value::Array items;
  for (int i = 0; i < 5; ++i) {
    items.push_back(
        platform::Value(platform::Value::Dictionary{{"item_id", platform::Value("x")}}));
  }
  logEvent("app", true, "view_item_list",
           APMObjectMap{{"items", APMObject(platform::Value(items))}});
  APMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.allEventsCount(), 6 - 1);
  EXPECT_EQ(counts.publicEventsCount(), 6);
  EXPECT_TRUE(capture.contains("I-ACS023057"));
}

// A new public name beyond the name cardinality is not stored, and the transaction's counter
// changes are rolled back with it.
TEST_F(WritingTest, CardinalityDropRollsTheCountersBack) {
  makeEngine({{"measurement.upload.max_event_name_cardinality", "500"}});
  onWorker([&] {
    engine->database()->performTransaction([&] {
      for (int i = 0; i < 500; ++i) {
        auto aggregates = APMEventAggregates::create("public_" + std::to_string(i), 0, 0, 0, 0);
        if (!engine->database()->updateEventAggregates(*aggregates, nullptr)) return false;
      }
      return true;
    });
  });
  presetCounts(7, 3, 0);
  logEvent("app", true, "one_too_many");
  EXPECT_TRUE(capture.contains("I-ACS023065"));
  APMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.allEventsCount(), 7);
  EXPECT_EQ(counts.publicEventsCount(), 3);
  // A name already known is still written.
  logEvent("app", true, "public_7");
  std::vector<std::string> names = storedEventNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "one_too_many"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "public_7"), 1);
}

// Error events have their own limit; a dropped one takes back its all-events increment.
TEST_F(WritingTest, ErrorEventLimit) {
  makeEngine({{"measurement.upload.max_error_events_per_day", "2"}});
  presetCounts(5, 0, 2);
  logEvent("auto", false, "_err", APMObjectMap{{"_err", APMObject(platform::Value(int64_t{2}))}});
  APMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.errorEventsCount(), 3);
  EXPECT_EQ(counts.allEventsCount(), 5);
  EXPECT_TRUE(capture.contains("I-ACS023056"));
}

// A new day resets the counters before the event is counted.
TEST_F(WritingTest, NewDayResetsTheCounters) {
  makeEngine();
  presetCounts(500, 400, 3);
  env.advance(86400);
  logEvent("app", true, "next_day");
  APMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.allEventsCount(), 1);
  EXPECT_EQ(counts.publicEventsCount(), 1);
  EXPECT_EQ(counts.errorEventsCount(), 0);
}

TEST_F(WritingTest, AllowListKeepsListedEventsWithAMark) {
  makeEngine({}, nullptr, {"listed", "_f", "_e"});
  logEvent("app", true, "listed");
  logEvent("app", true, "unlisted");
  EXPECT_TRUE(capture.contains("I-ACS023174"));
  std::optional<bool> marked;
  onWorker([&] {
    for (const APMRawEventData& raw : allRawEvents()) {
      auto event = APMEvent::createWithEventProto(*raw.rawEvent());
      if (event->name() == "listed") {
        const APMValue* mark = event->parameter("oa_safelisted");
        marked = mark && mark->isInt64() && mark->int64Value() == 1;
      }
      EXPECT_NE(event->name(), "unlisted");
    }
  });
  EXPECT_EQ(marked, true);
}

// Identical device state and user properties give one metadata record, whose fingerprint is the
// low 64 bits of the MD5 of its exact bytes.
TEST_F(WritingTest, EventsOfTheSameStateShareOneMetadataRecord) {
  makeEngine();
  logEvent("app", true, "first");
  logEvent("app", true, "second");
  std::set<int64_t> fingerprints;
  onWorker([&] {
    for (const APMRawEventData& raw : allRawEvents()) {
      auto event = APMEvent::createWithEventProto(*raw.rawEvent());
      if (event->name() == "first" || event->name() == "second") {
        fingerprints.insert(raw.metadataFingerprint());
      }
    }
    ASSERT_EQ(fingerprints.size(), 1u);
    auto metadata =
        engine->database()->queryRawEventsMetadataWithFingerprint(*fingerprints.begin(), nullptr);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(apm_64LSBMD5(metadata->protoBuffer().value()), *fingerprints.begin());
    EXPECT_EQ(NANOGetString(*metadata, APMPBMeasurementBundle::kPlatform), "ios");
    // The app's own identifier, and the platform's app identifier beside it.
    EXPECT_EQ(NANOGetString(*metadata, APMPBMeasurementBundle::kAppId), kBundleID);
    EXPECT_EQ(NANOGetString(*metadata, APMPBMeasurementBundle::kRzqAppId), kAppID);
    EXPECT_EQ(NANOGetInt32(*metadata, APMPBMeasurementBundle::kAppVersionMajor), 2);
    EXPECT_EQ(NANOGetInt32(*metadata, APMPBMeasurementBundle::kAppVersionMinor), 5);
    EXPECT_EQ(NANOGetInt32(*metadata, APMPBMeasurementBundle::kAppVersionRelease), 7);
    std::string instance =
        NANOGetString(*metadata, APMPBMeasurementBundle::kAppInstanceId).value_or("");
    EXPECT_TRUE(std::regex_match(instance, std::regex("[0-9A-F]{32}"))) << instance;
    EXPECT_EQ(instance, identity->appInstanceID());
    EXPECT_FALSE(NANOGetString(*metadata, APMPBMeasurementBundle::kSessionStitchingToken)
                     .value_or("")
                     .empty());
  });
}

// Events logged one after another while the worker is busy are written together, yet a user
// property set between them still reaches only the events logged after it, and every event is
// in the file (read by another connection) once the worker is idle.
TEST_F(WritingTest, EventsWrittenTogetherKeepTheOrderOfTheCallsAroundThem) {
  makeEngine();
  clearRawEvents();
  platform::DispatchSemaphore held(0);
  engine->scheduler()->scheduleOnWorkerQueueBlockID("test", [&] { held.wait(); });
  auto log = [&](const std::string& name) {
    engine->logEvent("app", true, name, {}, env.now(), true, false, false, nullptr, {});
  };
  log("before_1");
  log("before_2");
  engine->setUserAttribute(*APMUserAttribute::create("app", "tier", APMValue("gold"), env.now()));
  log("after_1");
  log("after_2");
  held.signal();
  env.waitUntilIdle();

  std::map<std::string, bool> carriesTier;
  onWorker([&] {
    for (const APMRawEventData& raw : allRawEvents()) {
      auto metadata = engine->database()->queryRawEventsMetadataWithFingerprint(
          raw.metadataFingerprint(), nullptr);
      ASSERT_TRUE(metadata);
      bool tier = false;
      for (const APMPBUserAttribute& attribute :
           NANOGetMessageArray<APMPBUserAttribute>(*metadata,
                                                   APMPBMeasurementBundle::kUserAttributes)
               .value_or(std::vector<APMPBUserAttribute>{})) {
        tier |= NANOGetString(attribute, APMPBUserAttribute::kName) == "tier";
      }
      carriesTier[NANOGetString(*raw.rawEvent(), APMPBEvent::kName).value_or("")] = tier;
    }
  });
  EXPECT_EQ(carriesTier,
            (std::map<std::string, bool>{
                {"before_1", false}, {"before_2", false}, {"after_1", true}, {"after_2", true}}));
  std::string path;
  onWorker([&] { path = engine->database()->databasePath(); });
  EXPECT_EQ(testsupport::runCommand("sqlite3 '" + path +
                                    "' \"SELECT group_concat(name) FROM raw_events\""),
            "before_1,before_2,after_1,after_2\n");
}

// Listeners run after handling, with the event as it was before handling; the interceptor takes
// public events only, and ad-exposure events never reach listeners.
TEST_F(WritingTest, ListenersAndInterceptor) {
  makeEngine();
  APMAnalytics::unsuspendOperationQueue();  // listeners hear events through the call queue
  std::vector<std::string> heard;
  std::mutex mutex;
  APMAnalytics::addLogEventListener([&](const APMEvent& event) {
    std::lock_guard<std::mutex> lock(mutex);
    heard.push_back(event.name());
    // Handling has run: the event is stored already.
    EXPECT_NE(engine->database(), nullptr);
  });
  std::vector<std::string> intercepted;
  auto interceptor = [&](const std::string&, const std::string& name, const APMObjectMap& params,
                         double) {
    intercepted.push_back(name);
    EXPECT_EQ(params.count("_sn"), 1u);
  };
  APMObjectMap screen{{"_sn", APMObject(platform::Value("Home"))},
                      {"_si", APMObject(platform::Value(int64_t{7}))}};
  engine->logEvent("app", true, "public_one", {}, env.now(), true, false, false, interceptor,
                   screen);
  engine->logEvent("app", false, "_internal", {}, env.now(), true, false, false, interceptor, {});
  engine->logEvent("am", false, "_xa", {}, env.now(), true, false, false, nullptr, {});
  engine->logEvent("app", true, "while_off", {}, env.now(), false, false, false, nullptr, {});
  env.waitUntilIdle();
  EXPECT_EQ(intercepted, std::vector<std::string>{"public_one"});
  EXPECT_EQ(heard, std::vector<std::string>{"_internal"});
  std::vector<std::string> names = storedEventNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "public_one"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "_xa"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "while_off"), 1);
}

// Default parameters: an event's own value wins; "_err" and ignore-interceptor events get none;
// a null value removes one, nil removes all; an array is refused with 23213.
TEST_F(WritingTest, DefaultEventParameters) {
  makeEngine();
  logEvent("app", true, "before_defaults");
  engine->setDefaultEventParameters(platform::Value::Dictionary{
      {"tier", platform::Value("gold")},
      {"level", platform::Value(int64_t{3})},
      {"bad", platform::Value(platform::Value::Array{platform::Value(int64_t{1})})}});
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS023213"));
  logEvent("app", true, "with_defaults",
           APMObjectMap{{"level", APMObject(platform::Value(int64_t{9}))}});
  engine->setDefaultEventParameters(platform::Value::Dictionary{{"tier", platform::Value()}});
  env.waitUntilIdle();
  logEvent("app", true, "after_removal");
  engine->setDefaultEventParameters(std::nullopt);
  env.waitUntilIdle();
  logEvent("app", true, "after_clear");
  std::map<std::string, APMValueMap> byName;
  onWorker([&] {
    for (const APMRawEventData& raw : allRawEvents()) {
      auto event = APMEvent::createWithEventProto(*raw.rawEvent());
      byName[event->name()] = event->parameters();
    }
  });
  EXPECT_EQ(byName["with_defaults"].at("level"), APMValue(int64_t{9}));
  EXPECT_EQ(byName["with_defaults"].at("tier"), APMValue("gold"));
  EXPECT_EQ(byName["with_defaults"].count("bad"), 0u);
  EXPECT_EQ(byName["after_removal"].count("tier"), 0u);
  EXPECT_EQ(byName["after_removal"].at("level"), APMValue(int64_t{3}));
  EXPECT_EQ(byName["after_clear"].count("level"), 0u);
}

// Too many default parameters are trimmed as every parameter map is: the names that come last in
// UTF-16 order go, so a character beyond the basic plane sorts before U+FF21 (in UTF-8 it would
// sort after it).
TEST_F(WritingTest, TooManyDefaultParametersKeepTheFirstInUTF16Order) {
  makeEngine({{"measurement.upload.max_public_event_params", "25"}});
  platform::Value::Dictionary defaults;
  for (int i = 1; i <= 24; ++i) defaults.emplace("p" + std::to_string(100 + i), platform::Value(i));
  const std::string fullwidthA = "\xEF\xBC\xA1";         // U+FF21
  const std::string mathematicalA = "\xF0\x9D\x90\x80";  // U+1D400
  defaults.emplace(fullwidthA, platform::Value("x"));
  defaults.emplace(mathematicalA, platform::Value("y"));
  engine->setDefaultEventParameters(defaults);
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS023215"));
  std::optional<platform::Value::Dictionary> stored = persistedConfig->defaultEventParameters();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), 25u);
  EXPECT_EQ(stored->count(mathematicalA), 1u);
  EXPECT_EQ(stored->count(fullwidthA), 0u);
  EXPECT_EQ(stored->count("p124"), 1u);
}

// The interceptor sees the parameters the engine would have stored: the event's own, the
// default parameters beneath them, and the screen parameters.
TEST_F(WritingTest, InterceptorReceivesDefaultParameters) {
  makeEngine();
  engine->setDefaultEventParameters(platform::Value::Dictionary{
      {"tier", platform::Value("gold")}, {"level", platform::Value(int64_t{3})}});
  env.waitUntilIdle();
  APMObjectMap seen;
  auto interceptor = [&](const std::string&, const std::string&, const APMObjectMap& params,
                         double) { seen = params; };
  engine->logEvent("app", true, "intercepted",
                   APMObjectMap{{"level", APMObject(platform::Value(int64_t{9}))}}, env.now(), true,
                   false, false, interceptor,
                   APMObjectMap{{"_sn", APMObject(platform::Value("Home"))},
                                {"_si", APMObject(platform::Value(int64_t{7}))}});
  env.waitUntilIdle();
  ASSERT_EQ(seen.count("tier"), 1u);
  EXPECT_EQ(*seen.at("tier").asPlain(), platform::Value("gold"));
  EXPECT_EQ(*seen.at("level").asPlain(), platform::Value(int64_t{9}));
  EXPECT_EQ(seen.count("_sn"), 1u);
}

// Every written event reschedules the upload, with no event-editing program too: after a
// successful upload a new event is due one upload interval after that success, not at the
// next life-cycle change.
TEST_F(WritingTest, WritingAnEventSchedulesTheUpload) {
  makeEngine();
  clearRawEvents();  // the start-up events are real-time
  double success = env.now() - 60;
  persistedConfig->setLastSuccessfulUploadTimestamp(success);
  onWorker([&] { engine->alarm()->cancel(); });
  logEvent("app", true, "after_upload");
  std::optional<double> due;
  onWorker([&] { due = engine->alarm()->scheduledTimestamp(); });
  ASSERT_TRUE(due);
  EXPECT_NEAR(*due, success + 3600, 1e-3);
}

// An editing program that renames "edited_me": the edited event replaces the original, and an
// edit that yields no valid event writes nothing (never the unedited event the program meant
// to change); the upload is still rescheduled.
TEST_F(WritingTest, EditedEventReplacesTheOriginal) {
  using namespace script_test;
  struct Case {
    const char* what;
    std::string newName;
    std::vector<std::string> written;  // names of the app's stored events
  };
  const Case cases[] = {
      {"valid new name", "renamed", {"renamed", "plain"}},
      {"name too long", std::string(41, 'n'), {"plain"}},
  };
  makeEngine();
  for (const Case& c : cases) {
    clearRawEvents();
    N registerFunction = func(
        "register", {"rule"},
        {letv("reg", callf("require", {str("internal.registerCallback")})),
         callf("reg", {str(""), get(var("rule"), str("cb")), get(var("rule"), str("options"))})});
    N edit = lambda({"e"}, {ifElse(eq(method(var("e"), "getEventName", {}), str("edited_me")),
                                   {method(var("e"), "setEventName", {str(c.newName)})}),
                            ret(num(0))});
    N rule = obj({{"cb", edit}, {"options", obj({{"type", str("edit")}})}});
    APMPBMeasurementConfig config = enginetest::makeConfig(kAppID, {});
    NANOSetMessageArray(config, APMPBMeasurementConfig::kDynamicEventEditing,
                        std::vector{MakeProgram({registerFunction}, {{"register", {rule}}})});
    onWorker([&] { ASSERT_TRUE(engine->currentConfig()->updateMeasurementConfig(config)); });
    ASSERT_NE(engine->currentConfig()->eventEditing(), nullptr);
    onWorker([&] { engine->alarm()->cancel(); });
    logEvent("app", true, "edited_me");
    logEvent("app", true, "plain");
    std::vector<std::string> names;
    onWorker([&] {
      for (const APMRawEventData& raw : allRawEvents()) {
        auto event = APMEvent::createWithEventProto(*raw.rawEvent());
        if (event && event->origin() == "app") names.push_back(event->name());
      }
    });
    EXPECT_EQ(names, c.written) << c.what;
    std::optional<double> due;
    onWorker([&] { due = engine->alarm()->scheduledTimestamp(); });
    EXPECT_TRUE(due) << c.what;
  }
}

// Events a program creates keep the names it gave them, even public names that the edited
// event would map to internal ones: a created "first_open" is no first open.
TEST_F(WritingTest, CreatedEventsKeepTheirNames) {
  using namespace script_test;
  makeEngine();
  clearRawEvents();
  std::optional<platform::Value> firstOpensBefore = engine->previousFirstOpenCount();
  N registerFunction = func(
      "register", {"rule"},
      {letv("reg", callf("require", {str("internal.registerCallback")})),
       callf("reg", {str(""), get(var("rule"), str("cb")), get(var("rule"), str("options"))})});
  Ns logs;
  for (const char* name : {"first_open", "screen_view", "in_app_purchase"}) {
    logs.push_back(callf("log", {str(name), method(var("e"), "getTimestamp", {}), obj({})}));
  }
  N create =
      lambda({"e"}, {ifElse(eq(method(var("e"), "getEventName", {}), str("trigger")), logs)});
  N rule = obj({{"cb", create}, {"options", obj({{"type", str("create")}})}});
  APMPBMeasurementConfig config = enginetest::makeConfig(kAppID, {});
  NANOSetMessageArray(
      config, APMPBMeasurementConfig::kDynamicEventEditing,
      std::vector{MakeProgram(
          {registerFunction, letv("log", callf("require", {str("internal.eventLogger")}))},
          {{"register", {rule}}})});
  onWorker([&] { ASSERT_TRUE(engine->currentConfig()->updateMeasurementConfig(config)); });
  logEvent("app", true, "trigger");
  EXPECT_EQ(storedEventNames(),
            (std::vector<std::string>{"trigger", "first_open", "screen_view", "in_app_purchase"}));
  EXPECT_EQ(engine->previousFirstOpenCount(), firstOpensBefore);
}

// Worker-queue operations that run on the main thread warn (30001) under their own names and
// carry on.
TEST_F(WritingTest, WorkerQueueOperationsWarnOnTheMainThreadUnderTheirOwnNames) {
  makeEngine();
  struct Case {
    const char* method;
    std::function<void()> call;
  };
  const Case cases[] = {
      {"uploadData", [&] { engine->uploadData(); }},
      {"setUserPropertyInDatabaseOnWorkerQueue:",
       [&] {
         engine->setUserPropertyInDatabaseOnWorkerQueue(
             APMUserAttribute::create("app", "level", APMValue("7"), env.now()).value());
       }},
      {"setPersonalizedAdsUserPropertyOnWorkerQueue",
       [&] { engine->setPersonalizedAdsUserPropertyOnWorkerQueue(); }},
      {"writeSessionStartEventOnWorkerQueue:",
       [&] {
         engine->handleEventOnWorkerQueue(
             APMEvent::create("auto", false, "_s", env.now(), 0, APMObjectMap{}).value());
       }},
  };
  for (const Case& c : cases) {
    capture.clear();
    // A sync onto the worker queue from the main thread runs there on the main thread, as the
    // phone's queues do: the operation is on its queue, but not off the main thread.
    platform::DispatchQueue::main()->async(
        [&] { engine->scheduler()->workerQueue()->sync(c.call); });
    env.waitUntilIdle();
    EXPECT_TRUE(capture.contains(std::string("Method ") + c.method +
                                 " should execute on background thread"))
        << c.method;
  }
}

// The advertising identifier arrives after the first open: the next written event brings a
// real-time "_fx" with the previous first-open count and "_uwa"; and a pending "_lair" is set
// on the next write once a user identifier exists.
class AdvertisingProvider : public APMIdentitySupport {
 public:
  bool hasAppDataConsentStatus() override { return true; }
  int64_t appDataConsentStatus() override { return 3; }
  bool hasLimitedAdTracking() override { return true; }
  bool limitedAdTracking() override { return false; }
  std::optional<std::string> resettableDeviceID() override {
    return "A1B2C3D4-0000-4000-8000-000000000001";
  }
};

TEST_F(WritingTest, IdentifierArrivingLaterIsMatched) {
  makeEngine({}, nullptr, {}, std::make_shared<AdvertisingProvider>());
  // A first open was written while no advertising identifier was there.
  persistedConfig->setUnmatchedFirstOpenWithoutIDFA(true);
  logEvent("app", true, "with_identifier");
  EXPECT_FALSE(persistedConfig->unmatchedFirstOpenWithoutIDFA());
  std::optional<APMEvent> fx;
  onWorker([&] {
    for (const APMRawEventData& raw : allRawEvents()) {
      auto event = APMEvent::createWithEventProto(*raw.rawEvent());
      if (event && event->name() == "_fx") fx = event;
    }
  });
  ASSERT_TRUE(fx);
  EXPECT_TRUE(fx->isRealtime());
  EXPECT_EQ(*fx->parameter("_pfo"), APMValue(int64_t{0}));
  // Not an App Store install: "_fi" is 0, so "_uwa" is 1.
  EXPECT_EQ(*fx->parameter("_uwa"), APMValue(int64_t{1}));

  engine->setUserAttribute(
      APMUserAttribute::create("app", "_id", APMValue("u"), env.now()).value());
  identity->setShouldSetLastAdvertisingIDResetUserProperty(true);
  logEvent("app", true, "after_reset");
  onWorker([&] { EXPECT_TRUE(engine->database()->userAttributeWithName("_lair", nullptr)); });
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

}  // namespace
