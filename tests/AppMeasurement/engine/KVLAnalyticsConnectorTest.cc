// The interop connector: its allow and block lists (the patterns checked against Python's
// re.search), the events and user properties other libraries send, listener delivery per
// origin, and conditional-property dictionaries of the wrong types.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "AppMeasurement/engine/APMConditionalUserPropertyController.h"
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/engine/KVLAnalyticsConnector.h"
#include "AppMeasurement/engine/KVLConnectorUtils.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/core/KVLOptions.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::EngineTest;
using platform::Value;
using testsupport::runCommand;
using Dictionary = platform::Value::Dictionary;

// One table per predicate.
TEST(ConnectorListsTest, Predicates) {
  struct Case {
    const char* origin;
    bool allowed, app, listener;
  };
  const Case origins[] = {
      {"auto", false, false, false}, {"app", false, true, false},   {"am", false, false, false},
      {"app+x", true, true, false},  {"apple", true, false, false}, {"kiam", true, false, true},
      {"crash", true, false, true},  {"trx", true, false, true},    {"kcm", true, false, false},
  };
  for (const Case& c : origins) {
    SCOPED_TRACE(c.origin);
    EXPECT_EQ(KVLConnectorUtils::isOriginAllowed(c.origin), c.allowed);
    EXPECT_EQ(KVLConnectorUtils::isAppOrigin(c.origin), c.app);
    EXPECT_EQ(KVLConnectorUtils::isListenerOriginAllowed(c.origin), c.listener);
  }
  struct Event {
    const char* name;
    Dictionary parameters;
    bool logged;
  };
  const Event events[] = {
      {"", {}, false},
      {"_e", {}, false},
      {"_f", {}, false},
      {"_iap", {}, false},
      {"_s", {}, false},
      {"_au", {}, false},
      {"_cmp", {}, true},
      {"_ae", {{"_r", Value(int64_t{1})}}, false},
      {"_ae", {{"_dbg", Value(int64_t{1})}}, false},
      {"_ae", {{"r", Value(int64_t{1})}}, true},
  };
  for (const Event& e : events) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(KVLConnectorUtils::shouldLogEventWithName(e.name, e.parameters), e.logged);
  }
  for (const char* hidden :
       {"_xa", "_xu", "_aq", "_aa", "_ai", "_ac", "campaign_details", "_iapx", "_ug", "_exp_set",
        "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"}) {
    EXPECT_FALSE(KVLConnectorUtils::isEventNameAllowedForListeners(hidden)) << hidden;
  }
  EXPECT_TRUE(KVLConnectorUtils::isEventNameAllowedForListeners("_vs"));
  EXPECT_TRUE(KVLConnectorUtils::isEventNameAllowedForListenerOrigin("_vs", "trx"));
  EXPECT_FALSE(KVLConnectorUtils::isEventNameAllowedForListenerOrigin("_vs", "kiam"));
  EXPECT_FALSE(KVLConnectorUtils::isEventNameAllowedForListenerOrigin("_ae", "trx"));
  struct Query {
    const char* name;
    bool allowed;
  };
  for (const Query& q : {Query{"_fot", true}, Query{"_ln", false}, Query{"colour", true},
                         Query{"", false}, Query{"_x", false}}) {
    EXPECT_EQ(KVLConnectorUtils::isUserPropertyAllowedForQuery(q.name), q.allowed) << q.name;
  }
}

