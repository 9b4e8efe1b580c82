// Sessions under virtual time: expiry by the timeout, numbering, the engagement event and its
// limits, the efficient (free-ride) engagement split with the screen-view event, and nothing
// while the app is inactive.
#include "tests/AppMeasurement/features/ReporterTestSupport.h"

namespace {

using reportertest::Logged;
using reportertest::ReporterTest;

class SessionReporter : public ReporterTest {};

TEST_F(SessionReporter, EngagementIsCappedAtOneHour) {
  startSessions();
  becomeActive();
  env.clock().setUptime(env.clock().uptime() + 7200);  // two hours, no timer run
  facade->clear();
  EXPECT_EQ(sessions->logEngagementEventAndReturnTimeWithScreen(nullptr, false), 3600000);
  ASSERT_EQ(facade->events("_e").size(), 1u);
  Logged engagement = facade->events("_e")[0];
  EXPECT_EQ(engagement.origin, "auto");
  EXPECT_EQ(engagement.integer("_et"), 3600000);
}

TEST_F(SessionReporter, SessionExpiresStrictlyAfterTheTimeout) {
  struct Case {
    double away;
    bool newSession;
  };
  for (Case c : {Case{1801, true}, Case{1799, false}, Case{1800, false}}) {
    SCOPED_TRACE(c.away);
    persistedConfig->clearValues();
    application = std::make_shared<UIApplication>();
    startSessions();
    becomeActive();  // the first session
    ASSERT_EQ(persistedConfig->sessionNumber(), 1);
    enterBackground();
    env.advance(c.away);
    facade->clear();
    returnToForeground();
    EXPECT_EQ(facade->events("_s").size(), c.newSession ? 1u : 0u);
    EXPECT_EQ(persistedConfig->sessionNumber(), c.newSession ? 2 : 1);
    if (c.newSession) {
      Logged start = facade->events("_s")[0];
      EXPECT_EQ(start.integer("_sno"), 2);
      EXPECT_EQ(start.integer("_sid"), static_cast<int64_t>(env.now()));
      // "_sid" and "_sno" are cleared, then set to the new session's values.
      std::vector<Logged> properties = facade->properties();
      ASSERT_EQ(properties.size(), 4u);
      EXPECT_FALSE(properties[0].value);
      EXPECT_FALSE(properties[1].value);
      EXPECT_EQ(properties[3].name, "_sno");
      EXPECT_EQ(properties[3].value->int64Value(), 2);
    }
    enterBackground();
  }
}

TEST_F(SessionReporter, AppTimeoutAppliesOnceThenIsGone) {
  persistedConfig->setSessionTimeoutValue(platform::Value(int64_t{60}));
  sessions->resetWithPersistedConfig(persistedConfig);
  EXPECT_EQ(sessions->timeoutSessionInterval(), 60);
  EXPECT_FALSE(persistedConfig->sessionTimeoutValue());
  auto next = APMSessionReporter::create();
  next->resetWithPersistedConfig(persistedConfig);
  EXPECT_EQ(next->timeoutSessionInterval(), 1800);
  next->setTimeoutSessionInterval(-5);
  EXPECT_EQ(next->timeoutSessionInterval(), 0);
  EXPECT_TRUE(logged(33001));
}

TEST_F(SessionReporter, ShortScreenChangeLogsNoEngagement) {
  startSessions();
  becomeActive();
  auto first = std::make_shared<APMScreen>("a", "A", 1);
  auto second = std::make_shared<APMScreen>("b", "B", 2);
  env.advance(0.5);
  facade->clear();
  sessions->handleScreenDidChangeFromScreen(first, second);
  EXPECT_TRUE(facade->events("_e").empty());
  env.advance(2);
  sessions->handleScreenDidChangeFromScreen(first, second);
  ASSERT_EQ(facade->events("_e").size(), 1u);
  Logged engagement = facade->events("_e")[0];
  EXPECT_EQ(engagement.integer("_et"), 2500);
  EXPECT_EQ(engagement.text("_sc"), "A");  // credited to the screen that was shown
  EXPECT_FALSE(engagement.parameter("_fr"));
}

TEST_F(SessionReporter, EfficientEngagementSplitsWithTheScreenView) {
  setRemoteSettings({{"measurement.collection.efficient_engagement_reporting_enabled", "1"}});
  startSessions();
  becomeActive();
  auto first = std::make_shared<APMScreen>("a", "A", 1);
  auto second = std::make_shared<APMScreen>("b", "B", 2);
  env.advance(3);
  facade->clear();
  sessions->handleScreenDidChangeFromScreen(first, second);
  ASSERT_EQ(facade->events("_e").size(), 1u);
  EXPECT_EQ(facade->events("_e")[0].integer("_fr"), 1);
  EXPECT_EQ(facade->events("_e")[0].integer("_et"), 3000);
  // The free-ride start did not move: the screen view takes the same time, then moves it.
  EXPECT_EQ(sessions->cutFreerideEngagementTimeMillis(), 3000);
  EXPECT_EQ(sessions->cutFreerideEngagementTimeMillis(), 0);

  setRemoteSettings({{"measurement.collection.efficient_engagement_reporting_enabled", "1"},
                     {"measurement.collection.redundant_engagement_removal_enabled", "1"}});
  env.advance(3);
  facade->clear();
  sessions->handleScreenDidChangeFromScreen(first, second);
  EXPECT_TRUE(facade->events("_e").empty());
}

TEST_F(SessionReporter, NothingWhileInactive) {
  startSessions();
  becomeActive();
  enterBackground();
  double activity = persistedConfig->lastSessionActivityClockTime();
  env.advance(100);
  facade->clear();
  EXPECT_EQ(sessions->logEngagementEventAndReturnTimeWithScreen(nullptr, false), 0);
  sessions->logSessionStartEvent();
  EXPECT_TRUE(facade->events().empty());
  EXPECT_EQ(persistedConfig->lastSessionActivityClockTime(), activity);
  EXPECT_TRUE(logged(33006));
  EXPECT_TRUE(logged(33005));
}

TEST_F(SessionReporter, EngagementTimerPostsThenLogsAndRearms) {
  startSessions();
  becomeActive();
  int heard = 0;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      APMSessionReporter::kEngagementTimerDidFireNotification, nullptr, nullptr,
      [&](const platform::Notification&) { ++heard; });
  facade->clear();
  env.advance(3600);
  EXPECT_EQ(heard, 1);
  ASSERT_EQ(facade->events("_e").size(), 1u);
  EXPECT_EQ(facade->events("_e")[0].integer("_et"), 3600000);
  env.advance(3600);
  EXPECT_EQ(heard, 2);
  // Resigning active reports the engagement so far and stops the timer.
  env.advance(10);
  resignActive();
  EXPECT_EQ(facade->events("_e").back().integer("_et"), 10000);
  env.advance(7200);
  EXPECT_EQ(heard, 2);
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(SessionReporter, SessionStartEventForTheEngine) {
  startSessions();
  persistedConfig->setSessionNumber(6);
  std::optional<APMEvent> background = sessions->sessionStartEvent(1700000123.9, true);
  ASSERT_TRUE(background);
  EXPECT_EQ(background->name(), "_s");
  EXPECT_EQ(background->origin(), "auto");
  EXPECT_EQ(background->parameter("_sid")->int64Value(), 1700000123);
  EXPECT_EQ(background->parameter("_sno")->int64Value(), 6);
  EXPECT_EQ(background->parameter("_aib")->int64Value(), 1);
  std::optional<APMUserAttribute> number = sessions->sessionNumberProperty();
  ASSERT_TRUE(number);
  EXPECT_EQ(number->value().int64Value(), 6);
  EXPECT_EQ(sessions->sessionIDPropertyWithTimestamp(12.7)->value().int64Value(), 12);
}

}  // namespace
