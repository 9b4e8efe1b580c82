#pragma once

#include <memory>

#include "AppMeasurement/features/APMScreen.h"
#include "AppMeasurement/features/APMScreenStack.h"
#include "AppMeasurement/foundation/APMScreenReportingSetting.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

// What the screen-view reporter keeps on the platform's objects, as associated objects: a view
// controller's screen and a window's screen stack. Reading finds whatever another library may
// have put under the same key: an object of another kind logs a warning (36000 on a
// controller, 38000 on a window), is removed, and reads as nothing. Thread-safe.
std::shared_ptr<APMScreen> APMScreenOfViewController(UIViewController& controller);
void APMSetScreenOfViewController(UIViewController& controller, std::shared_ptr<APMScreen> screen);
std::shared_ptr<APMScreenStack> APMStackOfWindow(UIWindow& window);
void APMSetStackOfWindow(UIWindow& window, std::shared_ptr<APMScreenStack> stack);

// Hooks the screen-view reporter into every view controller's appearance (the stand-in of the
// exchange of viewDidAppear: / viewDidDisappear:), once per process: the controller's own code
// runs first, then the reporter hears of it. Nothing is hooked while screen reporting is off
// (36001) or when an older copy of the library is present (class "KVLADatabase", 36005).
// Called by the composition root.
void APMInstallViewControllerAppearanceHooks();