// User-property names: "_ln" only from "kcm" and "kiam"; the listed names never; the patterns
// as Python's re.search finds them.
TEST(ConnectorListsTest, UserPropertiesAgainstPythonSearch) {
  const std::vector<std::string> names = {
      "_ltv_USD", "_ltv_usd", "_ltv_USDX", "x_ltv_USD", "_ltv_EU", "_ltv_EUR\n", "_cc1",    "_cc5",
      "_cc6",     "_cc0",     "_cc12",     "_cc3\n",    "__cc1",   "colour",     "_custom", "_ccc"};
  std::filesystem::path script = std::filesystem::temp_directory_path() /
                                 ("kvl-connector-patterns-" + std::to_string(::getpid()) + ".py");
  {
    std::ofstream file(script);
    file << "import re, sys\n"
            "patterns = [r'^_ltv_[A-Z]{3}$', r'^_cc[1-5]{1}$']\n"
            "for name in sys.stdin.read().split('\\0')[:-1]:\n"
            "    print(1 if any(re.search(p, name) for p in patterns) else 0)\n";
  }
  std::string input;
  for (const std::string& name : names) input += name + '\0';
  std::string verdicts = runCommand("python3 '" + script.string() + "'", input);
  std::filesystem::remove(script);
  std::istringstream lines(verdicts);
  for (const std::string& name : names) {
    std::string line;
    ASSERT_TRUE(std::getline(lines, line)) << verdicts;
    bool blocked = line == "1";
    for (const char* origin : {"kcm", "kdl", "kiam"}) {
      EXPECT_EQ(KVLConnectorUtils::isUserPropertyAllowed(name, origin), !blocked)
          << "'" << name << "' from " << origin;
    }
  }
  for (const char* listed : {"_fot", "_id", "_fi", "_lte", "_sid", "_sno", ""}) {
    EXPECT_FALSE(KVLConnectorUtils::isUserPropertyAllowed(listed, "kcm")) << listed;
  }
  EXPECT_TRUE(KVLConnectorUtils::isUserPropertyAllowed("_ln", "kcm"));
  EXPECT_TRUE(KVLConnectorUtils::isUserPropertyAllowed("_ln", "kiam"));
  EXPECT_FALSE(KVLConnectorUtils::isUserPropertyAllowed("_ln", "kdl"));
}

// What a listener heard, in order.
class RecordingListener : public KVLAnalyticsInteropListener {
 public:
  void messageTriggered(const std::string& name, const Dictionary& parameters) override {
    EXPECT_TRUE(platform::DispatchQueue::isMainThread());
    std::lock_guard<std::mutex> lock(mutex_);
    heard_.push_back(name);
    last_ = parameters;
  }
  std::vector<std::string> heard() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
  }
  Dictionary last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> heard_;
  Dictionary last_;
};

class ConnectorTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMPersistedConfig::sharedInstance()->clearValues();
    KVLAnalyticsRegisterLibrary();
    KVLApp::configureWithOptions(std::make_shared<KVLOptions>(kAppID, true, false));
    env.waitUntilIdle();
    interop = KVLApp::defaultApp()->container().instanceForProtocol<KVLAnalyticsInterop>(
        KVLAnalyticsInterop::kProtocol);
    ASSERT_NE(interop, nullptr);
    clearShared();
  }
  void TearDown() override {
    interop.reset();
    EngineTest::TearDown();
  }

  std::shared_ptr<APMMeasurement> shared() { return APMMeasurement::sharedInstance(); }
  void onShared(const std::function<void()>& block) {
    shared()->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", block);
  }
  void clearShared() {
    onShared([&] {
      shared()->database()->sqliteStore()->executeSQL("DELETE FROM raw_events", nullptr);
    });
  }
  // Stored events: name and its parameters.
  std::vector<APMEvent> storedEvents() {
    std::vector<APMEvent> found;
    onShared([&] {
      auto raw = shared()->database()->allRawEventsWithError(nullptr);
      for (const APMRawEventData& entry : raw.value_or(std::vector<APMRawEventData>{})) {
        if (auto event = APMEvent::createWithEventProto(*entry.rawEvent())) found.push_back(*event);
      }
    });
    return found;
  }
  std::vector<std::string> storedNames() {
    std::vector<std::string> names;
    for (const APMEvent& event : storedEvents()) names.push_back(event.name());
    return names;
  }

  std::shared_ptr<KVLAnalyticsInterop> interop;
};

