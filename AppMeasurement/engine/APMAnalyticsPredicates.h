#pragma once

// Questions about the running app that the engine and the reporters ask at launch and per
// event. Any thread.

// Whether the app is active, as the screen-view reporter follows it.
bool APMAnalyticsIsAppActive();
// Whether the system launched the process ahead of use (its environment's "ActivePrewarm"
// reads as a true boolean).
bool APMIsActivePrewarm();
// Whether the main bundle's Info.plist declares scenes ("UIApplicationSceneManifest").
bool APMHasSceneManifest();
