#pragma once

// The application's and the window's notification names and the launch-option keys, exactly
// as the phone's UI framework names them. UIApplication posts the application notifications
// through platform::NotificationCenter; observers anywhere in the program register with these
// names (the measurement library through its APM...NotificationName functions).

inline constexpr const char* UIApplicationDidFinishLaunchingNotification =
    "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* UIApplicationDidBecomeActiveNotification =
    "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* UIApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr const char* UIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* UIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* UIApplicationWillTerminateNotification =
    "UIApplicationWillTerminateNotification";

// Posted when a scene of a scene-based app is about to connect to the application.
inline constexpr const char* UISceneWillConnectNotification = "UISceneWillConnectNotification";

// Posted by a window that stops being the key window.
inline constexpr const char* UIWindowDidResignKeyNotification = "UIWindowDidResignKeyNotification";

// Keys of the launch options, which the did-finish-launching notification carries as its
// user info.
inline constexpr const char* UIApplicationLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr const char* UIApplicationLaunchOptionsSourceApplicationKey =
    "UIApplicationLaunchOptionsSourceApplicationKey";
inline constexpr const char* UIApplicationLaunchOptionsUserActivityDictionaryKey =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr const char* UIApplicationLaunchOptionsUserActivityKey =
    "UIApplicationLaunchOptionsUserActivityKey";
// Inside the user-activity dictionary, beside the activity: the activity's type.
inline constexpr const char* UIApplicationLaunchOptionsUserActivityTypeKey =
    "UIApplicationLaunchOptionsUserActivityTypeKey";