// Refused origins, names and parameters are dropped; "_cis" goes on "_cmp" by origin; "_r" on
// "_ae" from "trx" after the check.
TEST_F(ConnectorTest, EventsFromOtherLibraries) {
  interop->logEventWithOrigin("app", "from_app", {});
  interop->logEventWithOrigin("auto", "from_auto", {});
  interop->logEventWithOrigin("kcm", "_e", {});
  interop->logEventWithOrigin("kcm", "with_r", {{"_r", Value(int64_t{1})}});
  interop->logEventWithOrigin("kdl", "_cmp", {{"source", Value("news")}});
  interop->logEventWithOrigin("trx", "_ae", {});
  interop->logEventWithOrigin("kdl", "_ae", {});
  env.waitUntilIdle();
  std::vector<APMEvent> events = storedEvents();
  std::vector<std::string> names;
  for (const APMEvent& event : events) names.push_back(event.name());
  EXPECT_EQ(names, (std::vector<std::string>{"_cmp", "_ae", "_ae"}));
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(*events[0].parameter("_cis")->stringValue(), "kdl_integration");
  EXPECT_EQ(*events[0].parameter("_o")->stringValue(), "kdl");
  EXPECT_TRUE(events[1].isRealtime());
  EXPECT_EQ(events[2].parameter("_r"), nullptr);
}

// Delivery per origin: the app's events to every listener, hidden names to none, "_vs" of an
// origin without a listener to "trx" only; a replaced listener hears nothing more; after the
// last unregistering nothing is delivered.
TEST_F(ConnectorTest, ListenerDelivery) {
  auto kiam = std::make_shared<RecordingListener>();
  auto trx = std::make_shared<RecordingListener>();
  interop->registerAnalyticsListener(kiam, "kiam");
  interop->registerAnalyticsListener(trx, "trx");
  interop->registerAnalyticsListener(std::make_shared<RecordingListener>(), "kcm");  // refused
  env.waitUntilIdle();
  KVLAnalytics::logEventWithName("level_up", {{"level", Value(int64_t{3})}, {"score", Value(2.5)}});
  KVLAnalytics::logInternalEventWithOrigin("am", "_xa", {});
  KVLAnalytics::logInternalEventWithOrigin("kcm", "_vs", {});
  KVLAnalytics::logInternalEventWithOrigin("kiam", "_own", {});
  KVLAnalytics::logInternalEventWithOrigin("kdl", "_other", {});
  env.waitUntilIdle();
  auto only = [](std::vector<std::string> heard) {
    heard.erase(std::remove_if(heard.begin(), heard.end(),
                               [](const std::string& name) {
                                 return name != "level_up" && name.rfind("_", 0) != 0;
                               }),
                heard.end());
    return heard;
  };
  EXPECT_EQ(only(kiam->heard()), (std::vector<std::string>{"level_up", "_own"}));
  EXPECT_EQ(only(trx->heard()), (std::vector<std::string>{"level_up", "_vs"}));
  Dictionary parameters = kiam->last();
  // The simplified parameters: plain numbers and strings.
  EXPECT_EQ(parameters.at("_o"), Value("kiam"));

  auto replacement = std::make_shared<RecordingListener>();
  interop->registerAnalyticsListener(replacement, "kiam");
  KVLAnalytics::logInternalEventWithOrigin("kiam", "_own", {});
  env.waitUntilIdle();
  EXPECT_EQ(only(kiam->heard()).size(), 2u);
  EXPECT_EQ(replacement->heard(), std::vector<std::string>{"_own"});

  interop->unregisterAnalyticsListenerWithOrigin("kiam");
  interop->unregisterAnalyticsListenerWithOrigin("trx");
  KVLAnalytics::logEventWithName("after_all", {});
  env.waitUntilIdle();
  EXPECT_EQ(replacement->heard(), std::vector<std::string>{"_own"});
  EXPECT_EQ(only(trx->heard()).size(), 2u);

  // Unregistering once no listener is left removes a nil measurement listener: a level-2 line,
  // which is not printed but counted in the monitor's health sample.
  std::shared_ptr<APMMonitor> monitor = APMMonitor::monitor();
  env.waitUntilIdle();
  monitor->monitoringDataForDispatch(-1, 0);  // handed out, so emptied
  interop->unregisterAnalyticsListenerWithOrigin("kiam");
  env.waitUntilIdle();
  std::string sample = monitor->monitoringDataForDispatch(-1, 0).value_or("");
  EXPECT_TRUE(sample.starts_with("1:")) << sample;
  EXPECT_NE(sample.find("Attempted removal of nil log event."), std::string::npos) << sample;
}

