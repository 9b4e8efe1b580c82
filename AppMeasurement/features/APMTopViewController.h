#pragma once

#include <memory>

#include "AppMeasurement/features/APMScreenStack.h"
#include "platform/uikit/UIViewController.h"

// Whether a controller can be the current screen: a controller whose class comes from outside
// the main bundle is not when its module-free class name or its superclass's starts with "_"
// (the system's private controllers); otherwise it is when its view is loaded and in the key
// window.
bool APMIsTrackableViewController(const UIViewController& controller);

// The controller the user sees, searched in a window's screen stack: first, from the top
// down, one whose screen was set by name and whose view is in a window; then, from the top
// down, for each controller shown in a window: itself when it has a screen, its parent when
// a sibling is hidden and the parent has a screen, else what it shows (navigation → visible,
// tabs → selected, pages → first, others → presented) when that is in a window; at last the
// bottom entry. Nothing (31011) for an empty stack. Main thread.
std::shared_ptr<UIViewController> APMTopViewControllerOfStack(APMScreenStack& stack);
