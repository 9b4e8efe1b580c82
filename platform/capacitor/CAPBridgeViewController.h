#pragma once

#include "platform/uikit/UIViewController.h"

namespace platform {

// The runtime's view controller that shows the web content; plug-ins present SDK screens from
// it. The app's window has it as root from launch. Its class comes from the runtime's framework
// (module "Capacitor"), not from the app's main bundle.
class CAPBridgeViewController : public UIViewController {
 public:
  CAPBridgeViewController()
      : UIViewController(ClassInfo{"Capacitor.CAPBridgeViewController", "UIViewController",
                                   /*fromMainBundle=*/false}) {}
};

}  // namespace platform
