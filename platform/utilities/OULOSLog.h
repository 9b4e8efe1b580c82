#pragma once

#include <cstdarg>
#include <string_view>

#include "platform/utilities/OULLoggerLevel.h"

// The utilities framework's console log. Each call writes at most one line to the platform
// log (platform::PlatformLog) of the form
//   "[<subsystem>] <category>[<code>] <LEVEL>: <message>"
// e.g. "[com.orvane.kavrelin.analytics] <AppMeasurement>[I-ACS023007] NOTICE: Analytics started".
// A line is written when its level passes the console threshold (OULIsLoggableLevel) or when
// `force` is set. All functions may be called from any thread.

// The format functions take a printf format and its arguments; a caller that hands in a
// ready-made message with no arguments must double its "%" signs (or use
// OULOSLogBasicPreformatted). A null subsystem, category, code or format counts as empty.
void OULOSLogBasic(OULLoggerLevel level, const char* subsystem, const char* category, bool force,
                   const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 6, 7)));
void OULOSLogBasicV(OULLoggerLevel level, const char* subsystem, const char* category, bool force,
                    const char* messageCode, const char* format, va_list args)
    __attribute__((format(printf, 6, 0)));

// The same with the message taken as it is (no format processing).
void OULOSLogBasicPreformatted(OULLoggerLevel level, std::string_view subsystem,
                               std::string_view category, bool force, std::string_view messageCode,
                               std::string_view message);

// Shorthands with the level fixed and no force flag.
void OULOSLogError(const char* subsystem, const char* category, bool force, const char* messageCode,
                   const char* format, ...) __attribute__((format(printf, 5, 6)));
void OULOSLogWarning(const char* subsystem, const char* category, bool force,
                     const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void OULOSLogNotice(const char* subsystem, const char* category, bool force,
                    const char* messageCode, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void OULOSLogInfo(const char* subsystem, const char* category, bool force, const char* messageCode,
                  const char* format, ...) __attribute__((format(printf, 5, 6)));
void OULOSLogDebug(const char* subsystem, const char* category, bool force, const char* messageCode,
                   const char* format, ...) __attribute__((format(printf, 5, 6)));

// Sets the console threshold: lines up to this level are written. Values outside
// [OULLoggerLevelMin, OULLoggerLevelMax] are clamped, so errors are always loggable.
// The threshold starts at OULLoggerLevelNotice.
void OULSetLoggerLevel(OULLoggerLevel level);

// The current console threshold.
OULLoggerLevel OULLoggerCurrentLevel();

// True when a line of this level passes the console threshold.
bool OULIsLoggableLevel(OULLoggerLevel level);

// The level's name in log lines ("ERROR", "WARNING", "NOTICE", "INFO", "DEBUG"); "LEVEL"
// for a value outside the scale (the line then shows the number too).
const char* OULLoggerLevelName(int level);
