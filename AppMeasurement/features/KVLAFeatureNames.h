#pragma once

// The facade's names for the reporters, under which apps built against the facade reach them.
// Each is the reporter class itself: KVLAScreenViewReporter::sharedInstance() is the one
// screen-view reporter.

#include "AppMeasurement/features/APMAdExposureReporter.h"
#include "AppMeasurement/features/APMScreenViewReporter.h"

using KVLAScreenViewReporter = APMScreenViewReporter;
using KVLAAdExposureReporter = APMAdExposureReporter;
