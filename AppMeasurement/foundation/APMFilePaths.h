#pragma once

#include <string>
#include <string_view>

#include "AppMeasurement/foundation/APMError.h"

// Where the library keeps its files inside the app's container, and the few file
// operations it needs on them. Paths are plain strings; an empty string means "no path".
// Every function may be called from any queue.

// The library's folder under Application Support.
inline constexpr std::string_view kAPMApplicationSupportFolder = "Orvane/Measurement";
// The error domain of failures the platform's file operations report.
inline constexpr std::string_view kAPMFileErrorDomain = "platform.FileManager";

// Library/Preferences/<name>.plist in the container; empty for an empty name, and empty
// (logged, 19000) when the container has no Library folder.
std::string APMPreferencesPlistPath(std::string_view name);

// Application Support/Orvane/Measurement/<name>; empty for an empty name, and empty
// (logged, 19001) when the container has no Application Support folder. The folder itself
// is not created here.
std::string APMApplicationSupportPath(std::string_view name);

// APMApplicationSupportPath with ".plist" appended, unless the name already has that
// extension.
std::string APMApplicationSupportPlistPath(std::string_view name);

// Marks the file as excluded from device backups. On failure answers false and stores the
// platform's error (or code 1 for an empty path) into the slot, if one is given.
bool APMExcludePathFromBackup(std::string_view path, APMErrorSlot* error);

// Removes the file or folder at the path. An empty path answers false with error code 1
// "Received empty path for deleting file"; a failed removal answers false with the
// platform's error.
bool APMDeleteFileAtPath(std::string_view path, APMErrorSlot* error);

// Moves a suite's property list from Library/Preferences to the library's Application
// Support folder. Answers true when the suite's data now lives only in Application Support
// (also when there was nothing to move); false for an empty name, a folder in the way, or
// a failed file operation, which leaves the source where it was. On success the suite is
// also dropped from the application's preferences (platform::PreferenceStore::removeDomain),
// so that nothing it held in memory re-creates the old file.
bool APMMigratePreferencesPlist(std::string_view suiteName);
