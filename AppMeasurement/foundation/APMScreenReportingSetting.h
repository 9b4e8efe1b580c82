#pragma once

// Whether screen reporting is on: the Info.plist's "KavrelinScreenReportingEnabled", else
// "KavrelinAutomaticScreenReportingEnabled"; a number gives its truth, anything else (or
// nothing) reads as on. Read from the main bundle at each call; any thread.
bool APMIsScreenReportingEnabled();
