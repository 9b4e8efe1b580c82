#pragma once

#include "platform/runtime/ClassRegistry.h"

// Makes the conversion classes findable by name, as the measurement engine looks them up:
// "ODCConversionService" (its factory answers the shared service, an
// ODCConversionServiceProtocol) and "ODCPrivateSetMembershipClient" (its factory answers the
// class object, an APMPrivateSetMembershipClientClass). Called by the composition root (the
// app's main, tests). "APMPrivateSetMembershipClient" is deliberately left unregistered: the
// engine looks that name up first and would take it for a class of another shape.
void ODCRegisterClasses(platform::ClassRegistry& registry);
