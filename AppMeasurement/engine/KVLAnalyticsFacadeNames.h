#pragma once

// The facade's names for engine classes, under which apps and companion libraries built against
// the facade reach them. Each is the engine class itself: nothing is added or changed.

#include "AppMeasurement/engine/APMConditionalUserPropertyController.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMIdentifiers.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/foundation/APMValue.h"
#include "AppMeasurement/records/APMConditionalUserProperty.h"
#include "AppMeasurement/records/APMEvent.h"

using KVLAMeasurement = APMMeasurement;
using KVLAEvent = APMEvent;
using KVLAValue = APMValue;
using KVLAUserAttribute = APMUserAttribute;
using KVLAIdentifiers = APMIdentifiers;
using KVLAConditionalUserProperty = APMConditionalUserProperty;
using KVLAConditionalUserPropertyController = APMConditionalUserPropertyController;