// User properties through the connector: the lists decide; queries return "_fot" but no other
// internal name.
TEST_F(ConnectorTest, UserPropertiesAndQuery) {
  interop->setUserPropertyWithOrigin("kcm", "_ln", Value("campaign"));
  interop->setUserPropertyWithOrigin("kdl", "_ltv_USD", Value(int64_t{5}));
  interop->setUserPropertyWithOrigin("kdl", "_fot", Value(int64_t{5}));
  interop->setUserPropertyWithOrigin("app", "colour", Value("red"));
  interop->setUserPropertyWithOrigin("kdl", "colour", Value("blue"));
  env.waitUntilIdle();
  std::optional<Dictionary> answer;
  interop->getUserPropertiesWithCallback([&](Dictionary properties) { answer = properties; });
  env.waitUntilIdle();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->count("colour"), 1u);
  EXPECT_EQ(answer->at("colour"), Value("blue"));
  EXPECT_EQ(answer->count("_ln"), 0u);
  EXPECT_EQ(answer->count("_ltv_USD"), 0u);
  bool lnStored = false;
  onShared(
      [&] { lnStored = shared()->database()->userAttributeWithName("_ln", nullptr).has_value(); });
  EXPECT_TRUE(lnStored);
}

// Conditional-property dictionaries: entries of the wrong type are ignored, never stored into
// a field of another type; queries leave out numeric values; clearing names the property even
// without clear-event parameters, with a clear event only when one is named.
TEST_F(ConnectorTest, ConditionalPropertyDictionaries) {
  Dictionary good{{"name", Value("tier")},
                  {"origin", Value("kcm")},
                  {"value", Value("gold")},
                  {"triggerEventName", Value("go")},
                  {"triggerTimeout", Value(int64_t{60})},
                  {"timeToLive", Value(60.0)},
                  {"unknownKey", Value(int64_t{1})},
                  {"triggeredEvent", Value(Dictionary{{"origin", Value("kcm")},
                                                      {"name", Value("tier_on")},
                                                      {"parameters", Value(int64_t{4})}})}};
  interop->setConditionalUserProperty(good);
  Dictionary wrongTimeout = good;
  wrongTimeout["name"] = Value("other");
  wrongTimeout["triggerTimeout"] = Value("60");
  interop->setConditionalUserProperty(wrongTimeout);
  Dictionary wrongValue = good;
  wrongValue["name"] = Value("numeric");
  wrongValue["value"] = Value(int64_t{7});
  interop->setConditionalUserProperty(wrongValue);
  env.waitUntilIdle();
  APMConditionalUserProperty numeric;
  numeric.origin = "kcm";
  numeric.value = APMValue(int64_t{7});
  numeric.triggerEventName = "go";
  numeric.triggerTimeout = 60;
  numeric.timeToLive = 60;
  APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(&numeric,
                                                                                     "number");
  env.waitUntilIdle();
  EXPECT_EQ(interop->conditionalUserProperties("kcm", ""),
            (Value::Array{Value(Dictionary{{"name", Value("tier")}, {"value", Value("gold")}})}));

  KVLAnalytics::logEventWithName("go", {});
  env.waitUntilIdle();
  std::vector<std::string> names = storedNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "tier_on"), names.end());

  clearShared();
  interop->clearConditionalUserProperty("tier", "kcm", "", {});
  interop->clearConditionalUserProperty("number", "kcm", "number_cleared",
                                        {{"why", Value("done")}, {"also", Value("x")}});
  env.waitUntilIdle();
  EXPECT_TRUE(interop->conditionalUserProperties("", "").empty());
  std::vector<APMEvent> events = storedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name(), "number_cleared");
  // The first key of the map's own order.
  EXPECT_NE(events[0].parameter("also"), nullptr);
  EXPECT_EQ(events[0].parameter("why"), nullptr);
}

