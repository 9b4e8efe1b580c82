#include "AppMeasurement/foundation/APMNotificationNames.h"

// The application shell posts its life-cycle notifications under these names, as the
// phone's application object does.
std::string APMDidBecomeActiveNotificationName() {
  return "UIApplicationDidBecomeActiveNotification";
}
std::string APMDidFinishLaunchingNotificationName() {
  return "UIApplicationDidFinishLaunchingNotification";
}
std::string APMWillResignActiveNotificationName() {
  return "UIApplicationWillResignActiveNotification";
}
std::string APMWindowDidResignKeyNotificationName() { return "UIWindowDidResignKeyNotification"; }
std::string APMWillEnterForegroundNotificationName() {
  return "UIApplicationWillEnterForegroundNotification";
}
std::string APMDidEnterBackgroundNotificationName() {
  return "UIApplicationDidEnterBackgroundNotification";
}
