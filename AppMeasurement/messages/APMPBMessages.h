#pragma once

// Every measurement message class (APMPB...), the accessors and the flag helpers.
#include "AppMeasurement/messages/APMPBFlag.h"
#include "AppMeasurement/messages/NANO.h"
#include "proto/APMPBMessageLayouts.h"
#include "proto/experiments.nano.h"
#include "proto/measurement_config.nano.h"
#include "proto/measurement_upload.nano.h"
#include "proto/script_program.nano.h"
#include "proto/skadnetwork.nano.h"
