#pragma once

#include <string>

// Names of the application and window notifications that the library observes: the
// platform's own names, so that observers registered with them hear what the app posts.
std::string APMDidBecomeActiveNotificationName();
std::string APMDidFinishLaunchingNotificationName();
std::string APMWillResignActiveNotificationName();
std::string APMWindowDidResignKeyNotificationName();
std::string APMWillEnterForegroundNotificationName();
std::string APMDidEnterBackgroundNotificationName();
