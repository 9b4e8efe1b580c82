#pragma once

#include <string>
#include <vector>

#include "platform/capacitor/CAPPluginMethod.h"

namespace platform {

// The identity a plug-in shows the bridge: its identifier, the name web code reaches it by and
// its method table. Read from the bridge queue and from the web host; implementations answer
// constant data and are safe from any thread.
class CAPBridgedPlugin {
 public:
  virtual ~CAPBridgedPlugin() = default;
  virtual std::string identifier() const = 0;
  virtual std::string jsName() const = 0;
  virtual std::vector<CAPPluginMethod> pluginMethods() const = 0;
};

}  // namespace platform
