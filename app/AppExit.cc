#include "app/AppExit.h"

#include "AppMeasurement/engine/APMAnalytics.h"
#include "platform/dispatch/DispatchQueue.h"

void AppExit::storeAnsweredCalls(const std::shared_ptr<platform::CAPBridge>& bridge) {
  bridge->refuseNewCalls();
  platform::DispatchQueue::main()->sync([] {});
  APMAnalytics::waitForQueuedCalls();
}
