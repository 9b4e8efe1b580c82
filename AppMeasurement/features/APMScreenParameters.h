#pragma once

#include <string>
#include <string_view>

#include "AppMeasurement/features/APMScreen.h"
#include "AppMeasurement/foundation/APMValue.h"

// The class name without its module: the part after the last "." when a "." comes before
// the last character ("App.HomeController" → "HomeController"), else the name as it is.
std::string APMScreenClassNameFromClass(std::string_view className);

// The screen's event parameters: "_si" = instance id; "_sc" = class name and "_sn" = name
// when each passes the screen-value check (a non-empty string within the remote maximum
// parameter-value length). A missing or empty class name logs 31014; a class name that
// fails the check logs 31015 and leaves "_si" alone, whatever the name.
APMObjectMap APMScreenEventParameters(const APMScreen& screen);

// The previous screen's parameters: "_pi", and "_pc" / "_pn" when valid; no log lines.
APMObjectMap APMPreviousScreenEventParameters(const APMScreen& screen);
