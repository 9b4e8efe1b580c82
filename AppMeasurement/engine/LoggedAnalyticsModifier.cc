#include "AppMeasurement/engine/LoggedAnalyticsModifier.h"

#include "AppMeasurement/engine/KVLAnalytics.h"

platform::Value::Dictionary LoggedAnalyticsModifier::parameters() const {
  platform::Value::Dictionary parameters = extraParameters;
  parameters["screen_name"] = platform::Value(screenName);
  parameters["screen_class"] = platform::Value(screenClass);
  return parameters;
}

SUIView& LoggedAnalyticsModifier::body(SUIView& content) const {
  platform::Value::Dictionary logged = parameters();
  return content.onAppear([logged] { KVLAnalytics::logEventWithName("screen_view", logged); });
}

SUIView& analyticsScreenView(SUIView& view, const std::string& screenName,
                             const std::string& screenClass,
                             const platform::Value::Dictionary& extraParameters) {
  return LoggedAnalyticsModifier(screenName, screenClass, extraParameters).body(view);
}
