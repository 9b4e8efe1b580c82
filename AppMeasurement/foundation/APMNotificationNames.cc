#include "AppMeasurement/foundation/APMNotificationNames.h"

#include "platform/uikit/UIApplicationNotifications.h"

// The platform's own names: the application object posts its life-cycle notifications under
// them, so observers registered with these names hear what the app does.
std::string APMDidBecomeActiveNotificationName() {
  return UIApplicationDidBecomeActiveNotification;
}
std::string APMDidFinishLaunchingNotificationName() {
  return UIApplicationDidFinishLaunchingNotification;
}
std::string APMWillResignActiveNotificationName() {
  return UIApplicationWillResignActiveNotification;
}
std::string APMWindowDidResignKeyNotificationName() { return UIWindowDidResignKeyNotification; }
std::string APMWillEnterForegroundNotificationName() {
  return UIApplicationWillEnterForegroundNotification;
}
std::string APMDidEnterBackgroundNotificationName() {
  return UIApplicationDidEnterBackgroundNotification;
}
