#pragma once

#include "platform/runtime/RuntimeObject.h"

namespace platform {

// The Swift runtime's box ("__SwiftValue") for a value that has no Objective-C form: what a
// collection ends up holding when typed Swift code puts such a value (a struct, an enum) into
// it. Nothing in it can be read. The class is known by its name only in a process that
// registers it, as it exists only where Swift code runs.
class SwiftValue : public RuntimeObject {
 public:
  static constexpr const char* kClassName = "__SwiftValue";

  static void registerInRuntime();
  static void unregisterFromRuntime();
};

}  // namespace platform
