#pragma once

#include <string>

#include "platform/foundation/Value.h"
#include "platform/uikit/SUIView.h"

// The view modifier of the typed layer: every appearance of the view it wraps logs
// "screen_view" through the facade, with "screen_name" and "screen_class" laid over the extra
// parameters. The facade hands the event to the screen-view reporter, which makes it the
// current, manually tracked screen. A value holding its three fields; the on-appear action
// runs on the thread that shows the view (the main thread).
class LoggedAnalyticsModifier : public SUIViewModifier {
 public:
  LoggedAnalyticsModifier(std::string screenName, std::string screenClass,
                          platform::Value::Dictionary extraParameters)
      : screenName(std::move(screenName)),
        screenClass(std::move(screenClass)),
        extraParameters(std::move(extraParameters)) {}

  // The content with the on-appear action (no on-disappear action).
  SUIView& body(SUIView& content) const override;
  // The parameters one appearance logs.
  platform::Value::Dictionary parameters() const;

  std::string screenName;
  std::string screenClass;
  platform::Value::Dictionary extraParameters;
};

// The view wrapped with a LoggedAnalyticsModifier of the three values.
SUIView& analyticsScreenView(SUIView& view, const std::string& screenName,
                             const std::string& screenClass,
                             const platform::Value::Dictionary& extraParameters);
