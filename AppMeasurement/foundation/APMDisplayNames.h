#pragma once

#include <string>
#include <string_view>

#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/foundation/APMValue.h"

// Renderings of names and parameter maps for log messages only. In debug mode (the monitor's,
// with the public measurement class registered) internal names print with their public name,
// as in "screen_view (_vs)", and maps print one sorted entry per line. Any thread.

// The name itself unless it is a non-empty internal string name, the table is not empty and
// debug mode is on with "KVLAnalytics" registered; then "public (internal)" when the table
// has a public name for it (one not beginning with "kavrelin_" preferred). A non-string
// name prints its description.
std::string APMDisplayNameFromMap(const APMObject& name, const APMNameTable& table);
std::string APMEventNameForDisplay(const APMObject& name);
std::string APMParameterNameForDisplay(const APMObject& name);
// "_exp_..." names print as "experiment_id (_exp_...)"; the rest use the user-property table.
std::string APMUserPropertyNameForDisplay(const APMObject& name);

// A map (loose, plain or typed) rendered for the debug log; any other object, or any object
// outside debug mode, as its description.
std::string APMDescriptionForLog(const APMObject& object);
std::string APMDescriptionForLogWithIndent(const APMObject& object, std::string_view indent);
std::string APMDescriptionForLog(const APMValueMap& parameters);