// A dictionary with a mistyped "value", "triggerEventName" or "creationTimestamp" is refused
// whole: it neither clears the stored property nor sets one that is active at once. A missing
// or null value still clears.
TEST_F(ConnectorTest, MistypedConditionalPropertyIsRefused) {
  const Dictionary base{
      {"name", Value("tier")},
      {"origin", Value("kcm")},
      {"value", Value("gold")},
      {"triggerTimeout", Value(int64_t{60})},
      {"timeToLive", Value(int64_t{60})},
      {"expiredEvent", Value(Dictionary{{"origin", Value("kcm")}, {"name", Value("tier_gone")}})}};
  interop->setConditionalUserProperty(base);
  env.waitUntilIdle();
  const Value::Array gold{Value(Dictionary{{"name", Value("tier")}, {"value", Value("gold")}})};
  ASSERT_EQ(interop->conditionalUserProperties("kcm", ""), gold);
  clearShared();
  struct Case {
    const char* what;
    const char* key;
    Value value;
    const char* name;
  };
  const Case refused[] = {
      {"number value", "value", Value(int64_t{7}), "tier"},
      {"boolean value", "value", Value(true), "tier"},
      {"number trigger", "triggerEventName", Value(int64_t{7}), "fresh"},
      {"text creation time", "creationTimestamp", Value("soon"), "tier"},
  };
  for (const Case& c : refused) {
    Dictionary dictionary = base;
    dictionary["name"] = Value(c.name);
    dictionary["value"] = Value("silver");
    dictionary[c.key] = c.value;
    interop->setConditionalUserProperty(dictionary);
    env.waitUntilIdle();
    EXPECT_EQ(interop->conditionalUserProperties("kcm", ""), gold) << c.what;
    EXPECT_TRUE(storedNames().empty()) << c.what;
  }
  Dictionary clear = base;
  clear["value"] = Value();
  interop->setConditionalUserProperty(clear);
  env.waitUntilIdle();
  EXPECT_TRUE(interop->conditionalUserProperties("kcm", "").empty());
  EXPECT_EQ(storedNames(), std::vector<std::string>{"tier_gone"});
}

// A boolean is a number (1 or 0) in every numeric entry: a boolean timeout or time to live is
// that many seconds, a boolean creation time is a time. A null creation time is no time at all;
// a null trigger name still refuses the dictionary (it would otherwise set the property at once).
TEST_F(ConnectorTest, BooleanNumbersAndNullEntriesInConditionalProperties) {
  const Dictionary base{{"origin", Value("kcm")},
                        {"value", Value("gold")},
                        {"triggerEventName", Value("go")},
                        {"triggerTimeout", Value(int64_t{60})},
                        {"timeToLive", Value(int64_t{60})}};
  struct Case {
    const char* name;
    const char* key;
    Value value;
    bool stored;
    double triggerTimeout, timeToLive;
  };
  const Case cases[] = {
      {"p_timeout", "triggerTimeout", Value(true), true, 1, 60},
      {"p_ttl", "timeToLive", Value(true), true, 60, 1},
      {"p_created", "creationTimestamp", Value(true), true, 60, 60},
      {"p_created_null", "creationTimestamp", Value(), true, 60, 60},
      {"p_timeout_false", "triggerTimeout", Value(false), false, 0, 0},
      {"p_trigger_null", "triggerEventName", Value(), false, 0, 0},
  };
  for (const Case& c : cases) {
    Dictionary dictionary = base;
    dictionary["name"] = Value(c.name);
    dictionary[c.key] = c.value;
    interop->setConditionalUserProperty(dictionary);
  }
  env.waitUntilIdle();
  std::vector<APMConditionalUserProperty> found =
      APMConditionalUserPropertyController::sharedInstance()
          ->conditionalUserPropertiesWithNamePrefix(Value("p_"), Value("kcm"))
          .value_or(std::vector<APMConditionalUserProperty>{});
  for (const Case& c : cases) {
    auto property = std::find_if(found.begin(), found.end(),
                                 [&](const auto& stored) { return stored.name == c.name; });
    EXPECT_EQ(property != found.end(), c.stored) << c.name;
    if (!c.stored || property == found.end()) continue;
    EXPECT_EQ(property->triggerTimeout, c.triggerTimeout) << c.name;
    EXPECT_EQ(property->timeToLive, c.timeToLive) << c.name;
    EXPECT_FALSE(property->active) << c.name;
  }
}

}  // namespace
