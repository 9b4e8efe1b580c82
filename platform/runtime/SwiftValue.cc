#include "platform/runtime/SwiftValue.h"

#include "platform/runtime/ClassRegistry.h"

namespace platform {

void SwiftValue::registerInRuntime() {
  ClassRegistry::shared().registerClass<SwiftValue>(kClassName);
}

void SwiftValue::unregisterFromRuntime() { ClassRegistry::shared().unregisterClass(kClassName); }

}  // namespace platform
