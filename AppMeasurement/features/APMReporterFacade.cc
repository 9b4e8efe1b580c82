#include "AppMeasurement/features/APMReporterFacade.h"

#include <mutex>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "platform/dispatch/Clock.h"

namespace {

std::mutex& facadeMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

std::shared_ptr<APMReporterFacade>& installedFacade() {
  static auto* facade =
      new std::shared_ptr<APMReporterFacade>(std::make_shared<APMReporterFacade>());
  return *facade;
}

}  // namespace

void APMReporterFacade::logInternalEvent(const std::string& origin, const std::string& name,
                                         const APMObjectMap& parameters) {
  APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

void APMReporterFacade::logInternalEvent(const std::string& origin, const std::string& name,
                                         double timestamp, const APMObjectMap& parameters) {
  APMAnalytics::logInternalEventWithOrigin(origin, name, timestamp, parameters);
}

void APMReporterFacade::setInternalUserProperty(const std::optional<APMValue>& value,
                                                const std::string& name,
                                                const std::string& origin) {
  double now = platform::Clock::current()->now();
  // Behind the events queued before it, as every call of the facade.
  APMAnalytics::queueOperationWithBlock([value, name, origin, now] {
    std::shared_ptr<APMMeasurement> engine =
        APMMeasurement::hasSharedInstance() ? APMMeasurement::sharedInstance() : nullptr;
    if (!engine) return;
    // A removal names the property; its value is not read.
    std::optional<APMUserAttribute> attribute =
        APMUserAttribute::create(origin, name, value.value_or(APMValue(int64_t{0})), now);
    if (!attribute) return;
    if (value) {
      engine->setUserAttribute(std::move(*attribute));
    } else {
      engine->removeUserAttribute(std::move(*attribute));
    }
  });
}

bool APMReporterFacade::isEngineEnabled() {
  if (!APMMeasurement::hasSharedInstance()) return false;
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  return engine && engine->isEnabled();
}

std::shared_ptr<APMReporterFacade> APMReporterFacade::current() {
  std::lock_guard<std::mutex> lock(facadeMutex());
  return installedFacade();
}

void APMReporterFacade::install(std::shared_ptr<APMReporterFacade> facade) {
  if (!facade) facade = std::make_shared<APMReporterFacade>();
  std::lock_guard<std::mutex> lock(facadeMutex());
  installedFacade() = std::move(facade);
}
